#include "app/summary.h"

#include <gtest/gtest.h>

#include "app/startup.h"
#include "platform/test_util.h"

namespace {

// Scripts parse this line: a change of its form breaks them.
TEST(SummaryTest, OneFixedLineForEveryWayARunEnds) {
  struct Case {
    int status;
    unsigned long copied, upToDate;
    const char* target;
    const char* line;
  } cases[] = {
      {kExitInstalled, 12, 3, "/home/u/my tmplts/",
       "setup: result=installed copied=12 up-to-date=3 target=/home/u/my tmplts/"},
      {kExitInstalled, 0, 15, "/t", "setup: result=installed copied=0 up-to-date=15 target=/t"},
      {kExitUnregistered, 1, 0, "/t", "setup: result=installed-unregistered copied=1 up-to-date=0 target=/t"},
      {kExitFailed, 4, 0, "/t", "setup: result=failed-rolled-back copied=4 up-to-date=0 target=/t"},
      {kExitCancelled, 2, 1, "/t", "setup: result=cancelled-rolled-back copied=2 up-to-date=1 target=/t"},
      {kExitNotStarted, 0, 0, "", "setup: result=not-started copied=0 up-to-date=0 target="},
  };
  for (const Case& c : cases) {
    RunSummary summary;
    summary.exitStatus = c.status;
    summary.copied = c.copied;
    summary.upToDate = c.upToDate;
    summary.target = u16(c.target);
    EXPECT_EQ(c.line, std::string(format_summary(summary).c_str()));
  }
}

}  // namespace
