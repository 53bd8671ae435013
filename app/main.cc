#include "app/installer_app.h"
#include "app/stop_signals.h"

namespace {

// Before any other code of the program runs: a stop signal from here on
// waits until its handler is in place (CInstallerApp::InitInstance)
// instead of ending the program with no word of what it did.
__attribute__((constructor(101))) void hold_signals_from_the_start() { hold_stop_signals(); }

}  // namespace

int main(int argc, char** argv) {
  CInstallerApp app(argc, argv);
  return app.InitInstance();
}
