#include "app/silent_run.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "app/install_session.h"
#include "app/stop_signals.h"
#include "app/summary.h"
#include "install/failure_words.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

// How often the waiting thread looks at the worker and at stop requests.
const int kWaitTickMs = 20;

// Tests only: how long a run waits between its registration and its
// summary, so that a signal can be made to land there (the environment's
// SETUP_TEST_PAUSE_BEFORE_SUMMARY_MS; 0 without it).
int pause_before_summary_ms() {
  const char* text = getenv("SETUP_TEST_PAUSE_BEFORE_SUMMARY_MS");
  int ms = text != nullptr ? atoi(text) : 0;
  return ms > 0 && ms <= 60000 ? ms : 0;
}

// The directory the run writes into, held open from the moment it exists,
// so that the end of the run can tell whether the path still leads there:
// a folder renamed away during the copy holds the files, and the old path
// (empty, or another folder) must not be what the launcher lists.
class TargetWatch {
 public:
  explicit TargetWatch(const stdx::u16string& target) : path_(narrow_lib(target)) { look(); }
  ~TargetWatch() {
    if (fd_ >= 0) close(fd_);
  }
  TargetWatch(const TargetWatch&) = delete;
  TargetWatch& operator=(const TargetWatch&) = delete;

  // Opens the directory once it is there (the run may make it).
  void look() {
    if (fd_ < 0) fd_ = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }

  enum Place { kAtPath, kMoved, kLost };
  // Where the directory is now: at its path, moved (to now), or nowhere a
  // path leads (removed, or its new place cannot be told).
  Place whereNow(stdx::string& now) const {
    struct stat held, named;
    if (fd_ < 0 || fstat(fd_, &held) != 0) return kAtPath;  // never seen: nothing to compare
    if (stat(path_.c_str(), &named) == 0 && same(held, named)) return kAtPath;
    char link[PATH_MAX];
    std::string fdPath = "/proc/self/fd/" + std::to_string(fd_);
    ssize_t n = readlink(fdPath.c_str(), link, sizeof link - 1);
    if (n <= 0 || link[0] != '/') return kLost;
    link[n] = '\0';
    if (stat(link, &named) != 0 || !same(held, named)) return kLost;  // " (deleted)", or moved again
    now = link;
    return kMoved;
  }

 private:
  static bool same(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  }
  stdx::string path_;
  int fd_ = -1;
};

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
    session.refuseBeforeCopy();
    messageBox(nullptr, session.checksMessage(error), MB_ICONERROR_OK);
    return session.summary();
  }
  // A small package may be read whole by now: a signature found wrong
  // then stops the run before anything is written into the target.
  if (!session.signatureRefusal().empty()) {
    session.refuseBeforeCopy();
    messageBox(nullptr, session.signatureRefusal(), MB_ICONERROR_OK);
    return session.summary();
  }
  session.setTarget(target);
  RunSummary now = session.summaryOnSignal();
  set_outcome_on_signal(exit_status(now), format_summary(now));

  // From here until the outcome is registered, a signal rolls the run back
  // instead of ending the program.
  CopySignalScope copying(session.progressRecord());
  TargetWatch watch(target);
  session.start(target);
  InstallOutcome outcome;
  bool stopRequested = false;
  bool toldWaiting = false;
  // Looks for a signal, the lock's wait and the target's place at every
  // tick, and ends the moment the outcome is posted.
  for (;;) {
    if (stop_signal_received() != 0 && !stopRequested) {
      stopRequested = true;
      session.requestStop();
    }
    if (!toldWaiting && session.progress().waitingForLock) {
      toldWaiting = true;
      messageBox(nullptr, session.waitingMessage(), MB_PLAIN_OK);
    }
    watch.look();
    if (session.awaitOutcome(outcome, kWaitTickMs)) break;
  }
  session.join();

  if (outcome.kind == InstallOutcome::kFailed) {
    messageBox(nullptr, outcome_message(outcome), MB_ICONERROR_OK);
  } else if (outcome.kind == InstallOutcome::kInstalled) {
    // The launcher must list where the files are: a target moved during
    // the run is registered at its new place, and one whose place cannot
    // be told is not registered at all.
    stdx::string movedTo;
    TargetWatch::Place place = watch.whereNow(movedTo);
    if (place == TargetWatch::kMoved) session.setTarget(widen_lib(movedTo));
    Registration lost;
    if (place == TargetWatch::kLost) {
      lost.failed = true;
      lost.file = target;
      lost.errnoValue = ENOENT;
      lost.reason = failure_cause_line(stdx::u16string(), ENOENT);
      session.refuseRegistration(lost);
    }
    const Registration& registration = place == TargetWatch::kLost ? lost : session.registerTarget();
    if (registration.failed)
      messageBox(nullptr, registration_message(registration), MB_ICONWARNING_OK);
  }
  if (int pause = pause_before_summary_ms()) Sleep(pause);
  // The run is over: a signal from here on ends the program with what is
  // on disk, not with the cancel published before the copy.
  RunSummary done = session.summary();
  set_outcome_on_signal(exit_status(done), format_summary(done));
  return done;
}
