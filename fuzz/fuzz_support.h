// Helpers shared by the fuzz targets: one scratch directory per process,
// files written and listed there, and a check that aborts with a message
// (a finding) when an invariant breaks.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace fuzz_support {

// A fresh directory for this process (under TMPDIR, else /tmp), created on
// the first call and removed at exit.
const std::string& scratch();

void writeBytes(const std::string& path, const uint8_t* data, size_t size);
// The names in a directory, sorted; empty when it cannot be read.
std::vector<std::string> entries(const std::string& dir);
// Removes a tree without following links in it.
void removeTree(const std::string& path);

// Prints what and aborts, so that the fuzzer records the input.
[[noreturn]] void fail(const std::string& what);
inline void check(bool ok, const std::string& what) {
  if (!ok) fail(what);
}

}  // namespace fuzz_support
