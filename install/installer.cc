#include "install/installer.h"

#include <chrono>

InstallProgress::InstallProgress()
    : cancelled(false), stopRequested(false), installState(0), percent(0), outcomePosted(false) {
  sem_init(&lock, 0, 1);
}

InstallProgress::~InstallProgress() { sem_destroy(&lock); }

void InstallProgress::resetLocked() {
  cancelled = false;
  stopRequested = false;
  installState = 0;
  percent = 0;
  outcomePosted = false;
  waitingForLock_ = false;
  outcome_ = InstallOutcome();
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
