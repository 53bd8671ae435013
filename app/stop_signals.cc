#include "app/stop_signals.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "app/summary.h"
#include "install/installer.h"
#include "platform/utils.h"

namespace {

volatile sig_atomic_t g_stopSignal = 0;
volatile sig_atomic_t g_copyRunning = 0;
volatile sig_atomic_t g_exitStatusOnSignal = kExitCancelled;
InstallProgress* volatile g_runProgress = nullptr;
bool g_handlersInstalled = false;
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
const size_t kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

// The summary line for a signal outside the copy. Two buffers: the handler
// reads the one published last while the other is rewritten.
struct SummarySlot {
  char* text = nullptr;
  size_t length = 0;
};
SummarySlot g_summarySlots[2];
std::atomic<SummarySlot*> g_summary{nullptr};

void write_all(const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = write(STDOUT_FILENO, text, length);
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

void on_stop_signal(int signal) {
  if (!g_copyRunning) {
    SummarySlot* summary = g_summary.load();
    if (summary != nullptr) write_all(summary->text, summary->length);
    _exit(g_exitStatusOnSignal);
  }
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

int test_pause_ms(const char* variable) {
  const char* text = getenv(variable);
  int ms = text != nullptr ? atoi(text) : 0;
  return ms > 0 && ms <= 60000 ? ms : 0;
}

void set_outcome_on_signal(int status, const stdx::string& summaryLine) {
  g_exitStatusOnSignal = status;
  if (summaryLine.empty()) {
    g_summary.store(nullptr);
    return;
  }
  // The slot not published is free: no handler reads it.
  SummarySlot* slot = g_summary.load() == &g_summarySlots[0] ? &g_summarySlots[1] : &g_summarySlots[0];
  delete[] slot->text;
  slot->length = summaryLine.size() + 1;
  slot->text = new char[slot->length];
  memcpy(slot->text, summaryLine.c_str(), summaryLine.size());
  slot->text[summaryLine.size()] = '\n';
  g_summary.store(slot);
}

namespace {

void mask_stop_signals(int how) {
  sigset_t stops;
  sigemptyset(&stops);
  for (size_t i = 0; i < kStopSignalCount; ++i) sigaddset(&stops, kStopSignals[i]);
  pthread_sigmask(how, &stops, nullptr);
}

}  // namespace

void hold_stop_signals() { mask_stop_signals(SIG_BLOCK); }
void release_stop_signals() { mask_stop_signals(SIG_UNBLOCK); }
