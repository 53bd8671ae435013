// Copies of real trees for the benchmark: the regular files of a folder of
// this machine, with their times, and nothing a package cannot hold.
#pragma once

#include <string>

namespace bench {

struct CopyCount {
  unsigned long long files = 0, bytes = 0;
  // Entries left out: links, devices, sockets, pipes, and files or folders
  // this process may not read.
  unsigned long long skipped = 0;
};

// Copies the regular files below source into target (which must not
// exist), making folders as it meets them, each file's access and
// modification times kept to the nanosecond. No link is followed, on
// either side: the walk holds the descriptor of each folder it is in.
// Fails, with error, when source cannot be opened as a folder or when
// anything cannot be written.
bool copyRegularFiles(const std::string& source, const std::string& target, CopyCount& count,
                      std::string& error);

}  // namespace bench
