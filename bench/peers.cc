#include "bench/peers.h"

#include <unistd.h>

#include "bench/spawn.h"

namespace bench {

const std::vector<Peer>& peers() {
  static const std::vector<Peer> list = {
      {"tar -xzf", "tar", ArchiveKind::kTarGz, "gzip"},
      {"tar -I igzip", "tar", ArchiveKind::kTarGz, "igzip"},
      {"bsdtar -xf", "bsdtar", ArchiveKind::kTarGz, nullptr},
      {"unzip -q", "unzip", ArchiveKind::kZip, nullptr},
      {"7z x", "7z", ArchiveKind::kZip, nullptr},
  };
  return list;
}

std::vector<std::string> peerCommand(const Peer& peer, const std::string& program, const std::string& archive,
                                     const std::string& out) {
  std::string name = peer.name;
  if (name == "tar -xzf") return {program, "-xzf", archive, "-C", out};
  if (name == "tar -I igzip") return {program, "-I", "igzip", "-xf", archive, "-C", out};
  if (name == "bsdtar -xf") return {program, "-xf", archive, "-C", out};
  if (name == "unzip -q") return {program, "-q", archive, "-d", out};
  return {program, "x", "-y", "-o" + out, archive};
}

Archives makeArchives(const std::string& dir, const std::string& tarGz, const std::string& zip) {
  Archives a;
  // gzip's default level is 6.
  std::string tar = findProgram("tar");
  if (tar.empty()) tar = findProgram("bsdtar");
  if (tar.empty()) a.tarGzSkip = "no tar program to make its archive";
  else if (runTimed({tar, "-czf", tarGz, "-C", dir, "."}, nullptr, "", "").status != 0)
    a.tarGzSkip = tar + " could not make its archive";
  else a.tarGz = tarGz;

  std::string zipper = findProgram("zip");
  if (!zipper.empty()) {
    // Run in the tree, so that the names are relative to it; no extra
    // attributes, no folder entries.
    if (runTimed({zipper, "-q", "-r", "-6", "-X", "-D", zip, "."}, nullptr, dir, "").status != 0)
      a.zipSkip = "zip could not make its archive";
    else a.zip = zip;
  } else if (!(zipper = findProgram("bsdtar")).empty()) {
    if (runTimed({zipper, "--format", "zip", "--options", "zip:compression-level=6", "-cf", zip, "-C", dir, "."},
                 nullptr, "", "")
            .status != 0)
      a.zipSkip = "bsdtar could not make its zip archive";
    else a.zip = zip;
  } else {
    a.zipSkip = "no zip or bsdtar program to make its archive";
  }
  return a;
}

}  // namespace bench
