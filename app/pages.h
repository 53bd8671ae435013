// The wizard's pages. A page is not a container of its own: it is a set of
// widgets placed at fixed coordinates in the window's one GtkFixed, and the
// dialog shows a page by showing exactly those widgets. Pages and their
// widgets are used on the user-interface thread only.
#pragma once

#include <gtk/gtk.h>

#include <vector>

#include "platform/stdx_string.h"

class WizardDialogPage {
 public:
  // parent is the dialog's GtkFixed; it owns every widget the page adds.
  explicit WizardDialogPage(GtkWidget* parent) : parent_(parent) {}
  virtual ~WizardDialogPage() {}
  WizardDialogPage(const WizardDialogPage&) = delete;
  WizardDialogPage& operator=(const WizardDialogPage&) = delete;

  // Called by the dialog after the page's widgets have been shown.
  virtual void onShow() {}

  // Every widget of the page placed in the container, in creation order.
  const std::vector<GtkWidget*>& widgets() const { return widgets_; }
  // The page's widgets inside one of those: shown and hidden with the
  // page, placed by their holder.
  const std::vector<GtkWidget*>& innerWidgets() const { return inner_; }

 protected:
  // Puts widget into the container at (x, y) and lists it as the page's.
  void put(GtkWidget* widget, int x, int y);

  GtkWidget* parent_;
  std::vector<GtkWidget*> widgets_;
  std::vector<GtkWidget*> inner_;
};

// The label of the area right of the side picture, at (170, 10): as wide as
// the area, as high as its wrapped text, aligned to the top left. Not listed
// in any page.
GtkWidget* createMainAreaLabel(GtkWidget* container);
// The width a page's main text wraps at, unless the window had to widen it.
int main_area_width();
// Shows text in label, without a hyphen where a word breaks, and with each
// of paths (where it occurs in text) broken only after one of its "/".
void set_wrapped_text(GtkWidget* label, const stdx::u16string& text,
                      const std::vector<stdx::u16string>& paths);

// The text of key as GTK takes a caption with a mnemonic ("&" becomes "_").
stdx::string mnemonic_text(const char* key);
// The name a screen reader announces for widget.
void set_accessible_name(GtkWidget* widget, const stdx::string& name);

// Where the pages' area ends: the y just above the separator. The window's
// frame (place_button_row) moves it when the buttons need more height; pages
// made afterwards lay themselves out against it.
int page_area_bottom();

// Places the separator and the row of wizard buttons at the bottom of a
// window of width x height, each button as wide and high as its widest
// caption needs (at least 80 x 30); captions are never drawn smaller.
// alternatives lists further captions (UTF-8, mnemonics marked) that a
// button may show later, one vector per button. Cancel sits at the right
// edge, Next 20 pixels left of it, Back a few pixels left of Next. Returns
// the width the row needs (at most width when it fits).
int place_button_row(GtkWidget* fixed, GtkWidget* separator, const std::vector<GtkWidget*>& buttons,
                     const std::vector<std::vector<stdx::string>>& alternatives, int width, int height);

// Grows right and bottom to where page's visible widgets end, as their
// fonts and texts make them, plus a margin on the right (none for the side
// picture).
void page_extent(const WizardDialogPage& page, int& right, int& bottom);

// The side picture and a message beside it.
class MessagePage : public WizardDialogPage {
 public:
  // picture stays owned by the caller; the page's image takes its own reference.
  MessagePage(GtkWidget* container, GdkPixbuf* picture, const stdx::u16string& message);

  // paths: the paths within message, which break only at their "/".
  void setMessage(const stdx::u16string& message, const std::vector<stdx::u16string>& paths = {});
  // The width the message wraps at: wider where the window would otherwise
  // be taller than the screen.
  // The whole text is shown again.
  void setAreaWidth(int width);
  // Shows at most height pixels of the text, which then scrolls (never
  // less than a few lines): a text too tall for the screen at the widest
  // the window may be must not push the buttons off it.
  void limitTextHeight(int height);
  // The height the text takes on the page: all of it, or the scrolled part.
  int textHeight() const;
  GtkWidget* label() const { return label_; }
  GtkWidget* textScroll() const { return scroll_; }

 protected:
  // Lays out what follows the label once its text changed.
  virtual void placeBelowLabel() {}

 private:
  // Sizes the scrolled area to the label: whole, or limit pixels high.
  void sizeText();

  GtkWidget* image_;
  GtkWidget* label_;
  GtkWidget* scroll_;
  int limit_ = -1;
};

// A message page with a check box that offers to open the package's readme.
class SuccessFinalPage : public MessagePage {
 public:
  SuccessFinalPage(GtkWidget* container, GdkPixbuf* picture, const stdx::u16string& message);

  bool isShowReadmeChecked() const;
  GtkWidget* checkBox() const { return checkBox_; }
  // Below the check box: opens the template directory (the dialog acts on it).
  GtkWidget* folderButton() const { return folderButton_; }

 protected:
  // The check box and the folder button go below the message, however
  // many lines it takes.
  void placeBelowLabel() override;

 private:
  GtkWidget* checkBox_ = nullptr;
  GtkWidget* folderButton_ = nullptr;
};

// What to do with a directory that already holds the package's files: the
// offer (with the directory's counts) and three choices, Update first.
class MaintenancePage : public MessagePage {
 public:
  enum Choice { kUpdate, kRepair, kRemove };
  MaintenancePage(GtkWidget* container, GdkPixbuf* picture);

  Choice choice() const;
  GtkWidget* choiceButton(Choice choice) const { return choices_[choice]; }

 protected:
  // The choices go below the offer, however many lines it takes.
  void placeBelowLabel() override;

 private:
  GtkWidget* choices_[3] = {nullptr, nullptr, nullptr};
};

// The choice of the template directory: a prompt, an entry and a button
// that opens a folder chooser. The page validates nothing.
class DirSelectPage : public WizardDialogPage {
 public:
  DirSelectPage(GtkWidget* container, GdkPixbuf* picture);

  // Focuses the entry, its cursor at the end of the path.
  void onShow() override;

  // Shows path in the entry. A path that is not all text (a file name with
  // bytes of another encoding) cannot be shown as it is: the entry shows
  // those bytes as U+FFFD, and getPath gives the exact path back as long as
  // the text is not edited.
  void setPath(const stdx::u16string& path);
  // The path as the entry holds it: what setPath set, while the entry shows
  // exactly that, else the entry's text; empty when GTK gives none.
  stdx::u16string getPath() const;
  // Runs the folder chooser, titled and attached to the wizard, opened at
  // the entry's folder or its nearest existing parent; on Select its
  // folder, with its exact bytes, replaces the entry's text.
  void showDirDialog();

  GtkWidget* entry() const { return entry_; }
  GtkWidget* browseButton() const { return browseButton_; }
  GtkWidget* label() const { return label_; }
  GtkWidget* caption() const { return caption_; }

 private:
  void showEndOfPath();

  GtkWidget* image_;
  GtkWidget* entry_;
  GtkWidget* label_;
  GtkWidget* caption_;
  GtkWidget* browseButton_;
  stdx::u16string path_;   // the last path set, exact
  stdx::string shown_;     // the text shown for it (UTF-8)
};

// "clicked" of the browse button; data is the DirSelectPage.
gint button_clicked_handler(GtkWidget* widget, gpointer data);

// A progress bar and, below it, the status text.
class ProgressPage : public WizardDialogPage {
 public:
  ProgressPage(GtkWidget* container, int barWidth);

  // 100 exactly shows the finish text; else, once total is known, how many
  // of the files are done and the percent, and the file being copied on a
  // line of its own; before that, the start text. The bar shows
  // percentage / 100 unclamped, its text the percent, and its accessible
  // value the percent from 0 to 100.
  void setProgress(int percentage, size_t done = 0, size_t total = 0, const stdx::u16string& file = {});
  // Replaces the status text below the bar until the next setProgress.
  void setStatus(const stdx::u16string& text);

  GtkWidget* status() const { return status_; }
  GtkWidget* bar() const { return bar_; }

 private:
  GtkWidget* status_;
  GtkWidget* bar_;
  GtkAdjustment* value_;  // owned by the bar
  stdx::string startText_;   // UTF-8
  stdx::string finishText_;  // UTF-8
};
