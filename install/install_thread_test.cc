#include "install/install_thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "install/installer.h"
#include "install/test_support.h"

using namespace test_support;

namespace {

class CountingWorker : public InstallWorker {
 public:
  explicit CountingWorker(int rounds) : rounds_(rounds) {}
  bool updateProgress() override { return ++calls < rounds_; }
  std::atomic<int> calls{0};

 private:
  int rounds_;
};

// Asks for a stop from inside its first call, as a cancel in the window
// would between two calls.
class StoppingWorker : public InstallWorker {
 public:
  explicit StoppingWorker(InstallThread& thread) : thread_(thread) {}
  bool updateProgress() override {
    ++calls;
    thread_.stop();
    return true;
  }
  std::atomic<int> calls{0};

 private:
  InstallThread& thread_;
};

// What the wizard does: one install run per started thread.
class InstallingWorker : public InstallWorker {
 public:
  explicit InstallingWorker(InstallProcessData& data) : data_(data) {}
  bool updateProgress() override {
    Installer installer(0);
    result = installer.run(&data_);
    return false;
  }
  FsResult result = 12345;

 private:
  InstallProcessData& data_;
};

TEST(InstallThreadTest, CallsTheWorkerUntilItReturnsFalse) {
  CountingWorker worker(3);
  InstallThread thread;
  EXPECT_FALSE(thread.started());
  EXPECT_FALSE(thread.join());
  ASSERT_EQ(0, thread.start(&worker));
  EXPECT_TRUE(thread.started());
  EXPECT_TRUE(thread.join());
  EXPECT_FALSE(thread.join());
  EXPECT_EQ(3, worker.calls.load());

  // A second start runs again on a fresh thread.
  ASSERT_EQ(0, thread.start(&worker));
  thread.join();
  EXPECT_EQ(4, worker.calls.load());
}

TEST(InstallThreadTest, StopEndsTheLoopBeforeTheNextCall) {
  InstallThread thread;
  StoppingWorker worker(thread);
  ASSERT_EQ(0, thread.start(&worker));
  thread.join();
  EXPECT_EQ(1, worker.calls.load());
}

TEST(InstallThreadTest, NullWorkerStartsNothing) {
  InstallThread thread;
  EXPECT_NE(0, thread.start(nullptr));
  EXPECT_FALSE(thread.started());
  EXPECT_FALSE(thread.join());
}

class InstallThreadRunTest : public ScratchTest {};

TEST_F(InstallThreadRunTest, RunsAnInstallOnTheWorkerThread) {
  PackageReader reader;
  std::string image = makeImage({}, false, {{"a\\b.txt", "b", fileTime(100)}, {"c.txt", "c", fileTime(100)}});
  ASSERT_EQ(0u, reader.open(u16(writePackage(image))));
  InstallProcessData data;
  data.init(&reader, u16(path("target")));
  InstallingWorker worker(data);
  InstallThread thread;
  ASSERT_EQ(0, thread.start(&worker));
  // The window's loop: read the shared state until the run is over.
  unsigned state = 0;
  stdx::u16string text;
  int percent = 0;
  while (state == 0 && percent <= 99) data.getInstallState(state, text, percent);
  thread.join();
  EXPECT_EQ(0u, worker.result);
  EXPECT_EQ(0u, state);
  EXPECT_TRUE(text == resourceText("IDS_INSTALL_FINISH"));
  EXPECT_EQ("b", readBytes(path("target/a/b.txt")));
}

}  // namespace
