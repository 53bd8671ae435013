#include "install/installer.h"

#include <chrono>

InstallProgress::InstallProgress()
    : cancelled(false), stopRequested(false), installState(0), percent(0), outcomePosted(false) {
  sem_init(&lock, 0, 1);
}

InstallProgress::~InstallProgress() {
  if (heldTarget_ != INVALID_HANDLE_VALUE) FileSystem::CloseHandle(heldTarget_);  // only read
  sem_destroy(&lock);
}

void InstallProgress::resetLocked() {
  cancelled = false;
  stopRequested = false;
  installState = 0;
  percent = 0;
  outcomePosted = false;
  waitingForLock_ = false;
  outcome_ = InstallOutcome();
  if (heldTarget_ != INVALID_HANDLE_VALUE) FileSystem::CloseHandle(heldTarget_);  // only read
  heldTarget_ = INVALID_HANDLE_VALUE;
}

void InstallProgress::setCancel(bool cancel) {
  Hold hold(&lock);
  cancelled = cancel;
}

bool InstallProgress::isCancelled() {
  if (stopRequested) return true;
  Hold hold(&lock);
  return cancelled;
}

void InstallProgress::setInstallState(unsigned state, const stdx::u16string& text, int value) {
  Hold hold(&lock);
  installState = state;
  stateText = text;
  percent = value;
  waitingForLock_ = false;
}

void InstallProgress::setWaitingForLock(bool waiting) {
  Hold hold(&lock);
  waitingForLock_ = waiting;
}

bool InstallProgress::waitingForLock() {
  Hold hold(&lock);
  return waitingForLock_;
}

void InstallProgress::getInstallState(unsigned& state, stdx::u16string& text, int& value) {
  Hold hold(&lock);
  state = installState;
  text = stateText;
  value = percent;
}

void InstallProgress::postOutcome(const InstallOutcome& outcome) {
  {
    Hold hold(&lock);
    outcome_ = outcome;
    outcomePosted = true;
  }
  // Under the waiters' mutex: one that has just found no outcome is
  // already waiting, and hears this.
  std::lock_guard<std::mutex> waiters(outcomeMutex_);
  outcomeChanged_.notify_all();
}

bool InstallProgress::awaitOutcome(InstallOutcome& outcome, int timeoutMs) {
  std::unique_lock<std::mutex> waiting(outcomeMutex_);
  return outcomeChanged_.wait_for(waiting, std::chrono::milliseconds(timeoutMs),
                                  [this, &outcome] { return getOutcome(outcome); });
}

bool InstallProgress::getOutcome(InstallOutcome& outcome) {
  Hold hold(&lock);
  if (outcomePosted) outcome = outcome_;
  return outcomePosted;
}

void InstallProgress::holdTarget(void* handle) {
  void* duplicate = INVALID_HANDLE_VALUE;
  // Without a handle of its own nothing can say later where the target
  // went: the path is then taken as given, as before any move.
  if (FileSystem::DuplicateHandle(handle, duplicate) != 0) return;
  Hold hold(&lock);
  if (heldTarget_ != INVALID_HANDLE_VALUE) FileSystem::CloseHandle(heldTarget_);  // only read
  heldTarget_ = duplicate;
}

FsResult InstallProgress::targetPathNow(const stdx::u16string& given, stdx::u16string& now) {
  Hold hold(&lock);
  if (heldTarget_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  return FileSystem::PathOfHandle(heldTarget_, given, now);
}
