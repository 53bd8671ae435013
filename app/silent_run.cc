#include "app/silent_run.h"

#include <signal.h>

#include <atomic>

#include "app/startup.h"
#include "app/stop_signals.h"
#include "install/install_thread.h"
#include "install/installer.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

const unsigned kErrorCancelled = 1223;
// How often the waiting thread looks at the worker and at stop requests.
const int kWaitTickMs = 20;

// The worker's side: one run of the installer, with no pause at the end
// since no progress bar waits to show it full.
class SilentWorker : public InstallWorker {
 public:
  bool updateProgress() override {
    Installer installer(0);
    result = installer.run(&processData);
    copied = installer.copiedFiles();
    upToDate = installer.upToDateFiles();
    packageFailed = installer.packageFailed();
    ended.store(true);
    return false;
  }

  InstallProcessData processData;
  // Written by the worker before ended; read after the thread was joined.
  unsigned result = 0;
  unsigned long copied = 0;
  unsigned long upToDate = 0;
  bool packageFailed = false;
  std::atomic<bool> ended{false};
};

int fail_to_start(const char* key) {
  messageBox(nullptr, LoadResString(key), MB_ICONERROR_OK);
  return kExitNotStarted;
}

}  // namespace

int run_silent_without_display(const CommandLine& line, RunSummary& summary) {
  stdx::u16string target;
  if (line.hasTarget) {
    target = target_from_option(line.targetText);
    if (target.empty()) return fail_to_start("IDS_SETUP_EMPTYTARGET");
  }

  // A signal before the copy ends the program at once with a cancel's
  // status: the package image has no name, so nothing is left behind.
  StopSignalGuard signals;
  PackageReader reader;
  StartupInfo info;
  const char* error = run_startup_checks(line.useCwd, reader, info);
  if (error != nullptr) {
    messageBox(nullptr, startup_error_text(error, info), MB_ICONERROR_OK);
    return kExitNotStarted;
  }
  if (!line.hasTarget) target = info.targetPath;
  summary.target = target;
  // Every launcher entry was a remote address: there is nobody to ask.
  if (target.empty()) return fail_to_start("IDS_ERROR_NOTARGET");

  SilentWorker worker;
  worker.processData.init(&reader, target);
  InstallThread thread;
  // From here until the outcome is registered, a signal rolls the run back
  // instead of ending the program.
  CopySignalScope copying(&worker.processData);
  {
    if (thread.start(&worker) != 0) {
      messageBox(nullptr, LoadResString("IDS_INSTALL_ERROR"), MB_ICONERROR_OK);
      return kExitFailed;
    }
    bool cancelRequested = false;
    while (!worker.ended.load()) {
      if (stop_signal_received() != 0 && !cancelRequested) {
        cancelRequested = true;
        worker.processData.setCancel(true);
        reader.stopInflating();
        thread.stop();
      }
      Sleep(kWaitTickMs);
    }
    thread.join();
  }
  summary.copied = worker.copied;
  summary.upToDate = worker.upToDate;

  // A posted error comes first: a cancel whose rollback could not put
  // everything back posts one too, naming what is left.
  unsigned code = 0;
  stdx::u16string text;
  int percent = 0;
  worker.processData.getInstallState(code, text, percent);
  if (code != 0 && worker.packageFailed) {
    // Damage found behind the header: the run undid itself, and the
    // package is what is wrong, as when it is found at the start.
    messageBox(nullptr, text, MB_ICONERROR_OK);
    return kExitNotStarted;
  }
  if (code != 0 || (worker.result != 0 && worker.result != kErrorCancelled)) {
    messageBox(nullptr, code == 0 || text.empty() ? LoadResString("IDS_INSTALL_ERROR") : text,
               MB_ICONERROR_OK);
    return kExitFailed;
  }
  if (worker.result == kErrorCancelled) return kExitCancelled;

  Registration registration = register_template_dir(target, info.launcher.dirs,
                                                    info.launcher.baseListOnly,
                                                    info.launcher.baseConfigExists);
  if (registration.failed) {
    messageBox(nullptr, registration_message(registration), MB_ICONWARNING_OK);
    return kExitUnregistered;
  }
  return kExitInstalled;
}
