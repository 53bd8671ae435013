#include <gtk/gtk.h>
#include <string.h>

#include "platform/printable.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

volatile sig_atomic_t* g_interrupt = nullptr;  // the one of the box being shown

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

// The toolkit's box behind messageBox, for as long as the wizard's module
// is loaded.
unsigned message_box_window(CWnd* parent, const stdx::u16string& text, unsigned type,
                            volatile sig_atomic_t* interrupt) {
  g_interrupt = interrupt;
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

namespace {

// Wherever this box is linked (the wizard's module, the wizard's tests),
// messages that do not go to standard error open it.
[[maybe_unused]] const bool g_windowSet = (set_message_box_window(message_box_window), true);

}  // namespace
