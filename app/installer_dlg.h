// The installer's one window: the pages, the timers that follow the
// install session (start-up checks, copy, outcome) and the readme. What the
// run does and how it ended are the session's; the window only shows them.
//
// Thread safety: user-interface thread only; the session's worker never
// touches the window.
#pragma once

#include <gtk/gtk.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/install_session.h"
#include "app/startup.h"
#include "app/stop_signals.h"
#include "app/summary.h"
#include "platform/utils.h"

class WizardDialogPage;
class MessagePage;
class SuccessFinalPage;
class DirSelectPage;
class MaintenancePage;
class ProgressPage;

class CInstallerDlg : public CWnd {
 public:
  // Page states. kStateCancelled is the final page after a copy that the
  // user cancelled and that was rolled back.
  enum State : unsigned {
    kStateNone = 0,
    kStateWelcome = 1,
    kStateSelectPath = 2,
    kStateProgress = 3,
    kStateSuccess = 4,
    kStateError = 5,
    kStateCancelled = 6,
    kStateMaintenance = 7,  // the directory holds the package's files: update, repair or remove
    kStateMaintaining = 8,  // a repair or a remove runs
  };

  // Initialises GTK with argc and argv (which it may shorten); a display
  // that cannot be opened is reported by DoModal.
  CInstallerDlg(int argc, char** argv, bool silent, const stdx::string& title,
                const stdx::u16string& languageCode, bool useCwd);
  // Joins the worker before anything it uses goes away.
  ~CInstallerDlg() override;
  CInstallerDlg(const CInstallerDlg&) = delete;
  CInstallerDlg& operator=(const CInstallerDlg&) = delete;

  // The template directory of a "-D" option: it replaces the default of the
  // start-up checks and fills the directory page. Empty is refused by DoModal.
  void setTargetOption(const stdx::u16string& target);
  // The program's command line: a repair or a remove chosen in the window
  // runs as the command line's would, with its key and its log.
  void setCommandLine(const CommandLine& line) { line_ = line; }

  // Runs the wizard to its end: start-up checks, window, pages, and either
  // gtk_main or, in silent mode, the copy alone.
  void DoModal();
  // How the run ended, and the process exit status for it (see ExitStatus).
  RunSummary summary() const;
  int exitStatus() const { return exit_status(summary()); }

  stdx::u16string windowTitle() const override { return widen_lib(title_); }

  // Everything DoModal does before the main loop: the start-up checks,
  // the window and the welcome page (in silent mode, the copy started).
  // False, with the window gone and the reason shown, when the run cannot
  // go on.
  bool open();

  void showWelcomePage();
  void showSelectPathPage();
  // Starts the copy and returns; the main loop follows it to a final page.
  void showProgressPage();
  void showSuccessFinalPage();
  // cause: what the error box said ("Installation error" and the lines below).
  void showErrorFinalPage(const InstallOutcome& outcome);
  void showCancelledFinalPage();
  void showMessageFinalPage(MessagePage*& page, const char* textKey, unsigned state);
  void setCurPage(WizardDialogPage* page);
  void setFinishButtons();
  // Product and provider of the package for the interface language, else
  // from its English description; empty when neither names them.
  void titles(stdx::u16string& product, stdx::u16string& provider) const;

  // The one way a copy is stopped, for Cancel, Escape, closing the window
  // and the termination signals alike: the run rolls back after the member
  // in hand, and the main loop then shows the cancelled page.
  void stopCopy();
  // Asks whether to quit; on Yes closes the window.
  void processCancel();
  gboolean processKeyPress(GdkEventKey* event);
  // Finish: opens the readme when asked to, then closes the window.
  void finalize();

  static gint on_buttonPrev_clicked(GtkWidget* widget, gpointer data);
  static gint on_buttonNext_clicked(GtkWidget* widget, gpointer data);
  // "clicked" of Cancel.
  static gint button_clicked_handler(GtkWidget* widget, gpointer data);
  static gboolean gtk_window_key_press_callback(GtkWidget* widget, GdkEventKey* event,
                                                gpointer data);
  static gboolean on_window_delete_event(GtkWidget* widget, GdkEvent* event, gpointer data);
  static void on_window_destroy(GtkWidget* widget, gpointer data);

  // For tests and tools.
  unsigned state() const { return state_; }
  const stdx::u16string& targetPath() const { return targetPath_; }
  GtkWidget* window() const { return window_; }
  GtkWidget* backButton() const { return backButton_; }
  GtkWidget* nextButton() const { return nextButton_; }
  GtkWidget* separator() const { return separator_; }
  GtkWidget* cancelButton() const { return cancelButton_; }
  MessagePage* welcomePage() const { return welcomePage_; }
  DirSelectPage* dirSelectPage() const { return dirSelectPage_; }
  ProgressPage* progressPage() const { return progressPage_; }
  SuccessFinalPage* successPage() const { return successPage_; }
  MessagePage* errorPage() const { return errorPage_; }
  MessagePage* cancelledPage() const { return cancelledPage_; }
  MaintenancePage* maintenancePage() const { return maintenancePage_; }
  MessagePage* maintainedPage() const { return maintainedPage_; }
  // After the directory page: the maintenance page when the directory
  // holds files of the package (true), else nothing (false).
  bool offerMaintenance();
  // Starts a repair (or a remove) of the chosen directory, as -R (-U)
  // would run it, on a worker; its final page says how it ended.
  void runMaintenance(bool remove);
  // From the start of a repair or a remove until its outcome is shown.
  bool maintaining() const { return state_ == kStateMaintaining; }
  // From the start of a copy until its outcome is shown and registered.
  bool copying() const { return copyScope_ != nullptr; }

 private:
  // The window with its buttons, not yet shown.
  void buildMainWindow();
  void initMainWindow();
  GdkPixbuf* createIcon();
  GdkPixbuf* createBackImage();
  // The main loop's timer over the copy: shows its progress, and once the
  // run has ended one way or another, its outcome.
  static gboolean watch_copy(gpointer data);
  // The repair's or remove's watch: the page alive until the run's record
  // is there, then its final page.
  static gboolean watch_maintenance(gpointer data);
  void followMaintenance();
  void showRunPage(unsigned state, bool cancellable);
  void showMaintained();
  // The main loop's timer over the package while it inflates behind the
  // first pages: a package that turns out damaged ends the run at once.
  static gboolean watch_package(gpointer data);
  // Says why the package cannot be installed and ends the run (status 1).
  void endOnPackageFailure(const stdx::u16string& text);
  // Shows the progress; false once the run has posted its outcome.
  bool followCopy();
  // The progress page for what the run posted: percent, files done, the file.
  void showProgress(const InstallSession::Progress& progress);
  // Gives the focus to Next (or Finish), else to Cancel, whichever is shown
  // and can be pressed.
  void focusDefaultButton();
  // The final page (and box) for how the run ended.
  void showOutcome(const InstallOutcome& outcome);
  // After the pause that shows the bar full: the success page and the
  // registration.
  static gboolean finish_success(gpointer data);
  void showSuccess();
  // Tells the signal handler how the run would end now.
  void noteOutcomeForSignal();
  // Hands signals back to the program and, after a signal, ends it.
  void endCopy();
  void registerTargetDir();
  // Grows the window where the buttons or the page shown need more room,
  // never past the screen's work area: a page too tall for it gets its
  // text wider first, and is cut at the foot only when even the widest
  // text does not fit (the buttons stay in view).
  void fitWindow();
  stdx::u16string successText() const;
  // Hands the readme to the desktop's opener; a box says why when it fails.
  void openReadme();
  // Hands path to the desktop's opener as one argument, never through a
  // shell; when that fails, a box says so with the text of failureKey
  // ("%1" the path) and why.
  void openWithDesktop(const stdx::u16string& path, const char* failureKey);
  // In the opener's process, before it starts.
  static void opener_setup(gpointer data);
  // "Open the template directory" on the success page.
  static gint on_open_folder_clicked(GtkWidget* widget, gpointer data);
  // Cancel, Escape or close while the copy runs: ask, then request the cancel.
  void requestCancelDuringCopy();
  // Destroys the window (ending gtk_main), after the worker has ended.
  void closeWindow();

  bool silent_;
  InstallSession session_;
  stdx::u16string targetPath_;
  stdx::u16string languageCode_;
  unsigned state_ = kStateNone;
  MessagePage* welcomePage_ = nullptr;
  DirSelectPage* dirSelectPage_ = nullptr;
  WizardDialogPage* currentPage_ = nullptr;
  ProgressPage* progressPage_ = nullptr;
  SuccessFinalPage* successPage_ = nullptr;
  MessagePage* errorPage_ = nullptr;
  MessagePage* cancelledPage_ = nullptr;
  MaintenancePage* maintenancePage_ = nullptr;
  MessagePage* maintainedPage_ = nullptr;
  GdkPixbuf* sideImage_ = nullptr;
  CommandLine line_;
  // A repair or a remove ran: its record is the run's outcome.
  bool maintained_ = false;
  RunSummary maintenance_;
  bool removing_ = false;
  std::thread maintenanceThread_;
  std::atomic<bool> maintenanceDone_{false};
  HeldMessageBoxes maintenanceBoxes_;
  guint maintenanceWatch_ = 0;
  GtkWidget* backButton_ = nullptr;
  GtkWidget* nextButton_ = nullptr;
  GtkWidget* cancelButton_ = nullptr;
  int argc_;
  char** argv_;
  const int width_ = 500;
  const int height_ = 360;
  stdx::string title_;
  GtkWidget* window_ = nullptr;
  GtkWidget* fixed_ = nullptr;
  GdkPixbuf* icon_ = nullptr;
  GtkWidget* separator_ = nullptr;
  int rowWidth_ = 0;  // that the button row needs
  int shownWidth_ = 500;
  int shownHeight_ = 360;
  bool sizeApplied_ = false;

  bool displayOpen_ = false;
  bool cancelRequested_ = false;  // the user confirmed a cancel during the copy
  bool hasTargetOption_ = false;
  stdx::u16string targetOption_;
  bool toldWaiting_ = false;          // the wait for another run was reported
  bool showingWait_ = false;          // the progress page says so now

  // The copy's, the package's and the final pause's timer sources, or 0.
  guint copyWatch_ = 0;
  guint packageWatch_ = 0;
  guint finishPause_ = 0;
  int shownPercent_ = -1;
  stdx::u16string shownText_;  // the run's last posted text shown
  size_t shownMember_ = 0;     // the member last found copying
  // While a copy runs, a signal stops it instead of the program.
  std::unique_ptr<StopSignalGuard> copySignals_;
  std::unique_ptr<CopySignalScope> copyScope_;
};
