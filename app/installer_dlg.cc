#include "app/installer_dlg.h"

#include <gdk/gdkkeysyms.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <system_error>
#include <thread>

#include "app/pages.h"
#include "app/stop_signals.h"
#include "platform/file_system.h"
#include "platform/path_separators.h"
#include "platform/resources.h"

namespace {

#include "app/images/icon.xpm"
#include "app/images/side_image.xpm"

const unsigned kErrorCancelled = 1223;

// How often the main loop looks at the copy's shared state: often enough
// for a smooth bar, rare enough to cost nothing.
const guint kPollWakeMs = 40;
// How often it looks at the package inflating behind the first pages.
const guint kPackageWatchMs = 100;

CInstallerDlg* dialog_of(gpointer data) { return static_cast<CInstallerDlg*>(data); }

// The wizard's buttons have a fixed width, and some translations of their
// captions are wider than the room inside. Rather than let GTK cut their
// ends off, such captions are drawn smaller; and since a row of buttons in
// mixed sizes looks broken, every caption of the wizard gets the one scale
// that fits the widest of them.
const int kButtonWidth = 80;

// The width inside a button of buttonWidth that its caption may fill.
int caption_room(GtkWidget* button, int buttonWidth) {
  gtk_widget_ensure_style(button);
  gint focusWidth = 0, focusPadding = 0;
  GtkBorder* inner = nullptr;
  gtk_widget_style_get(button, "focus-line-width", &focusWidth, "focus-padding", &focusPadding,
                       "inner-border", &inner, nullptr);
  int innerWidth = inner != nullptr ? inner->left + inner->right : 2;
  if (inner != nullptr) gtk_border_free(inner);
  // A button that can be the default keeps a frame for showing so.
  int defaultWidth = 0;
  if (gtk_widget_get_can_default(button)) {
    GtkBorder* border = nullptr;
    gtk_widget_style_get(button, "default-border", &border, nullptr);
    defaultWidth = border != nullptr ? border->left + border->right : 2;
    if (border != nullptr) gtk_border_free(border);
  }
  return buttonWidth - innerWidth - defaultWidth -
         2 * (gtk_widget_get_style(button)->xthickness + focusWidth + focusPadding);
}

// The scale at which caption fits into button (1 when it fits as it is).
double caption_scale(GtkWidget* button, const stdx::string& caption) {
  int room = caption_room(button, kButtonWidth);
  PangoLayout* layout = gtk_widget_create_pango_layout(button, caption.c_str());
  int textWidth = 0;  // Pango units
  pango_layout_get_size(layout, &textWidth, nullptr);
  g_object_unref(layout);
  if (textWidth <= room * PANGO_SCALE || room <= 1) return 1.0;
  // Hinting at the smaller size can round a glyph up: keep a pixel spare.
  return static_cast<double>(room - 1) * PANGO_SCALE / textWidth;
}

void set_caption_scale(GtkWidget* button, double scale) {
  GtkWidget* label = gtk_bin_get_child(GTK_BIN(button));
  if (label == nullptr || !GTK_IS_LABEL(label)) return;
  if (scale >= 1.0) {
    gtk_label_set_attributes(GTK_LABEL(label), nullptr);
    return;
  }
  PangoAttrList* attributes = pango_attr_list_new();
  pango_attr_list_insert(attributes, pango_attr_scale_new(scale));
  gtk_label_set_attributes(GTK_LABEL(label), attributes);
  pango_attr_list_unref(attributes);
}

}  // namespace

CInstallerDlg::CInstallerDlg(int argc, char** argv, bool silent, const stdx::string& title,
                             const stdx::u16string& languageCode, bool useCwd)
    : silent_(silent),
      languageCode_(languageCode),
      useCwd_(useCwd),
      argc_(argc),
      argv_(argv),
      title_(title) {
  // The checks need no display: they read the package's header while GTK
  // sets itself up, which takes about as long.
  try {
    checks_ = std::thread([this] { checksError_ = run_startup_checks(useCwd_, installData_, checksInfo_); });
  } catch (const std::system_error&) {
    // No thread: awaitChecks runs them in line.
  }
  // A busy X server now and then drops a new connection at once; a second
  // try soon after gets through (the program checked that there is one).
  for (int attempt = 0; attempt < 5 && !displayOpen_; ++attempt) {
    if (attempt > 0) g_usleep(100000);
    displayOpen_ = gtk_init_check(&argc_, &argv_) != FALSE;
  }
  processData_.setInstallState(0, LoadResString("IDS_PREPARECOPY"), 0);
}

CInstallerDlg::~CInstallerDlg() {
  if (checks_.joinable()) checks_.join();
  if (copyWatch_ != 0) g_source_remove(copyWatch_);
  if (packageWatch_ != 0) g_source_remove(packageWatch_);
  installData_.stopInflating();
  installThread_.join();
  if (window_ != nullptr) gtk_widget_destroy(window_);
  delete welcomePage_;
  delete dirSelectPage_;
  delete progressPage_;
  delete successPage_;
  delete errorPage_;
  delete cancelledPage_;
  if (sideImage_ != nullptr) g_object_unref(sideImage_);
  if (icon_ != nullptr) g_object_unref(icon_);
}

void CInstallerDlg::DoModal() {
  StopSignalGuard signals;
  if (!displayOpen_) {
    // The display went away between the program's check and GTK's.
    message_box_to_stderr("setup: ");
    messageBox(this, LoadResString("IDS_ERROR_NODISPLAY"), MB_ICONERROR_OK);
    return;
  }
  if (hasTargetOption_ && targetOption_.empty()) {
    messageBox(this, LoadResString("IDS_SETUP_EMPTYTARGET"), MB_ICONERROR_OK);
    return;
  }
  // The start-up checks go on while this thread builds the window, which
  // costs GTK its font set-up. The window is shown once the checks have
  // passed; the rest of the package goes on inflating behind the first
  // pages.
  buildMainWindow();
  StartupInfo info;
  const char* error = awaitChecks(info);
  if (error == nullptr) acceptStartupInfo(info);
  // A silent run asks nothing, so an empty target (every launcher entry was
  // a remote address) would put the templates into the current directory.
  if (error == nullptr && silent_ && targetPath_.empty()) error = "IDS_ERROR_NOTARGET";
  if (error != nullptr) {
    gtk_widget_destroy(window_);
    messageBox(this, startup_error_text(error, info), MB_ICONERROR_OK);
    return;
  }
  started_ = true;
  gtk_widget_show(window_);
  showWelcomePage();
  if (silent_) {
    showProgressPage();
    if (copyWatch_ != 0) gtk_main();
    installThread_.join();
    return;
  }
  packageWatch_ = g_timeout_add(kPackageWatchMs, &CInstallerDlg::watch_package, this);
  gtk_main();
  installThread_.join();
}

void CInstallerDlg::setTargetOption(const stdx::u16string& target) {
  hasTargetOption_ = true;
  targetOption_ = target;
}

int CInstallerDlg::exitStatus() const {
  if (!started_ || packageFailed_) return kExitNotStarted;
  switch (state_) {
    case kStateSuccess: return registration_.failed ? kExitUnregistered : kExitInstalled;
    case kStateError: return kExitFailed;
    default: return kExitCancelled;
  }
}

const char* CInstallerDlg::awaitChecks(StartupInfo& info) {
  if (checks_.joinable()) checks_.join();
  else if (!checksDone_) checksError_ = run_startup_checks(useCwd_, installData_, checksInfo_);
  checksDone_ = true;
  info = checksInfo_;
  return checksError_;
}

bool CInstallerDlg::OnInitDialog() {
  StartupInfo info;
  const char* error = awaitChecks(info);
  if (error != nullptr) {
    messageBox(this, startup_error_text(error, info), MB_ICONERROR_OK);
    return false;
  }
  acceptStartupInfo(info);
  return true;
}

void CInstallerDlg::acceptStartupInfo(const StartupInfo& info) {
  packagePath_ = info.packagePath;
  templateDirs_ = info.launcher.dirs;
  baseConfigExists_ = info.launcher.baseConfigExists;
  baseListOnly_ = info.launcher.baseListOnly;
  targetPath_ = hasTargetOption_ ? targetOption_ : info.targetPath;
}

void CInstallerDlg::showMainWindow() {
  buildMainWindow();
  started_ = true;
  gtk_widget_show(window_);
}

void CInstallerDlg::buildMainWindow() {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  initMainWindow();
  gtk_window_set_title(GTK_WINDOW(window_), title_.c_str());

  GtkWidget* separator = gtk_hseparator_new();
  gtk_widget_set_size_request(separator, width_ - 20, 5);
  gtk_fixed_put(GTK_FIXED(fixed_), separator, 10, 310);

  struct ButtonLayout {
    GtkWidget** widget;
    const char* key;
    int x;
    GCallback handler;
  } buttons[] = {
      {&backButton_, "IDS_WIZARD_BACK", 230, G_CALLBACK(&CInstallerDlg::on_buttonPrev_clicked)},
      {&nextButton_, "IDS_WIZARD_NEXT", 310, G_CALLBACK(&CInstallerDlg::on_buttonNext_clicked)},
      {&cancelButton_, "IDS_WIZARD_CANCEL", 410, G_CALLBACK(&CInstallerDlg::button_clicked_handler)},
  };
  for (const ButtonLayout& layout : buttons) {
    *layout.widget = gtk_button_new_with_label(narrow_lib(LoadResString(layout.key)).c_str());
    gtk_widget_set_size_request(*layout.widget, kButtonWidth, 30);
    gtk_fixed_put(GTK_FIXED(fixed_), *layout.widget, layout.x, 320);
    g_signal_connect(*layout.widget, "clicked", layout.handler, this);
  }
  gtk_widget_set_can_default(nextButton_, TRUE);
  // Finish takes Next's place later; its caption counts for the scale too.
  captionScale_ = caption_scale(nextButton_, narrow_lib(LoadResString("IDS_WIZARD_FINISH")));
  for (const ButtonLayout& layout : buttons) {
    GtkWidget* label = gtk_bin_get_child(GTK_BIN(*layout.widget));
    double scale = caption_scale(*layout.widget, gtk_label_get_text(GTK_LABEL(label)));
    if (scale < captionScale_) captionScale_ = scale;
  }
  for (const ButtonLayout& layout : buttons) set_caption_scale(*layout.widget, captionScale_);
  gtk_widget_grab_default(nextButton_);

  gtk_widget_show_all(fixed_);
  sideImage_ = createBackImage();
}

void CInstallerDlg::initMainWindow() {
  gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
  GdkGeometry hints = {};
  hints.min_width = hints.max_width = hints.base_width = width_;
  hints.min_height = hints.max_height = hints.base_height = height_;
  hints.win_gravity = GDK_GRAVITY_NORTH_WEST;
  gtk_window_set_geometry_hints(
      GTK_WINDOW(window_), window_, &hints,
      static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE | GDK_HINT_BASE_SIZE));
  gtk_window_set_default_size(GTK_WINDOW(window_), width_, height_);
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
  for (const config::ProductInfo& info : installData_.products) {
    if (compare_nocase(info.language, languageCode_) == 0) {
      product = info.productName;
      provider = info.providerName;
      return;
    }
  }
}

void CInstallerDlg::showWelcomePage() {
  stdx::u16string product, provider;
  titles(product, provider);
  if (product.empty()) product = LoadResString("IDS_DEFPRODUCT");
  if (provider.empty()) provider = LoadResString("IDS_DEFPROVIDER");
  stdx::u16string text =
      LoadResString("IDS_WELCOME_TITLE") + u" " + product + u" (" + provider + u").";
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

void CInstallerDlg::setCurPage(WizardDialogPage* page) {
  if (currentPage_ != nullptr) {
    for (GtkWidget* widget : currentPage_->widgets()) gtk_widget_hide(widget);
  }
  currentPage_ = page;
  if (page == nullptr) return;
  for (GtkWidget* widget : page->widgets()) gtk_widget_show(widget);
  page->onShow();
}

void CInstallerDlg::showProgressPage() {
  if (progressPage_ == nullptr) progressPage_ = new ProgressPage(fixed_, width_ - 20);
  gtk_widget_set_sensitive(backButton_, FALSE);
  gtk_widget_set_sensitive(nextButton_, FALSE);
  gtk_widget_set_sensitive(cancelButton_, TRUE);

  processData_.init(&installData_, targetPath_);
  setCurPage(progressPage_);
  state_ = kStateProgress;
  cancelRequested_ = false;
  runEnded_.store(false);
  runPackageFailed_ = false;
  pollPasses_ = 0;
  shownPercent_ = -1;
  // From here until the outcome is registered, a signal rolls the run back
  // instead of ending the program.
  copySignals_.reset(new StopSignalGuard);
  copyScope_.reset(new CopySignalScope(&processData_));
  if (installThread_.start(this) != 0) {
    // No worker, so the shared state would never move: report it now
    // rather than wait for it.
    messageBox(this, LoadResString("IDS_INSTALL_ERROR"), MB_ICONERROR_OK);
    showErrorFinalPage();
    endCopy();
    return;
  }
  copyWatch_ = g_timeout_add(kPollWakeMs, &CInstallerDlg::watch_copy, this);
}

gboolean CInstallerDlg::watch_copy(gpointer data) {
  CInstallerDlg* dialog = dialog_of(data);
  ++dialog->pollPasses_;
  if (dialog->followCopy()) return TRUE;
  // The source ends with this call; forget it first, so that nothing
  // removes it again while a final box is open.
  dialog->copyWatch_ = 0;
  dialog->showOutcome();
  dialog->endCopy();
  return FALSE;
}

bool CInstallerDlg::followCopy() {
  // Read the end flag before the state: once the worker has ended, the
  // state read after it is its last word.
  bool ended = runEnded_.load();
  unsigned code = 0;
  stdx::u16string text;
  int percent = 0;
  processData_.getInstallState(code, text, percent);
  if (percent != shownPercent_) {
    progressPage_->setProgress(percent);
    shownPercent_ = percent;
  }
  if (code != 0 || percent > 99 || ended) return false;
  if (stop_signal_received() != 0) stopCopy();
  return true;
}

gboolean CInstallerDlg::watch_package(gpointer data) {
  CInstallerDlg* dialog = dialog_of(data);
  unsigned code = dialog->installData_.awaitImage(0);
  if (code == config::kErrorPending) return TRUE;
  // From the progress page on, the run itself reports the package.
  if (code == 0 || code == ERROR_CANCELLED || dialog->state_ >= kStateProgress) {
    dialog->packageWatch_ = 0;
    return FALSE;
  }
  // A question or the folder chooser is open: say it once that is answered.
  if (g_main_depth() > 1) return TRUE;
  dialog->packageWatch_ = 0;
  dialog->endOnPackageFailure(
      LoadResString(code == ERROR_DISK_FULL ? "IDS_ERROR_NOSPACE" : "IDS_ERROR_DAMAGEDSOURCE"));
  return FALSE;
}

void CInstallerDlg::endOnPackageFailure(const stdx::u16string& text) {
  packageFailed_ = true;
  set_exit_status_on_signal(exitStatus());
  messageBox(this, text, MB_ICONERROR_OK);
  closeWindow();
}

void CInstallerDlg::showOutcome() {
  unsigned code = 0;
  stdx::u16string text;
  int percent = 0;
  processData_.getInstallState(code, text, percent);
  if (code != 0 && runPackageFailed_) {
    // The run found the package damaged and undid itself: as at the start,
    // the package is what is wrong, and the run ends with the message.
    endOnPackageFailure(text);
  } else if (code != 0) {
    messageBox(this, text, MB_ICONERROR_OK);
    showErrorFinalPage();
  } else if (percent > 99) {
    showSuccessFinalPage();
    registerTargetDir();
  } else if (runResult_.load() == kErrorCancelled) {
    // A run that ends without a final post was cancelled and rolled back.
    showCancelledFinalPage();
  } else {
    messageBox(this, LoadResString("IDS_INSTALL_ERROR"), MB_ICONERROR_OK);
    showErrorFinalPage();
  }
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

bool CInstallerDlg::updateProgress() {
  Installer installer;
  unsigned result = installer.run(&processData_);
  copiedFiles_ = installer.copiedFiles();
  upToDateFiles_ = installer.upToDateFiles();
  runPackageFailed_ = installer.packageFailed();
  runResult_.store(result);
  runEnded_.store(true);
  return false;
}

void CInstallerDlg::registerTargetDir() {
  registration_ = register_template_dir(targetPath_, templateDirs_, baseListOnly_, baseConfigExists_);
  if (!registration_.failed) return;
  // The templates are in place, so the success page stays; but the launcher
  // will not list them until the file is mended, so say which and why: on
  // standard error for whoever started the run, and in a box for the user.
  stdx::u16string message = registration_message(registration_);
  fprintf(stderr, "setup: %s\n", narrow_lib(message).c_str());
  messageBox(this, message, MB_ICONWARNING_OK);
}

void CInstallerDlg::showSuccessFinalPage() {
  state_ = kStateSuccess;
  set_exit_status_on_signal(exitStatus());
  if (successPage_ == nullptr) {
    successPage_ = new SuccessFinalPage(fixed_, sideImage_, LoadResString("IDS_SUCCESS_FINISH"));
  }
  setFinishButtons();
  setCurPage(successPage_);
}

void CInstallerDlg::showErrorFinalPage() {
  showMessageFinalPage(errorPage_, "IDS_ERROR_FINISH", kStateError);
}

void CInstallerDlg::showCancelledFinalPage() {
  showMessageFinalPage(cancelledPage_, "IDS_CANCEL_FINISH", kStateCancelled);
}

// A final page that is only a message: made on first use, with Finish.
void CInstallerDlg::showMessageFinalPage(MessagePage*& page, const char* textKey, unsigned state) {
  if (page == nullptr) page = new MessagePage(fixed_, sideImage_, LoadResString(textKey));
  state_ = state;
  set_exit_status_on_signal(exitStatus());
  setFinishButtons();
  setCurPage(page);
}

void CInstallerDlg::setFinishButtons() {
  gtk_widget_set_sensitive(nextButton_, TRUE);
  gtk_widget_show(nextButton_);
  gtk_widget_set_sensitive(cancelButton_, FALSE);
  gtk_widget_hide(backButton_);
  gtk_button_set_label(GTK_BUTTON(nextButton_),
                       narrow_lib(LoadResString("IDS_WIZARD_FINISH")).c_str());
  set_caption_scale(nextButton_, captionScale_);
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
  processData_.setCancel(true);
  // A run that waits for the package's bytes stops waiting at once.
  installData_.stopInflating();
  if (cancelButton_ != nullptr) gtk_widget_set_sensitive(cancelButton_, FALSE);
}

void CInstallerDlg::processCancel() {
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
  processCancel();
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
  stdx::u16string readme = installData_.getReadme(languageCode_);
  if (readme.empty()) return;
  stdx::u16string path = readme_full_path(targetPath_, readme);
  // Only a regular file goes to the opener: a FIFO or a device planted
  // under the readme's name could keep a viewer (and us) waiting.
  if (!regular_file_readable(path)) return;
  // The opener gets the path as one argument, never through a shell. A
  // relative target could start with "-", so anchor it to the current
  // directory to keep it from reading as an option.
  stdx::string file = narrow_lib(path);
  if (file[0] != '/') file = stdx::string("./") + file;
  const char* argv[] = {"xdg-open", file.c_str(), nullptr};
  run_program(argv);
}

void CInstallerDlg::closeWindow() {
  installData_.stopInflating();
  // The worker may still be in its pause after posting success.
  installThread_.join();
  if (window_ != nullptr) gtk_widget_destroy(window_);
}

gint CInstallerDlg::on_buttonPrev_clicked(GtkWidget* /*widget*/, gpointer data) {
  CInstallerDlg* dialog = dialog_of(data);
  if (dialog != nullptr && dialog->state_ == kStateSelectPath) dialog->showWelcomePage();
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
      dialog->showProgressPage();
      break;
    }
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
  if (dialog->state_ == kStateProgress) {
    // The window must outlive the copy: closing it asks for a cancel instead.
    dialog->requestCancelDuringCopy();
    return TRUE;
  }
  dialog->installThread_.join();
  return FALSE;
}

void CInstallerDlg::on_window_destroy(GtkWidget* /*widget*/, gpointer data) {
  CInstallerDlg* dialog = dialog_of(data);
  if (dialog != nullptr) {
    dialog->window_ = nullptr;
    dialog->currentPage_ = nullptr;
  }
  if (gtk_main_level() > 0) gtk_main_quit();
}
