// The application object: reads the command line, chooses the interface
// language and runs the wizard to its end.
#pragma once

#include "platform/resources.h"
#include "platform/stdx_string.h"

class CInstallerApp {
 public:
  CInstallerApp(int argc, char** argv) : argc_(argc), argv_(argv) {}

  // Runs the whole program. Returns the process exit status: 0 installed
  // (or nothing to report), 1 could not start, 2 installation failed and
  // was rolled back, 3 cancelled by the user.
  int InitInstance();

 private:
  int argc_;
  char** argv_;
  LangIdType language_ = LANG_NONE;
  stdx::u16string title_;
};
