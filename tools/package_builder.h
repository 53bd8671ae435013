// Building a package from a directory tree: what the vendor tool does, and
// what the tests and the benchmark use to make real packages.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "install/install_data.h"
#include "tools/package_writer.h"

namespace package_builder {

// A regular file below the source directory.
struct SourceFile {
  std::string path;      // on disk
  stdx::u16string name;  // member name: the relative path with "\" separators
  FILETIME lastWriteTime;  // the file's modification time, sub-second part kept
  uint64_t sizeBytes;
};

// Collects the regular files below root, ordered by member name. Fails with
// a message on a symbolic link or special file (the package format has no
// place for them), on a name holding "\" (the package's separator), on an
// unreadable directory or a file of 4 GiB or more.
bool collectFiles(const std::string& root, std::vector<SourceFile>& files, std::string& error);

struct Options {
  std::vector<config::ProductInfo> products;
  bool singleLanguage = false;  // needs exactly one description, in "en"
  int level = 9;                // DEFLATE level 0-9, or 0-3 with fast
  bool fast = false;            // ISA-L's compressor instead of zlib's
  // Each member's CRC-32 in its record. Without them the package is laid
  // out as other packers write theirs: the reader then has nothing to check
  // a member's bytes against.
  bool memberChecksums = true;
};

// Checks the descriptions against the layout and the files (every readme
// must be a member, no text longer than the installer reads). Empty when all is well, else the message.
std::string checkOptions(const Options& options, const std::vector<SourceFile>& files);

// Whether the installer would read header, followed by dataBytes of
// members: empty when it would, else why not (a header past the reader's
// bound, with its size; an image of 4 GiB or more; anything else the
// reader's parser refuses).
std::string checkHeader(const std::string& header, uint64_t dataBytes);

// Writes the package: the header, then the members' bytes one after another
// in list order, as one raw DEFLATE stream. Refuses, before reading any
// file, a package the installer would refuse (checkHeader).
// On failure the output is deleted and error tells why.
bool writePackage(const std::string& output, const Options& options,
                  const std::vector<SourceFile>& files, std::string& error);

}  // namespace package_builder
