// How a run ended, in the one record from which the exit status, the
// summary line and the wizard's final page are all taken.
//
// The summary line is what a silent run prints on standard output when it
// ends, for the scripts that start it. Its form is fixed (and documented in
// the manual page and the README), so scripts may parse it:
//
//   setup: result=RESULT copied=N up-to-date=M target=DIRECTORY
//
// RESULT is installed, installed-unregistered, failed-rolled-back,
// cancelled-rolled-back or not-started; N and M count the package's
// members that were copied and that were already up to date (after a
// rollback, what the run had done before it was undone); DIRECTORY, last
// so that blanks in it need no quoting, is the template directory of the
// run without a trailing separator (empty when the run ended before
// choosing one).
#pragma once

#include "platform/stdx_string.h"

enum class RunResult { kNotStarted, kInstalled, kUnregistered, kFailed, kCancelled };

struct RunSummary {
  RunResult result = RunResult::kNotStarted;
  // A failure found in the package during the copy: the run was rolled
  // back, and it ends as a damaged package found at the start does.
  bool packageFailed = false;
  unsigned long copied = 0;
  unsigned long upToDate = 0;
  stdx::u16string target;
};

// The process exit status (an ExitStatus value).
int exit_status(const RunSummary& summary);

// The RESULT word.
const char* summary_result(const RunSummary& summary);

// The whole line, without its line feed, in the locale's encoding.
stdx::string format_summary(const RunSummary& summary);
