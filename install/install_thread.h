// The worker thread of an installation. It knows its owner only as an
// InstallWorker, so the engine builds and is tested without any toolkit.
//
// Thread safety: start(), stop(), join() and started() are called by the
// owning (user-interface) thread; the worker reads the stop flag, which is
// atomic.
#pragma once

#include <pthread.h>

#include <atomic>

// What the worker thread runs. The install session derives from it; its
// updateProgress() performs one install run and returns false.
class InstallWorker {
 public:
  virtual ~InstallWorker();
  // Runs on the worker thread, again and again while it returns true and
  // no stop is requested.
  virtual bool updateProgress() = 0;
};

class InstallThread {
 public:
  InstallThread();
  // Joins a thread that is still running: better to wait than to let it
  // use a destroyed object. The owner should not rely on this, though: it
  // must call join() before it destroys anything the worker uses (the
  // worker itself, the package reader, the shared state), which for a
  // wizard means in its own destructor, not in a member's.
  ~InstallThread();
  InstallThread(const InstallThread&) = delete;
  InstallThread& operator=(const InstallThread&) = delete;

  // Starts a thread (default attributes) that calls worker->updateProgress()
  // until it returns false or stop() is called. A thread of an earlier
  // start is joined first. Returns the result of pthread_create (0 on
  // success), or -1 for a null worker or when the attributes cannot be set
  // up; no run takes place then.
  int start(InstallWorker* worker);
  // Keeps the worker from starting another call; a call under way ends
  // normally.
  void stop();
  // Waits for the thread if one was created and not yet joined. Returns
  // true when a thread was joined; safe to call any number of times.
  bool join();
  bool started() const { return createResult == 0; }

  static void* thread_func(void* self);

  // Tests only: a new thread waits ms before it first looks at the stop
  // request and calls its worker, as a busy machine may make it.
  static void setStartDelayForTests(int ms);

 private:
  InstallWorker* dialog;
  std::atomic<bool> stopRequested;
  pthread_t thread;
  int createResult;  // -1 until a thread is created, then pthread_create's result
  bool joinable;
};
