// A second thread that works through jobs in the order they are handed to
// it, a few at most waiting: the install thread makes each member's file
// and hands it over, this thread fills it. The first job that fails stops
// the lane; the jobs after it are discarded, never worked.
//
// Thread safety: one thread (the owner) calls every method; the lane's
// thread calls only the work and discard functions given to start().
// Everything the owner reads of the work's results after drained() or
// stop() happened before it.
#pragma once

#include <stddef.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

template <class Job>
class WorkLane {
 public:
  // Jobs waiting at most: each holds an open file.
  static const size_t kDepth = 32;
  // Each side sleeps until the other has this much to give: the lane's
  // thread until this many jobs wait (or drained() or stop() is called),
  // a push that found the lane full until this many places are free. A
  // wake-up per job would cost two system calls each.
  static const size_t kWakeAt = 8;

  WorkLane() = default;
  ~WorkLane() { stop(); }
  WorkLane(const WorkLane&) = delete;
  WorkLane& operator=(const WorkLane&) = delete;

  // work(job) does a job and returns false when it failed (the lane then
  // stops); discard(job) gives back what a job not worked holds. Without a
  // thread (none could start) each job is worked at once by push(), on
  // the owner's thread: slower, never different.
  void start(std::function<bool(Job&)> work, std::function<void(Job&)> discard) {
    stop();
    work_ = std::move(work);
    discard_ = std::move(discard);
    failed_ = stopping_ = busy_ = false;
    try {
      thread_ = std::thread([this] { loop(); });
    } catch (const std::system_error&) {
      // Works inline.
    }
  }

  enum class Push { kQueued, kNoRoom, kFailed };

  // Queues job, waiting at most timeoutMs for room: kQueued (or worked
  // already), kNoRoom when the time ran out (job stays the caller's), or
  // kFailed when the lane failed (job discarded).
  Push push(Job& job, int timeoutMs) {
    if (!thread_.joinable()) {
      if (failed_) {
        discard_(job);
        return Push::kFailed;
      }
      if (!work_(job)) failed_ = true;
      return failed_ ? Push::kFailed : Push::kQueued;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    bool room = failed_ || jobs_.size() < kDepth ||
                changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [this] { return failed_ || jobs_.size() <= kDepth - kWakeAt; });
    if (failed_) {
      lock.unlock();
      discard_(job);
      return Push::kFailed;
    }
    if (!room) return Push::kNoRoom;
    jobs_.push_back(std::move(job));
    if (jobs_.size() >= kWakeAt) changed_.notify_all();
    return Push::kQueued;
  }

  // Waits at most timeoutMs until every job queued is done; true then (a
  // failure included: failed() tells).
  bool drained(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.notify_all();  // the jobs that did not wake it
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return jobs_.empty() && !busy_; });
  }

  // A job failed: the lane works no more.
  bool failed() {
    std::lock_guard<std::mutex> hold(mutex_);
    return failed_;
  }

  // Set by stop() for the job in hand, which may end early.
  bool stopping() {
    std::lock_guard<std::mutex> hold(mutex_);
    return stopping_;
  }

  // Discards the jobs still waiting, lets the job in hand end and joins the
  // thread. The lane can be started again.
  void stop() {
    if (thread_.joinable()) {
      {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
      }
      changed_.notify_all();
      thread_.join();
    }
    for (Job& job : jobs_) discard_(job);
    jobs_.clear();
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      busy_ = true;
      lock.unlock();
      bool ok = work_(job);
      lock.lock();
      busy_ = false;
      if (!ok) {
        failed_ = true;
        for (Job& left : jobs_) discard_(left);
        jobs_.clear();
      }
      if (jobs_.empty() || jobs_.size() == kDepth - kWakeAt) changed_.notify_all();
      if (!ok) return;
    }
  }

  std::function<bool(Job&)> work_;
  std::function<void(Job&)> discard_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  bool failed_ = false;
  bool stopping_ = false;
  bool busy_ = false;  // the thread works a job
  std::thread thread_;
};
