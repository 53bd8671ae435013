#include "install/install_thread.h"

#include <time.h>

namespace {

std::atomic<int> g_startDelayMs(0);

}  // namespace

void InstallThread::setStartDelayForTests(int ms) { g_startDelayMs = ms; }

InstallWorker::~InstallWorker() {}

InstallThread::InstallThread()
    : dialog(nullptr), stopRequested(false), thread(), createResult(-1), joinable(false) {}

InstallThread::~InstallThread() { join(); }

int InstallThread::start(InstallWorker* worker) {
  join();
  stopRequested = false;
  dialog = worker;
  createResult = -1;
  if (worker == nullptr) return createResult;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return createResult;
  createResult = pthread_create(&thread, &attributes, &InstallThread::thread_func, this);
  pthread_attr_destroy(&attributes);
  joinable = createResult == 0;
  return createResult;
}

void InstallThread::stop() { stopRequested = true; }

bool InstallThread::join() {
  if (!joinable) return false;
  pthread_join(thread, nullptr);
  joinable = false;
  return true;
}

void* InstallThread::thread_func(void* self) {
  InstallThread* t = static_cast<InstallThread*>(self);
  int delayMs = g_startDelayMs;
  if (delayMs > 0) {
    struct timespec pause = {delayMs / 1000, (delayMs % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
  }
  while (!t->stopRequested) {
    if (!t->dialog->updateProgress()) break;
  }
  return nullptr;
}
