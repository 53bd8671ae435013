#include "install/rollback.h"

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
    writeFileBytes(path("target/a.txt"), "old a");
    writeFileBytes(path("target/sub/b/c.txt"), "old c");
    writeFileBytes(path("target/other.txt"), "untouched");
    setModificationTime(path("target/a.txt"), 1000000000);
    setModificationTime(path("target/sub/b/c.txt"), 1100000000);
  }

  // As the run replaces a file: a new one renamed over it, so the backup,
  // a second name of the old file, keeps the old content.
  void replaceFile(const std::string& file, const std::string& bytes) {
    writeFileBytes(file + ".new", bytes);
    ASSERT_EQ(0, rename((file + ".new").c_str(), file.c_str()));
  }

  const std::vector<stdx::u16string>& catalogs() const { return journal.journal().back().catalogs; }

  // What an install run does: replace two files, create a nested directory
  // with a file, add a file to an existing directory.
  void changeTarget() {
    ASSERT_EQ(0u, journal.storeRBFile(u16(path("target/a.txt"))));
    ASSERT_EQ(0u, journal.storeRBFile(u16(path("target/sub/b/c.txt"))));
    replaceFile(path("target/a.txt"), "new a");
    replaceFile(path("target/sub/b/c.txt"), "new c");
    ASSERT_EQ(0u, journal.makeDirectoryTree(u16(path("target/new/x"))));
    journal.addRBFile(u16(path("target/new/x/f")));
    writeFileBytes(path("target/new/x/f"), "f");
    journal.addRBFile(u16(path("target/sub/added.txt")));
    writeFileBytes(path("target/sub/added.txt"), "added");
  }

  std::string target;
  Rollback journal;
};

TEST_F(RollbackTest, RecordsExactlyTheDirectoriesItCreatesParentsFirst) {
  ASSERT_EQ(0u, journal.start(u16(target)));
  ASSERT_EQ(0u, catalogs().size());  // the backup root comes with the first backup
  ASSERT_EQ(0u, journal.makeDirectoryTree(u16(path("target/sub/n1/n2/n3/"))));
  ASSERT_EQ(3u, catalogs().size());
  EXPECT_EQ(path("target/sub/n1"), u8(catalogs()[0]));
  EXPECT_EQ(path("target/sub/n1/n2"), u8(catalogs()[1]));
  EXPECT_EQ(path("target/sub/n1/n2/n3"), u8(catalogs()[2]));

  // Existing directories, and the file-system root, are never recorded.
  EXPECT_EQ(0u, journal.makeDirectoryTree(u16(path("target/sub/n1/n2"))));
  EXPECT_EQ(0u, journal.makeDirectoryTree(u16(tempDir)));
  EXPECT_EQ(0u, journal.makeDirectoryTree(u"/"));
  EXPECT_EQ(3u, catalogs().size());

  // A file in the way fails and records nothing.
  EXPECT_NE(0u, journal.makeDirectoryTree(u16(path("target/a.txt/x/y"))));
  EXPECT_EQ(3u, catalogs().size());
  EXPECT_EQ("old a", readFileBytes(path("target/a.txt")));
  journal.rollback(0);
}

TEST_F(RollbackTest, RollbackPutsTheTargetBackExactly) {
  TreeSnapshot before = snapshotTree(path("target"));
  ASSERT_EQ(0u, journal.start(u16(target)));
  changeTarget();
  EXPECT_EQ(1234u, journal.rollback(1234));
  EXPECT_TRUE(snapshotTree(path("target")) == before);  // content and times
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(RollbackTest, StopKeepsTheInstallAndDropsTheBackups) {
  ASSERT_EQ(0u, journal.start(u16(target)));
  changeTarget();
  EXPECT_EQ(0u, journal.stop());
  EXPECT_EQ("new a", readFileBytes(path("target/a.txt")));
  EXPECT_EQ("new c", readFileBytes(path("target/sub/b/c.txt")));
  EXPECT_EQ("f", readFileBytes(path("target/new/x/f")));
  EXPECT_EQ("added", readFileBytes(path("target/sub/added.txt")));
  EXPECT_TRUE(tempEntries().empty());
}

// The backups are second names on the target's own file system, in a
// tree that only the user can enter, made where nothing stood.
TEST_F(RollbackTest, BackupsAreHardLinksInAPrivateTreeInsideTheTarget) {
  std::string first = u8(kRunNamePrefix) + u8(current_run_tag()) + "-b0";
  std::string second = u8(kRunNamePrefix) + u8(current_run_tag()) + "-b1";
  makeDirs(path("elsewhere"));
  ASSERT_EQ(0, symlink(path("elsewhere").c_str(), path("target/" + first).c_str()));
  struct stat original, kept, root;
  ASSERT_EQ(0, stat(path("target/a.txt").c_str(), &original));
  ASSERT_EQ(0u, journal.start(u16(target)));
  ASSERT_EQ(0u, journal.storeRBFile(u16(path("target/sub/b/c.txt"))));
  ASSERT_EQ(0u, journal.storeRBFile(u16(path("target/a.txt"))));
  EXPECT_EQ(path("target/" + second + "/"), u8(journal.journal().back().backupDirectory));
  ASSERT_EQ(0, stat(path("target/" + second + "/a.txt").c_str(), &kept));
  EXPECT_EQ(original.st_ino, kept.st_ino);
  ASSERT_EQ(0, stat(path("target/" + second).c_str(), &root));
  EXPECT_EQ(0700u, root.st_mode & 0777);
  EXPECT_TRUE(exists(path("target/" + second + "/sub/b/c.txt")));
  EXPECT_TRUE(snapshotTree(path("elsewhere")).empty());
  // A file that is gone is a failure here, never "nothing to back up".
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, journal.storeRBFile(u16(path("target/missing.txt"))));
  replaceFile(path("target/a.txt"), "new a");
  journal.rollback(5);
  EXPECT_EQ("old a", readFileBytes(path("target/a.txt")));
  struct stat restored;
  ASSERT_EQ(0, stat(path("target/a.txt").c_str(), &restored));
  EXPECT_EQ(original.st_ino, restored.st_ino);
  EXPECT_FALSE(exists(path("target/" + second)));
  ASSERT_EQ(0, unlink(path("target/" + first).c_str()));
}

TEST_F(RollbackTest, EmptyTargetHasNoBackupRootAndUndoesRecordedWork) {
  ASSERT_EQ(0u, journal.start(u""));
  EXPECT_TRUE(journal.journal().back().backupDirectory.empty());
  EXPECT_TRUE(tempEntries().empty());
  ASSERT_EQ(0u, journal.makeDirectoryTree(u16(path("made"))));
  journal.addRBFile(u16(path("made.txt")));
  writeFileBytes(path("made.txt"), "x");
  journal.rollback(1);
  EXPECT_FALSE(exists(path("made")));
  EXPECT_FALSE(exists(path("made.txt")));
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
