#include "app/pages.h"

#include "app/startup.h"
#include "platform/resources.h"

namespace {

const int kMainAreaX = 170;
const int kMainAreaY = 10;
// 170 + 322 leaves 8 pixels to the window's right edge: wrapped text needs air.
const int kMainAreaWidth = 322;
const int kMainAreaHeight = 250;

stdx::string text_of(const char* key) { return narrow_lib(LoadResString(key)); }

GtkWidget* add_side_image(GtkWidget* container, GdkPixbuf* picture) {
  GtkWidget* image = gtk_image_new_from_pixbuf(picture);
  // A plain add puts the picture at the container's origin.
  gtk_container_add(GTK_CONTAINER(container), image);
  return image;
}

}  // namespace

void WizardDialogPage::put(GtkWidget* widget, int x, int y) {
  gtk_fixed_put(GTK_FIXED(parent_), widget, x, y);
  widgets_.push_back(widget);
}

GtkWidget* createMainAreaLabel(GtkWidget* container) {
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_widget_set_size_request(label, kMainAreaWidth, kMainAreaHeight);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  // Long words (paths, some translations) break rather than push the label wide.
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.0f);
  gtk_fixed_put(GTK_FIXED(container), label, kMainAreaX, kMainAreaY);
  return label;
}

MessagePage::MessagePage(GtkWidget* container, GdkPixbuf* picture, const stdx::u16string& message)
    : WizardDialogPage(container) {
  image_ = add_side_image(container, picture);
  widgets_.push_back(image_);
  label_ = createMainAreaLabel(container);
  widgets_.push_back(label_);
  setMessage(message);
}

void MessagePage::setMessage(const stdx::u16string& message) {
  gtk_label_set_text(GTK_LABEL(label_), narrow_lib(message).c_str());
}

SuccessFinalPage::SuccessFinalPage(GtkWidget* container, GdkPixbuf* picture,
                                   const stdx::u16string& message)
    : MessagePage(container, picture, message) {
  checkBox_ = gtk_check_button_new_with_label(text_of("IDS_SUCCESS_OPENDESCR").c_str());
  // Some translations are longer than the area is wide: let the caption
  // wrap inside it instead of running past the window's edge.
  GtkWidget* caption = gtk_bin_get_child(GTK_BIN(checkBox_));
  gtk_label_set_line_wrap(GTK_LABEL(caption), TRUE);
  gtk_widget_set_size_request(caption, kMainAreaWidth - 40, -1);
  put(checkBox_, kMainAreaX, 170);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(checkBox_), TRUE);
}

bool SuccessFinalPage::isShowReadmeChecked() const {
  return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(checkBox_)) != FALSE;
}

DirSelectPage::DirSelectPage(GtkWidget* container, GdkPixbuf* picture)
    : WizardDialogPage(container) {
  image_ = add_side_image(container, picture);
  widgets_.push_back(image_);

  label_ = createMainAreaLabel(container);
  gtk_label_set_text(GTK_LABEL(label_), text_of("IDS_DESTINATION_PROMPT").c_str());
  widgets_.push_back(label_);

  caption_ = gtk_label_new(text_of("IDS_TEMPLATE_CATALOG").c_str());
  put(caption_, kMainAreaX, 255);

  entry_ = gtk_entry_new();
  gtk_widget_set_size_request(entry_, 280, 30);
  // Enter in the entry does what Next does (Next is the window's default).
  gtk_entry_set_activates_default(GTK_ENTRY(entry_), TRUE);
  put(entry_, kMainAreaX, 275);

  browseButton_ = gtk_button_new_with_label("...");
  gtk_widget_set_tooltip_text(browseButton_, text_of("IDS_CHOOSEDIR_TOOLTIP").c_str());
  gtk_widget_set_size_request(browseButton_, 30, 30);
  put(browseButton_, 460, 275);
  g_signal_connect(browseButton_, "clicked", G_CALLBACK(::button_clicked_handler), this);
}

void DirSelectPage::setPath(const stdx::u16string& path) {
  // GTK shows UTF-8 only: bytes that are not text get the replacement
  // character on the screen, while path_ keeps them.
  stdx::u16string visible = path;
  for (size_t i = 0; i < visible.size(); ++i)
    if (visible[i] >= 0xDC80 && visible[i] <= 0xDCFF) visible[i] = 0xFFFD;
  path_ = path;
  shown_ = narrow_lib(visible);
  gtk_entry_set_text(GTK_ENTRY(entry_), shown_.c_str());
  showEndOfPath();
}

void DirSelectPage::onShow() {
  // The page exists to take a path: typing starts at once.
  gtk_widget_grab_focus(entry_);
  showEndOfPath();
}

void DirSelectPage::showEndOfPath() {
  // A long path's last folders tell one choice from another, so the cursor
  // goes to the end and the entry scrolls there (focusing selects all;
  // moving the cursor drops that selection, so a keystroke never wipes the
  // whole path).
  gtk_editable_set_position(GTK_EDITABLE(entry_), -1);
}

stdx::u16string DirSelectPage::getPath() const {
  const gchar* text = gtk_entry_get_text(GTK_ENTRY(entry_));
  if (text == nullptr) return stdx::u16string();
  if (shown_ == text) return path_;
  return widen_lib(stdx::string(text));
}

void DirSelectPage::showDirDialog() {
  // Attached to the wizard, so it stays above it and the window manager
  // treats the two as one.
  GtkWidget* toplevel = gtk_widget_get_toplevel(entry_);
  GtkWindow* parent = gtk_widget_is_toplevel(toplevel) ? GTK_WINDOW(toplevel) : nullptr;
  GtkWidget* chooser = gtk_file_chooser_dialog_new(
      text_of("IDS_CHOOSEDIR_TITLE").c_str(), parent, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
      text_of("IDS_BROWSE_CANCEL").c_str(), GTK_RESPONSE_CANCEL, text_of("IDS_BROWSE_OK").c_str(),
      GTK_RESPONSE_ACCEPT, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
  gtk_window_set_modal(GTK_WINDOW(chooser), TRUE);
  // It opens where the entry points (or at the nearest folder that exists
  // on the way there), not in a list of recent files.
  stdx::string start = nearest_existing_folder(getPath());
  if (!start.empty()) gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), start.c_str());
  if (gtk_dialog_run(GTK_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
    gchar* folder = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
    if (folder != nullptr) {
      // A file name is bytes, whatever the locale says.
      setPath(widen_lib(stdx::string(folder)));
      g_free(folder);
    }
  }
  gtk_widget_destroy(chooser);
}

gint button_clicked_handler(GtkWidget* /*widget*/, gpointer data) {
  if (data != nullptr) static_cast<DirSelectPage*>(data)->showDirDialog();
  return 0;
}

ProgressPage::ProgressPage(GtkWidget* container, int barWidth) : WizardDialogPage(container) {
  startText_ = text_of("IDS_PROGRESS_START");
  finishText_ = text_of("IDS_INSTALL_FINISH");

  status_ = gtk_label_new(nullptr);
  // A long folder in the waiting text gives up its middle, not the window's edge.
  gtk_label_set_ellipsize(GTK_LABEL(status_), PANGO_ELLIPSIZE_MIDDLE);
  gtk_misc_set_alignment(GTK_MISC(status_), 0, 0.5);
  gtk_widget_set_size_request(status_, barWidth, -1);
  put(status_, 10, 130);

  bar_ = gtk_progress_bar_new();
  gtk_widget_set_size_request(bar_, barWidth, 20);
  put(bar_, 10, 150);

  setProgress(0);
}

void ProgressPage::setProgress(int percentage) {
  const stdx::string& text = percentage == 100 ? finishText_ : startText_;
  gtk_label_set_text(GTK_LABEL(status_), text.c_str());
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), percentage / 100.0);
}

void ProgressPage::setStatus(const stdx::u16string& text) {
  gtk_label_set_text(GTK_LABEL(status_), narrow_lib(text).c_str());
}
