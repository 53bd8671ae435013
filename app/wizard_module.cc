#include "app/wizard_module.h"

#include <X11/Xlib.h>
#include <gtk/gtk.h>
#include <stdlib.h>
#include <unistd.h>

#include "app/installer_dlg.h"
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

}  // namespace

extern "C" __attribute__((visibility("default"))) int setup_wizard_run(const WizardRequest* request,
                                                                      RunSummary* summary) {
  const CommandLine& line = *request->line;
  DisplayProbe probe;
  if (!probe.opened()) return kWizardNoDisplay;

  // GTK is called from this thread alone: the copy, the decompression and
  // the start-up checks run on threads of their own but never call it, and
  // the window follows them through the main loop's timers. So GDK's
  // thread lock is not set up: with it, a message box shown from a timer
  // (a failed copy, a package found damaged) took the lock in its nested
  // loop and left it held, and the main loop then waited for it forever.
  // The locale is already set, and GTK must not set it again over the
  // chosen language.
  gtk_disable_setlocale();

  // A silent run's starter reads standard error, not the boxes.
  if (line.silent) message_box_echo_to_stderr("setup: ");
  CInstallerDlg dialog(request->argc, request->argv, line.silent, narrow_lib(*request->title),
                       *request->languageCode, line.useCwd);
  probe.close();
  if (line.hasTarget) dialog.setTargetOption(target_from_option(line.targetText));
  dialog.setCommandLine(line);
  dialog.DoModal();
  *summary = dialog.summary();
  return kWizardRan;
}
