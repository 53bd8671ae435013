// The other unpackers the benchmark times setup against, and their
// archives of a tree.
#pragma once

#include <string>
#include <vector>

namespace bench {

// What an unpacker reads.
enum class ArchiveKind { kTarGz, kZip };

struct Peer {
  const char* name;     // as the tables show it
  const char* program;  // looked up in PATH
  ArchiveKind archive;
  const char* helper;   // another program it runs, looked up too; or null
};

// tar -xzf, tar -I igzip, bsdtar -xf, unzip -q, 7z x: the unpackers a user
// could pick instead, each reading an archive at DEFLATE level 6.
const std::vector<Peer>& peers();

// The command that unpacks archive into the folder out, program being the
// peer's program as found; no shell reads it.
std::vector<std::string> peerCommand(const Peer& peer, const std::string& program, const std::string& archive,
                                     const std::string& out);

// The archives of the tree at dir: a gzipped tarball (gzip's level 6) and a
// zip file (DEFLATE level 6), each made by the first program of the machine
// that can. Either path comes back empty, with why in its skip text, when
// no program could make it.
struct Archives {
  std::string tarGz, zip;
  std::string tarGzSkip, zipSkip;
  const std::string& path(ArchiveKind kind) const { return kind == ArchiveKind::kTarGz ? tarGz : zip; }
  const std::string& skip(ArchiveKind kind) const { return kind == ArchiveKind::kTarGz ? tarGzSkip : zipSkip; }
};
Archives makeArchives(const std::string& dir, const std::string& tarGz, const std::string& zip);

}  // namespace bench
