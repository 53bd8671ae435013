#include "app/silent_run.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "app/install_session.h"
#include "app/run_log.h"
#include "app/stop_signals.h"
#include "app/summary.h"
#include "install/failure_words.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

// How often the waiting thread looks at the worker and at stop requests.
const int kWaitTickMs = 20;

}  // namespace

RunSummary run_silent_without_display(const CommandLine& line) {
  stdx::u16string target;
  if (line.hasTarget) {
    target = target_from_option(line.targetText);
    if (target.empty()) {
      messageBox(nullptr, LoadResString("IDS_SETUP_EMPTYTARGET"), MB_ICONERROR_OK);
      return RunSummary();
    }
  }

  // A signal before the copy ends the program at once with a cancel's
  // status and its summary line: the package image has no name, so
  // nothing is left behind.
  StopSignalGuard signals;
  InstallSession session(line.useCwd);
  const char* error = session.awaitChecks();
  if (error == nullptr && !line.hasTarget) target = session.startupInfo().targetPath;
  // Every launcher entry was a remote address: there is nobody to ask.
  if (error == nullptr && target.empty()) error = "IDS_ERROR_NOTARGET";
  if (error != nullptr) {
    session.refuseBeforeCopy(session.checksMessage(error));
    messageBox(nullptr, session.checksMessage(error), MB_ICONERROR_OK);
    return session.summary();
  }
  // A small package may be read whole by now: a signature found wrong
  // then stops the run before anything is written into the target.
  if (!session.signatureRefusal().empty()) {
    session.refuseBeforeCopy(session.signatureRefusal());
    messageBox(nullptr, session.signatureRefusal(), MB_ICONERROR_OK);
    return session.summary();
  }
  session.setTarget(target);
  stdx::u16string logRefusal = log_refusal(target);
  if (!logRefusal.empty()) {
    session.refuseBeforeCopy(logRefusal);
    messageBox(nullptr, logRefusal, MB_ICONERROR_OK);
    return session.summary();
  }
  RunSummary now = session.summaryOnSignal();
  set_outcome_on_signal(exit_status(now), format_summary(now));

  // From here until the outcome is registered, a signal rolls the run back
  // instead of ending the program.
  CopySignalScope copying(session.progressRecord());
  session.start(target);
  InstallOutcome outcome;
  bool stopRequested = false;
  bool toldWaiting = false;
  // Looks for a signal and the lock's wait at every tick, and ends the
  // moment the outcome is posted.
  for (;;) {
    if (stop_signal_received() != 0 && !stopRequested) {
      stopRequested = true;
      session.requestStop();
    }
    if (!toldWaiting && session.progress().waitingForLock) {
      toldWaiting = true;
      messageBox(nullptr, session.waitingMessage(), MB_PLAIN_OK);
    }
    if (session.awaitOutcome(outcome, kWaitTickMs)) break;
  }
  session.join();

  if (outcome.kind == InstallOutcome::kFailed) {
    messageBox(nullptr, outcome_message(outcome), MB_ICONERROR_OK);
  } else if (outcome.kind == InstallOutcome::kInstalled) {
    // Registered where the files are now: the session asks the target the
    // run held, wherever it was moved meanwhile.
    const Registration& registration = session.registerTarget();
    if (registration.failed)
      messageBox(nullptr, registration_message(registration), MB_ICONWARNING_OK);
  }
  if (int pause = test_pause_ms("SETUP_TEST_PAUSE_BEFORE_SUMMARY_MS")) Sleep(pause);
  // The run is over: a signal from here on ends the program with what is
  // on disk, not with the cancel published before the copy.
  RunSummary done = session.summary();
  set_outcome_on_signal(exit_status(done), format_summary(done));
  return done;
}
