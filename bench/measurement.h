// The rounds: every side (tar, the engine alone, the setup program and the
// baseline) timed on a prepared tree from the same fresh state, in an
// order that turns round by round, and the windows.
#pragma once

#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/engine_step.h"

namespace bench {

// One program's figures on one package.
struct ProgramRuns {
  std::vector<double> rounds;   // 'usecwd -S', spawn to exit less the pause
  std::vector<double> windows;  // 'usecwd', spawn to its window being mapped
  std::vector<double> ends;     // then SIGTERM to its end
  long hwmKib = 0;              // the highest peak resident memory of the rounds
  // Why it was not timed (or stopped being timed): empty when it was.
  std::string failure, windowFailure;
};

struct Result {
  std::string label;
  unsigned long long files = 0, bytes = 0, packageBytes = 0, tarBytes = 0;
  // The engine alone, medians, and where its time goes.
  double ours = 0, wall = 0, open = 0, run = 0, close = 0, inflate = 0, checksums = 0;
  double flush = 0;  // of the run: the new files' data made durable before the renames
  long hwmKib = 0;
  std::vector<double> engineRounds, tarRounds;
  // The median of each round's overhead of the whole program over the
  // engine of the same round: steadier than the medians on a busy machine.
  double pairedOverhead = 0;
  double ratioBudget = 0;     // 0 when the ratio is not judged
  bool windowJudged = false;  // the window's budget applies
  ProgramRuns programs[kProgramCount];
};

// One synthetic tree with its package and tarball.
struct TreeSet {
  std::string label;
  unsigned count;
  unsigned long long minBytes, maxBytes;
  unsigned seed;
  double ratioBudget;
  bool windowJudged;
  std::string scratch;
  std::string dir() const { return scratch + "/" + label; }
};

// Writes the tree, the package and the tarball of set.
bool prepare(const Settings& s, const TreeSet& set, Result& result);

// Times every side on a prepared set: tar, the engine alone, the program
// under test and the baseline, in an order that turns round by round.
bool measure(const Settings& s, const TreeSet& set, Result& result);

// Times the window of each program on the package in packageDir, round by
// round, the program that goes first alternating; each from a fresh state
// with an empty HOME and TMPDIR under out.
void measureWindows(const Settings& s, const std::string& packageDir, const std::string& out,
                    const std::string& package, const std::string& tarball, ProgramRuns* programs);

// Whether the output of a side is only moved aside (on a disk file system)
// instead of being deleted at once; see freshState in measurement.cc.
void setAsideOutputs(bool aside);

}  // namespace bench
