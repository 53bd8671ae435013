// The synthetic trees the benchmark installs: many small files or few
// large ones, half prose-like text and half half-random binary; and the
// walks over trees (totals, removal).
#pragma once

#include <string>

namespace bench {

// Writes count files of minBytes..maxBytes, half text and half binary, 100
// to a directory, two levels deep. Returns the bytes written.
unsigned long long makeTree(const std::string& root, unsigned count, unsigned long long minBytes,
                            unsigned long long maxBytes, unsigned seed);

struct TreeTotals {
  unsigned long long files = 0, bytes = 0;
};
// The regular files below root and their bytes.
TreeTotals totals(const std::string& root);

// Removes a tree without following links in it.
void removeTree(const std::string& path);

}  // namespace bench
