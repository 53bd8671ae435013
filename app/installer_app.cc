#include "app/installer_app.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>

#include "app/admin_run.h"
#include "app/command_line.h"
#include "app/summary.h"
#include "app/package_trust.h"
#include "app/run_log.h"
#include "app/silent_run.h"
#include "app/stop_signals.h"
#include "app/wizard_module.h"
#include "install/failure_words.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

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

// Root with the HOME of another user (sudo keeps HOME by default): the
// launcher's folders and file, and the default template directory, would
// be made root's inside that user's home, and the user's own next install
// could not write them. The run is refused, saying what to run instead;
// empty when nothing stands in the way.
stdx::u16string foreign_home_refusal() {
  if (geteuid() != 0) return stdx::u16string();
  stdx::u16string home = home_dir();
  struct stat st;
  if (home.empty() || stat(narrow_lib(home).c_str(), &st) != 0 || st.st_uid == 0) return stdx::u16string();
  struct passwd* user = getpwuid(st.st_uid);
  stdx::string name =
      user != nullptr ? stdx::string(user->pw_name) : stdx::string(std::to_string(st.st_uid).c_str());
  stdx::u16string text = LoadResString("IDS_ERROR_FOREIGNHOME");
  replace_all(text, u"%1", strip_trailing_separators(home));
  replace_all(text, u"%2", widen_lib(name));
  return text;
}

// The run's kind, as its log names it.
const char* log_mode(const CommandLine& line) {
  if (line.verify) return "verify";
  if (line.remove) return line.dryRun ? "remove, dry run" : "remove";
  if (line.repair) return line.dryRun ? "repair, dry run" : "repair";
  return line.dryRun ? "dry-run" : "install";
}

}  // namespace

int CInstallerApp::InitInstance() {
  occupy_closed_standard_streams();
  // A reader that went away must not end the run half way: a failed write
  // is told (print_summary), the run goes on, and its status stands.
  signal(SIGPIPE, SIG_IGN);
  // A file-size limit (ulimit -f) makes a write fail with EFBIG, which the
  // run reports and rolls back, instead of killing it with nothing said.
  signal(SIGXFSZ, SIG_IGN);
  // The scan sees the command line before GTK takes its own options out.
  CommandLine line = scan_command_line(argc_, argv_);
  // Every silent run prints its summary line, even when a signal ends it
  // during the start-up: from here on a signal ends it with a cancel's.
  // The line is in place before the handlers are: a signal between the two
  // would end the run without it.
  // The remove and the repair are run from the command line alone, as the
  // dry run and the verify are.
  bool asksOnly = line.dryRun || line.verify || line.remove || line.repair;
  // One question at a time: a verify, a remove or a repair.
  bool clash = int(line.verify) + int(line.remove) + int(line.repair) > 1;
  if (line.help) {
    fputs(usage_text(), stdout);
    return fflush(stdout) == 0 ? kExitInstalled : kExitNotStarted;
  }
  // The dry run and the verify are ours alone: a script that misspelt an
  // option must hear it rather than get an answer to another question.
  if (asksOnly && (line.unknownIgnored || clash)) {
    for (const stdx::string& arg : line.ignored) fprintf(stderr, "setup: unknown option: %s\n", arg.c_str());
    if (clash) fputs("setup: -V, -U and -R exclude each other\n", stderr);
    fputs(usage_text(), stderr);
    return kExitUsage;
  }
  if (line.hasLog && line.logPath.empty()) {
    fputs("setup: -l needs a file name\n", stderr);
    fputs(usage_text(), stderr);
    return asksOnly ? kExitUsage : kExitNotStarted;
  }
  if (line.hasLog) set_log_option(line.logPath);
  if (line.hasKey) set_key_option(line.keyPath);
  if (line.silent || asksOnly) set_outcome_on_signal(kExitCancelled, format_summary(cancelled_summary()));
  StopSignalGuard signals;
  // Held since the program's first instruction (main.cc): one that came
  // meanwhile is taken now, by the handler.
  release_stop_signals();
  LanguageChoice choice = choose_language(line, setlocale(LC_ALL, ""));
  language_ = choice.language;
  set_resource_lang(language_);
  // The wizard and the silent run keep going without them, as they always
  // have; but whoever typed them learns that they meant nothing.
  for (const stdx::string& arg : line.ignored)
    fprintf(stderr, "setup: %s %s\n", narrow_lib(LoadResString("IDS_ARG_IGNORED")).c_str(), arg.c_str());
  title_ = LoadResString("IDR_MAINFRAME");

  // Only the verify writes nothing at all: the dry run answers what the
  // install would do, which is to refuse.
  stdx::u16string refusal = line.verify ? stdx::u16string() : foreign_home_refusal();
  if (!refusal.empty()) {
    message_box_to_stderr("setup: ");
    messageBox(nullptr, refusal, MB_ICONERROR_OK);
    RunSummary summary;
    if (line.dryRun && !line.remove && !line.repair) summary.result = RunResult::kWouldFail;
    summary.why = refusal;
    if (line.silent || asksOnly) print_summary(summary);
    write_run_log(summary, log_mode(line));
    return exit_status(summary);
  }

  // The dry run and the verify never open a window, display or not: they
  // write nothing, so a signal ends them at once with nothing to undo.
  if (asksOnly) {
    message_box_to_stderr("setup: ");
    RunSummary summary = run_admin_check(line);
    print_summary(summary);
    write_run_log(summary, log_mode(line));
    return exit_status(summary);
  }

  // The toolkit is loaded only for a display that DISPLAY names: without
  // one, no library of it is ever mapped into the process.
  RunSummary summary;
  int wizard = kWizardNoDisplay;
  const char* display = getenv("DISPLAY");
  if (display != nullptr && display[0] != '\0') {
    // The toolkit's own captions speak the chosen language too.
    set_toolkit_language(narrow_lib(choice.code));
    int loadErrno = 0;
    stdx::string loadMessage;
    WizardEntry entry = load_wizard(loadErrno, loadMessage);
    if (entry != nullptr) {
      const WizardRequest request = {argc_, argv_, &line, &choice.code, &title_};
      wizard = entry(&request, &summary);
    } else {
      // The window cannot be had; a silent run still can, as without a display.
      fprintf(stderr, "setup: %s\n", loadMessage.empty() ? strerror(loadErrno) : loadMessage.c_str());
    }
  }
  if (wizard == kWizardNoDisplay) {
    message_box_to_stderr("setup: ");
    if (!line.silent) {
      messageBox(nullptr, LoadResString("IDS_ERROR_NODISPLAY"), MB_ICONERROR_OK);
      summary.why = LoadResString("IDS_ERROR_NODISPLAY");
      write_run_log(summary, "install");
      return kExitNotStarted;
    }
    summary = run_silent_without_display(line);
  }
  // A repair or a remove chosen in the wizard ends as -R and -U do: its
  // lines on standard output close with the summary.
  if (line.silent || summary.mode != RunMode::kInstall) print_summary(summary);
  // After the summary line: a log that cannot be written changes nothing
  // of what the run reports. The wizard may have repaired or removed.
  write_run_log(summary, summary.mode == RunMode::kRemove   ? "remove"
                         : summary.mode == RunMode::kRepair ? "repair"
                                                            : "install");
  return exit_status(summary);
}
