#include "install/rollback.h"

#include <gtest/gtest.h>

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

  const std::vector<stdx::u16string>& catalogs() const { return journal.journal().back().catalogs; }

  // What an install run does: replace two files, create a nested directory
  // with a file, add a file to an existing directory.
  void changeTarget() {
    ASSERT_EQ(0u, journal.storeRBFile(u16(path("target/a.txt"))));
    ASSERT_EQ(0u, journal.storeRBFile(u16(path("target/sub/b/c.txt"))));
    writeFileBytes(path("target/a.txt"), "new a");
    writeFileBytes(path("target/sub/b/c.txt"), "new c");
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
  ASSERT_EQ(1u, catalogs().size());  // the backup root
  ASSERT_EQ(0u, journal.makeDirectoryTree(u16(path("target/sub/n1/n2/n3/"))));
  ASSERT_EQ(4u, catalogs().size());
  EXPECT_EQ(path("target/sub/n1"), u8(catalogs()[1]));
  EXPECT_EQ(path("target/sub/n1/n2"), u8(catalogs()[2]));
  EXPECT_EQ(path("target/sub/n1/n2/n3"), u8(catalogs()[3]));

  // Existing directories, and the file-system root, are never recorded.
  EXPECT_EQ(0u, journal.makeDirectoryTree(u16(path("target/sub/n1/n2"))));
  EXPECT_EQ(0u, journal.makeDirectoryTree(u16(tempDir)));
  EXPECT_EQ(0u, journal.makeDirectoryTree(u"/"));
  EXPECT_EQ(4u, catalogs().size());

  // A file in the way fails and records nothing.
  EXPECT_NE(0u, journal.makeDirectoryTree(u16(path("target/a.txt/x/y"))));
  EXPECT_EQ(4u, catalogs().size());
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

TEST_F(RollbackTest, BackupRootTakesTheFirstFreeNumber) {
  writeFileBytes(tempDir + "/q5stp0", "a file");
  makeDirs(tempDir + "/q5stp1");
  allowedTempEntries = {"q5stp0", "q5stp1"};
  ASSERT_EQ(0u, journal.start(u16(target)));
  EXPECT_EQ(tempDir + "/q5stp2/", u8(journal.journal().back().backupDirectory));
  ASSERT_EQ(0u, journal.storeRBFile(u16(path("target/a.txt"))));
  EXPECT_EQ("old a", readFileBytes(tempDir + "/q5stp2/a.txt"));
  journal.rollback(5);
  EXPECT_EQ("old a", readFileBytes(path("target/a.txt")));
  EXPECT_EQ("a file", readFileBytes(tempDir + "/q5stp0"));
  EXPECT_TRUE(exists(tempDir + "/q5stp1"));
  EXPECT_FALSE(exists(tempDir + "/q5stp2"));
}

TEST_F(RollbackTest, NothingToBackUpIsReportedAsNotFound) {
  ASSERT_EQ(0u, journal.start(u16(target)));
  unsigned code = journal.storeRBFile(u16(path("target/missing.txt")));
  EXPECT_TRUE(code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) << code;
  journal.stop();
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
