#include "install/rollback.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "install/test_support.h"

using namespace test_support;

namespace {

class RollbackTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    target = path("target/");
    makeDirs(path("target/sub/b"));
    writeBytes(path("target/a.txt"), "old a");
    writeBytes(path("target/sub/b/c.txt"), "old c");
    writeBytes(path("target/other.txt"), "untouched");
    setModificationTime(path("target/a.txt"), 1000000000);
    setModificationTime(path("target/sub/b/c.txt"), 1100000000);
  }

  // As the run replaces a file: a new one renamed over it, so the backup,
  // a second name of the old file, keeps the old content.
  void replaceFile(const std::string& file, const std::string& bytes) {
    writeBytes(file + ".new", bytes);
    ASSERT_EQ(0, rename((file + ".new").c_str(), file.c_str()));
  }

  void TearDown() override {
    if (root >= 0) close(root);
    ScratchTest::TearDown();
  }

  void begin() {
    ASSERT_EQ(0u, journal.start(u16(target)));
    root = open(path("target").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(root, 0);
    journal.setRoot(handle(root));
  }
  static void* handle(int fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd)); }

  // Keeps relative (below the target) as the run does, from its directory's handle.
  FsResult keep(const std::string& directory, const std::string& name) {
    int dir = directory.empty() ? root : open(path("target/" + directory).c_str(), O_RDONLY | O_DIRECTORY);
    FsResult code = journal.storeRBFile(handle(dir), u16(directory), u16(name));
    if (dir != root) close(dir);
    return code;
  }

  // What an install run does: replace two files, create a nested directory
  // with a file, add a file to an existing directory.
  void changeTarget() {
    ASSERT_EQ(0u, keep("", "a.txt"));
    ASSERT_EQ(0u, keep("sub/b", "c.txt"));
    replaceFile(path("target/a.txt"), "new a");
    replaceFile(path("target/sub/b/c.txt"), "new c");
    makeDirs(path("target/new/x"));
    journal.addRBCatalog(u"new");
    journal.addRBCatalog(u"new/x");
    journal.addRBFile(u"new/x/f");
    writeBytes(path("target/new/x/f"), "f");
    journal.addRBFile(u"sub/added.txt");
    writeBytes(path("target/sub/added.txt"), "added");
  }

  std::string target;
  // The run's rollback, its journal open to the checks.
  struct JournalView : Rollback {
    const std::vector<RollbackLevel>& journal() const { return levels; }
  } journal;
  int root = -1;
};

// The directories on the way to the target, made before it can be opened.
TEST_F(RollbackTest, RecordsExactlyTheDirectoriesItCreatesParentsFirst) {
  stdx::u16string at;
  ASSERT_EQ(0u, journal.start(u16(path("outer/n1/n2/n3/"))));
  ASSERT_EQ(0u, journal.makeDirectoryTree(u16(path("outer/n1/n2/n3/")), at));
  const std::vector<stdx::u16string>& made = journal.journal().back().outerCatalogs;
  ASSERT_EQ(4u, made.size());
  EXPECT_EQ(path("outer"), u8(made[0]));
  EXPECT_EQ(path("outer/n1/n2/n3"), u8(made[3]));

  // Existing directories, and the file-system root, are never recorded.
  EXPECT_EQ(0u, journal.makeDirectoryTree(u16(path("outer/n1/n2")), at));
  EXPECT_EQ(0u, journal.makeDirectoryTree(u16(tempDir), at));
  EXPECT_EQ(0u, journal.makeDirectoryTree(u"/", at));
  EXPECT_EQ(4u, made.size());

  // A file in the way fails, names that file and records nothing.
  FsResult blocked = journal.makeDirectoryTree(u16(path("target/a.txt/x/y")), at);
  EXPECT_NE(0u, blocked);
  EXPECT_EQ(ENOTDIR, blocked.errnoValue());
  EXPECT_EQ(path("target/a.txt"), u8(at));
  EXPECT_EQ(4u, made.size());
  EXPECT_EQ("old a", readBytes(path("target/a.txt")));
  journal.rollback(0);
  EXPECT_FALSE(exists(path("outer")));
}

TEST_F(RollbackTest, RollbackPutsTheTargetBackExactly) {
  TreeSnapshot before = snapshotTree(path("target"));
  begin();
  changeTarget();
  EXPECT_EQ(1234u, journal.rollback(1234));
  EXPECT_TRUE(snapshotTree(path("target")) == before);  // content and times
  EXPECT_TRUE(tempEntries().empty());
}

// A folder of the run swapped for a link while the run went on: the undo
// reaches none of the files the run made in it and names that folder once,
// with its reason; the folder above, which still holds the link, is named
// once too; everything else is put back.
TEST_F(RollbackTest, AnUndoThatFailsNamesEachPathOnceWithItsReason) {
  begin();
  changeTarget();
  for (const char* name : {"g", "h", "i"}) {
    journal.addRBFile(u"new/x/" + u16(name));
    writeBytes(path("target/new/x/") + name, name);
  }
  ASSERT_EQ(0, rename(path("target/new/x").c_str(), path("moved").c_str()));
  ASSERT_EQ(0, symlink("../../moved", path("target/new/x").c_str()));
  testing::internal::CaptureStderr();
  journal.rollback(5);
  EXPECT_EQ("", testing::internal::GetCapturedStderr());  // the outcome words it, not the journal

  const std::vector<UndoFailure>& failures = journal.undoFailures();
  ASSERT_EQ(2u, failures.size());
  EXPECT_EQ(UndoFailure::kReach, failures[0].step);
  EXPECT_EQ(path("target/new/x"), u8(failures[0].path));
  EXPECT_EQ(unsigned(ERROR_STOPPED_ON_SYMLINK), failures[0].code);
  EXPECT_EQ(UndoFailure::kRemoveFolder, failures[1].step);
  EXPECT_EQ(path("target/new"), u8(failures[1].path));
  EXPECT_EQ(ENOTEMPTY, failures[1].errnoValue);
  EXPECT_EQ("old a", readBytes(path("target/a.txt")));
  EXPECT_EQ("old c", readBytes(path("target/sub/b/c.txt")));
  EXPECT_FALSE(exists(path("target/sub/added.txt")));
  EXPECT_EQ("f", readBytes(path("moved/f")));  // never reached through the link

  // Once mended, a later undo finds nothing left to report.
  ASSERT_EQ(0, unlink(path("target/new/x").c_str()));
  journal.rollback(5);
  EXPECT_TRUE(journal.undoFailures().empty());
}

// The real file system, but a folder whose files cannot be deleted, as a
// read-only mount refuses even root.
struct ReadOnlyFolderFS : FileSystem {
  static std::string folder;  // the refusing folder's path
  static FsResult DeleteFileAt(void* directory, const stdx::u16string& name) {
    char link[64], where[4096] = {};
    snprintf(link, sizeof link, "/proc/self/fd/%d", static_cast<int>(reinterpret_cast<intptr_t>(directory)));
    if (readlink(link, where, sizeof where - 1) > 0 && where == folder) return FsResult(ERROR_ACCESS_DENIED, EROFS);
    return FileSystem::DeleteFileAt(directory, name);
  }
};
std::string ReadOnlyFolderFS::folder;

// Every file of the run in a folder that refuses deletion stays: the
// folder and the reason are named once, not each file; the folder itself
// cannot go either, and is not named again.
TEST_F(RollbackTest, AFolderThatRefusesTheUndoIsNamedOnce) {
  BasicRollback<ReadOnlyFolderFS> refused;
  ASSERT_EQ(0u, refused.start(u16(target)));
  root = open(path("target").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root, 0);
  refused.setRoot(handle(root));
  makeDirs(path("target/new"));
  refused.addRBCatalog(u"new");
  for (const char* name : {"f", "g", "h"}) {
    refused.addRBFile(u"new/" + u16(name));
    writeBytes(path("target/new/") + name, name);
  }
  refused.addRBFile(u"added.txt");
  writeBytes(path("target/added.txt"), "added");
  ReadOnlyFolderFS::folder = path("target/new");
  refused.rollback(5);

  const std::vector<UndoFailure>& failures = refused.undoFailures();
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(UndoFailure::kRefused, failures[0].step);
  EXPECT_EQ(path("target/new"), u8(failures[0].path));
  EXPECT_EQ(EROFS, failures[0].errnoValue);
  EXPECT_EQ("g", readBytes(path("target/new/g")));
  EXPECT_FALSE(exists(path("target/added.txt")));
}

TEST_F(RollbackTest, StopKeepsTheInstallAndDropsTheBackups) {
  begin();
  changeTarget();
  EXPECT_EQ(0u, journal.stop());
  EXPECT_EQ("new a", readBytes(path("target/a.txt")));
  EXPECT_EQ("new c", readBytes(path("target/sub/b/c.txt")));
  EXPECT_EQ("f", readBytes(path("target/new/x/f")));
  EXPECT_EQ("added", readBytes(path("target/sub/added.txt")));
  for (const auto& entry : snapshotTree(path("target")))
    EXPECT_EQ(std::string::npos, entry.first.find(u8(kRunNamePrefix))) << entry.first;
}

// A backup is a second name beside the file it keeps, so always on the
// same file system; a name in use (even a planted link) is passed over,
// and a symbolic link is kept and put back as the link itself.
TEST_F(RollbackTest, BackupsAreHardLinksBesideTheFileTheyKeep) {
  std::string first = u8(kRunNamePrefix) + u8(current_run_tag()) + "-k0";
  makeDirs(path("elsewhere"));
  writeBytes(path("elsewhere/x"), "outside");
  ASSERT_EQ(0, symlink(path("elsewhere/x").c_str(), path("target/" + first).c_str()));
  ASSERT_EQ(0, symlink("../elsewhere/x", path("target/link").c_str()));
  struct stat original, kept;
  ASSERT_EQ(0, stat(path("target/a.txt").c_str(), &original));
  begin();
  ASSERT_EQ(0u, keep("", "a.txt"));
  ASSERT_EQ(0u, keep("", "link"));
  const std::vector<Rollback::Backup>& backups = journal.journal().back().backups;
  ASSERT_EQ(2u, backups.size());
  EXPECT_EQ("a.txt", u8(backups[0].target));
  EXPECT_NE(first, u8(backups[0].backup));
  ASSERT_EQ(0, stat(path("target/" + u8(backups[0].backup)).c_str(), &kept));
  EXPECT_EQ(original.st_ino, kept.st_ino);
  // A file that is gone is a failure here, never "nothing to back up".
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, keep("", "missing.txt"));
  replaceFile(path("target/a.txt"), "new a");
  replaceFile(path("target/link"), "new link");
  journal.rollback(5);
  EXPECT_EQ("old a", readBytes(path("target/a.txt")));
  struct stat restored;
  ASSERT_EQ(0, stat(path("target/a.txt").c_str(), &restored));
  EXPECT_EQ(original.st_ino, restored.st_ino);
  char buffer[64] = {};
  ASSERT_GT(readlink(path("target/link").c_str(), buffer, sizeof buffer - 1), 0);
  EXPECT_STREQ("../elsewhere/x", buffer);
  EXPECT_EQ("outside", readBytes(path("elsewhere/x")));
  ASSERT_EQ(0, unlink(path("target/" + first).c_str()));
}

TEST_F(RollbackTest, RemoveRBFileForgetsOnlyTheFirstMatch) {
  ASSERT_EQ(0u, journal.start(u""));
  journal.addRBFile(u"a");
  journal.addRBFile(u"b");
  journal.addRBFile(u"a");
  journal.removeRBFile(u"a");
  journal.removeRBFile(u"zzz");
  const std::vector<stdx::u16string>& files = journal.journal().back().newFiles;
  ASSERT_EQ(2u, files.size());
  EXPECT_TRUE(files[0] == u"b");
  EXPECT_TRUE(files[1] == u"a");
}

}  // namespace
