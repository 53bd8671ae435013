// How a run ended, in the one record from which the exit status, the
// summary line and the wizard's final page are all taken.
//
// The summary line is what a silent run prints on standard output when it
// ends, for the scripts that start it. Its form is fixed (and documented in
// the manual page and the README), so scripts may parse it:
//
//   setup: result=RESULT copied=N up-to-date=M signature=SIG target=DIRECTORY
//
// RESULT is installed, installed-unregistered, failed-rolled-back,
// cancelled-rolled-back or not-started; N and M count the package's
// members that were copied and that were already up to date (after a
// rollback, what the run had done before it was undone); DIRECTORY, last
// so that blanks in it need no quoting, is the template directory of the
// run without a trailing separator (empty when the run ended before
// choosing one). SIG is none when no trusted key is set (the package was
// not checked), verified, or why the package was refused: missing,
// malformed, legacy, other-key, bad, bad-comment, unreadable or bad-key.
//
// The dry run (-N) ends with the same line and one field more:
//
//   setup: result=would-install|would-fail copied=N up-to-date=M registration=REG signature=SIG target=DIRECTORY
//
// N and M count the members the run would write and leave alone; REG is
// unchanged when DIRECTORY is already first in the launcher's list, else
// would-change. The verify (-V) ends with
//
//   setup: result=verified|drift ok=N missing=M modified=K outdated=J registered=yes|no signature=SIG target=DIRECTORY
//
// drift when a member is missing or outdated or the directory is not in
// the launcher's list (a modified file alone is kept by an install, so it
// is no drift). A verify that cannot start (no usable package) ends with
// the ordinary not-started line.
//
// The remove (-U) ends with
//
//   setup: result=removed|kept-modified|failed-restored|cancelled-restored removed=N kept=M registration=REG signature=SIG target=DIRECTORY
//
// N files deleted (they held the package's bytes), M files of the package's
// folders kept (changed, added, links, folders of someone else's);
// kept-modified when M is not 0. REG is removed, kept (something of ours
// is still there), not-listed or failed. The repair (-R) ends with
//
//   setup: result=repaired|failed-restored|cancelled-restored restored=N replaced=M kept-beside=K up-to-date=J registration=REG signature=SIG target=DIRECTORY
//
// N missing members written, M outdated or changed files replaced, K of
// them changed ones kept beside themselves first, J members already the
// package's; REG is unchanged, added or failed. With -N both end the same
// way, RESULT being would-remove, would-keep-modified, would-repair or
// would-fail and REG saying would-remove, would-keep, would-add, unchanged
// or not-listed.
#pragma once

#include <vector>

#include "platform/stdx_string.h"

// How the run ends, as the process reports it to whoever started it.
enum ExitStatus {
  kExitInstalled = 0,   // the package was installed
  kExitNotStarted = 1,  // no display, no usable package, no room, no target
  kExitFailed = 2,      // the copy failed and was rolled back
  kExitCancelled = 3,   // the user ended the run before anything was installed
  kExitUnregistered = 4,  // installed, but the launcher's configuration could not be updated
  kExitDrift = 5,       // verify: a member missing or outdated, or the directory unregistered
  kExitKept = 6,        // remove: the package's files went, changed or added ones were kept
};
// A dry run or verify given an option it does not know, or a log inside
// the target: nothing was done.
// The same number as kExitFailed, as command-line mistakes have it in most
// programs; nothing else can end those two modes with it.
constexpr int kExitUsage = 2;


enum class RunResult {
  kNotStarted,
  kInstalled,
  kUnregistered,
  kFailed,
  kCancelled,
  kWouldInstall,  // dry run: the real run would most likely succeed
  kWouldFail,     // dry run: it would stop (packageFailed: before it starts)
  kVerified,      // verify done: verified or drift, as the counts say
  kMaintained,    // remove or repair done (kFailed, kCancelled: undone)
};

// What the run was asked to do with the package's files.
enum class RunMode { kInstall, kRemove, kRepair };

// What a remove or repair did, or would do, to the launcher's list.
enum class ListChange {
  kNone,       // not listed, nothing to do (remove)
  kUnchanged,  // listed already (repair), or the run did not get that far
  kRemoved,    // the directory went from the list (remove)
  kKept,       // listed, and something of ours is still there (remove)
  kAdded,      // put at the front of the list (repair)
  kFailed,     // the launcher's file could not be written
};

// One member as the run's log tells it: its path, what the run did (or,
// for a run that did not go through, would have done) with it, and why.
// The words are ours, never the package's.
struct LoggedMember {
  stdx::u16string path;
  const char* verb = "";
  const char* why = "";
};

struct RunSummary {
  RunResult result = RunResult::kNotStarted;
  RunMode mode = RunMode::kInstall;
  // A failure found in the package during the copy: the run was rolled
  // back, and it ends as a damaged package found at the start does.
  bool packageFailed = false;
  unsigned long copied = 0;
  unsigned long upToDate = 0;
  // Dry run: the directory is first in the launcher's list already.
  bool registrationUnchanged = false;
  // Verify: the members by what was found, and whether the directory is
  // one of the launcher's list.
  unsigned long ok = 0;
  unsigned long missing = 0;
  unsigned long modified = 0;
  unsigned long outdated = 0;
  bool registered = false;
  // Remove and repair: files deleted and kept, members written where
  // missing and files replaced, changed files kept beside themselves, and
  // the launcher's list.
  unsigned long removed = 0;
  unsigned long kept = 0;
  unsigned long restored = 0;
  unsigned long replaced = 0;
  unsigned long keptBeside = 0;
  ListChange list = ListChange::kUnchanged;
  // The package's signature: none (not checked, no key pinned), verified,
  // or why it was refused.
  const char* signature = "none";
  stdx::u16string target;
  // For the log: the members as the run's plan judged them, and what the
  // run said of its end when it did not go through (may be several lines).
  std::vector<LoggedMember> members;
  stdx::u16string why;
  // A dry run or verify whose log the command line put into the target:
  // refused before it looked at anything, it ends with kExitUsage. (An
  // install refused so has not started.)
  bool logRefused = false;
};

// The process exit status (an ExitStatus value).
int exit_status(const RunSummary& summary);

// The RESULT word.
const char* summary_result(const RunSummary& summary);

// The whole line, without its line feed, in the locale's encoding.
stdx::string format_summary(const RunSummary& summary);
