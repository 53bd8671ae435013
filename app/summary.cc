#include "app/summary.h"

#include <stdio.h>

#include "app/startup.h"
#include "platform/file_io.h"

int exit_status(const RunSummary& summary) {
  switch (summary.result) {
    case RunResult::kInstalled: return kExitInstalled;
    case RunResult::kUnregistered: return kExitUnregistered;
    case RunResult::kFailed: return summary.packageFailed ? kExitNotStarted : kExitFailed;
    case RunResult::kCancelled: return kExitCancelled;
    case RunResult::kNotStarted: break;
  }
  return kExitNotStarted;
}

const char* summary_result(const RunSummary& summary) {
  switch (summary.result) {
    case RunResult::kInstalled: return "installed";
    case RunResult::kUnregistered: return "installed-unregistered";
    case RunResult::kFailed: return "failed-rolled-back";
    case RunResult::kCancelled: return "cancelled-rolled-back";
    case RunResult::kNotStarted: break;
  }
  return "not-started";
}

stdx::string format_summary(const RunSummary& summary) {
  char counts[96];
  snprintf(counts, sizeof counts, " copied=%lu up-to-date=%lu target=", summary.copied,
           summary.upToDate);
  // The same folder reads the same on every run, however it was given.
  return stdx::string("setup: result=") + summary_result(summary) + counts +
         narrow_lib(strip_trailing_separators(summary.target));
}
