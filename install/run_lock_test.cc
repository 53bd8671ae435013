// One run per target: a second run waits for the target's lock, a rerun
// removes only what dead runs left, and the run's own names never meet a
// member's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "install/transaction_fixture.h"

using namespace transaction_test;

namespace {

class RunLockTest : public TransactionTest {};

// A second run into a target that a live run holds waits, showing that
// it prepares, and can be cancelled meanwhile; it goes on once the lock is
// free.
TEST_F(RunLockTest, SecondRunWaitsForTheTargetsLock) {
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
      EXPECT_EQ("new a", readBytes(target + "/a.txt"));
    }
  }
}

// A re-run removes what dead runs left in the directories it writes to,
// and only that: a run is dead when its lock file (with the run's line)
// can be locked, whatever /proc shows; a live run's names, a user's files
// and folders that merely look like a run's, and a run's name without its
// lock file all stay.
TEST_F(RunLockTest, RerunRemovesOnlyDeadRunsLeftovers) {
  makeOldTarget();
  const std::string line = Installer::kRunLockLine;
  auto runName = [](const std::string& tag, const std::string& rest) {
    return u8(kRunNamePrefix) + tag + "-" + rest;
  };
  // Pids that no /proc shows: only the locks tell these runs apart.
  const std::string dead = "999991-5", live = "999992-6", lookalike = "1-2", fake = "7-8";
  writeBytes(target + "/" + runName(dead, "lock"), line);
  writeBytes(target + "/sub/" + runName(dead, "3"), "half a member");
  writeBytes(target + "/" + runName(dead, "k0"), "a backup");
  writeBytes(target + "/" + runName(live, "lock"), line);
  writeBytes(target + "/sub/" + runName(live, "3"), "a live run's");
  writeBytes(target + "/" + runName(lookalike, "3"), "a user's file");
  makeDirs(target + "/sub/" + runName(lookalike, "b0"));
  writeBytes(target + "/sub/" + runName(lookalike, "b0") + "/notes", "a user's folder");
  writeBytes(target + "/" + runName(fake, "lock"), "not a run's lock");
  writeBytes(target + "/sub/" + runName(fake, "5"), "a user's file too");
  writeBytes(target + "/elsewhere-" + runName(dead, "1"), "not a run's name");
  makeDirs(target + "/untouched");
  writeBytes(target + "/untouched/" + runName(dead, "4"), "in a directory the run does not write to");
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
TEST_F(RunLockTest, RunNamesNeverCollideWithMembers) {
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
  EXPECT_EQ("backup-like", readBytes(target + "/" + backup));
  EXPECT_EQ("temp-like", readBytes(target + "/" + temp));
  EXPECT_EQ("new a", readBytes(target + "/a.txt"));
  TreeSnapshot after = snapshotTree(target);
  size_t runNames = 0;
  for (const auto& entry : after) runNames += isRunName(entry.first);
  EXPECT_EQ(2u, runNames);  // the two members
  setenv("TMPDIR", tempDir.c_str(), 1);
}

}  // namespace
