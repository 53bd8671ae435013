#include "app/install_session.h"

#include <errno.h>

#include <memory>
#include <system_error>
#include <vector>

#include "app/run_log.h"
#include "install/failure_words.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

int g_pauseAfterRunMs = 0;

}  // namespace

void InstallSession::setPauseAfterRunForTests(int ms) { g_pauseAfterRunMs = ms; }

InstallSession::InstallSession(bool useCwd) : useCwd_(useCwd), trust_(find_trusted_key(key_places())) {
  info_.trust = &trust_;
}

InstallSession::~InstallSession() {
  if (checks_.joinable()) checks_.join();
  reader_.stopInflating();
  thread_.join();
}

void InstallSession::beginChecks() {
  if (checksDone_ || checks_.joinable()) return;
  try {
    checks_ = std::thread([this] { checksError_ = run_startup_checks(useCwd_, reader_, info_); });
  } catch (const std::system_error&) {
    // No thread: awaitChecks runs them in line.
  }
}

const char* InstallSession::awaitChecks() {
  if (checks_.joinable()) checks_.join();
  else if (!checksDone_) checksError_ = run_startup_checks(useCwd_, reader_, info_);
  checksDone_ = true;
  return checksError_;
}

stdx::u16string InstallSession::checksMessage(const char* key) const {
  return startup_error_text(key, info_, useCwd_);
}

bool InstallSession::start(const stdx::u16string& target) {
  target_ = target;
  started_ = true;
  registered_ = false;
  // Empty until the run posts a text of its own: the only one it posts
  // before its first member is the wait for another run's lock.
  processData_.setInstallState(0, stdx::u16string(), 0);
  processData_.init(&reader_, target);
  int started = thread_.start(this);
  if (started == 0) return true;
  // No worker, so nothing would ever be posted: the outcome says so now,
  // with the system's reason when it gave one.
  InstallOutcome outcome;
  outcome.kind = InstallOutcome::kFailed;
  outcome.failure = InstallFailure(FileError::fromErrno(started > 0 ? started : 0, stdx::u16string()));
  describe_outcome(outcome);
  processData_.postOutcome(outcome);
  return false;
}

void InstallSession::requestStop() {
  processData_.setCancel(true);
  // A run that waits for the package's bytes stops waiting at once.
  reader_.stopInflating();
  // The thread is not told to stop: a worker that had not yet begun would
  // then end without a run, and without the outcome that every waiter
  // waits for. The run sees the cancel itself, undoes what it did and
  // posts how it ended.
}

InstallSession::Progress InstallSession::progress() {
  Progress progress;
  unsigned code = 0;
  processData_.getInstallState(code, progress.text, progress.percent);
  progress.waitingForLock = processData_.waitingForLock();
  return progress;
}

stdx::u16string InstallSession::waitingMessage() const {
  return LoadResString("IDS_WAITING_LOCK") + u" " + target_;
}

bool InstallSession::outcome(InstallOutcome& outcome) { return processData_.getOutcome(outcome); }

bool InstallSession::awaitOutcome(InstallOutcome& outcome, int timeoutMs) {
  return processData_.awaitOutcome(outcome, timeoutMs);
}

void InstallSession::join() { thread_.join(); }

bool InstallSession::updateProgress() {
  // The run does not linger after success: the pause that lets a bar be
  // seen full belongs to the window.
  Installer installer(0);
  FsResult result = installer.run(&processData_);
  if (g_pauseAfterRunMs > 0) Sleep(g_pauseAfterRunMs);
  InstallOutcome outcome;
  outcome.copied = installer.copiedFiles();
  outcome.upToDate = installer.upToDateFiles();
  outcome.failure = installer.failure();
  outcome.undoFailures = installer.undoFailures();
  outcome.plan = std::make_shared<const std::vector<MemberPlan>>(installer.takePlannedMembers());
  if (result == 0) {
    outcome.kind = InstallOutcome::kInstalled;
  } else if (result == ERROR_CANCELLED && outcome.undoFailures.empty()) {
    outcome.kind = InstallOutcome::kCancelled;
  } else {
    // A failure, or a cancel that could not undo everything: that the
    // user must learn.
    outcome.kind = InstallOutcome::kFailed;
    if (outcome.failure.code == 0) outcome.failure = InstallFailure(FileError::of(result, stdx::u16string()));
  }
  describe_outcome(outcome);
  // The image fails as damaged when the signature does not verify: the
  // user hears why in the signature's own words.
  stdx::u16string refusal = trust_.refusal();
  if (outcome.kind == InstallOutcome::kFailed && outcome.failure.packageFailed && refusal.empty()) {
    // Damage stops the reads early: the rest of the file decides.
    reader_.awaitImage(-1);
    refusal = trust_.refusalOnDamage(info_.packagePath);
  }
  if (outcome.kind == InstallOutcome::kFailed && !refusal.empty()) {
    outcome.heading = refusal;
    if (outcome.undoFailures.empty()) outcome.detail.clear();
  }
  processData_.postOutcome(outcome);
  return false;
}

const Registration& InstallSession::registerTarget() {
  // The launcher must list where the files are: a target moved since the
  // run opened it is registered at its new place (the summary names that
  // too), and one that no path leads to any more is not registered.
  stdx::u16string now;
  FsResult place = processData_.targetPathNow(target_, now);
  if (place == 0) {
    target_ = now;
  } else if (place != ERROR_INVALID_HANDLE) {
    Registration lost;
    lost.failed = true;
    lost.file = target_;
    lost.errnoValue = place.errnoValue() != 0 ? place.errnoValue() : ENOENT;
    lost.reason = failure_cause_line(stdx::u16string(), lost.errnoValue);
    refuseRegistration(lost);
    return registration_;
  }
  registration_ = register_template_dir(target_, info_.launcher.dirs);
  registered_ = true;
  return registration_;
}

RunSummary InstallSession::summary() const {
  RunSummary summary;
  summary.target = target_;
  summary.signature = trust_.word();
  if (!started_) {
    if (!refusedBeforeCopy_) summary.result = endedBeforeCopy_;
    summary.why = why_;
    return summary;
  }
  InstallOutcome outcome;
  if (!processData_.getOutcome(outcome)) return summary;
  summary.copied = outcome.copied;
  summary.upToDate = outcome.upToDate;
  // Read where it lies: the plan holds every member, and a copy of it
  // would cost as much as the log's lines themselves.
  static const std::vector<MemberPlan> kNoPlan;
  const std::vector<MemberPlan>& plan = outcome.plan ? *outcome.plan : kNoPlan;
  summary.members = logged_members(plan, target_, outcome.kind == InstallOutcome::kInstalled);
  summary.why = outcome.heading;
  if (!outcome.detail.empty()) summary.why += u"\n" + outcome.detail;
  if (registered_ && registration_.failed) summary.why += u"\n" + registration_message(registration_);
  switch (outcome.kind) {
    case InstallOutcome::kInstalled:
      summary.result = registered_ && registration_.failed ? RunResult::kUnregistered
                                                            : RunResult::kInstalled;
      break;
    case InstallOutcome::kCancelled:
      summary.result = RunResult::kCancelled;
      break;
    case InstallOutcome::kFailed:
      summary.result = RunResult::kFailed;
      summary.packageFailed = outcome.failure.packageFailed;
      break;
  }
  return summary;
}

RunSummary InstallSession::summaryOnSignal() const {
  RunSummary now = summary();
  bool couldGoOn = checksDone_ && checksError_ == nullptr && !refusedBeforeCopy_;
  if (now.result == RunResult::kNotStarted && couldGoOn) now.result = RunResult::kCancelled;
  return now;
}
