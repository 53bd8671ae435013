// The one line that a silent run prints on standard output when it ends,
// for the scripts that start it. Its form is fixed (and documented in the
// manual page and the README), so scripts may parse it:
//
//   setup: result=RESULT copied=N up-to-date=M target=DIRECTORY
//
// RESULT is installed, installed-unregistered, failed-rolled-back,
// cancelled-rolled-back or not-started; N and M count the package's
// members that were copied and that were already up to date; DIRECTORY,
// last so that blanks in it need no quoting, is the template directory of
// the run (empty when the run ended before choosing one).
#pragma once

#include "platform/stdx_string.h"

struct RunSummary {
  int exitStatus = 1;  // an ExitStatus value
  unsigned long copied = 0;
  unsigned long upToDate = 0;
  stdx::u16string target;
};

// The RESULT word for an exit status.
const char* summary_result(int exitStatus);

// The whole line, without its line feed, in the locale's encoding.
stdx::string format_summary(const RunSummary& summary);
