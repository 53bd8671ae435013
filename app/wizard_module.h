// The wizard as a module of its own: GTK, the X libraries and the wizard's
// code are loaded only when a run opens a window. Everything else (the
// command line, the signal handlers, the silent run, the dry run and the
// verify) is in the program, which starts in a few milliseconds with its
// handlers in place before any of those libraries is loaded: a signal that
// lands while they load meets a handler, not the default action.
//
// The module is stored inside the program, so that `setup` stays one file
// that a kit carries beside its package. It resolves everything else it
// needs against the program itself.
#pragma once

#include "app/command_line.h"
#include "app/summary.h"

// What the program hands the module.
struct WizardRequest {
  int argc;
  char** argv;
  const CommandLine* line;
  const stdx::u16string* languageCode;
  const stdx::u16string* title;
};

// What the module reports.
enum WizardOutcome {
  kWizardRan = 0,      // summary holds how the run ended
  kWizardNoDisplay = 1,  // no display could be opened; nothing was done
};

// The module's one entry point, looked up by this name.
extern "C" int setup_wizard_run(const WizardRequest* request, RunSummary* summary);
typedef int (*WizardEntry)(const WizardRequest*, RunSummary*);
constexpr const char* kWizardEntryName = "setup_wizard_run";

// Loads the module from the program's own bytes: null when that failed,
// with errnoValue and message (the loader's words) set.
WizardEntry load_wizard(int& errnoValue, stdx::string& message);
