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

// Whether text has a line "<a path below root>: <the system's reason for
// err>", the reason as the user reads it.
bool namesPathAndReason(const std::string& text, const std::string& root, int err) {
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

bool isRunName(const std::string& name) {
  return name.find(u8(kRunNamePrefix)) != std::string::npos;
}

// Every file call of open and run, failed one at a time as the system
// fails them (an errno): the run reports it and the target is exactly as
// before, with nothing of the run left, and the user is told which file
// and why: a line "<path>: <the system's reason>". Only calls after the
// last rename can no longer undo the install, and a directory handle that
// only was read cannot fail to close in a way that matters: those must
// report success with the installed tree.
TEST_F(TransactionTest, EveryFailurePointLeavesTheTargetAsItWas) {
  makeOldTarget();
  std::string package = writePackage(makeImage({}, false, members()));
  TreeSnapshot before = snapshotTree(target);

  ASSERT_EQ(0u, faultyInstall(package));
  TreeSnapshot installed = snapshotTree(target);
  unsigned total = FaultyFileSystem::calls();
  std::vector<FaultyFileSystem::Operation> log = FaultyFileSystem::log();
  ASSERT_GT(total, 40u);
  ASSERT_EQ(total, log.size());
  EXPECT_EQ("new a", installed["a.txt"].content);
  EXPECT_EQ("newer", installed["sub/newer.txt"].content);
  unsigned lastRename = 0;
  for (unsigned n = 1; n <= total; ++n) {
    if (log[n - 1] == FaultyFileSystem::kMoveFileEx) lastRename = n;
  }

  unsigned failed = 0, committed = 0, texts = 0;
  for (unsigned n = 1; n <= total; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(total) +
                 ", operation " + std::to_string(log[n - 1]));
    ASSERT_EQ(0, system(("rm -rf '" + target + "'").c_str()));
    makeOldTarget();
    int injected = n % 2 ? ENOSPC : EIO;
    FaultyFileSystem::failCall(n, injected);
    std::string text;
    FsResult code = faultyInstall(package, &text);
    ASSERT_EQ(1u, FaultyFileSystem::failures());
    if (code != 0) {
      ++failed;
      TreeSnapshot after = snapshotTree(target);
      EXPECT_TRUE(after == before) << "code " << code << ":" << difference(before, after);
      // The temporary directory's own name is the one thing the run
      // cannot add when asking for it fails.
      if (log[n - 1] != FaultyFileSystem::kGetTempPath) {
        EXPECT_TRUE(namesPathAndReason(text, scratch, injected)) << text;
        ++texts;
      }
    } else {
      ++committed;
      EXPECT_TRUE(n > lastRename || log[n - 1] == FaultyFileSystem::kCloseHandle)
          << "operation " << log[n - 1];
      // Failing to drop a backup after the commit leaves only it.
      TreeSnapshot after = snapshotTree(target);
      for (TreeSnapshot::iterator it = after.begin(); it != after.end();) {
        if (isRunName(it->first)) it = after.erase(it);
        else ++it;
      }
      EXPECT_TRUE(after == installed);
    }
    EXPECT_TRUE(tempEntries().empty());
  }
  EXPECT_GT(failed, total / 2);
  RecordProperty("failure_points", static_cast<int>(total));
  RecordProperty("texts_checked", static_cast<int>(texts));
  printf("walked %u failure points: %u undone, %u after the commit or at a close; %u texts checked\n",
         total, failed, committed, texts);
}

// A read of the image that fails while a member is copied is the
// temporary directory's failure, not the member's: the run is undone and
// names the directory.
TEST_F(TransactionTest, ImageThatCannotBeReadBackNamesTheTemporaryDirectory) {
  makeOldTarget();
  TreeSnapshot before = snapshotTree(target);
  FaultyInstaller::Reader reader;
  ASSERT_EQ(0u, reader.open(u16(writePackage(makeImage({}, false, members())))));
  // The run's writes: its lock file's line, then the first kernel copy,
  // refused so that the copy goes through memory, whose first read fails.
  FaultyFileSystem::failOn(FaultyFileSystem::kWriteFile, 2, EOPNOTSUPP);
  FaultyFileSystem::addFailure(FaultyFileSystem::kReadFile, 1, EIO);
  faultyData.init(&reader, u16(target));
  FaultyInstaller installer(0);
  EXPECT_EQ(static_cast<unsigned>(ERROR_INVALID_PARAMETER), installer.run(&faultyData));
  EXPECT_EQ(2u, FaultyFileSystem::failures());
  EXPECT_FALSE(installer.packageFailed());
  unsigned state = 0;
  stdx::u16string text;
  int percent = 0;
  faultyData.getInstallState(state, text, percent);
  EXPECT_NE(stdx::u16string::npos, text.find(temp_dir_line(u16(tempDir), EIO))) << u8(text);
  EXPECT_TRUE(snapshotTree(target) == before);
}

// A restore that fails keeps its backup where it is and says where.
TEST_F(TransactionTest, RestoreThatFailsKeepsTheBackupAndNamesIt) {
  makeOldTarget();
  std::string package = writePackage(makeImage({}, false, members()));
  // Renames: a.txt, sub/b.txt, the two new files... the second fails; then
  // the rollback puts b back (a no-op on its own link) and a, which fails:
  // a's backup stays beside it.
  FaultyFileSystem::failOn(FaultyFileSystem::kMoveFileEx, 2, EACCES);
  FaultyFileSystem::addFailure(FaultyFileSystem::kMoveFileEx, 4, EACCES);
  testing::internal::CaptureStderr();
  EXPECT_EQ(static_cast<unsigned>(ERROR_ACCESS_DENIED), faultyInstall(package));
  std::string err = testing::internal::GetCapturedStderr();

  std::string backup;
  for (const auto& entry : snapshotTree(target)) {
    if (isRunName(entry.first) && entry.first.find('/') == std::string::npos)
      backup = target + "/" + entry.first;
  }
  ASSERT_FALSE(backup.empty());
  EXPECT_EQ("old a", readFileBytes(backup));
  EXPECT_EQ(1000, modificationTime(backup));
  EXPECT_EQ("new a", readFileBytes(target + "/a.txt"));
  EXPECT_EQ("old b", readFileBytes(target + "/sub/b.txt"));
  EXPECT_FALSE(exists(target + "/fresh"));
  EXPECT_EQ("", err);  // told once, in the run's text, not on the side
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
  FaultyFileSystem::failOn(FaultyFileSystem::kCreateHardLink, 1, EACCES);
  FaultyFileSystem::addFailure(FaultyFileSystem::kCreateHardLink, 2, EACCES);
  FaultyFileSystem::addFailure(FaultyFileSystem::kMoveFileEx, 5, ENOSPC);
  EXPECT_EQ(static_cast<unsigned>(ERROR_DISK_FULL), faultyInstall(package));
  EXPECT_TRUE(snapshotTree(target) == before) << difference(before, snapshotTree(target));
  FaultyFileSystem::failOn(FaultyFileSystem::kCreateHardLink, 1, EOPNOTSUPP);
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
    FsResult code = 1;
    std::thread worker([&] {
      Installer installer(0);
      code = installer.run(&data);
    });
    for (int i = 0; i < 200 && !data.waitingForLock(); ++i) usleep(10000);
    EXPECT_TRUE(data.waitingForLock());
    stdx::u16string text;
    unsigned state;
    int percent;
    data.getInstallState(state, text, percent);
    EXPECT_TRUE(text == resourceText("IDS_PREPARECOPY")) << u8(text);
    EXPECT_TRUE(snapshotTree(target) == before);
    if (cancel) data.setCancel(true);
    else close(held);
    worker.join();
    EXPECT_FALSE(data.waitingForLock());
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

// A re-run removes what dead runs left in the directories it writes to,
// and only that: a run is dead when its lock file (with the run's line)
// can be locked, whatever /proc shows; a live run's names, a user's files
// and folders that merely look like a run's, and a run's name without its
// lock file all stay.
TEST_F(TransactionTest, RerunRemovesOnlyDeadRunsLeftovers) {
  makeOldTarget();
  const std::string line = Installer::kRunLockLine;
  auto runName = [](const std::string& tag, const std::string& rest) {
    return u8(kRunNamePrefix) + tag + "-" + rest;
  };
  // Pids that no /proc shows: only the locks tell these runs apart.
  const std::string dead = "999991-5", live = "999992-6", lookalike = "1-2", fake = "7-8";
  writeFileBytes(target + "/" + runName(dead, "lock"), line);
  writeFileBytes(target + "/sub/" + runName(dead, "3"), "half a member");
  writeFileBytes(target + "/" + runName(dead, "k0"), "a backup");
  writeFileBytes(target + "/" + runName(live, "lock"), line);
  writeFileBytes(target + "/sub/" + runName(live, "3"), "a live run's");
  writeFileBytes(target + "/" + runName(lookalike, "3"), "a user's file");
  makeDirs(target + "/sub/" + runName(lookalike, "b0"));
  writeFileBytes(target + "/sub/" + runName(lookalike, "b0") + "/notes", "a user's folder");
  writeFileBytes(target + "/" + runName(fake, "lock"), "not a run's lock");
  writeFileBytes(target + "/sub/" + runName(fake, "5"), "a user's file too");
  writeFileBytes(target + "/elsewhere-" + runName(dead, "1"), "not a run's name");
  makeDirs(target + "/untouched");
  writeFileBytes(target + "/untouched/" + runName(dead, "4"), "in a directory the run does not write to");
  int held = open((target + "/" + runName(live, "lock")).c_str(), O_RDONLY);
  ASSERT_EQ(0, flock(held, LOCK_EX));

  PackageReader reader;
  ASSERT_EQ(0u, reader.open(u16(writePackage(makeImage({}, false, members())))));
  data.init(&reader, u16(target));
  Installer installer(0);
  ASSERT_EQ(0u, installer.run(&data));
  close(held);
  EXPECT_FALSE(exists(target + "/sub/" + runName(dead, "3")));
  EXPECT_FALSE(exists(target + "/" + runName(dead, "k0")));
  EXPECT_FALSE(exists(target + "/" + runName(dead, "lock")));
  for (const std::string& kept :
       {"/" + runName(live, "lock"), "/sub/" + runName(live, "3"), "/" + runName(lookalike, "3"),
        "/sub/" + runName(lookalike, "b0") + "/notes", "/" + runName(fake, "lock"),
        "/sub/" + runName(fake, "5"), "/elsewhere-" + runName(dead, "1"),
        "/untouched/" + runName(dead, "4")})
    EXPECT_TRUE(exists(target + kept)) << kept;
  // Nothing of this run stays: no lock file, no backup.
  for (const auto& entry : snapshotTree(target))
    EXPECT_EQ(std::string::npos, entry.first.find(u8(current_run_tag()))) << entry.first;
}

// The run's own names in the target never take a member's place, even
// for a member named like them and a temporary directory that is the
// target itself.
TEST_F(TransactionTest, RunNamesNeverCollideWithMembers) {
  makeOldTarget();
  setenv("TMPDIR", target.c_str(), 1);
  std::string backup = u8(kRunNamePrefix) + u8(current_run_tag()) + "-k0";
  std::string temp = u8(kRunNamePrefix) + u8(current_run_tag()) + "-0";
  std::vector<TestMember> list = members();
  list.push_back({backup, "backup-like", fileTime(5000)});
  list.push_back({temp, "temp-like", fileTime(5000)});
  PackageReader reader;
  ASSERT_EQ(0u, reader.open(u16(writePackage(makeImage({}, false, list)))));
  data.init(&reader, u16(target));
  Installer installer(0);
  ASSERT_EQ(0u, installer.run(&data));
  EXPECT_EQ("backup-like", readFileBytes(target + "/" + backup));
  EXPECT_EQ("temp-like", readFileBytes(target + "/" + temp));
  EXPECT_EQ("new a", readFileBytes(target + "/a.txt"));
  TreeSnapshot after = snapshotTree(target);
  size_t runNames = 0;
  for (const auto& entry : after) runNames += isRunName(entry.first);
  EXPECT_EQ(2u, runNames);  // the two members
  setenv("TMPDIR", tempDir.c_str(), 1);
}

// Another process swaps a folder of the target for a link to a folder
// outside, at every step of a run in turn: the run never writes, renames
// or removes anything outside, whatever it makes of the swap.
TEST_F(TransactionTest, FolderSwappedForALinkAtAnyStepNeverLeadsOutside) {
  std::string outside = path("outside");
  auto makeTrees = [&] {
    makeDirs(target + "/d/sub");
    makeDirs(outside + "/sub");
    // Outside holds files named as the members would be through the link.
    for (const char* name : {"/d/x1", "/d/x2", "/d/sub/x3"}) {
      writeFileBytes(target + name, "old");
      setModificationTime(target + name, 1000);
      writeFileBytes(outside + (name + 2), "outside's");
      setModificationTime(outside + (name + 2), 1000);
    }
  };
  std::string package = writePackage(makeImage(
      {}, false, {{"a.txt", "a", fileTime(5000)}, {"d\\x1", "new 1", fileTime(5000)},
                  {"d\\x2", "new 2", fileTime(5000)}, {"d\\sub\\x3", "new 3", fileTime(5000)},
                  {"d\\x4", "new 4", fileTime(5000)}}));
  makeTrees();
  TreeSnapshot outsideBefore = snapshotTree(outside);
  ASSERT_EQ(0u, faultyInstall(package));
  unsigned total = FaultyFileSystem::calls();
  for (unsigned n = 1; n <= total; ++n) {
    SCOPED_TRACE("swap before call " + std::to_string(n) + " of " + std::to_string(total));
    ASSERT_EQ(0, system(("rm -rf '" + target + "' '" + outside + "'").c_str()));
    makeTrees();
    FaultyFileSystem::reset();
    FaultyFileSystem::beforeCall(n, [&] {
      rename((target + "/d").c_str(), (target + "/moved").c_str());
      symlink(outside.c_str(), (target + "/d").c_str());
    });
    FsResult code = faultyInstall(package);
    EXPECT_TRUE(code == 0 || code == ERROR_STOPPED_ON_SYMLINK) << code;
    EXPECT_TRUE(snapshotTree(outside) == outsideBefore)
        << difference(outsideBefore, snapshotTree(outside));
  }
}

// A symbolic link at a member's path is replaced by the member, kept as the
// link itself and put back as that link when the run is undone; what it
// points to is never touched.
TEST_F(TransactionTest, LinkAtAMemberPathIsReplacedAndComesBack) {
  makeOldTarget();
  makeDirs(path("outside"));
  writeFileBytes(path("outside/a.txt"), "outside");
  ASSERT_EQ(0, unlink((target + "/a.txt").c_str()));
  ASSERT_EQ(0, symlink("../outside/a.txt", (target + "/a.txt").c_str()));
  TreeSnapshot before = snapshotTree(target);
  std::string package = writePackage(makeImage({}, false, members()));
  // The last rename fails: a.txt was replaced by then and comes back.
  FaultyFileSystem::failOn(FaultyFileSystem::kMoveFileEx, 4, ENOSPC);
  EXPECT_EQ(static_cast<unsigned>(ERROR_DISK_FULL), faultyInstall(package));
  EXPECT_TRUE(snapshotTree(target) == before) << difference(before, snapshotTree(target));
  char link[64] = {};
  ASSERT_GT(readlink((target + "/a.txt").c_str(), link, sizeof link - 1), 0);
  EXPECT_STREQ("../outside/a.txt", link);
  EXPECT_EQ("outside", readFileBytes(path("outside/a.txt")));
}

// A file system mounted inside the target is one more folder: its files
// are replaced and put back like any other (root only).
TEST_F(TransactionTest, MountPointInsideTheTargetIsLikeAnyFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
  makeDirs(target);
  if (!mountSmall(target + "/sub", 1024)) GTEST_SKIP() << "cannot mount a tmpfs here";
  makeOldTarget();
  TreeSnapshot before = snapshotTree(target);
  std::string package = writePackage(makeImage({}, false, members()));
  FaultyFileSystem::failOn(FaultyFileSystem::kMoveFileEx, 4, ENOSPC);
  EXPECT_EQ(static_cast<unsigned>(ERROR_DISK_FULL), faultyInstall(package));
  EXPECT_TRUE(snapshotTree(target) == before) << difference(before, snapshotTree(target));
  FaultyFileSystem::reset();
  EXPECT_EQ(0u, faultyInstall(package));
  EXPECT_EQ("new b", readFileBytes(target + "/sub/b.txt"));
  EXPECT_EQ("new a", readFileBytes(target + "/a.txt"));
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
  // Refused before anything is written, naming the folder, the bytes
  // needed and the bytes free.
  std::string line = u8(resourceText("IDS_ERROR_TARGETSPACE"));
  line = line.substr(0, line.find("%1")) + target + ":";
  EXPECT_EQ(0u, u8(text).find(u8(resourceText("IDS_INSTALL_ERROR")) + "\n" + line)) << u8(text);
  EXPECT_NE(std::string::npos, u8(text).find("604 KiB")) << u8(text);
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
