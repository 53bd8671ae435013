// The engine alone: the install step that the benchmark runs in a process
// of its own (open the package, one install run), and the inflate and the
// member checksums timed apart.
#pragma once

#include <string>

namespace bench {

// Opens the package and installs it into target; prints its timings and
// its peak resident memory (VmHWM: this process only, nothing inherited).
int installStep(const char* package, const char* target);

// The engine's own figures of one round, as its process reports them.
struct EngineRound {
  double open = 0, run = 0, close = 0, flush = 0;
  long hwmKib = 0;
};

// Inflates the package into memory that is thrown away, with the inflate
// this build installs with: the inflater's share of the open.
double inflateOnly(const std::string& package);

// The check of every member's checksum, the open's share of them: the
// package is opened without it, then the same pass is timed alone.
double checksumsOnly(const std::string& package);

}  // namespace bench
