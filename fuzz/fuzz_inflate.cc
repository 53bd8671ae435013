// Feeds the same bytes, as a raw DEFLATE stream, to zlib's inflate and to
// the package inflate of this build (and to the fast inflater alone), and
// fails on any difference in output or verdict beyond the one known case
// (see fuzz/inflate_oracle.h).
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "fuzz/inflate_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string difference = inflate_oracle::compare(data, size);
  fuzz_support::check(difference.empty(), difference);
  // The same in small pieces: the inflaters carry their state across them.
  if (size > 64) {
    difference = inflate_oracle::compare(data, size, 61);
    fuzz_support::check(difference.empty(), "in pieces: " + difference);
  }
  return 0;
}
