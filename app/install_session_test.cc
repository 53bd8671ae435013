// The install session without a display: the outcome the worker posts is
// whole when it is seen, and the summary is taken from it alone.
#include "app/install_session.h"

#include <gtest/gtest.h>
#include <string.h>

#include "app/summary.h"
#include "app/test_support.h"
#include "install/install_thread.h"

namespace {

class InstallSessionTest : public testing::Test {
 protected:
  InstallSessionTest()
      : home_(), homeEnv_("HOME", home_.path().c_str()), tmpEnv_("TMPDIR", tmp_.path().c_str()) {}
  ~InstallSessionTest() override {
    InstallSession::setPauseAfterRunForTests(0);
    InstallThread::setStartDelayForTests(0);
  }

  void pack(const std::string& source) {
    ASSERT_TRUE(make_package(DPKPACK_PATH, source, packageDir_ / "kxq5.dpk", {}));
  }
  // Runs the checks and the copy into target to the outcome.
  InstallOutcome install(InstallSession& session, const std::string& target) {
    ScopedCwd cwd(packageDir_.path());
    EXPECT_STREQ(nullptr, session.awaitChecks());
    session.start(widen_lib(target.c_str()));
    InstallOutcome outcome;
    while (!session.outcome(outcome)) usleep(5000);
    session.join();
    return outcome;
  }

  ScratchDir home_;
  ScratchDir tmp_;
  ScratchDir packageDir_;
  ScopedEnv homeEnv_;
  ScopedEnv tmpEnv_;
};

TEST_F(InstallSessionTest, InstallsRegistersAndSummarisesTheSameFolderAlike) {
  ScratchDir source;
  writeBytes(source / "t/a.cfg", "alpha");
  writeBytes(source / "t/b.cfg", "beta");
  pack(source.path());
  const std::string target = home_ / "tmplts";
  for (const char* given : {"/", ""}) {
    SCOPED_TRACE(given);
    InstallSession session(true);
    InstallOutcome outcome = install(session, target + given);
    EXPECT_EQ(InstallOutcome::kInstalled, outcome.kind);
    EXPECT_FALSE(session.registerTarget().failed);
    RunSummary summary = session.summary();
    EXPECT_EQ(kExitInstalled, exit_status(summary));
    EXPECT_EQ("setup: result=installed copied=" + std::string(*given ? "2 up-to-date=0" : "0 up-to-date=2") +
                  " signature=none target=" + target,
              std::string(format_summary(summary).c_str()));
  }
  EXPECT_EQ("alpha", readBytes(target + "/t/a.cfg"));
  EXPECT_EQ("ConfigurationTemplatesLocation=" + target + "\n",
            readBytes(home_ / ".KX/kxlaunch/kxlaunch.cfg"));
}

// Damage late in the package is found during the copy. However long the
// worker lingers after its run, what is seen is its whole outcome: the
// package at fault (status 1), rolled back, with the counts of what was
// undone.
TEST_F(InstallSessionTest, DamageFoundDuringTheCopyIsThePackagesFaultWhateverTheTiming) {
  ScratchDir source;
  writeBytes(source / "a.txt", "a");
  std::string noise(24u << 20, '\0');
  unsigned long long state = 88172645463325252ull;
  for (size_t i = 0; i < noise.size(); i += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    memcpy(&noise[i], &state, 8);
  }
  writeBytes(source / "z/noise.bin", noise);
  pack(source.path());
  std::string package = readBytes(packageDir_ / "kxq5.dpk");
  package[package.size() - 100] = static_cast<char>(package[package.size() - 100] ^ 0x20);
  writeBytes(packageDir_ / "kxq5.dpk", package);
  const std::string target = home_ / "target";
  for (int pauseMs : {0, 300}) {
    SCOPED_TRACE(pauseMs);
    InstallSession::setPauseAfterRunForTests(pauseMs);
    InstallSession session(true);
    InstallOutcome outcome = install(session, target);
    EXPECT_EQ(InstallOutcome::kFailed, outcome.kind);
    EXPECT_TRUE(outcome.failure.packageFailed);
    EXPECT_EQ(utf8(LoadResString("IDS_ERROR_DAMAGEDSOURCE")), utf8(outcome.heading));
    EXPECT_EQ("", utf8(outcome.detail));
    RunSummary summary = session.summary();
    EXPECT_EQ(kExitNotStarted, exit_status(summary));
    // The damage may be known before or after the small member was
    // copied: either way the line says the run was rolled back.
    std::string line = format_summary(summary).c_str();
    EXPECT_TRUE(line == "setup: result=failed-rolled-back copied=1 up-to-date=0 signature=none target=" + target ||
                line == "setup: result=failed-rolled-back copied=0 up-to-date=0 signature=none target=" + target)
        << line;
    EXPECT_FALSE(exists(target));
  }
}

// A stop that lands before the worker has begun (a signal as a silent run
// starts it, on a busy machine) still ends in an outcome: the waiter must
// never wait for one that no one will post. Nothing was installed.
TEST_F(InstallSessionTest, StopBeforeTheWorkerBeginsStillEndsInAnOutcome) {
  ScratchDir source;
  writeBytes(source / "t/a.cfg", "alpha");
  pack(source.path());
  const std::string target = home_ / "stopped";
  InstallThread::setStartDelayForTests(200);
  InstallSession session(true);
  ScopedCwd cwd(packageDir_.path());
  ASSERT_STREQ(nullptr, session.awaitChecks());
  session.start(widen_lib(target.c_str()));
  session.requestStop();
  InstallOutcome outcome;
  bool posted = false;
  for (int waited = 0; waited < 10000 && !(posted = session.outcome(outcome)); waited += 5) usleep(5000);
  ASSERT_TRUE(posted) << "no outcome 10 s after the stop";
  session.join();
  EXPECT_EQ(InstallOutcome::kCancelled, outcome.kind);
  EXPECT_EQ(kExitCancelled, exit_status(session.summary()));
  EXPECT_FALSE(exists(target + "/t/a.cfg"));
}

}  // namespace

namespace {

// The registration names where the files are when it is made, whatever
// happened to the folder between the run and it: still at its path (a
// link on the way kept as given), moved (its new place), removed (not
// registered, and said so). The wizard and the silent run both register
// through here.
TEST_F(InstallSessionTest, RegistersTheFolderWhereItIsAtRegistration) {
  ScratchDir source;
  writeBytes(source / "t/a.cfg", "alpha");
  pack(source.path());
  struct Row {
    const char* name;
    const char* given;       // below home
    const char* movedTo;     // below home; empty: not moved
    bool removed;
    const char* registered;  // below home; empty: nothing
  } rows[] = {
      {"at its path", "a", "", false, "a"},
      {"through a link", "link", "", false, "link"},
      {"moved", "b", "b2", false, "b2"},
      {"moved into another folder", "c", "deeper/c", false, "deeper/c"},
      {"removed", "d", "", true, ""},
  };
  mkdir((home_ / "real").c_str(), 0755);
  ASSERT_EQ(0, symlink((home_ / "real").c_str(), (home_ / "link").c_str()));
  mkdir((home_ / "deeper").c_str(), 0755);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    unlink((home_ / ".KX/kxlaunch/kxlaunch.cfg").c_str());
    const std::string given = home_ / row.given;
    InstallSession session(true);
    ASSERT_EQ(InstallOutcome::kInstalled, install(session, given).kind);
    if (row.movedTo[0] != '\0') {
      ASSERT_EQ(0, rename(given.c_str(), (home_ / row.movedTo).c_str()));
    }
    if (row.removed) {
      ASSERT_EQ(0, system(("rm -rf '" + given + "'").c_str()));
    }
    const Registration& registration = session.registerTarget();
    std::string cfg = readBytes(home_ / ".KX/kxlaunch/kxlaunch.cfg");
    if (row.registered[0] == '\0') {
      EXPECT_TRUE(registration.failed);
      EXPECT_EQ(kExitUnregistered, exit_status(session.summary()));
      EXPECT_EQ("<missing>", cfg);
    } else {
      EXPECT_FALSE(registration.failed);
      EXPECT_EQ("ConfigurationTemplatesLocation=" + (home_ / row.registered) + "\n", cfg);
      EXPECT_EQ(home_ / row.registered, narrow_lib(session.target()).c_str());
    }
  }
}

}  // namespace
