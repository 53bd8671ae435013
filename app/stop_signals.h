// What SIGINT, SIGTERM and SIGHUP do to a run of the installer, shared by
// the wizard and the silent run without a display.
//  - During the copy they must not leave a half-installed directory: the
//    handler notes the signal and asks the worker to stop (without a lock),
//    the run rolls back, and the waiting loop then ends the program. A
//    second signal only notes again: it never cuts the rollback short.
//  - Anywhere else there is nothing to undo (the package image has no
//    name), so the program ends at once with the status of what it shows:
//    a cancel before the copy, the outcome on a final page. That holds in
//    the middle of the start-up decompression and with a message box open.
#pragma once

#include <signal.h>

#include "platform/stdx_string.h"

class InstallProgress;

// Installs the handlers for its scope; an inner guard while an outer one
// holds does nothing.
class StopSignalGuard {
 public:
  StopSignalGuard();
  ~StopSignalGuard();
  StopSignalGuard(const StopSignalGuard&) = delete;
  StopSignalGuard& operator=(const StopSignalGuard&) = delete;

 private:
  bool installed_;
  struct sigaction previous_[3];
};

// While a copy runs (and its outcome is registered), signals stop the run
// instead of the program.
class CopySignalScope {
 public:
  explicit CopySignalScope(InstallProgress* progress);
  ~CopySignalScope();
  CopySignalScope(const CopySignalScope&) = delete;
  CopySignalScope& operator=(const CopySignalScope&) = delete;
};

// The signal noted during the copy, or 0.
int stop_signal_received();

// Tests only: how long a run waits at a moment the environment variable
// names (SETUP_TEST_PAUSE_BEFORE_SUMMARY_MS, ..._BEFORE_COMMIT_MS), so
// that a signal can be made to land there; 0 without it, at most 60 s.
int test_pause_ms(const char* variable);
// The status the program ends with when a signal arrives outside the copy,
// and the line it prints on standard output first (a silent run's summary;
// empty for none). Not to be called from a signal handler.
void set_outcome_on_signal(int status, const stdx::string& summaryLine);

// Blocks SIGINT, SIGTERM and SIGHUP for the calling thread (the program
// does it at its first instruction, before its handlers exist), and
// unblocks them once the handlers are in place: a signal in between waits,
// and is then taken by the handler instead of killing the program.
void hold_stop_signals();
void release_stop_signals();
