#include "app/summary.h"

#include <stdio.h>

#include "app/startup.h"

const char* summary_result(int exitStatus) {
  switch (exitStatus) {
    case kExitInstalled: return "installed";
    case kExitUnregistered: return "installed-unregistered";
    case kExitFailed: return "failed-rolled-back";
    case kExitCancelled: return "cancelled-rolled-back";
    default: return "not-started";
  }
}

stdx::string format_summary(const RunSummary& summary) {
  char counts[96];
  snprintf(counts, sizeof counts, " copied=%lu up-to-date=%lu target=", summary.copied,
           summary.upToDate);
  return stdx::string("setup: result=") + summary_result(summary.exitStatus) + counts +
         narrow_lib(summary.target);
}
