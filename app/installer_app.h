// The application object: reads the command line, chooses the interface
// language and runs the wizard to its end.
#pragma once

#include "platform/resources.h"
#include "platform/stdx_string.h"

class CInstallerApp {
 public:
  CInstallerApp(int argc, char** argv) : argc_(argc), argv_(argv) {}

  // Runs the whole program: the wizard when a display can be opened, else
  // a silent run that writes its messages to standard error (or, without
  // the silent switch, one line saying that a display is needed). A silent
  // run prints its summary line on standard output. Returns the process
  // exit status: 0 installed, 1 could not start, 2 installation failed and
  // was rolled back, 3 cancelled, 4 installed but not registered with the
  // launcher.
  int InitInstance();

 private:
  int argc_;
  char** argv_;
  LangIdType language_ = LANG_NONE;
  stdx::u16string title_;
};
