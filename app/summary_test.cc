#include "app/summary.h"

#include <gtest/gtest.h>

#include "app/startup.h"
#include "platform/test_util.h"

namespace {

// Scripts parse this line: a change of its form breaks them.
TEST(SummaryTest, OneFixedLineForEveryWayARunEnds) {
  struct Case {
    RunResult result;
    bool packageFailed;
    unsigned long copied, upToDate;
    const char* target;
    int status;
    const char* line;
  } cases[] = {
      // The same folder reads the same whether or not it was given with a
      // trailing separator (the first run's default has one).
      {RunResult::kInstalled, false, 12, 3, "/home/u/my tmplts/", kExitInstalled,
       "setup: result=installed copied=12 up-to-date=3 signature=none target=/home/u/my tmplts"},
      {RunResult::kInstalled, false, 0, 15, "/t", kExitInstalled,
       "setup: result=installed copied=0 up-to-date=15 signature=none target=/t"},
      {RunResult::kInstalled, false, 0, 1, "/", kExitInstalled,
       "setup: result=installed copied=0 up-to-date=1 signature=none target=/"},
      {RunResult::kUnregistered, false, 1, 0, "/t", kExitUnregistered,
       "setup: result=installed-unregistered copied=1 up-to-date=0 signature=none target=/t"},
      {RunResult::kFailed, false, 4, 0, "/t", kExitFailed,
       "setup: result=failed-rolled-back copied=4 up-to-date=0 signature=none target=/t"},
      // Damage found during the copy: rolled back, but the package is at
      // fault, as when it is found at the start.
      {RunResult::kFailed, true, 111, 0, "/t", kExitNotStarted,
       "setup: result=failed-rolled-back copied=111 up-to-date=0 signature=none target=/t"},
      {RunResult::kCancelled, false, 2, 1, "/t", kExitCancelled,
       "setup: result=cancelled-rolled-back copied=2 up-to-date=1 signature=none target=/t"},
      {RunResult::kNotStarted, false, 0, 0, "", kExitNotStarted,
       "setup: result=not-started copied=0 up-to-date=0 signature=none target="},
      // A line break in the folder's name cannot start a line of its own.
      {RunResult::kInstalled, false, 1, 0, "/t\nsetup: result=failed-rolled-back", kExitInstalled,
       "setup: result=installed copied=1 up-to-date=0 signature=none target=/t\\nsetup: result=failed-rolled-back"},
  };
  for (const Case& c : cases) {
    RunSummary summary;
    summary.result = c.result;
    summary.packageFailed = c.packageFailed;
    summary.copied = c.copied;
    summary.upToDate = c.upToDate;
    summary.target = u16(c.target);
    EXPECT_EQ(c.line, std::string(format_summary(summary).c_str()));
    EXPECT_EQ(c.status, exit_status(summary)) << c.line;
  }
}

// The dry run's and the verify's lines: a field more, or counts of their
// own; a modified file alone is no drift, an unregistered folder is.
TEST(SummaryTest, DryRunAndVerifyLines) {
  struct Case {
    RunResult result;
    bool packageFailed, unchanged, registered;
    unsigned long copied, upToDate, ok, missing, modified, outdated;
    int status;
    const char* line;
  } cases[] = {
      {RunResult::kWouldInstall, false, true, false, 2, 5, 0, 0, 0, 0, kExitInstalled,
       "setup: result=would-install copied=2 up-to-date=5 registration=unchanged signature=none target=/t"},
      {RunResult::kWouldFail, false, false, false, 2, 0, 0, 0, 0, 0, kExitFailed,
       "setup: result=would-fail copied=2 up-to-date=0 registration=would-change signature=none target=/t"},
      {RunResult::kWouldFail, true, false, false, 0, 0, 0, 0, 0, 0, kExitNotStarted,
       "setup: result=would-fail copied=0 up-to-date=0 registration=would-change signature=none target=/t"},
      {RunResult::kVerified, false, false, true, 0, 0, 4, 0, 1, 0, kExitInstalled,
       "setup: result=verified ok=4 missing=0 modified=1 outdated=0 registered=yes signature=none target=/t"},
      {RunResult::kVerified, false, false, false, 0, 0, 5, 0, 0, 0, kExitDrift,
       "setup: result=drift ok=5 missing=0 modified=0 outdated=0 registered=no signature=none target=/t"},
      {RunResult::kVerified, false, false, true, 0, 0, 3, 1, 0, 0, kExitDrift,
       "setup: result=drift ok=3 missing=1 modified=0 outdated=0 registered=yes signature=none target=/t"},
      {RunResult::kVerified, false, false, true, 0, 0, 3, 0, 0, 2, kExitDrift,
       "setup: result=drift ok=3 missing=0 modified=0 outdated=2 registered=yes signature=none target=/t"},
  };
  for (const Case& c : cases) {
    RunSummary summary;
    summary.result = c.result;
    summary.packageFailed = c.packageFailed;
    summary.registrationUnchanged = c.unchanged;
    summary.registered = c.registered;
    summary.copied = c.copied;
    summary.upToDate = c.upToDate;
    summary.ok = c.ok;
    summary.missing = c.missing;
    summary.modified = c.modified;
    summary.outdated = c.outdated;
    summary.target = u"/t/";
    EXPECT_EQ(c.line, std::string(format_summary(summary).c_str()));
    EXPECT_EQ(c.status, exit_status(summary)) << c.line;
  }
}

// The remove's and the repair's lines: their own counts, the launcher's
// list in words, and a status that tells kept files and a list that could
// not be written from a clean run.
TEST(SummaryTest, RemoveAndRepairLines) {
  struct Case {
    RunMode mode;
    RunResult result;
    unsigned long removed, kept, restored, replaced, keptBeside, upToDate;
    ListChange list;
    int status;
    const char* line;
  } cases[] = {
      {RunMode::kRemove, RunResult::kMaintained, 3, 0, 0, 0, 0, 0, ListChange::kRemoved, kExitInstalled,
       "setup: result=removed removed=3 kept=0 registration=removed signature=none target=/t"},
      {RunMode::kRemove, RunResult::kMaintained, 3, 2, 0, 0, 0, 0, ListChange::kKept, kExitKept,
       "setup: result=kept-modified removed=3 kept=2 registration=kept signature=none target=/t"},
      {RunMode::kRemove, RunResult::kMaintained, 0, 0, 0, 0, 0, 0, ListChange::kFailed, kExitUnregistered,
       "setup: result=removed removed=0 kept=0 registration=failed signature=none target=/t"},
      {RunMode::kRemove, RunResult::kWouldInstall, 3, 1, 0, 0, 0, 0, ListChange::kKept, kExitInstalled,
       "setup: result=would-keep-modified removed=3 kept=1 registration=would-keep signature=none target=/t"},
      {RunMode::kRemove, RunResult::kWouldInstall, 3, 0, 0, 0, 0, 0, ListChange::kNone, kExitInstalled,
       "setup: result=would-remove removed=3 kept=0 registration=not-listed signature=none target=/t"},
      {RunMode::kRemove, RunResult::kFailed, 1, 0, 0, 0, 0, 0, ListChange::kUnchanged, kExitFailed,
       "setup: result=failed-restored removed=1 kept=0 registration=unchanged signature=none target=/t"},
      {RunMode::kRemove, RunResult::kCancelled, 0, 0, 0, 0, 0, 0, ListChange::kUnchanged, kExitCancelled,
       "setup: result=cancelled-restored removed=0 kept=0 registration=unchanged signature=none target=/t"},
      {RunMode::kRepair, RunResult::kMaintained, 0, 0, 1, 2, 1, 4, ListChange::kUnchanged, kExitInstalled,
       "setup: result=repaired restored=1 replaced=2 kept-beside=1 up-to-date=4 registration=unchanged "
       "signature=none target=/t"},
      {RunMode::kRepair, RunResult::kMaintained, 0, 0, 0, 0, 0, 4, ListChange::kFailed, kExitUnregistered,
       "setup: result=repaired restored=0 replaced=0 kept-beside=0 up-to-date=4 registration=failed "
       "signature=none target=/t"},
      {RunMode::kRepair, RunResult::kWouldInstall, 0, 0, 1, 0, 0, 4, ListChange::kAdded, kExitInstalled,
       "setup: result=would-repair restored=1 replaced=0 kept-beside=0 up-to-date=4 registration=would-add "
       "signature=none target=/t"},
      {RunMode::kRepair, RunResult::kWouldFail, 0, 0, 0, 0, 0, 0, ListChange::kUnchanged, kExitFailed,
       "setup: result=would-fail restored=0 replaced=0 kept-beside=0 up-to-date=0 registration=unchanged "
       "signature=none target=/t"},
      {RunMode::kRepair, RunResult::kFailed, 0, 0, 0, 0, 0, 0, ListChange::kUnchanged, kExitFailed,
       "setup: result=failed-restored restored=0 replaced=0 kept-beside=0 up-to-date=0 registration=unchanged "
       "signature=none target=/t"},
      // A run that could not start ends with the ordinary line.
      {RunMode::kRepair, RunResult::kNotStarted, 0, 0, 0, 0, 0, 0, ListChange::kUnchanged, kExitNotStarted,
       "setup: result=not-started copied=0 up-to-date=0 signature=none target=/t"},
  };
  for (const Case& c : cases) {
    RunSummary summary;
    summary.mode = c.mode;
    summary.result = c.result;
    summary.removed = c.removed;
    summary.kept = c.kept;
    summary.restored = c.restored;
    summary.replaced = c.replaced;
    summary.keptBeside = c.keptBeside;
    summary.upToDate = c.upToDate;
    summary.list = c.list;
    summary.target = u"/t";
    EXPECT_EQ(c.line, std::string(format_summary(summary).c_str()));
    EXPECT_EQ(c.status, exit_status(summary)) << c.line;
  }
}

}  // namespace
