// The install run's transaction fixture: a scratch target, the fault
// injection reset, the run's data for the real and the faulty file system,
// and the checks that a failure left the target as it was and named the
// file and the reason. Shared by the transaction's and the run lock's tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/faulty_file_system.h"
#include "install/installer.h"
#include "install/test_support.h"

namespace transaction_test {

using namespace test_support;

typedef BasicInstaller<FaultyFileSystem> FaultyInstaller;

class TransactionTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    FaultyFileSystem::reset();
    target = path("target");
  }
  void TearDown() override {
    for (size_t i = mounts.size(); i-- > 0;) umount2(mounts[i].c_str(), MNT_DETACH);
    ScratchTest::TearDown();
  }

  // A target with files the package replaces (older), keeps (newer) and
  // does not know, and a package that also creates nested directories.
  void makeOldTarget() {
    makeDirs(target + "/sub");
    writeBytes(target + "/a.txt", "old a");
    writeBytes(target + "/sub/b.txt", "old b");
    writeBytes(target + "/sub/newer.txt", "newer");
    writeBytes(target + "/mine.txt", "not in the package");
    setModificationTime(target + "/a.txt", 1000);
    setModificationTime(target + "/sub/b.txt", 1000);
    setModificationTime(target + "/sub/newer.txt", 9000);
    setModificationTime(target + "/mine.txt", 3000);
  }
  std::vector<TestMember> members() const {
    return {{"a.txt", "new a", fileTime(5000)},
            {"sub\\b.txt", "new b", fileTime(5000)},
            {"sub\\newer.txt", "package", fileTime(5000)},
            {"fresh\\deep\\c.txt", pseudoRandomBytes(3000, 3), fileTime(5000)},
            {"fresh\\d.txt", "d", fileTime(5000)}};
  }

  // Opens package and runs one install into target with the faulty layer.
  // text, when given, gets what the user is told of a failure: the run's
  // posted text, or for a failed open the line that names the temporary
  // directory or the package file (what the start-up shows).
  FsResult faultyInstall(const std::string& package, std::string* text = nullptr) {
    FaultyInstaller::Reader reader;
    FsResult opened = reader.open(u16(package));
    if (opened != 0) {
      if (text != nullptr) *text = u8(openFailureText(reader, opened));
      return opened;
    }
    faultyData.init(&reader, u16(target));
    FaultyInstaller installer(0);
    FsResult code = installer.run(&faultyData);
    if (text != nullptr) {
      unsigned state = 0;
      stdx::u16string posted;
      int percent = 0;
      faultyData.getInstallState(state, posted, percent);
      *text = u8(posted);
    }
    return code;
  }

  static stdx::u16string openFailureText(FaultyInstaller::Reader& reader, FsResult code) {
    return image_failure_text(reader.failureOf(code));
  }

  // Mounts a tmpfs of sizeKib at dir; false when that is not possible.
  bool mountSmall(const std::string& dir, unsigned sizeKib) {
    makeDirs(dir);
    std::string options = "size=" + std::to_string(sizeKib) + "k";
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) return false;
    mounts.push_back(dir);
    return true;
  }

  std::string target;
  FaultyInstaller::ProcessData faultyData;
  InstallProcessData data;
  std::vector<std::string> mounts;
};

// What differs between two snapshots, for the failure message.
inline std::string difference(const TreeSnapshot& a, const TreeSnapshot& b) {
  std::string out;
  for (const auto& e : a) {
    auto it = b.find(e.first);
    if (it == b.end()) out += " -" + e.first;
    else if (!(it->second == e.second)) out += " ~" + e.first;
  }
  for (const auto& e : b) {
    if (a.find(e.first) == a.end()) out += " +" + e.first;
  }
  return out;
}

// Whether text has a line "<a path below root>: <the system's reason for
// err>", the reason as the user reads it.
inline bool namesPathAndReason(const std::string& text, const std::string& root, int err) {
  const std::string reason = ": " + u8(failure_cause_line(stdx::u16string(), err));
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    size_t at = line.rfind(reason);
    if (at != std::string::npos && at + reason.size() == line.size() &&
        line.find(root + "/") < at)
      return true;
    start = end + 1;
  }
  return false;
}

inline bool isRunName(const std::string& name) {
  return name.find(u8(kRunNamePrefix)) != std::string::npos;
}

}  // namespace transaction_test
