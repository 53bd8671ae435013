// The install run as a transaction: every failure point of a run undone
// exactly, restores that fail, links and mount points inside the target,
// and real full file systems.
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
#include "install/transaction_fixture.h"

using namespace transaction_test;

namespace {

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
      // Files are made and filled on two threads: the call that failed is
      // the one this run's own log holds at n.
      FaultyFileSystem::Operation failedOp = FaultyFileSystem::log()[n - 1];
      EXPECT_TRUE(n > lastRename || failedOp == FaultyFileSystem::kCloseHandle) << "operation " << failedOp;
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

// The wait for the new files' data and the flush of their directories,
// with more files than the run keeps open: a failure of any of them, while
// members are still written or after the last, undoes the run and names a
// member. On a journaled file system the directories cost one flush, not
// one each.
TEST_F(TransactionTest, FailedWaitForTheNewDataUndoesTheRun) {
  makeOldTarget();
  std::vector<TestMember> many = members();
  for (size_t i = 0; i < DurableBatch<FaultyFileSystem>::kHeldFiles + 20; ++i) {
    std::string folder = i % 2 ? "many\\odd\\" : "many\\even" + std::to_string(i % 7) + "\\";
    many.push_back({folder + "m" + std::to_string(i), "member " + std::to_string(i), fileTime(5000)});
  }
  std::string package = writePackage(makeImage({}, false, many));
  TreeSnapshot before = snapshotTree(target);

  ASSERT_EQ(0u, faultyInstall(package));
  unsigned flushes = 0;
  for (FaultyFileSystem::Operation op : FaultyFileSystem::log())
    if (op == FaultyFileSystem::kFlushVolumeBuffers) ++flushes;
  void* root = INVALID_HANDLE_VALUE;
  ASSERT_EQ(0u, FileSystem::CreateFile(u16(target), GENERIC_READ, 0, OPEN_EXISTING, root));
  Durability durability = FileSystem::GetDurability(root);
  FileSystem::CloseHandle(root);
  if (durability.kind == Durability::kInMemory) GTEST_SKIP() << "nothing is flushed in memory";
  const unsigned staged = static_cast<unsigned>(many.size()) - 1;  // sub/newer.txt is kept
  if (durability.kind == Durability::kJournal) {
    EXPECT_EQ(staged + 1, flushes);
  }

  const struct {
    const char* name;
    unsigned nth;
  } cases[] = {
      {"while members are written", 1},
      {"after the last member", flushes / 2},
      {"the last wait or flush", flushes},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, system(("rm -rf '" + target + "'").c_str()));
    makeOldTarget();
    FaultyFileSystem::failOn(FaultyFileSystem::kFlushVolumeBuffers, c.nth, EIO);
    std::string text;
    EXPECT_NE(0u, faultyInstall(package, &text));
    EXPECT_EQ(1u, FaultyFileSystem::failures());
    TreeSnapshot after = snapshotTree(target);
    EXPECT_TRUE(after == before) << difference(before, after);
    EXPECT_TRUE(namesPathAndReason(text, target, EIO)) << text;
    EXPECT_TRUE(tempEntries().empty());
  }
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
  EXPECT_EQ("old a", readBytes(backup));
  EXPECT_EQ(1000, modificationTime(backup));
  EXPECT_EQ("new a", readBytes(target + "/a.txt"));
  EXPECT_EQ("old b", readBytes(target + "/sub/b.txt"));
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
  EXPECT_EQ("new a", readBytes(target + "/a.txt"));
  EXPECT_EQ("new b", readBytes(target + "/sub/b.txt"));
}

// Targets whose file system refuses a rename that must not replace (FUSE:
// EINVAL), with and without hard links: the install goes through as
// anywhere else; a failure at any call is undone exactly; and a file that
// appears at a new member's name just before it is put in place is kept,
// never replaced.
TEST_F(TransactionTest, RenameThatMustNotReplaceRefusedStillNeverReplaces) {
  struct Case {
    const char* name;
    bool links;
  } cases[] = {{"hard links", true}, {"no hard links", false}};
  std::string package = writePackage(makeImage({}, false, members()));
  auto play = [](const Case& c) {
    FaultyFileSystem::refuseNoReplace(true);
    FaultyFileSystem::refuseLinks(!c.links);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, system(("rm -rf '" + target + "'").c_str()));
    makeOldTarget();
    TreeSnapshot before = snapshotTree(target);
    FaultyFileSystem::reset();
    play(c);
    ASSERT_EQ(0u, faultyInstall(package));
    TreeSnapshot installed = snapshotTree(target);
    EXPECT_EQ("new a", installed["a.txt"].content);
    EXPECT_EQ("d", installed["fresh/d.txt"].content);
    EXPECT_EQ("newer", installed["sub/newer.txt"].content);
    for (const auto& entry : installed) EXPECT_FALSE(isRunName(entry.first)) << entry.first;
    unsigned total = FaultyFileSystem::calls();
    std::vector<FaultyFileSystem::Operation> log = FaultyFileSystem::log();

    unsigned failed = 0;
    for (unsigned n = 1; n <= total; ++n) {
      SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(total));
      ASSERT_EQ(0, system(("rm -rf '" + target + "'").c_str()));
      makeOldTarget();
      FaultyFileSystem::failCall(n, EIO);
      play(c);
      if (faultyInstall(package) == 0) continue;
      ++failed;
      EXPECT_TRUE(snapshotTree(target) == before) << difference(before, snapshotTree(target));
      EXPECT_TRUE(tempEntries().empty());
    }
    EXPECT_GT(failed, total / 2);

    // The last rename of the run puts a new member (fresh/d.txt) in place:
    // another program writes that name just before.
    unsigned lastRename = 0;
    for (unsigned n = 1; n <= total; ++n)
      if (log[n - 1] == FaultyFileSystem::kMoveFileEx) lastRename = n;
    ASSERT_GT(lastRename, 0u);
    ASSERT_EQ(0, system(("rm -rf '" + target + "'").c_str()));
    makeOldTarget();
    FaultyFileSystem::reset();
    play(c);
    // With hard links the refused rename is followed by the link, which
    // finds the name taken; without, by the look at the name.
    FaultyFileSystem::beforeCall(c.links ? lastRename + 1 : lastRename - 1,
                                 [&] { writeBytes(target + "/fresh/d.txt", "theirs"); });
    EXPECT_EQ(static_cast<unsigned>(ERROR_ALREADY_EXISTS), faultyInstall(package));
    EXPECT_EQ("theirs", readBytes(target + "/fresh/d.txt"));
    EXPECT_EQ("old a", readBytes(target + "/a.txt"));
  }
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
      writeBytes(target + name, "old");
      setModificationTime(target + name, 1000);
      writeBytes(outside + (name + 2), "outside's");
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
  writeBytes(path("outside/a.txt"), "outside");
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
  EXPECT_EQ("outside", readBytes(path("outside/a.txt")));
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
  EXPECT_EQ("new b", readBytes(target + "/sub/b.txt"));
  EXPECT_EQ("new a", readBytes(target + "/a.txt"));
}

// Real full file systems (root only, small tmpfs mounts): a full target
// and a full temporary directory.
TEST_F(TransactionTest, FullFileSystemsFailCleanly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount small tmpfs file systems";
  if (!mountSmall(target, 1024)) GTEST_SKIP() << "cannot mount a tmpfs here";
  // The target holds an old 600 KiB file; its 600 KiB replacement cannot be
  // written beside it. The backup itself takes no room.
  writeBytes(target + "/big.bin", pseudoRandomBytes(600 << 10, 1));
  writeBytes(target + "/small.txt", "old small");
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

namespace {

// A file the run replaces keeps what an administrator gave it: its owner,
// group and permission bits, whoever runs the install. What the run makes
// anew is any program's: 0666 and 0777 less the umask.
TEST_F(TransactionTest, ReplacedFileKeepsItsOwnerGroupAndMode) {
  if (geteuid() != 0) GTEST_SKIP() << "giving files to other users needs root";
  struct Row {
    unsigned owner, group, mode;
  } rows[] = {{0, 0, 0644}, {1234, 5678, 0640}, {4321, 0, 0600}, {0, 4242, 0755}};
  std::string package = writePackage(makeImage({}, false, members()));
  mode_t mask = umask(022);
  for (const Row& row : rows) {
    SCOPED_TRACE("owner " + std::to_string(row.owner) + " group " + std::to_string(row.group));
    ASSERT_EQ(0, system(("rm -rf '" + target + "'").c_str()));
    makeOldTarget();
    std::string replaced = target + "/a.txt";
    ASSERT_EQ(0, chown(replaced.c_str(), row.owner, row.group));
    ASSERT_EQ(0, chmod(replaced.c_str(), row.mode));
    FaultyFileSystem::reset();
    ASSERT_EQ(0u, faultyInstall(package));
    struct stat st;
    ASSERT_EQ(0, stat(replaced.c_str(), &st));
    EXPECT_EQ("new a", readBytes(replaced));
    EXPECT_EQ(row.owner, st.st_uid);
    EXPECT_EQ(row.group, st.st_gid);
    EXPECT_EQ(row.mode, st.st_mode & 07777);
    ASSERT_EQ(0, stat((target + "/fresh/d.txt").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    ASSERT_EQ(0, stat((target + "/fresh/deep").c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 07777);
  }
  umask(mask);
}

}  // namespace

namespace {

// Members are made on one thread and filled on another: when an earlier
// member's copy fails and a later member cannot even be made, the run
// tells the earlier failure, as it would have met it alone, whichever
// thread got there first; and everything is undone.
TEST_F(TransactionTest, FirstFailureInMemberOrderIsTheOneTold) {
  makeOldTarget();
  makeDirs(target + "/fresh/d.txt");  // a folder where the last member goes: refused
  TreeSnapshot before = snapshotTree(target);
  std::string package = writePackage(makeImage({}, false, members()));
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // The first copy to give its file a time is a.txt's.
    FaultyFileSystem::failOn(FaultyFileSystem::kSetFileTime, 1, ENOSPC);
    std::string text;
    EXPECT_EQ(static_cast<unsigned>(ERROR_DISK_FULL), faultyInstall(package, &text));
    EXPECT_NE(std::string::npos, text.find(target + "/a.txt")) << text;
    EXPECT_EQ(std::string::npos, text.find("d.txt")) << text;
    EXPECT_TRUE(snapshotTree(target) == before);
    EXPECT_TRUE(tempEntries().empty());
  }
}

}  // namespace

namespace {

// One installer, two runs: into a file system in memory, then into one on
// disk. What the first target's file system needed (nothing flushed)
// must not be taken for the second's.
TEST_F(TransactionTest, SecondRunAsksItsOwnFileSystemHowToFlush) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
  std::string memory = path("memory");
  if (!mountSmall(memory, 4096)) GTEST_SKIP() << "cannot mount a tmpfs here";
  // The last folder of one run is the first of the next: the target itself.
  std::string package = writePackage(makeImage({}, false, {{"only.txt", "bytes", fileTime(5000)}}));
  FaultyInstaller::Reader faultyReader;
  ASSERT_EQ(0u, faultyReader.open(u16(package)));
  FaultyInstaller installer(0);
  const struct {
    std::string target;
    bool flushes;
  } runs[] = {{memory + "/t", false}, {target, true}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.target);
    FaultyFileSystem::reset();
    faultyData.init(&faultyReader, u16(run.target));
    ASSERT_EQ(0u, installer.run(&faultyData));
    unsigned flushes = 0;
    for (FaultyFileSystem::Operation op : FaultyFileSystem::log())
      if (op == FaultyFileSystem::kFlushVolumeBuffers) ++flushes;
    EXPECT_EQ(run.flushes, flushes != 0) << flushes << " flushes";
  }
}

}  // namespace
