#include "install/installer.h"

InstallProgress::InstallProgress()
    : cancelled(false), stopRequested(false), installState(0), percent(0) {
  sem_init(&lock, 0, 1);
}

InstallProgress::~InstallProgress() { sem_destroy(&lock); }

void InstallProgress::resetLocked() {
  cancelled = false;
  stopRequested = false;
  installState = 0;
  percent = 0;
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
}

void InstallProgress::getInstallState(unsigned& state, stdx::u16string& text, int& value) {
  Hold hold(&lock);
  state = installState;
  text = stateText;
  value = percent;
}
