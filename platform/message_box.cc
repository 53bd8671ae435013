#include <gtk/gtk.h>
#include <stdio.h>
#include <string.h>

#include "platform/printable.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

// Null while messages go to GTK dialogs.
const char* g_stderrPrefix = nullptr;
// Non-null while every box but a question is also written to standard error.
const char* g_echoPrefix = nullptr;

// A box's text is one line on standard error: its own line breaks become
// blanks, and any other control character (from a name within it) is
// escaped, so that no text can start a line of its own.
void writeLine(const char* prefix, const stdx::u16string& text) {
  stdx::u16string line = text;
  replace_all(line, u"\r\n", u" ");
  replace_all(line, u"\n", u" ");
  replace_all(line, u"\r", u" ");
  line = printable_name(line, false);
  fprintf(stderr, "%s%s\n", prefix, narrow_lib(line).c_str());
  fflush(stderr);
}

unsigned messageLine(const stdx::u16string& text, unsigned type) {
  writeLine(g_stderrPrefix, text);
  return (type & 0xFFu) == 2 ? 2u : 3u;
}

volatile sig_atomic_t* g_interrupt = nullptr;

// How often an open box looks at the interrupt flag.
const guint kInterruptPollMs = 50;

gboolean check_interrupt(gpointer dialog) {
  if (g_interrupt != nullptr && *g_interrupt != 0) {
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_NONE);
  }
  return TRUE;  // removed by messageBox once the box is answered
}

// The caption of a box's button: the toolkit's own when it speaks the
// interface language (its stock buttons), else the program's text for it,
// so that a box never mixes two languages. GTK 2 has no Georgian captions.
stdx::string button_caption(const char* stock, const char* msgid, const char* key) {
  const char* translated = g_dpgettext2("gtk20", "Stock label", msgid);
  if (get_resource_lang() == LANG_EN || strcmp(translated, msgid) != 0) return stock;
  stdx::string own = narrow_lib(LoadResString(key));
  for (char& c : own)
    if (c == '&') c = '_';
  return own;
}

}  // namespace

void message_box_to_stderr(const char* prefix) { g_stderrPrefix = prefix; }
void message_box_echo_to_stderr(const char* prefix) { g_echoPrefix = prefix; }
void set_message_box_interrupt(volatile sig_atomic_t* flag) { g_interrupt = flag; }

unsigned messageBox(CWnd* parent, const stdx::u16string& text, unsigned type) {
  if (g_stderrPrefix != nullptr) return messageLine(text, type);
  if (g_echoPrefix != nullptr && (type & 0xFFu) != 2) writeLine(g_echoPrefix, text);
  stdx::string message = narrow_lib(text);
  GtkMessageType icon = GTK_MESSAGE_OTHER;
  const char* kindKey = nullptr;
  switch (type & 0xFF000000u) {
    case 0x01000000u: icon = GTK_MESSAGE_ERROR; kindKey = "IDS_BOX_ERROR"; break;
    case 0x02000000u: icon = GTK_MESSAGE_QUESTION; kindKey = "IDS_BOX_QUESTION"; break;
    case 0x03000000u: icon = GTK_MESSAGE_WARNING; kindKey = "IDS_BOX_WARNING"; break;
    default: break;
  }
  // "%s" keeps a "%" in the text literal.
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, icon, GTK_BUTTONS_NONE,
                                             "%s", message.c_str());
  // A screen reader announces the box by the kind GTK names it with, in
  // GTK's language; where GTK has no translation that is English, so the
  // name is always the program's own, in the interface language.
  if (kindKey != nullptr)
    atk_object_set_name(gtk_widget_get_accessible(dialog), narrow_lib(LoadResString(kindKey)).c_str());
  // In the order and with the responses GTK gives its own Yes/No and OK boxes.
  if ((type & 0xFFu) == 2) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), button_caption(GTK_STOCK_NO, "_No", "IDS_KEYED_NO").c_str(),
                          GTK_RESPONSE_NO);
    gtk_dialog_add_button(GTK_DIALOG(dialog),
                          button_caption(GTK_STOCK_YES, "_Yes", "IDS_KEYED_YES").c_str(),
                          GTK_RESPONSE_YES);
  } else {
    gtk_dialog_add_button(GTK_DIALOG(dialog), button_caption(GTK_STOCK_OK, "_OK", "IDS_KEYED_OK").c_str(),
                          GTK_RESPONSE_OK);
  }
  if (parent != nullptr) gtk_window_set_title(GTK_WINDOW(dialog), narrow_lib(parent->windowTitle()).c_str());
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  if (g_interrupt != nullptr && *g_interrupt != 0) {
    gtk_widget_destroy(dialog);
    return 0;
  }
  guint watch = g_timeout_add(kInterruptPollMs, check_interrupt, dialog);
  gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  g_source_remove(watch);
  gtk_widget_destroy(dialog);
  switch (response) {
    case GTK_RESPONSE_YES: return 1;
    case GTK_RESPONSE_NO: return 2;
    case GTK_RESPONSE_OK: return 3;
    default: return 0;
  }
}
