#include "app/pages.h"

#include <algorithm>
#include <string>

#include "app/startup.h"
#include "platform/resources.h"

namespace {

const int kMainAreaX = 170;
const int kMainAreaY = 10;
// 170 + 322 leaves 8 pixels to the window's right edge: wrapped text needs air.
const int kMainAreaWidth = 322;
// Where the progress page's bar stands, below the side picture's top part.
const int kBarY = 130;
const int kMargin = 10;
// Between a caption and the field it names, and between paragraphs of widgets.
const int kCaptionGap = 2;
const int kParagraphGap = 8;
const int kMinButtonWidth = 80;
// The narrowest the directory entry gets beside its button.
const int kMinEntryWidth = 200;
const int kMinButtonHeight = 30;
// The row's buttons: Back and Next a little apart, so that they read as two,
// and Cancel set off from both.
const int kBackNextGap = 6;
const int kNextCancelGap = 20;

// 360 - 10 (margin) - 30 (buttons) - 10 - 5 (separator and the air above it)
// at the default font; place_button_row moves it for a taller row.
int g_pageAreaBottom = 305;

stdx::string text_of(const char* key) { return narrow_lib(LoadResString(key)); }

// The size widget asks for with its present text and font.
GtkRequisition natural_size(GtkWidget* widget) {
  GtkRequisition size = {0, 0};
  gtk_widget_size_request(widget, &size);
  return size;
}

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

stdx::string mnemonic_text(const char* key) {
  stdx::string text = text_of(key);
  stdx::string marked;
  for (char c : text) {
    if (c == '_') marked += "__";
    else marked += c == '&' ? '_' : c;
  }
  return marked;
}

void set_accessible_name(GtkWidget* widget, const stdx::string& name) {
  atk_object_set_name(gtk_widget_get_accessible(widget), name.c_str());
}

int page_area_bottom() { return g_pageAreaBottom; }

int place_button_row(GtkWidget* fixed, GtkWidget* separator, const std::vector<GtkWidget*>& buttons,
                     const std::vector<std::vector<stdx::string>>& alternatives, int width, int height) {
  std::vector<int> widths;
  int rowHeight = kMinButtonHeight;
  for (size_t i = 0; i < buttons.size(); ++i) {
    GtkWidget* button = buttons[i];
    // Measured free of the fixed size, with each caption it may show.
    gtk_widget_set_size_request(button, -1, -1);
    GtkRequisition size = natural_size(button);
    if (i < alternatives.size() && !alternatives[i].empty()) {
      stdx::string shown = gtk_button_get_label(GTK_BUTTON(button));
      for (const stdx::string& caption : alternatives[i]) {
        gtk_button_set_label(GTK_BUTTON(button), caption.c_str());
        GtkRequisition other = natural_size(button);
        size.width = std::max(size.width, other.width);
        size.height = std::max(size.height, other.height);
      }
      gtk_button_set_label(GTK_BUTTON(button), shown.c_str());
    }
    widths.push_back(std::max(kMinButtonWidth, size.width));
    rowHeight = std::max(rowHeight, size.height);
  }
  int rowY = height - kMargin - rowHeight;
  int right = width - kMargin;
  int rowWidth = 0;
  // From the right: Cancel, Next, Back.
  for (size_t i = buttons.size(); i-- > 0;) {
    right -= widths[i];
    rowWidth += widths[i];
    gtk_widget_set_size_request(buttons[i], widths[i], rowHeight);
    gtk_fixed_move(GTK_FIXED(fixed), buttons[i], right, rowY);
    int gap = i == buttons.size() - 1 ? kNextCancelGap : kBackNextGap;
    if (i > 0) {
      right -= gap;
      rowWidth += gap;
    }
  }
  gtk_widget_set_size_request(separator, width - 2 * kMargin, 5);
  gtk_fixed_move(GTK_FIXED(fixed), separator, kMargin, rowY - kMargin);
  g_pageAreaBottom = rowY - kMargin - 5;
  return rowWidth + 2 * kMargin;
}

void page_extent(const WizardDialogPage& page, int& right, int& bottom) {
  for (GtkWidget* widget : page.widgets()) {
    if (!gtk_widget_get_visible(widget)) continue;
    GtkWidget* fixed = gtk_widget_get_parent(widget);
    gint x = 0, y = 0;
    gtk_container_child_get(GTK_CONTAINER(fixed), widget, "x", &x, "y", &y, nullptr);
    GtkRequisition size = natural_size(widget);
    // A part of a path that cannot be broken may stand out past the width
    // the label asked for: the window must hold it all the same.
    if (GTK_IS_LABEL(widget)) {
      PangoRectangle ink, logical;
      pango_layout_get_pixel_extents(gtk_label_get_layout(GTK_LABEL(widget)), &ink, &logical);
      size.width = std::max(size.width, logical.x + logical.width);
    }
    int margin = x == 0 && y == 0 ? 0 : kMargin / 2;
    right = std::max(right, x + size.width + margin);
    // The area's bottom keeps its own air above the separator.
    bottom = std::max(bottom, y + size.height);
  }
}

int main_area_width() { return kMainAreaWidth; }

// GTK shows UTF-8 only: bytes of a file name that are not text are shown
// as U+FFFD.
stdx::string shown_text(stdx::u16string text) {
  for (char16_t& c : text)
    if (c >= 0xDC80 && c <= 0xDCFF) c = 0xFFFD;
  return narrow_lib(text);
}

void set_wrapped_text(GtkWidget* label, const stdx::u16string& text, const std::vector<stdx::u16string>& paths) {
  stdx::string shown = shown_text(text);
  PangoAttrList* attributes = pango_attr_list_new();
  // A word broken at the line's end gains no hyphen: in a path one would
  // name a folder that does not exist.
  pango_attr_list_insert(attributes, pango_attr_insert_hyphens_new(FALSE));
  auto keepWhole = [attributes](size_t start, size_t end) {
    if (end <= start) return;
    PangoAttribute* whole = pango_attr_allow_breaks_new(FALSE);
    whole->start_index = static_cast<guint>(start);
    whole->end_index = static_cast<guint>(end);
    pango_attr_list_insert(attributes, whole);
  };
  // A path breaks only after one of its "/" (or stands out whole): each
  // part up to and with its "/" is kept on one line.
  for (const stdx::u16string& path : paths) {
    stdx::string bytes = shown_text(path);
    if (bytes.empty()) continue;
    for (size_t at = shown.find(bytes); at != stdx::string::npos; at = shown.find(bytes, at + bytes.size())) {
      size_t part = at;
      for (size_t i = at; i < at + bytes.size(); ++i) {
        if (bytes[i - at] != '/') continue;
        keepWhole(part, i + 1);
        part = i + 1;
      }
      keepWhole(part, at + bytes.size());
    }
  }
  gtk_label_set_text(GTK_LABEL(label), shown.c_str());
  gtk_label_set_attributes(GTK_LABEL(label), attributes);
  pango_attr_list_unref(attributes);
}

GtkWidget* createMainAreaLabel(GtkWidget* container) {
  GtkWidget* label = gtk_label_new(nullptr);
  // The width decides where lines wrap; the height follows the text.
  gtk_widget_set_size_request(label, kMainAreaWidth, -1);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  // Long words (some translations) break rather than push the label wide;
  // paths are kept whole between their "/" by set_wrapped_text.
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  // A path on a page is there to be copied.
  gtk_label_set_selectable(GTK_LABEL(label), TRUE);
  gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.0f);
  gtk_fixed_put(GTK_FIXED(container), label, kMainAreaX, kMainAreaY);
  return label;
}

MessagePage::MessagePage(GtkWidget* container, GdkPixbuf* picture, const stdx::u16string& message)
    : WizardDialogPage(container) {
  image_ = add_side_image(container, picture);
  widgets_.push_back(image_);
  // The text scrolls, up and down only, when the window cannot be tall
  // enough for it; otherwise the area is exactly as large as the text.
  scroll_ = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll_), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroll_), GTK_SHADOW_NONE);
  put(scroll_, kMainAreaX, kMainAreaY);
  label_ = createMainAreaLabel(container);
  g_object_ref(label_);
  gtk_container_remove(GTK_CONTAINER(container), label_);
  gtk_scrolled_window_add_with_viewport(GTK_SCROLLED_WINDOW(scroll_), label_);
  g_object_unref(label_);
  GtkWidget* viewport = gtk_bin_get_child(GTK_BIN(scroll_));
  gtk_viewport_set_shadow_type(GTK_VIEWPORT(viewport), GTK_SHADOW_NONE);
  inner_.push_back(viewport);
  inner_.push_back(label_);
  setMessage(message);
}

void MessagePage::setMessage(const stdx::u16string& message, const std::vector<stdx::u16string>& paths) {
  set_wrapped_text(label_, message, paths);
  sizeText();
  placeBelowLabel();
}

void MessagePage::setAreaWidth(int width) {
  gtk_widget_set_size_request(label_, width, -1);
  limit_ = -1;
  sizeText();
  placeBelowLabel();
}

void MessagePage::limitTextHeight(int height) {
  // Three lines at the least, so that the text reads as text that scrolls.
  PangoRectangle ink, line;
  pango_layout_get_pixel_extents(gtk_label_get_layout(GTK_LABEL(label_)), &ink, &line);
  int lines = std::max(1, pango_layout_get_line_count(gtk_label_get_layout(GTK_LABEL(label_))));
  limit_ = std::max(height, 3 * line.height / lines);
  sizeText();
  placeBelowLabel();
}

int MessagePage::textHeight() const { return natural_size(scroll_).height; }

void MessagePage::sizeText() {
  GtkRequisition text = natural_size(label_);
  // A part of a path that cannot be broken may stand out past the width
  // the label asked for: the area must hold it all the same.
  PangoRectangle ink, logical;
  pango_layout_get_pixel_extents(gtk_label_get_layout(GTK_LABEL(label_)), &ink, &logical);
  int width = std::max(text.width, logical.x + logical.width);
  bool scrolls = limit_ >= 0 && text.height > limit_;
  if (scrolls) {
    GtkWidget* bar = gtk_scrolled_window_get_vscrollbar(GTK_SCROLLED_WINDOW(scroll_));
    int spacing = 0;
    gtk_widget_style_get(scroll_, "scrollbar-spacing", &spacing, nullptr);
    width += natural_size(bar).width + spacing;
  }
  gtk_widget_set_size_request(scroll_, width, scrolls ? limit_ : text.height);
}

SuccessFinalPage::SuccessFinalPage(GtkWidget* container, GdkPixbuf* picture,
                                   const stdx::u16string& message)
    : MessagePage(container, picture, message) {
  checkBox_ = gtk_check_button_new_with_mnemonic(mnemonic_text("IDS_KEYED_OPENDESCR").c_str());
  // Some translations are longer than the area is wide: let the caption
  // wrap inside it instead of running past the window's edge.
  GtkWidget* caption = gtk_bin_get_child(GTK_BIN(checkBox_));
  gtk_label_set_line_wrap(GTK_LABEL(caption), TRUE);
  gtk_widget_set_size_request(caption, kMainAreaWidth - 40, -1);
  put(checkBox_, kMainAreaX, 0);
  folderButton_ = gtk_button_new_with_mnemonic(mnemonic_text("IDS_KEYED_OPENFOLDER").c_str());
  put(folderButton_, kMainAreaX, 0);
  placeBelowLabel();
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(checkBox_), TRUE);
}

void SuccessFinalPage::placeBelowLabel() {
  if (checkBox_ == nullptr || folderButton_ == nullptr) return;
  int y = kMainAreaY + textHeight() + kParagraphGap;
  gtk_fixed_move(GTK_FIXED(parent_), checkBox_, kMainAreaX, y);
  y += natural_size(checkBox_).height + kParagraphGap;
  gtk_fixed_move(GTK_FIXED(parent_), folderButton_, kMainAreaX, y);
}

bool SuccessFinalPage::isShowReadmeChecked() const {
  return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(checkBox_)) != FALSE;
}

MaintenancePage::MaintenancePage(GtkWidget* container, GdkPixbuf* picture)
    : MessagePage(container, picture, stdx::u16string()) {
  const char* keys[] = {"IDS_KEYED_UPDATE", "IDS_KEYED_REPAIR", "IDS_KEYED_REMOVE"};
  GSList* group = nullptr;
  for (int i = 0; i < 3; ++i) {
    choices_[i] = gtk_radio_button_new_with_mnemonic(group, mnemonic_text(keys[i]).c_str());
    group = gtk_radio_button_get_group(GTK_RADIO_BUTTON(choices_[i]));
    // Long captions wrap inside the area rather than run past the window.
    GtkWidget* caption = gtk_bin_get_child(GTK_BIN(choices_[i]));
    gtk_label_set_line_wrap(GTK_LABEL(caption), TRUE);
    gtk_widget_set_size_request(caption, kMainAreaWidth - 40, -1);
    put(choices_[i], kMainAreaX, 0);
  }
  placeBelowLabel();
}

void MaintenancePage::placeBelowLabel() {
  if (choices_[2] == nullptr) return;
  int y = kMainAreaY + textHeight() + kParagraphGap;
  for (GtkWidget* choice : choices_) {
    gtk_fixed_move(GTK_FIXED(parent_), choice, kMainAreaX, y);
    y += natural_size(choice).height + kParagraphGap / 2;
  }
}

MaintenancePage::Choice MaintenancePage::choice() const {
  for (int i = 0; i < 3; ++i)
    if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(choices_[i]))) return static_cast<Choice>(i);
  return kUpdate;
}

DirSelectPage::DirSelectPage(GtkWidget* container, GdkPixbuf* picture)
    : WizardDialogPage(container) {
  image_ = add_side_image(container, picture);
  widgets_.push_back(image_);

  label_ = createMainAreaLabel(container);
  gtk_label_set_text(GTK_LABEL(label_), text_of("IDS_DESTINATION_PROMPT").c_str());
  widgets_.push_back(label_);

  // The caption's mnemonic takes the keyboard to the entry, and a screen
  // reader reads the caption as the entry's name.
  caption_ = gtk_label_new_with_mnemonic(mnemonic_text("IDS_KEYED_TEMPLATE_CATALOG").c_str());
  entry_ = gtk_entry_new();
  gtk_label_set_mnemonic_widget(GTK_LABEL(caption_), entry_);
  set_accessible_name(entry_, text_of("IDS_TEMPLATE_CATALOG"));
  // Enter in the entry does what Next does (Next is the window's default).
  gtk_entry_set_activates_default(GTK_ENTRY(entry_), TRUE);

  browseButton_ = gtk_button_new_with_mnemonic(mnemonic_text("IDS_KEYED_CHOOSEDIR").c_str());
  gtk_widget_set_tooltip_text(browseButton_, text_of("IDS_CHOOSEDIR_TOOLTIP").c_str());
  set_accessible_name(browseButton_, text_of("IDS_CHOOSEDIR_TITLE"));
  g_signal_connect(browseButton_, "clicked", G_CALLBACK(::button_clicked_handler), this);

  // The entry and its caption stand at the foot of the area, as high as
  // their font makes them; a prompt too long for the room above pushes
  // them down (and the window grows to hold them). Measured in the window,
  // whose font they take.
  put(caption_, kMainAreaX, 0);
  put(entry_, kMainAreaX, 0);
  put(browseButton_, kMainAreaX, 0);
  GtkRequisition captionSize = natural_size(caption_);
  GtkRequisition browseSize = natural_size(browseButton_);
  int fieldHeight = std::max(30, std::max(natural_size(entry_).height, browseSize.height));
  int browseWidth = std::max(30, browseSize.width);
  int captionY = page_area_bottom() - fieldHeight - kCaptionGap - captionSize.height;
  captionY = std::max(captionY, kMainAreaY + natural_size(label_).height + kParagraphGap);
  int fieldY = captionY + captionSize.height + kCaptionGap;
  // The entry keeps room for a path's last folders however wide the
  // button's caption is at the font; the window widens for them instead.
  int right = kMainAreaX + kMainAreaWidth - 2;
  int entryWidth = std::max(kMinEntryWidth, right - browseWidth - kMargin - kMainAreaX);
  gtk_fixed_move(GTK_FIXED(parent_), caption_, kMainAreaX, captionY);
  gtk_widget_set_size_request(entry_, entryWidth, fieldHeight);
  gtk_fixed_move(GTK_FIXED(parent_), entry_, kMainAreaX, fieldY);
  gtk_widget_set_size_request(browseButton_, browseWidth, fieldHeight);
  gtk_fixed_move(GTK_FIXED(parent_), browseButton_, kMainAreaX + entryWidth + kMargin, fieldY);
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
      mnemonic_text("IDS_KEYED_BROWSE_CANCEL").c_str(), GTK_RESPONSE_CANCEL,
      mnemonic_text("IDS_KEYED_BROWSE_OK").c_str(), GTK_RESPONSE_ACCEPT, nullptr);
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

  // The bar's value lives in an adjustment from 0 to 100: that is what the
  // accessibility layer reads and announces as the bar moves (a bar
  // without one reports 0 of 0, and complains on every query).
  value_ = GTK_ADJUSTMENT(gtk_adjustment_new(0, 0, 100, 1, 10, 0));
  bar_ = GTK_WIDGET(g_object_new(GTK_TYPE_PROGRESS_BAR, "adjustment", value_, nullptr));
  set_accessible_name(bar_, text_of("IDS_PROGRESS_NAME"));
  put(bar_, kMargin, kBarY);
  gtk_widget_set_size_request(bar_, barWidth, std::max(20, natural_size(bar_).height));

  // Below the bar, so that a text that takes more lines moves nothing:
  // it wraps (at any font, in any language) and is never cut.
  status_ = gtk_label_new(nullptr);
  gtk_label_set_line_wrap(GTK_LABEL(status_), TRUE);
  gtk_label_set_line_wrap_mode(GTK_LABEL(status_), PANGO_WRAP_WORD_CHAR);
  gtk_misc_set_alignment(GTK_MISC(status_), 0, 0);
  gtk_widget_set_size_request(status_, barWidth, -1);
  put(status_, kMargin, kBarY + natural_size(bar_).height + kParagraphGap);

  setProgress(0);
}

void ProgressPage::setProgress(int percentage, size_t done, size_t total, const stdx::u16string& file) {
  stdx::u16string text;
  if (percentage == 100) {
    text = widen_lib(finishText_);
  } else if (total == 0) {
    text = widen_lib(startText_);
  } else {
    text = LoadResString("IDS_PROGRESS_COUNT");
    replace_all(text, u"%1", widen_lib(stdx::string(std::to_string(done).c_str())));
    replace_all(text, u"%2", widen_lib(stdx::string(std::to_string(total).c_str())));
    replace_all(text, u"%3", widen_lib(stdx::string(std::to_string(percentage).c_str())));
    if (!file.empty()) text += u"\n" + file;
  }
  set_wrapped_text(status_, text, {file});
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), percentage / 100.0);
  gtk_adjustment_set_value(value_, std::min(100, std::max(0, percentage)));
  gtk_progress_bar_set_text(GTK_PROGRESS_BAR(bar_), (std::to_string(percentage) + "%").c_str());
}

void ProgressPage::setStatus(const stdx::u16string& text) {
  set_wrapped_text(status_, text, {});
}
