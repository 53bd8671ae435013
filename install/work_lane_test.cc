// The second thread of an install: jobs are worked in the order given, a
// failure stops the lane and every job behind it is discarded unworked,
// and a stop discards what still waits. With or without its thread.
#include "install/work_lane.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

struct Counted {
  int id = 0;
};

TEST(WorkLaneTest, WorksInOrderAndDiscardsWhatAFailureOrAStopLeaves) {
  const struct {
    const char* name;
    int jobs;
    int failAt;  // 0: none
    bool stopEarly;
    bool slowWork;  // the pushes fill the lane and wait for room
  } cases[] = {
      {"all worked", 100, 0, false, false},
      {"slower than the pushes", 200, 0, false, true},
      {"failure in the middle", 100, 40, false, false},
      {"failure at the first", 10, 1, false, false},
      {"stopped while jobs wait", 100, 0, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int> worked, discarded;
    std::atomic<bool> release{!c.stopEarly};
    WorkLane<Counted> lane;
    lane.start(
        [&](Counted& job) {
          while (!release.load() && !lane.stopping()) {
          }
          if (c.slowWork) std::this_thread::sleep_for(std::chrono::microseconds(200));
          worked.push_back(job.id);
          return job.id != c.failAt;
        },
        [&](Counted& job) { discarded.push_back(job.id); });
    int handed = 0;
    for (int i = 1; i <= c.jobs; ++i) {
      Counted job;
      job.id = i;
      // A wake-up lost between the two sides would leave this waiting.
      WorkLane<Counted>::Push pushed = lane.push(job, 10000);
      ASSERT_NE(WorkLane<Counted>::Push::kNoRoom, pushed);
      ++handed;
      if (pushed == WorkLane<Counted>::Push::kFailed) break;
      if (c.stopEarly && i == 10) break;
    }
    if (c.stopEarly) {
      lane.stop();
    } else {
      while (!lane.drained(1000)) {
      }
    }
    EXPECT_EQ(c.failAt != 0, lane.failed());
    // Every job handed over is worked or discarded, exactly once, and the
    // worked ones are a prefix in order that ends at the failure.
    EXPECT_EQ(static_cast<size_t>(handed), worked.size() + discarded.size());
    for (size_t i = 0; i < worked.size(); ++i) EXPECT_EQ(static_cast<int>(i) + 1, worked[i]);
    if (c.failAt != 0) {
      EXPECT_EQ(c.failAt, worked.back());
    }
    if (c.failAt == 0 && !c.stopEarly) {
      EXPECT_EQ(static_cast<size_t>(c.jobs), worked.size());
    }
    lane.stop();
  }
}

}  // namespace
