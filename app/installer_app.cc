#include "app/installer_app.h"

#include <clocale>

#include "app/command_line.h"
#include "app/installer_dlg.h"

int CInstallerApp::InitInstance() {
  // The scan sees the command line before GTK takes its own options out.
  CommandLine line = scan_command_line(argc_, argv_);
  LanguageChoice choice = choose_language(line, setlocale(LC_ALL, ""));
  language_ = choice.language;
  set_resource_lang(language_);
  title_ = LoadResString("IDR_MAINFRAME");

  CInstallerDlg dialog(argc_, argv_, line.silent, narrow_lib(title_), choice.code, line.useCwd);
  dialog.DoModal();
  return dialog.exitStatus();
}
