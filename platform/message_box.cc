#include <gtk/gtk.h>
#include <stdio.h>

#include "platform/utils.h"

namespace {

// Null while messages go to GTK dialogs.
const char* g_stderrPrefix = nullptr;

unsigned messageLine(const stdx::u16string& text, unsigned type) {
  stdx::u16string line = text;
  replace_all(line, u"\r\n", u" ");
  replace_all(line, u"\n", u" ");
  replace_all(line, u"\r", u" ");
  fprintf(stderr, "%s%s\n", g_stderrPrefix, narrow_lib(line).c_str());
  fflush(stderr);
  return (type & 0xFFu) == 2 ? 2u : 3u;
}

}  // namespace

void message_box_to_stderr(const char* prefix) { g_stderrPrefix = prefix; }

unsigned messageBox(CWnd* parent, const stdx::u16string& text, unsigned type) {
  if (g_stderrPrefix != nullptr) return messageLine(text, type);
  stdx::string message = narrow_lib(text);
  GtkMessageType icon = GTK_MESSAGE_OTHER;
  switch (type & 0xFF000000u) {
    case 0x01000000u: icon = GTK_MESSAGE_ERROR; break;
    case 0x02000000u: icon = GTK_MESSAGE_QUESTION; break;
    case 0x03000000u: icon = GTK_MESSAGE_WARNING; break;
    default: break;
  }
  GtkButtonsType buttons = (type & 0xFFu) == 2 ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK;
  // "%s" keeps a "%" in the text literal.
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, icon, buttons, "%s",
                                             message.c_str());
  if (parent != nullptr) gtk_window_set_title(GTK_WINDOW(dialog), narrow_lib(parent->windowTitle()).c_str());
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  switch (response) {
    case GTK_RESPONSE_YES: return 1;
    case GTK_RESPONSE_NO: return 2;
    case GTK_RESPONSE_OK: return 3;
    default: return 0;
  }
}
