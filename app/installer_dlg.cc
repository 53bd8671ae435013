#include "app/installer_dlg.h"

#include <gdk/gdkkeysyms.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <thread>

#include "app/admin_run.h"
#include "app/maintenance_run.h"
#include "app/pages.h"
#include "app/run_log.h"
#include "app/stop_signals.h"
#include "install/failure_words.h"
#include "platform/file_system.h"
#include "platform/path_separators.h"
#include "platform/printable.h"
#include "platform/resources.h"

namespace {

#include "app/images/icon.xpm"
#include "app/images/side_image.xpm"


// How often the main loop looks at the copy's shared state: often enough
// for a smooth bar, rare enough to cost nothing.
const guint kPollWakeMs = 40;
// How often it looks at the package inflating behind the first pages.
const guint kPackageWatchMs = 100;
// How long the full bar stays in view before the success page.
const guint kFinishPauseMs = 1000;

CInstallerDlg* dialog_of(gpointer data) { return static_cast<CInstallerDlg*>(data); }

}  // namespace

CInstallerDlg::CInstallerDlg(int argc, char** argv, bool silent, const stdx::string& title,
                             const stdx::u16string& languageCode, bool useCwd)
    : silent_(silent),
      session_(useCwd),
      languageCode_(languageCode),
      argc_(argc),
      argv_(argv),
      title_(title) {
  line_.useCwd = useCwd;
  // The checks need no display: they read the package's header while GTK
  // sets itself up, which takes about as long.
  session_.beginChecks();
  // A busy X server now and then drops a new connection at once; a second
  // try soon after gets through (the program checked that there is one).
  for (int attempt = 0; attempt < 5 && !displayOpen_; ++attempt) {
    if (attempt > 0) g_usleep(100000);
    displayOpen_ = gtk_init_check(&argc_, &argv_) != FALSE;
  }
}

CInstallerDlg::~CInstallerDlg() {
  if (copyWatch_ != 0) g_source_remove(copyWatch_);
  if (packageWatch_ != 0) g_source_remove(packageWatch_);
  if (finishPause_ != 0) g_source_remove(finishPause_);
  if (maintenanceWatch_ != 0) g_source_remove(maintenanceWatch_);
  if (maintenanceThread_.joinable()) maintenanceThread_.join();
  session_.reader().stopInflating();
  session_.join();
  if (window_ != nullptr) gtk_widget_destroy(window_);
  delete welcomePage_;
  delete dirSelectPage_;
  delete progressPage_;
  delete successPage_;
  delete errorPage_;
  delete cancelledPage_;
  delete maintenancePage_;
  delete maintainedPage_;
  if (sideImage_ != nullptr) g_object_unref(sideImage_);
  if (icon_ != nullptr) g_object_unref(icon_);
}

void CInstallerDlg::DoModal() {
  StopSignalGuard signals;
  if (!open()) return;
  if (!silent_) packageWatch_ = g_timeout_add(kPackageWatchMs, &CInstallerDlg::watch_package, this);
  if (window_ != nullptr && (!silent_ || copying())) gtk_main();
  session_.join();
}

bool CInstallerDlg::open() {
  if (!displayOpen_) {
    // The display went away between the program's check and GTK's.
    message_box_to_stderr("setup: ");
    messageBox(this, LoadResString("IDS_ERROR_NODISPLAY"), MB_ICONERROR_OK);
    return false;
  }
  if (hasTargetOption_ && targetOption_.empty()) {
    messageBox(this, LoadResString("IDS_SETUP_EMPTYTARGET"), MB_ICONERROR_OK);
    return false;
  }
  // The start-up checks go on while this thread builds the window, which
  // costs GTK its font set-up. The window is shown once the checks have
  // passed; the rest of the package goes on inflating behind the first
  // pages.
  buildMainWindow();
  const char* error = session_.awaitChecks();
  targetPath_ = hasTargetOption_ ? targetOption_ : session_.startupInfo().targetPath;
  // A silent run asks nothing, so an empty target (every launcher entry was
  // a remote address) would put the templates into the current directory.
  if (error == nullptr && silent_ && targetPath_.empty()) error = "IDS_ERROR_NOTARGET";
  // A silent run's target is known now: a log inside it stops the run
  // before its window is shown.
  stdx::u16string refusal = error != nullptr ? session_.checksMessage(error)
                            : silent_       ? log_refusal(targetPath_)
                                            : stdx::u16string();
  if (!refusal.empty()) {
    if (error == nullptr) session_.setTarget(targetPath_);
    session_.refuseBeforeCopy(refusal);
    noteOutcomeForSignal();
    gtk_widget_destroy(window_);
    messageBox(this, refusal, MB_ICONERROR_OK);
    return false;
  }
  session_.setTarget(targetPath_);
  gtk_widget_show(window_);
  showWelcomePage();
  noteOutcomeForSignal();
  if (silent_) showProgressPage();
  return true;
}

void CInstallerDlg::setTargetOption(const stdx::u16string& target) {
  hasTargetOption_ = true;
  targetOption_ = target;
}

RunSummary CInstallerDlg::summary() const { return maintained_ ? maintenance_ : session_.summary(); }

void CInstallerDlg::noteOutcomeForSignal() {
  RunSummary now = maintained_ ? maintenance_ : session_.summaryOnSignal();
  set_outcome_on_signal(exit_status(now), silent_ || maintained_ ? format_summary(now) : stdx::string());
}

void CInstallerDlg::buildMainWindow() {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  initMainWindow();
  gtk_window_set_title(GTK_WINDOW(window_), title_.c_str());

  separator_ = gtk_hseparator_new();
  gtk_fixed_put(GTK_FIXED(fixed_), separator_, 0, 0);

  struct ButtonLayout {
    GtkWidget** widget;
    const char* key;
    GCallback handler;
  } buttons[] = {
      {&backButton_, "IDS_KEYED_BACK", G_CALLBACK(&CInstallerDlg::on_buttonPrev_clicked)},
      {&nextButton_, "IDS_KEYED_NEXT", G_CALLBACK(&CInstallerDlg::on_buttonNext_clicked)},
      {&cancelButton_, "IDS_KEYED_CANCEL", G_CALLBACK(&CInstallerDlg::button_clicked_handler)},
  };
  for (const ButtonLayout& layout : buttons) {
    *layout.widget = gtk_button_new_with_mnemonic(mnemonic_text(layout.key).c_str());
    gtk_fixed_put(GTK_FIXED(fixed_), *layout.widget, 0, 0);
    g_signal_connect(*layout.widget, "clicked", layout.handler, this);
  }
  // Next can be the default and keeps room for Finish, which takes its place.
  gtk_widget_set_can_default(nextButton_, TRUE);
  rowWidth_ = place_button_row(fixed_, separator_, {backButton_, nextButton_, cancelButton_},
                               {{}, {mnemonic_text("IDS_KEYED_FINISH")}}, width_, height_);
  gtk_widget_grab_default(nextButton_);

  gtk_widget_show_all(fixed_);
  sideImage_ = createBackImage();
  fitWindow();
}

// The part of the screen a window may take: the monitor's, less the
// panels where the desktop publishes its work area.
static GdkRectangle work_area(GtkWidget* window) {
  GdkScreen* screen = gtk_widget_get_screen(window);
  GdkWindow* shown = gtk_widget_get_window(window);
  int monitor = shown != nullptr ? gdk_screen_get_monitor_at_window(screen, shown) : 0;
  GdkRectangle area;
  gdk_screen_get_monitor_geometry(screen, monitor, &area);
  GdkAtom type = GDK_NONE;
  gint format = 0, length = 0;
  guchar* data = nullptr;
  if (gdk_property_get(gdk_screen_get_root_window(screen), gdk_atom_intern_static_string("_NET_WORKAREA"),
                       gdk_atom_intern_static_string("CARDINAL"), 0, 16, FALSE, &type, &format, &length,
                       &data)) {
    // Four numbers (of 4 bytes each, asked for in bytes); format 32 comes
    // as longs, whatever their size.
    if (format == 32 && length >= static_cast<gint>(4 * sizeof(long))) {
      const long* values = reinterpret_cast<const long*>(data);
      GdkRectangle work = {static_cast<int>(values[0]), static_cast<int>(values[1]),
                           static_cast<int>(values[2]), static_cast<int>(values[3])};
      GdkRectangle both;
      if (gdk_rectangle_intersect(&area, &work, &both)) area = both;
    }
    g_free(data);
  }
  return area;
}

// The window is 500 x 360 unless a large font needs more for the buttons or
// the page shown; it grows then (and stays so), and the row moves with it,
// within the screen's work area less the room of a window frame.
void CInstallerDlg::fitWindow() {
  const int kFrameWidth = 8, kFrameHeight = 32, kWidenStep = 60;
  GdkRectangle area = work_area(window_);
  int maxWidth = std::max(width_, area.width - kFrameWidth);
  int maxHeight = std::max(height_, area.height - kFrameHeight);
  int width = 0, height = 0;
  MessagePage* message = dynamic_cast<MessagePage*>(currentPage_);
  for (int textWidth = main_area_width();; textWidth += kWidenStep) {
    if (message != nullptr) message->setAreaWidth(textWidth);
    width = std::max(shownWidth_, rowWidth_);
    height = shownHeight_;
    if (currentPage_ != nullptr) {
      int bottom = 0;
      page_extent(*currentPage_, width, bottom);
      height = std::max(height, bottom + shownHeight_ - page_area_bottom());
    }
    if (message == nullptr || height <= maxHeight || width + kWidenStep > maxWidth) break;
  }
  // At the widest the screen allows the text is still too tall: it
  // scrolls, and the buttons stay on the screen. Its scroll bar may widen
  // the page a little.
  if (message != nullptr && height > maxHeight) {
    message->limitTextHeight(message->textHeight() - (height - maxHeight));
    int bottom = 0;
    page_extent(*currentPage_, width, bottom);
  }
  width = std::min(width, maxWidth);
  height = std::min(height, maxHeight);
  if (width == shownWidth_ && height == shownHeight_ && sizeApplied_) return;
  shownWidth_ = width;
  shownHeight_ = height;
  sizeApplied_ = true;
  GdkGeometry hints = {};
  hints.min_width = hints.max_width = hints.base_width = width;
  hints.min_height = hints.max_height = hints.base_height = height;
  hints.win_gravity = GDK_GRAVITY_NORTH_WEST;
  gtk_window_set_geometry_hints(
      GTK_WINDOW(window_), window_, &hints,
      static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE | GDK_HINT_BASE_SIZE));
  // The window is no larger than the page's widgets ask for only when the
  // area holding them says so: a text cut at the foot must not push the
  // window past the screen.
  gtk_widget_set_size_request(fixed_, width, height);
  gtk_window_set_default_size(GTK_WINDOW(window_), width, height);
  gtk_window_resize(GTK_WINDOW(window_), width, height);
  place_button_row(fixed_, separator_, {backButton_, nextButton_, cancelButton_},
                   {{}, {mnemonic_text("IDS_KEYED_FINISH"), mnemonic_text("IDS_KEYED_NEXT")}},
                   width, height);
}

void CInstallerDlg::initMainWindow() {
  gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
  // Its size is set by fitWindow once the buttons are measured.
  gtk_window_set_modal(GTK_WINDOW(window_), TRUE);
  gtk_window_set_type_hint(GTK_WINDOW(window_), GDK_WINDOW_TYPE_HINT_DIALOG);
  icon_ = createIcon();
  gtk_window_set_icon(GTK_WINDOW(window_), icon_);

  fixed_ = gtk_fixed_new();
  gtk_container_add(GTK_CONTAINER(window_), fixed_);
  g_signal_connect(window_, "destroy", G_CALLBACK(&CInstallerDlg::on_window_destroy), this);
  g_signal_connect(window_, "delete_event", G_CALLBACK(&CInstallerDlg::on_window_delete_event),
                   this);
  g_signal_connect(window_, "key_press_event",
                   G_CALLBACK(&CInstallerDlg::gtk_window_key_press_callback), this);
}

GdkPixbuf* CInstallerDlg::createIcon() {
  return gdk_pixbuf_new_from_xpm_data(icon_xpm);
}

GdkPixbuf* CInstallerDlg::createBackImage() {
  return gdk_pixbuf_new_from_xpm_data(side_image_xpm);
}

void CInstallerDlg::titles(stdx::u16string& product, stdx::u16string& provider) const {
  product.clear();
  provider.clear();
  // A name the package gives in English serves where the interface
  // language has none: a placeholder would hide what the package says.
  for (const char16_t* language : {languageCode_.c_str(), u"en"}) {
    for (const config::ProductInfo& info : session_.reader().products) {
      if (compare_nocase(info.language, stdx::u16string(language)) != 0) continue;
      if (product.empty()) product = info.productName;
      if (provider.empty()) provider = info.providerName;
      break;
    }
  }
}

void CInstallerDlg::showWelcomePage() {
  stdx::u16string product, provider;
  titles(product, provider);
  if (product.empty()) product = LoadResString("IDS_DEFPRODUCT");
  if (provider.empty()) provider = LoadResString("IDS_DEFPROVIDER");
  stdx::u16string text =
      LoadResString("IDS_WELCOME_TITLE") + u" " + product + u" (" + provider + u").\n\n" +
      session_.trust().welcomeLine();
  if (welcomePage_ == nullptr) welcomePage_ = new MessagePage(fixed_, sideImage_, text);

  if (silent_) {
    gtk_widget_hide(backButton_);
    gtk_widget_hide(nextButton_);
  } else {
    gtk_widget_set_sensitive(backButton_, FALSE);
  }
  state_ = kStateWelcome;
  setCurPage(welcomePage_);
}

void CInstallerDlg::showSelectPathPage() {
  state_ = kStateSelectPath;
  if (dirSelectPage_ == nullptr) dirSelectPage_ = new DirSelectPage(fixed_, sideImage_);
  // Each visit shows the current target and drops an edit that was not confirmed.
  dirSelectPage_->setPath(targetPath_);
  gtk_widget_set_sensitive(backButton_, TRUE);
  gtk_widget_set_sensitive(nextButton_, TRUE);
  setCurPage(dirSelectPage_);
}

bool CInstallerDlg::offerMaintenance() {
  const std::vector<PlanMember> members = plan_members(session_.reader().files);
  if (silent_ || members.empty()) return false;
  InstalledCounts counts = installed_counts(targetPath_, members);
  if (!counts.any()) return false;
  stdx::u16string text = LoadResString("IDS_MAINT_OFFER");
  replace_all(text, u"%1", targetPath_);
  replace_all(text, u"%2", string_uito(static_cast<unsigned>(counts.current), 10));
  replace_all(text, u"%3", string_uito(static_cast<unsigned>(counts.changed), 10));
  replace_all(text, u"%4", string_uito(static_cast<unsigned>(counts.missing), 10));
  if (maintenancePage_ == nullptr) maintenancePage_ = new MaintenancePage(fixed_, sideImage_);
  maintenancePage_->setMessage(text, {targetPath_});
  state_ = kStateMaintenance;
  gtk_widget_set_sensitive(backButton_, TRUE);
  gtk_widget_set_sensitive(nextButton_, TRUE);
  setCurPage(maintenancePage_);
  return true;
}

// The progress page for a run: no way back or on, and a cancel only where
// the run takes one.
void CInstallerDlg::showRunPage(unsigned state, bool cancellable) {
  if (progressPage_ == nullptr) progressPage_ = new ProgressPage(fixed_, width_ - 20);
  gtk_widget_set_sensitive(backButton_, FALSE);
  gtk_widget_set_sensitive(nextButton_, FALSE);
  gtk_widget_set_sensitive(cancelButton_, cancellable ? TRUE : FALSE);
  setCurPage(progressPage_);
  state_ = state;
}

void CInstallerDlg::runMaintenance(bool remove) {
  showRunPage(kStateMaintaining, false);
  progressPage_->setProgress(0);
  progressPage_->setStatus(LoadResString("IDS_MAINT_WORKING"));
  // The run tells no share of its work: the bar moves to and fro, with no
  // percent on it.
  gtk_progress_bar_set_text(GTK_PROGRESS_BAR(progressPage_->bar()), "");
  removing_ = remove;

  CommandLine line = line_;
  line.useCwd = session_.useCwd();
  line.remove = remove;
  line.repair = !remove;
  line.dryRun = line.verify = false;
  line.hasTarget = true;
  line.targetText = narrow_lib(targetPath_);
  // The run reads the whole package and compares every file: on a worker,
  // so that the window is drawn and answers meanwhile. Its boxes wait for
  // this thread, which alone may show them. The run is transactional and
  // short: there is no cancel button, and a signal stops it as it stops -R.
  maintenanceDone_.store(false);
  maintenanceThread_ = std::thread([this, line] {
    hold_message_boxes_on_this_thread(&maintenanceBoxes_);
    RunSummary ended = run_admin_check(line);
    hold_message_boxes_on_this_thread(nullptr);
    maintenance_ = ended;
    maintenanceDone_.store(true);
  });
  maintenanceWatch_ = g_timeout_add(kPollWakeMs, &CInstallerDlg::watch_maintenance, this);
}

gboolean CInstallerDlg::watch_maintenance(gpointer data) {
  CInstallerDlg* dialog = dialog_of(data);
  if (!dialog->maintenanceDone_.load()) {
    dialog->followMaintenance();
    return TRUE;
  }
  dialog->maintenanceWatch_ = 0;
  dialog->maintenanceThread_.join();
  dialog->showMaintained();
  return FALSE;
}

void CInstallerDlg::followMaintenance() {
  gtk_progress_bar_pulse(GTK_PROGRESS_BAR(progressPage_->bar()));
  // Another run holds the target: the page says so while the run waits.
  std::lock_guard<std::mutex> held(maintenanceBoxes_.lock);
  for (const HeldMessageBoxes::Box& box : maintenanceBoxes_.boxes) {
    if (box.type != MB_PLAIN_OK || box.text == shownText_) continue;
    shownText_ = box.text;
    progressPage_->setStatus(box.text);
    fitWindow();
  }
}

void CInstallerDlg::showMaintained() {
  maintained_ = true;
  progressPage_->setProgress(100);
  // What the run had to say, in its order, as its boxes would have said
  // it; the wait for the lock was on the page already.
  std::vector<HeldMessageBoxes::Box> boxes;
  {
    std::lock_guard<std::mutex> held(maintenanceBoxes_.lock);
    boxes.swap(maintenanceBoxes_.boxes);
  }
  noteOutcomeForSignal();
  for (const HeldMessageBoxes::Box& box : boxes)
    if (box.type != MB_PLAIN_OK) messageBox(this, box.text, box.type);

  const RunSummary& s = maintenance_;
  if (s.result != RunResult::kMaintained) {
    showMessageFinalPage(errorPage_, "IDS_ERROR_FINISH", kStateError);
    errorPage_->setMessage(s.why.empty() ? LoadResString("IDS_ERROR_FINISH") : s.why, {targetPath_});
  } else {
    stdx::u16string text = LoadResString(removing_ ? "IDS_MAINT_REMOVED" : "IDS_MAINT_REPAIRED");
    replace_all(text, u"%1", targetPath_);
    replace_all(text, u"%2", string_uito(static_cast<unsigned>(removing_ ? s.removed : s.restored), 10));
    replace_all(text, u"%3", string_uito(static_cast<unsigned>(removing_ ? s.kept : s.replaced), 10));
    replace_all(text, u"%4", string_uito(static_cast<unsigned>(s.keptBeside), 10));
    showMessageFinalPage(maintainedPage_, removing_ ? "IDS_MAINT_REMOVED" : "IDS_MAINT_REPAIRED", kStateSuccess);
    maintainedPage_->setMessage(text, {targetPath_});
  }
  fitWindow();
  // Asked to end meanwhile: the run is over (done or put back), so end now
  // instead of waiting for Finish.
  if (stop_signal_received() != 0) closeWindow();
}

void CInstallerDlg::setCurPage(WizardDialogPage* page) {
  if (currentPage_ != nullptr) {
    for (GtkWidget* widget : currentPage_->widgets()) gtk_widget_hide(widget);
    for (GtkWidget* widget : currentPage_->innerWidgets()) gtk_widget_hide(widget);
  }
  currentPage_ = page;
  if (page == nullptr) return;
  for (GtkWidget* widget : page->innerWidgets()) gtk_widget_show(widget);
  for (GtkWidget* widget : page->widgets()) gtk_widget_show(widget);
  page->onShow();
  // The directory page gives the entry the focus; on every other page the
  // default button takes it, so that a screen reader reads the new page
  // (the text around the focus) and Enter or Space does what it says.
  if (page != dirSelectPage_) focusDefaultButton();
  fitWindow();
}

void CInstallerDlg::focusDefaultButton() {
  for (GtkWidget* button : {nextButton_, cancelButton_}) {
    if (!gtk_widget_get_visible(button) || !gtk_widget_is_sensitive(button)) continue;
    gtk_widget_grab_focus(button);
    return;
  }
}

void CInstallerDlg::showProgressPage() {
  // A log that would land in the target chosen: the run does not begin.
  stdx::u16string logRefusal = log_refusal(targetPath_);
  if (!logRefusal.empty()) {
    session_.setTarget(targetPath_);
    session_.refuseBeforeCopy(logRefusal);
    endOnPackageFailure(logRefusal);
    return;
  }
  showRunPage(kStateProgress, true);
  cancelRequested_ = false;
  toldWaiting_ = false;
  showingWait_ = false;
  shownPercent_ = -1;
  // From here until the outcome is registered, a signal rolls the run back
  // instead of ending the program.
  copySignals_.reset(new StopSignalGuard);
  copyScope_.reset(new CopySignalScope(session_.progressRecord()));
  session_.start(targetPath_);
  copyWatch_ = g_timeout_add(kPollWakeMs, &CInstallerDlg::watch_copy, this);
}

gboolean CInstallerDlg::watch_copy(gpointer data) {
  CInstallerDlg* dialog = dialog_of(data);
  if (dialog->followCopy()) return TRUE;
  // The source ends with this call; forget it first, so that nothing
  // removes it again while a final box is open.
  dialog->copyWatch_ = 0;
  InstallOutcome outcome;
  dialog->session_.outcome(outcome);
  dialog->showOutcome(outcome);
  return FALSE;
}

bool CInstallerDlg::followCopy() {
  // The outcome is the worker's last word: looked at before the progress,
  // so that the bar shows the last post when the run has ended.
  InstallOutcome outcome;
  bool ended = session_.outcome(outcome);
  InstallSession::Progress progress = session_.progress();
  if (progress.percent != shownPercent_ || progress.waitingForLock != showingWait_ ||
      progress.text != shownText_) {
    showProgress(progress);
    shownPercent_ = progress.percent;
    shownText_ = progress.text;
    // Another run holds the target: the page says so instead of "copying".
    if (progress.waitingForLock) progressPage_->setStatus(session_.waitingMessage());
    showingWait_ = progress.waitingForLock;
    fitWindow();
  }
  if (progress.waitingForLock && !toldWaiting_) {
    toldWaiting_ = true;
    fprintf(stderr, "setup: %s\n", narrow_lib(session_.waitingMessage()).c_str());
    fflush(stderr);
  }
  if (ended) return false;
  if (stop_signal_received() != 0) stopCopy();
  return true;
}

void CInstallerDlg::showProgress(const InstallSession::Progress& progress) {
  // The run posts the path of the member it copies: which member that is
  // (they go in the package's order) tells how far the copy is. The search
  // starts at the last one found, so it costs a step or two per look.
  const auto& files = session_.reader().files;
  size_t total = files.size();
  stdx::u16string file;
  const stdx::u16string& text = progress.text;
  for (size_t k = 0; k < total && !text.empty(); ++k) {
    size_t i = (shownMember_ + k) % total;
    stdx::u16string name = files[i].name;
    replace_all(name, kBadPathSeparator, kPathSeparator);
    if (text.size() <= name.size() || text[text.size() - name.size() - 1] != u'/' ||
        !std::equal(name.begin(), name.end(), text.end() - name.size()))
      continue;
    shownMember_ = i;
    file = text;
    break;
  }
  // Past the members (the flush and the renames) every file is done; before
  // the first one the start text stands.
  size_t done = !file.empty() ? shownMember_ + 1 : total;
  bool started = !file.empty() || progress.percent > 0;
  progressPage_->setProgress(progress.percent, done, started ? total : 0, file);
}

gboolean CInstallerDlg::watch_package(gpointer data) {
  CInstallerDlg* dialog = dialog_of(data);
  FsResult code = dialog->session_.reader().awaitImage(0);
  if (code == config::kErrorPending) return TRUE;
  // From the progress page on, the run itself reports the package.
  if (code == 0 || code == ERROR_CANCELLED || dialog->state_ >= kStateProgress) {
    dialog->packageWatch_ = 0;
    return FALSE;
  }
  // A question or the folder chooser is open: say it once that is answered.
  if (g_main_depth() > 1) return TRUE;
  dialog->packageWatch_ = 0;
  // Under a pinned key, a changed package is told in the signature's words.
  stdx::u16string refusal = dialog->session_.signatureRefusalOnDamage();
  dialog->endOnPackageFailure(refusal.empty() ? package_failure_text(dialog->session_.reader(), code) : refusal);
  return FALSE;
}

void CInstallerDlg::endOnPackageFailure(const stdx::u16string& text) {
  if (state_ < kStateProgress) session_.refuseBeforeCopy(text);
  noteOutcomeForSignal();
  messageBox(this, text, MB_ICONERROR_OK);
  closeWindow();
}

void CInstallerDlg::showOutcome(const InstallOutcome& outcome) {
  switch (outcome.kind) {
    case InstallOutcome::kFailed:
      if (outcome.failure.packageFailed) {
        // The run found the package damaged and undid itself: as at the
        // start, the package is what is wrong, and the run ends with the
        // message.
        endOnPackageFailure(outcome_message(outcome));
      } else {
        noteOutcomeForSignal();
        messageBox(this, outcome_message(outcome), MB_ICONERROR_OK);
        showErrorFinalPage(outcome);
      }
      break;
    case InstallOutcome::kCancelled:
      showCancelledFinalPage();
      break;
    case InstallOutcome::kInstalled:
      // The bar stays full for a moment before the page moves on.
      progressPage_->setProgress(100);
      shownPercent_ = 100;
      finishPause_ = g_timeout_add(kFinishPauseMs, &CInstallerDlg::finish_success, this);
      return;
  }
  endCopy();
}

gboolean CInstallerDlg::finish_success(gpointer data) {
  CInstallerDlg* dialog = dialog_of(data);
  dialog->finishPause_ = 0;
  dialog->showSuccess();
  return FALSE;
}

void CInstallerDlg::showSuccess() {
  showSuccessFinalPage();
  registerTargetDir();
  noteOutcomeForSignal();
  endCopy();
}

void CInstallerDlg::endCopy() {
  copyScope_.reset();
  copySignals_.reset();
  if (stop_signal_received() != 0) {
    // Asked to end: the run is over (rolled back or complete), so end now
    // instead of waiting for Finish.
    closeWindow();
  } else if (silent_ && gtk_main_level() > 0) {
    gtk_main_quit();
  }
}

void CInstallerDlg::registerTargetDir() {
  const Registration& registration = session_.registerTarget();
  // A target moved during the run is registered where it is now: the page
  // and the button that opens it name that place.
  if (session_.target() != targetPath_) {
    targetPath_ = session_.target();
    if (successPage_ != nullptr) successPage_->setMessage(successText(), {targetPath_, registration.file});
  }
  if (!registration.failed) return;
  // The templates are in place, so the success page stays; but the launcher
  // will not list them until the file is mended, so say which and why: on
  // standard error for whoever started the run (a silent run's boxes say
  // everything there), and in a box for the user.
  stdx::u16string message = registration_message(registration);
  if (successPage_ != nullptr) {
    successPage_->setMessage(successText(), {targetPath_, registration.file});
    fitWindow();
  }
  if (!silent_) fprintf(stderr, "setup: %s\n", narrow_lib(message).c_str());
  messageBox(this, message, MB_ICONWARNING_OK);
}

void CInstallerDlg::showSuccessFinalPage() {
  state_ = kStateSuccess;
  noteOutcomeForSignal();
  if (successPage_ == nullptr) {
    successPage_ = new SuccessFinalPage(fixed_, sideImage_, successText());
    g_signal_connect(successPage_->folderButton(), "clicked", G_CALLBACK(&CInstallerDlg::on_open_folder_clicked),
                     this);
  }
  successPage_->setMessage(successText(), {targetPath_, session_.registration().file});

  setFinishButtons();
  setCurPage(successPage_);
}

// The page says what the box said below its heading, in words of its own:
// the box may have been answered without being read.
void CInstallerDlg::showErrorFinalPage(const InstallOutcome& outcome) {
  showMessageFinalPage(errorPage_, "IDS_ERROR_FINISH", kStateError);
  std::vector<stdx::u16string> paths = {outcome.failure.path};
  for (const UndoFailure& undo : outcome.undoFailures) {
    paths.push_back(undo.path);
    paths.push_back(undo.kept);
  }
  errorPage_->setMessage(failure_page_text(outcome), paths);
  fitWindow();
}

// Where the templates went; after a failed registration, that the launcher
// will not list them instead of plain success.
stdx::u16string CInstallerDlg::successText() const {
  const Registration& registration = session_.registration();
  stdx::u16string text = registration.failed ? registration_message(registration)
                                             : LoadResString("IDS_SUCCESS_FINISH");
  return text + u"\n\n" + LoadResString("IDS_SUCCESS_WHERE") + u"\n" + targetPath_;
}

void CInstallerDlg::showCancelledFinalPage() {
  showMessageFinalPage(cancelledPage_, "IDS_CANCEL_FINISH", kStateCancelled);
}

// A final page that is only a message: made on first use, with Finish.
void CInstallerDlg::showMessageFinalPage(MessagePage*& page, const char* textKey, unsigned state) {
  if (page == nullptr) page = new MessagePage(fixed_, sideImage_, LoadResString(textKey));
  state_ = state;
  noteOutcomeForSignal();
  setFinishButtons();
  setCurPage(page);
}

void CInstallerDlg::setFinishButtons() {
  gtk_widget_set_sensitive(nextButton_, TRUE);
  gtk_widget_show(nextButton_);
  gtk_widget_set_sensitive(cancelButton_, FALSE);
  gtk_widget_hide(backButton_);
  gtk_button_set_label(GTK_BUTTON(nextButton_), mnemonic_text("IDS_KEYED_FINISH").c_str());
  gtk_widget_set_can_default(nextButton_, TRUE);
  gtk_widget_grab_default(nextButton_);
}

void CInstallerDlg::requestCancelDuringCopy() {
  if (cancelRequested_) return;
  if (messageBox(this, LoadResString("IDS_ACCEPT_CANCEL"), MB_QUESTION_YESNO) != IDYES_RESULT) {
    return;
  }
  // The run may have ended while the question was open; a request then
  // does nothing, and the watch shows how it ended.
  stopCopy();
}

void CInstallerDlg::stopCopy() {
  if (cancelRequested_) return;
  cancelRequested_ = true;
  session_.requestStop();
  if (cancelButton_ != nullptr) gtk_widget_set_sensitive(cancelButton_, FALSE);
}

void CInstallerDlg::processCancel() {
  if (state_ == kStateMaintaining) return;
  if (state_ == kStateProgress) {
    requestCancelDuringCopy();
    return;
  }
  if (messageBox(this, LoadResString("IDS_ACCEPT_CANCEL"), MB_QUESTION_YESNO) == IDYES_RESULT) {
    closeWindow();
  }
}

gboolean CInstallerDlg::processKeyPress(GdkEventKey* event) {
  if (event == nullptr || event->keyval != GDK_Escape) return FALSE;
  // On a final page the installation is over: there is nothing to cancel,
  // and Escape leaves as Finish does (without opening the readme, which
  // only Finish offers).
  if (state_ == kStateSuccess || state_ == kStateError || state_ == kStateCancelled) {
    closeWindow();
  } else {
    processCancel();
  }
  return TRUE;
}

void CInstallerDlg::finalize() {
  if (state_ != kStateSuccess && state_ != kStateError && state_ != kStateCancelled) return;
  if (state_ == kStateSuccess && successPage_ != nullptr && successPage_->isShowReadmeChecked()) {
    openReadme();
  }
  closeWindow();
}

void CInstallerDlg::openReadme() {
  stdx::u16string readme = session_.reader().getReadme(languageCode_);
  if (readme.empty()) return;
  stdx::u16string path = readme_full_path(targetPath_, readme);
  // Only a regular file goes to the opener: a FIFO or a device planted
  // under the readme's name could keep a viewer (and us) waiting.
  if (!regular_file_readable(path)) return;
  openWithDesktop(path, "IDS_ERROR_OPENREADME");
}

gint CInstallerDlg::on_open_folder_clicked(GtkWidget* /*widget*/, gpointer data) {
  CInstallerDlg* dialog = dialog_of(data);
  if (dialog != nullptr) dialog->openWithDesktop(dialog->targetPath_, "IDS_ERROR_OPENFOLDER");
  return 0;
}

void CInstallerDlg::openWithDesktop(const stdx::u16string& path, const char* failureKey) {
  // The opener gets the path as one argument, never through a shell. A
  // relative target could start with "-", so anchor it to the current
  // directory to keep it from reading as an option.
  stdx::string file = narrow_lib(path);
  if (file.empty()) return;
  if (file[0] != '/') file = stdx::string("./") + file;
  // The opener gets no terminal input, and its output is dropped; what it
  // says on standard error is kept, to tell the user why it failed.
  const char* argv[] = {"xdg-open", file.c_str(), nullptr};
  gchar* said = nullptr;
  gint status = 0;
  GError* error = nullptr;
  stdx::u16string cause;
  if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr,
                    static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL),
                    &CInstallerDlg::opener_setup, nullptr, nullptr, &said, &status, &error)) {
    // Not started: no opener on the PATH, or one that may not run.
    int errnoValue = EIO;
    if (error->domain == G_SPAWN_ERROR && error->code == G_SPAWN_ERROR_NOENT) errnoValue = ENOENT;
    if (error->domain == G_SPAWN_ERROR && error->code == G_SPAWN_ERROR_ACCES) errnoValue = EACCES;
    cause = u"xdg-open: " + failure_cause(0, errnoValue);
    g_error_free(error);
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    // The opener's own last words, else its status.
    stdx::string words = said != nullptr ? said : "";
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' '))
      words.pop_back();
    size_t lineStart = words.rfind('\n');
    if (lineStart != stdx::string::npos) words = words.substr(lineStart + 1);
    if (!words.empty() && g_utf8_validate(words.c_str(), -1, nullptr)) {
      cause = widen_lib(words);
    } else {
      int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      cause = LoadResString("IDS_OPENER_STATUS");
      replace_all(cause, u"%1", widen_lib(stdx::string(std::to_string(code).c_str())));
    }
  }
  g_free(said);
  if (cause.empty()) return;
  stdx::u16string text = LoadResString(failureKey);
  replace_all(text, u"%1", path);
  messageBox(this, text + u" " + printable_name(cause, false), MB_ICONWARNING_OK);
}

void CInstallerDlg::opener_setup(gpointer /*data*/) {
  // The installer ignores SIGPIPE and SIGXFSZ for its own sake; the
  // opener must not inherit that.
  signal(SIGPIPE, SIG_DFL);
  signal(SIGXFSZ, SIG_DFL);
}

void CInstallerDlg::closeWindow() {
  session_.reader().stopInflating();
  session_.join();
  if (window_ != nullptr) gtk_widget_destroy(window_);
}

gint CInstallerDlg::on_buttonPrev_clicked(GtkWidget* /*widget*/, gpointer data) {
  CInstallerDlg* dialog = dialog_of(data);
  if (dialog != nullptr && dialog->state_ == kStateSelectPath) dialog->showWelcomePage();
  else if (dialog != nullptr && dialog->state_ == kStateMaintenance) dialog->showSelectPathPage();
  return 0;
}

gint CInstallerDlg::on_buttonNext_clicked(GtkWidget* /*widget*/, gpointer data) {
  CInstallerDlg* dialog = dialog_of(data);
  if (dialog == nullptr) return 0;
  switch (dialog->state_) {
    case kStateWelcome:
      dialog->showSelectPathPage();
      break;
    case kStateSelectPath: {
      stdx::u16string path = entered_target_dir(dialog->dirSelectPage_->getPath());
      if (path.empty()) {
        messageBox(dialog, LoadResString("IDS_SETUP_EMPTYTARGET"), MB_PLAIN_OK);
        break;
      }
      dialog->targetPath_ = path;
      if (!dialog->offerMaintenance()) dialog->showProgressPage();
      break;
    }
    case kStateMaintenance:
      switch (dialog->maintenancePage_->choice()) {
        case MaintenancePage::kUpdate: dialog->showProgressPage(); break;
        case MaintenancePage::kRepair: dialog->runMaintenance(false); break;
        case MaintenancePage::kRemove: dialog->runMaintenance(true); break;
      }
      break;
    case kStateSuccess:
    case kStateError:
    case kStateCancelled:
      dialog->finalize();
      break;
    default:
      break;
  }
  return 0;
}

gint CInstallerDlg::button_clicked_handler(GtkWidget* /*widget*/, gpointer data) {
  if (data != nullptr) dialog_of(data)->processCancel();
  return 0;
}

gboolean CInstallerDlg::gtk_window_key_press_callback(GtkWidget* /*widget*/, GdkEventKey* event,
                                                      gpointer data) {
  if (data == nullptr) return FALSE;
  return dialog_of(data)->processKeyPress(event);
}

gboolean CInstallerDlg::on_window_delete_event(GtkWidget* /*widget*/, GdkEvent* /*event*/,
                                               gpointer data) {
  CInstallerDlg* dialog = dialog_of(data);
  if (dialog == nullptr) return FALSE;
  // The window must outlive a repair or a remove, which has no cancel.
  if (dialog->state_ == kStateMaintaining) return TRUE;
  if (dialog->state_ == kStateProgress) {
    // The window must outlive the copy: closing it asks for a cancel instead.
    dialog->requestCancelDuringCopy();
    return TRUE;
  }
  dialog->session_.join();
  return FALSE;
}

void CInstallerDlg::on_window_destroy(GtkWidget* /*widget*/, gpointer data) {
  CInstallerDlg* dialog = dialog_of(data);
  if (dialog != nullptr) {
    // Closed before the copy, and not for a damaged package: the user ended the run.
    if (dialog->state_ == kStateWelcome || dialog->state_ == kStateSelectPath ||
        dialog->state_ == kStateMaintenance)
      dialog->session_.cancelBeforeCopy();
    dialog->window_ = nullptr;
    dialog->currentPage_ = nullptr;
  }
  if (gtk_main_level() > 0) gtk_main_quit();
}
