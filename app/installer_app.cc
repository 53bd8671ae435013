#include "app/installer_app.h"

#include <X11/Xlib.h>
#include <errno.h>
#include <fcntl.h>
#include <gdk/gdk.h>
#include <gtk/gtk.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <clocale>

#include "app/admin_run.h"
#include "app/command_line.h"
#include "app/summary.h"
#include "app/installer_dlg.h"
#include "app/package_trust.h"
#include "app/silent_run.h"
#include "app/stop_signals.h"
#include "install/failure_words.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

const int kDisplayAttempts = 5;
const int kDisplayRetryMs = 100;

// A connection to the X display, opened with Xlib directly: GTK, once
// initialised, insists on a display, and a run without one must never
// initialise it. The connection stays open until GTK has its own: an X
// server may refuse a connection made right after the last one closed
// (seen with Xvfb, about one try in seven), and GTK would then report a
// display that had just answered as missing.
class DisplayProbe {
 public:
  DisplayProbe() {
    const char* name = getenv("DISPLAY");
    if (name == nullptr || name[0] == '\0') return;
    // The same refusal can meet the probe itself (another program's
    // connection had just closed): a few more tries before saying "none".
    for (int attempt = 0; attempt < kDisplayAttempts && display_ == nullptr; ++attempt) {
      if (attempt > 0) usleep(kDisplayRetryMs * 1000);
      display_ = XOpenDisplay(nullptr);
    }
  }
  ~DisplayProbe() { close(); }
  DisplayProbe(const DisplayProbe&) = delete;
  DisplayProbe& operator=(const DisplayProbe&) = delete;

  bool opened() const { return display_ != nullptr; }
  void close() {
    if (display_ != nullptr) XCloseDisplay(display_);
    display_ = nullptr;
  }

 private:
  Display* display_ = nullptr;
};

RunSummary cancelled_summary() {
  RunSummary summary;
  summary.result = RunResult::kCancelled;
  return summary;
}

// Standard output was closed when the program started (it now leads to
// /dev/null, so that no file the run opens can take its place).
bool g_stdoutClosed = false;

// A closed standard stream is given /dev/null: the next file the program
// opened would otherwise get its number, and the summary line, or a
// library's message, would be written into that file.
void occupy_closed_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int opened = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
    if (fd == STDOUT_FILENO) g_stdoutClosed = true;
  }
}

// The summary line (and, for the dry run and the verify, the lines before
// it) on standard output. When that fails (a closed pipe, a full disk,
// a closed stream), the exit status still tells the outcome, and the
// failure and the line itself go to standard error.
void print_summary(const RunSummary& summary) {
  const stdx::string line = format_summary(summary);
  // One line for every run, whenever a signal comes: from here a signal
  // ends the program with this run's status and prints nothing more, and
  // none is taken while the line is written. The signals stay blocked:
  // the run has nothing left to do but end with this status.
  sigset_t stops;
  sigemptyset(&stops);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  set_outcome_on_signal(exit_status(summary), stdx::string());
  int err = g_stdoutClosed ? EBADF : 0;
  if (err == 0) {
    errno = 0;
    bool failed = printf("%s\n", line.c_str()) < 0;
    failed = fflush(stdout) != 0 || failed || ferror(stdout);
    if (failed) err = errno != 0 ? errno : EIO;
  }
  if (err == 0) return;
  fprintf(stderr, "setup: %s %s\n%s\n", narrow_lib(LoadResString("IDS_ERROR_STDOUT")).c_str(),
          narrow_lib(failure_cause_line(stdx::u16string(), err)).c_str(), line.c_str());
}

}  // namespace

int CInstallerApp::InitInstance() {
  occupy_closed_standard_streams();
  // A reader that went away must not end the run half way: a failed write
  // is told (print_summary), the run goes on, and its status stands.
  signal(SIGPIPE, SIG_IGN);
  // The scan sees the command line before GTK takes its own options out.
  CommandLine line = scan_command_line(argc_, argv_);
  // Every silent run prints its summary line, even when a signal ends it
  // during the start-up: from here on a signal ends it with a cancel's.
  // The line is in place before the handlers are: a signal between the two
  // would end the run without it.
  bool asksOnly = line.dryRun || line.verify;
  if (line.help) {
    fputs(usage_text(), stdout);
    return fflush(stdout) == 0 ? kExitInstalled : kExitNotStarted;
  }
  // The dry run and the verify are ours alone: a script that misspelt an
  // option must hear it rather than get an answer to another question.
  if (asksOnly && line.unknownIgnored) {
    for (const stdx::string& arg : line.ignored) fprintf(stderr, "setup: unknown option: %s\n", arg.c_str());
    fputs(usage_text(), stderr);
    return kExitUsage;
  }
  if (line.hasKey) set_key_option(line.keyPath);
  if (line.silent || asksOnly) set_outcome_on_signal(kExitCancelled, format_summary(cancelled_summary()));
  StopSignalGuard signals;
  LanguageChoice choice = choose_language(line, setlocale(LC_ALL, ""));
  language_ = choice.language;
  set_resource_lang(language_);
  // The wizard and the silent run keep going without them, as they always
  // have; but whoever typed them learns that they meant nothing.
  for (const stdx::string& arg : line.ignored)
    fprintf(stderr, "setup: %s %s\n", narrow_lib(LoadResString("IDS_ARG_IGNORED")).c_str(), arg.c_str());
  title_ = LoadResString("IDR_MAINFRAME");

  // The dry run and the verify never open a window, display or not: they
  // write nothing, so a signal ends them at once with nothing to undo.
  if (asksOnly) {
    message_box_to_stderr("setup: ");
    RunSummary summary = run_admin_check(line);
    print_summary(summary);
    return exit_status(summary);
  }

  DisplayProbe probe;
  if (!probe.opened()) {
    message_box_to_stderr("setup: ");
    if (!line.silent) {
      messageBox(nullptr, LoadResString("IDS_ERROR_NODISPLAY"), MB_ICONERROR_OK);
      return kExitNotStarted;
    }
    RunSummary summary = run_silent_without_display(line);
    print_summary(summary);
    return exit_status(summary);
  }

  // GTK is called from this thread alone: the copy, the decompression and
  // the start-up checks run on threads of their own but never call it, and
  // the window follows them through the main loop's timers. So GDK's
  // thread lock is not set up: with it, a message box shown from a timer
  // (a failed copy, a package found damaged) took the lock in its nested
  // loop and left it held, and the main loop then waited for it forever.
  // The toolkit's own captions speak the chosen language too; the locale
  // is already set, and GTK must not set it again over that choice.
  set_toolkit_language(narrow_lib(choice.code));
  gtk_disable_setlocale();

  // A silent run's starter reads standard error, not the boxes.
  if (line.silent) message_box_echo_to_stderr("setup: ");
  CInstallerDlg dialog(argc_, argv_, line.silent, narrow_lib(title_), choice.code, line.useCwd);
  probe.close();
  if (line.hasTarget) dialog.setTargetOption(target_from_option(line.targetText));
  dialog.DoModal();
  RunSummary summary = dialog.summary();
  if (line.silent) print_summary(summary);
  return exit_status(summary);
}
