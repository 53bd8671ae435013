#include "bench/window_timing.h"

#include <X11/Xlib.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/bench_common.h"
#include "bench/spawn.h"

namespace bench {

WindowTiming timeToWindow(const std::string& setup, const std::string& packageDir, const std::string& home,
                          const std::string& temp, const std::string& logFile) {
  WindowTiming timing;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return timing;
  Window root = DefaultRootWindow(display);
  XSelectInput(display, root, SubstructureNotifyMask);
  XSync(display, False);
  SetupSpawn spawn(setup, false, home, temp);
  double t0 = now();
  pid_t pid = spawn.start(packageDir, logFile);
  if (pid < 0) {
    XCloseDisplay(display);
    return timing;
  }
  bool reaped = false;
  int status = 0;
  int fd = ConnectionNumber(display);
  while (timing.mapped < 0 && now() - t0 < 60) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MapNotify && timing.mapped < 0) timing.mapped = now() - t0;
    }
    if (timing.mapped >= 0) break;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      reaped = true;
      timing.endedFirst = true;
      timing.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    struct timeval tick = {0, 2000};
    select(fd + 1, &readable, nullptr, nullptr, &tick);
  }
  if (!reaped) {
    // A program that outlives the signal must not hang the benchmark.
    double t1 = now();
    kill(pid, SIGTERM);
    for (;;) {
      pid_t r = waitpid(pid, nullptr, WNOHANG);
      if (r == pid) {
        timing.ended = now() - t1;
        break;
      }
      if (r < 0 && errno != EINTR) break;
      if (now() - t1 > 10) {
        timing.killed = true;
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        break;
      }
      usleep(1000);
    }
  }
  XCloseDisplay(display);
  return timing;
}

std::string displayProblem() {
  const char* display = getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return "no display (DISPLAY is not set)";
  Display* x = XOpenDisplay(nullptr);
  if (x == nullptr) return std::string("cannot open the display ") + display;
  XCloseDisplay(x);
  return std::string();
}

}  // namespace bench
