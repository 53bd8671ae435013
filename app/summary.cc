#include "app/summary.h"

#include <stdio.h>
#include <string.h>

#include "platform/file_io.h"
#include "platform/printable.h"

namespace {

bool drifted(const RunSummary& summary) {
  return summary.missing != 0 || summary.outdated != 0 || !summary.registered;
}

bool dry(const RunSummary& summary) {
  return summary.result == RunResult::kWouldInstall || summary.result == RunResult::kWouldFail;
}

const char* list_word(const RunSummary& summary) {
  const bool would = dry(summary);
  switch (summary.list) {
    case ListChange::kNone: return "not-listed";
    case ListChange::kUnchanged: return "unchanged";
    case ListChange::kRemoved: return would ? "would-remove" : "removed";
    case ListChange::kKept: return would ? "would-keep" : "kept";
    case ListChange::kAdded: return would ? "would-add" : "added";
    case ListChange::kFailed: return "failed";
  }
  return "unchanged";
}

const char* maintenance_result(const RunSummary& summary) {
  const bool remove = summary.mode == RunMode::kRemove;
  switch (summary.result) {
    case RunResult::kWouldInstall:
      if (!remove) return "would-repair";
      return summary.kept != 0 ? "would-keep-modified" : "would-remove";
    case RunResult::kMaintained:
      if (!remove) return "repaired";
      return summary.kept != 0 ? "kept-modified" : "removed";
    case RunResult::kWouldFail: return "would-fail";
    case RunResult::kFailed: return "failed-restored";
    case RunResult::kCancelled: return "cancelled-restored";
    default: break;
  }
  return "not-started";
}

}  // namespace

int exit_status(const RunSummary& summary) {
  if (summary.logRefused) return kExitUsage;
  switch (summary.result) {
    case RunResult::kWouldInstall: return kExitInstalled;
    case RunResult::kWouldFail: return summary.packageFailed ? kExitNotStarted : kExitFailed;
    case RunResult::kVerified: return drifted(summary) ? kExitDrift : kExitInstalled;
    case RunResult::kInstalled: return kExitInstalled;
    case RunResult::kUnregistered: return kExitUnregistered;
    case RunResult::kFailed: return summary.packageFailed ? kExitNotStarted : kExitFailed;
    case RunResult::kCancelled: return kExitCancelled;
    case RunResult::kMaintained:
      if (summary.list == ListChange::kFailed) return kExitUnregistered;
      return summary.mode == RunMode::kRemove && summary.kept != 0 ? kExitKept : kExitInstalled;
    case RunResult::kNotStarted: break;
  }
  return kExitNotStarted;
}

const char* summary_result(const RunSummary& summary) {
  if (summary.mode != RunMode::kInstall) return maintenance_result(summary);
  switch (summary.result) {
    case RunResult::kWouldInstall: return "would-install";
    case RunResult::kWouldFail: return "would-fail";
    case RunResult::kVerified: return drifted(summary) ? "drift" : "verified";
    case RunResult::kInstalled: return "installed";
    case RunResult::kUnregistered: return "installed-unregistered";
    case RunResult::kFailed: return "failed-rolled-back";
    case RunResult::kCancelled: return "cancelled-rolled-back";
    case RunResult::kMaintained:
    case RunResult::kNotStarted: break;
  }
  return "not-started";
}

stdx::string format_summary(const RunSummary& summary) {
  char counts[256];
  if (summary.mode == RunMode::kRemove && summary.result != RunResult::kNotStarted) {
    snprintf(counts, sizeof counts, " removed=%lu kept=%lu registration=%s target=", summary.removed,
             summary.kept, list_word(summary));
  } else if (summary.mode == RunMode::kRepair && summary.result != RunResult::kNotStarted) {
    snprintf(counts, sizeof counts,
             " restored=%lu replaced=%lu kept-beside=%lu up-to-date=%lu registration=%s target=",
             summary.restored, summary.replaced, summary.keptBeside, summary.upToDate, list_word(summary));
  } else if (summary.result == RunResult::kVerified) {
    snprintf(counts, sizeof counts, " ok=%lu missing=%lu modified=%lu outdated=%lu registered=%s target=",
             summary.ok, summary.missing, summary.modified, summary.outdated,
             summary.registered ? "yes" : "no");
  } else if (summary.result == RunResult::kWouldInstall || summary.result == RunResult::kWouldFail) {
    snprintf(counts, sizeof counts, " copied=%lu up-to-date=%lu registration=%s target=", summary.copied,
             summary.upToDate, summary.registrationUnchanged ? "unchanged" : "would-change");
  } else {
    snprintf(counts, sizeof counts, " copied=%lu up-to-date=%lu target=", summary.copied,
             summary.upToDate);
  }
  // The same folder reads the same on every run, however it was given; a
  // control character in it is escaped, so the line stays one line. The
  // signature's word is ours, never the package's: nothing to escape.
  stdx::string tail = counts;
  tail.insert(tail.size() - strlen(" target="), stdx::string(" signature=") + summary.signature);
  return stdx::string("setup: result=") + summary_result(summary) + tail +
         narrow_lib(printable_name(strip_trailing_separators(summary.target)));
}
