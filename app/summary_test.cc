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
       "setup: result=installed copied=12 up-to-date=3 target=/home/u/my tmplts"},
      {RunResult::kInstalled, false, 0, 15, "/t", kExitInstalled,
       "setup: result=installed copied=0 up-to-date=15 target=/t"},
      {RunResult::kInstalled, false, 0, 1, "/", kExitInstalled,
       "setup: result=installed copied=0 up-to-date=1 target=/"},
      {RunResult::kUnregistered, false, 1, 0, "/t", kExitUnregistered,
       "setup: result=installed-unregistered copied=1 up-to-date=0 target=/t"},
      {RunResult::kFailed, false, 4, 0, "/t", kExitFailed,
       "setup: result=failed-rolled-back copied=4 up-to-date=0 target=/t"},
      // Damage found during the copy: rolled back, but the package is at
      // fault, as when it is found at the start.
      {RunResult::kFailed, true, 111, 0, "/t", kExitNotStarted,
       "setup: result=failed-rolled-back copied=111 up-to-date=0 target=/t"},
      {RunResult::kCancelled, false, 2, 1, "/t", kExitCancelled,
       "setup: result=cancelled-rolled-back copied=2 up-to-date=1 target=/t"},
      {RunResult::kNotStarted, false, 0, 0, "", kExitNotStarted,
       "setup: result=not-started copied=0 up-to-date=0 target="},
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

}  // namespace
