#include "app/stop_signals.h"

#include <unistd.h>

#include "app/startup.h"
#include "platform/utils.h"

namespace {

volatile sig_atomic_t g_stopSignal = 0;
volatile sig_atomic_t g_copyRunning = 0;
volatile sig_atomic_t g_exitStatusOnSignal = kExitCancelled;
InstallProgress* volatile g_runProgress = nullptr;
bool g_handlersInstalled = false;
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
const size_t kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

void on_stop_signal(int signal) {
  if (!g_copyRunning) _exit(g_exitStatusOnSignal);
  g_stopSignal = signal;
  InstallProgress* progress = g_runProgress;
  if (progress != nullptr) progress->requestStop();
}

}  // namespace

StopSignalGuard::StopSignalGuard() : installed_(!g_handlersInstalled) {
  static_assert(sizeof previous_ / sizeof previous_[0] == kStopSignalCount, "one slot per signal");
  if (!installed_) return;
  g_handlersInstalled = true;
  g_stopSignal = 0;
  g_exitStatusOnSignal = kExitCancelled;
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < kStopSignalCount; ++i) sigaction(kStopSignals[i], &action, &previous_[i]);
  set_message_box_interrupt(&g_stopSignal);
}

StopSignalGuard::~StopSignalGuard() {
  if (!installed_) return;
  for (size_t i = 0; i < kStopSignalCount; ++i) sigaction(kStopSignals[i], &previous_[i], nullptr);
  set_message_box_interrupt(nullptr);
  g_handlersInstalled = false;
}

CopySignalScope::CopySignalScope(InstallProgress* progress) {
  g_runProgress = progress;
  g_copyRunning = 1;
}

CopySignalScope::~CopySignalScope() {
  g_copyRunning = 0;
  g_runProgress = nullptr;
}

int stop_signal_received() { return g_stopSignal; }

void set_exit_status_on_signal(int status) { g_exitStatusOnSignal = status; }
