// The message box's side that needs no toolkit: the choice between a line
// on standard error and a window, and the line itself. The program links
// this alone; the window comes with the wizard's module.
#include <stdio.h>

#include "platform/printable.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

// Null while messages go to windows.
const char* g_stderrPrefix = nullptr;
// Non-null while every box but a question is also written to standard error.
const char* g_echoPrefix = nullptr;
volatile sig_atomic_t* g_interrupt = nullptr;
MessageBoxWindow g_window = nullptr;
thread_local HeldMessageBoxes* t_held = nullptr;

void writeLine(const char* prefix, const stdx::u16string& text) {
  stdx::u16string line = text;
  replace_all(line, u"\r\n", u" ");
  replace_all(line, u"\n", u" ");
  replace_all(line, u"\r", u" ");
  // Any other control character (from a name within the text) is escaped,
  // so that no text can start a line of its own.
  line = printable_name(line, false);
  fprintf(stderr, "%s%s\n", prefix, narrow_lib(line).c_str());
  fflush(stderr);
}

bool is_question(unsigned type) { return (type & 0xFFu) == 2; }

}  // namespace

void message_box_to_stderr(const char* prefix) { g_stderrPrefix = prefix; }
void message_box_echo_to_stderr(const char* prefix) { g_echoPrefix = prefix; }
void set_message_box_interrupt(volatile sig_atomic_t* flag) { g_interrupt = flag; }
void set_message_box_window(MessageBoxWindow window) { g_window = window; }
void hold_message_boxes_on_this_thread(HeldMessageBoxes* held) { t_held = held; }

unsigned messageBox(CWnd* parent, const stdx::u16string& text, unsigned type) {
  // Without a window to show it in, the text still reaches someone.
  if (t_held != nullptr && g_stderrPrefix == nullptr) {
    if (g_echoPrefix != nullptr && !is_question(type)) writeLine(g_echoPrefix, text);
    std::lock_guard<std::mutex> hold(t_held->lock);
    t_held->boxes.push_back(HeldMessageBoxes::Box{text, type});
    return is_question(type) ? IDNO_RESULT : IDOK_RESULT;
  }
  if (g_stderrPrefix != nullptr || g_window == nullptr) {
    writeLine(g_stderrPrefix != nullptr ? g_stderrPrefix : "setup: ", text);
    return is_question(type) ? IDNO_RESULT : IDOK_RESULT;
  }
  if (g_echoPrefix != nullptr && !is_question(type)) writeLine(g_echoPrefix, text);
  return g_window(parent, text, type, g_interrupt);
}
