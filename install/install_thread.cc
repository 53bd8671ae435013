#include "install/install_thread.h"

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
  while (!t->stopRequested) {
    if (!t->dialog->updateProgress()) break;
  }
  return nullptr;
}
