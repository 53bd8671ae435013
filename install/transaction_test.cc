// The install run as a transaction: every failure point of a run undone
// exactly, restores that fail, the one-run-per-target lock, the leftovers
// of dead runs, and real full file systems.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "install/faulty_file_system.h"
#include "install/installer.h"
#include "install/test_support.h"

using namespace test_support;

namespace {

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
    writeFileBytes(target + "/a.txt", "old a");
    writeFileBytes(target + "/sub/b.txt", "old b");
    writeFileBytes(target + "/sub/newer.txt", "newer");
    writeFileBytes(target + "/mine.txt", "not in the package");
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
  unsigned faultyInstall(const std::string& package) {
    FaultyInstaller::Reader reader;
    unsigned code = reader.open(u16(package));
    if (code != 0) return code;
    faultyData.init(&reader, u16(target));
    FaultyInstaller installer(0);
    return installer.run(&faultyData);
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
std::string difference(const TreeSnapshot& a, const TreeSnapshot& b) {
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

bool isRunName(const std::string& name) {
  return name.find(u8(kRunNamePrefix)) != std::string::npos;
}

// Every file call of open and run, failed one at a time: the run reports
// it and the target is exactly as before, with nothing of the run left.
// Only calls after the last rename can no longer undo the install: they
// must report success with the installed tree.
TEST_F(TransactionTest, EveryFailurePointLeavesTheTargetAsItWas) {
  makeOldTarget();
  std::string package = writePackage(makeImage({}, false, members()));
  TreeSnapshot before = snapshotTree(target);

  ASSERT_EQ(0u, faultyInstall(package));
  TreeSnapshot installed = snapshotTree(target);
  unsigned total = FaultyFileSystem::calls();
  ASSERT_GT(total, 40u);
  EXPECT_EQ("new a", installed["a.txt"].content);
  EXPECT_EQ("newer", installed["sub/newer.txt"].content);

  unsigned failed = 0, committed = 0;
  for (unsigned n = 1; n <= total; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(total));
    ASSERT_EQ(0, system(("rm -rf '" + target + "'").c_str()));
    makeOldTarget();
    FaultyFileSystem::failCall(n, n % 2 ? ERROR_DISK_FULL : ERROR_INVALID_PARAMETER);
    unsigned code = faultyInstall(package);
    ASSERT_EQ(1u, FaultyFileSystem::failures());
    if (code != 0) {
      ++failed;
      TreeSnapshot after = snapshotTree(target);
      EXPECT_TRUE(after == before) << "code " << code << ":" << difference(before, after);
    } else {
      ++committed;
      // Failing to drop the backup tree after the commit leaves only it.
      TreeSnapshot after = snapshotTree(target);
      for (TreeSnapshot::iterator it = after.begin(); it != after.end();) {
        if (isRunName(it->first)) it = after.erase(it);
        else ++it;
      }
      EXPECT_TRUE(after == installed);
    }
    EXPECT_TRUE(tempEntries().empty());
  }
  EXPECT_LE(committed, 3u);
  EXPECT_GT(failed, total - 4);
  RecordProperty("failure_points", static_cast<int>(total));
  printf("walked %u failure points: %u undone, %u after the commit\n", total, failed, committed);
}

// A restore that fails keeps its backup where it is and says where.
TEST_F(TransactionTest, RestoreThatFailsKeepsTheBackupAndNamesIt) {
  makeOldTarget();
  std::string package = writePackage(makeImage({}, false, members()));
  // Renames: a.txt, sub/b.txt, the two new files... the second fails; then
  // the rollback puts b back (a no-op on its own link) and a, which fails.
  FaultyFileSystem::failOn(FaultyFileSystem::kMoveFileEx, 2, ERROR_ACCESS_DENIED);
  FaultyFileSystem::addFailure(FaultyFileSystem::kMoveFileEx, 4, ERROR_ACCESS_DENIED);
  testing::internal::CaptureStderr();
  EXPECT_EQ(static_cast<unsigned>(ERROR_ACCESS_DENIED), faultyInstall(package));
  std::string err = testing::internal::GetCapturedStderr();

  std::string backup;
  for (const auto& entry : snapshotTree(target)) {
    if (isRunName(entry.first) && entry.first.find("/a.txt") != std::string::npos)
      backup = target + "/" + entry.first;
  }
  ASSERT_FALSE(backup.empty());
  EXPECT_EQ("old a", readFileBytes(backup));
  EXPECT_EQ(1000, modificationTime(backup));
  EXPECT_EQ("new a", readFileBytes(target + "/a.txt"));
  EXPECT_EQ("old b", readFileBytes(target + "/sub/b.txt"));
  EXPECT_FALSE(exists(target + "/fresh"));
  EXPECT_NE(std::string::npos, err.find(backup)) << err;
  unsigned state;
  stdx::u16string text;
  int percent;
  faultyData.getInstallState(state, text, percent);
  EXPECT_EQ(static_cast<unsigned>(ERROR_ACCESS_DENIED), state);
  EXPECT_NE(std::string::npos, u8(text).find(backup)) << u8(text);
}

// Where hard links are refused (FAT), a replaced file moves into the
// backup tree instead, and a failure still puts it back.
TEST_F(TransactionTest, WithoutHardLinksTheBackupIsAMove) {
  makeOldTarget();
  TreeSnapshot before = snapshotTree(target);
  std::string package = writePackage(makeImage({}, false, members()));
  FaultyFileSystem::failOn(FaultyFileSystem::kCreateHardLink, 1, ERROR_ACCESS_DENIED);
  FaultyFileSystem::addFailure(FaultyFileSystem::kCreateHardLink, 2, ERROR_ACCESS_DENIED);
  FaultyFileSystem::addFailure(FaultyFileSystem::kMoveFileEx, 5, ERROR_DISK_FULL);
  EXPECT_EQ(static_cast<unsigned>(ERROR_DISK_FULL), faultyInstall(package));
  EXPECT_TRUE(snapshotTree(target) == before) << difference(before, snapshotTree(target));
  FaultyFileSystem::failOn(FaultyFileSystem::kCreateHardLink, 1, ERROR_NOT_SUPPORTED);
  EXPECT_EQ(0u, faultyInstall(package));
  EXPECT_EQ("new a", readFileBytes(target + "/a.txt"));
  EXPECT_EQ("new b", readFileBytes(target + "/sub/b.txt"));
}

// A second run into a target that a live run holds waits, showing that
// it prepares, and can be cancelled meanwhile; it goes on once the lock is
// free.
TEST_F(TransactionTest, SecondRunWaitsForTheTargetsLock) {
  makeOldTarget();
  TreeSnapshot before = snapshotTree(target);
  PackageReader reader;
  ASSERT_EQ(0u, reader.open(u16(writePackage(makeImage({}, false, members())))));
  for (bool cancel : {true, false}) {
    SCOPED_TRACE(cancel ? "cancelled while waiting" : "lock released");
    int held = open(target.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(0, flock(held, LOCK_EX));
    data.init(&reader, u16(target));
    unsigned code = 1;
    std::thread worker([&] {
      Installer installer(0);
      code = installer.run(&data);
    });
    stdx::u16string text;
    for (int i = 0; i < 200 && !(text == resourceText("IDS_PREPARECOPY")); ++i) {
      unsigned state;
      int percent;
      usleep(10000);
      data.getInstallState(state, text, percent);
    }
    EXPECT_TRUE(text == resourceText("IDS_PREPARECOPY")) << u8(text);
    EXPECT_TRUE(snapshotTree(target) == before);
    if (cancel) data.setCancel(true);
    else close(held);
    worker.join();
    if (cancel) {
      close(held);
      EXPECT_EQ(static_cast<unsigned>(ERROR_CANCELLED), code);
      EXPECT_TRUE(snapshotTree(target) == before);
    } else {
      EXPECT_EQ(0u, code);
      EXPECT_EQ("new a", readFileBytes(target + "/a.txt"));
    }
  }
}

// A re-run removes what dead runs left (temporary files in the directories
// it writes to, backup trees), and never a live run's names.
TEST_F(TransactionTest, RerunRemovesOnlyDeadRunsLeftovers) {
  makeOldTarget();
  pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  waitpid(child, nullptr, 0);
  std::string dead = u8(kRunNamePrefix) + std::to_string(child) + "-12345-";
  std::string live = u8(kRunNamePrefix) + "1-" + std::to_string(process_start_ticks(1)) + "-";
  writeFileBytes(target + "/sub/" + dead + "3", "half a member");
  makeDirs(target + "/" + dead + "b0/sub");
  writeFileBytes(target + "/" + dead + "b0/sub/b.txt", "a backup");
  writeFileBytes(target + "/sub/" + live + "3", "a live run's");
  writeFileBytes(target + "/elsewhere-" + dead + "1", "not a run's name");
  makeDirs(target + "/untouched");
  writeFileBytes(target + "/untouched/" + dead + "4", "in a directory the run does not write to");

  PackageReader reader;
  ASSERT_EQ(0u, reader.open(u16(writePackage(makeImage({}, false, members())))));
  data.init(&reader, u16(target));
  Installer installer(0);
  ASSERT_EQ(0u, installer.run(&data));
  EXPECT_FALSE(exists(target + "/sub/" + dead + "3"));
  EXPECT_FALSE(exists(target + "/" + dead + "b0"));
  EXPECT_TRUE(exists(target + "/sub/" + live + "3"));
  EXPECT_TRUE(exists(target + "/elsewhere-" + dead + "1"));
  EXPECT_TRUE(exists(target + "/untouched/" + dead + "4"));
}

// The run's own names in the target never take a member's place, even
// for a member named like them and a temporary directory that is the
// target itself.
TEST_F(TransactionTest, RunNamesNeverCollideWithMembers) {
  makeOldTarget();
  setenv("TMPDIR", target.c_str(), 1);
  std::string root = u8(kRunNamePrefix) + u8(current_run_tag()) + "-b0";
  std::string temp = u8(kRunNamePrefix) + u8(current_run_tag()) + "-0";
  std::vector<TestMember> list = members();
  list.push_back({root + "\\keep.txt", "keep", fileTime(5000)});
  list.push_back({temp, "temp-like", fileTime(5000)});
  PackageReader reader;
  ASSERT_EQ(0u, reader.open(u16(writePackage(makeImage({}, false, list)))));
  data.init(&reader, u16(target));
  Installer installer(0);
  ASSERT_EQ(0u, installer.run(&data));
  EXPECT_EQ("keep", readFileBytes(target + "/" + root + "/keep.txt"));
  EXPECT_EQ("temp-like", readFileBytes(target + "/" + temp));
  EXPECT_EQ("new a", readFileBytes(target + "/a.txt"));
  TreeSnapshot after = snapshotTree(target);
  size_t runNames = 0;
  for (const auto& entry : after) runNames += isRunName(entry.first);
  EXPECT_EQ(3u, runNames);  // the two members and the directory of one
  setenv("TMPDIR", tempDir.c_str(), 1);
}

// Real full file systems (root only, small tmpfs mounts): a full target
// and a full temporary directory.
TEST_F(TransactionTest, FullFileSystemsFailCleanly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount small tmpfs file systems";
  if (!mountSmall(target, 1024)) GTEST_SKIP() << "cannot mount a tmpfs here";
  // The target holds an old 600 KiB file; its 600 KiB replacement cannot be
  // written beside it. The backup itself takes no room.
  writeFileBytes(target + "/big.bin", pseudoRandomBytes(600 << 10, 1));
  writeFileBytes(target + "/small.txt", "old small");
  setModificationTime(target + "/big.bin", 1000);
  setModificationTime(target + "/small.txt", 1000);
  TreeSnapshot before = snapshotTree(target);
  PackageReader reader;
  ASSERT_EQ(0u, reader.open(u16(writePackage(makeImage(
                    {}, false, {{"small.txt", "new small", fileTime(5000)},
                                {"big.bin", pseudoRandomBytes(600 << 10, 2), fileTime(5000)}})))));
  data.init(&reader, u16(target));
  Installer installer(0);
  EXPECT_EQ(static_cast<unsigned>(ERROR_DISK_FULL), installer.run(&data));
  unsigned state;
  stdx::u16string text;
  int percent;
  data.getInstallState(state, text, percent);
  EXPECT_EQ(static_cast<unsigned>(ERROR_DISK_FULL), state);
  // The member that did not fit is named, with the cause.
  EXPECT_TRUE(text == resourceText("IDS_INSTALL_ERROR") + u"\n" +
                          u16(target + "/big.bin: no space left on the disk"))
      << u8(text);
  EXPECT_TRUE(snapshotTree(target) == before);

  // A temporary directory too small for the image: no room, not damage.
  ASSERT_TRUE(mountSmall(tempDir, 256));
  PackageReader large;
  EXPECT_EQ(static_cast<unsigned>(ERROR_DISK_FULL),
            large.open(u16(writePackage(makeImage(
                {}, false, {{"big.bin", pseudoRandomBytes(1 << 20, 3), fileTime(5000)}})))));
  EXPECT_TRUE(tempEntries().empty());
}

}  // namespace
