// Small stand-ins for Windows services: processes, the home directory,
// message boxes, sleeping.
#pragma once

#include <csignal>
#include <mutex>
#include <vector>

#include "platform/stdx_string.h"

// Base class of the program's windows; messageBox takes its title from it.
class CWnd {
 public:
  virtual ~CWnd() {}
  virtual stdx::u16string windowTitle() const { return stdx::u16string(); }
};

// Runs argv (argv[0] looked up in PATH) without a shell, with standard
// output and error sent to /dev/null, and waits for it. Returns the exit
// status, or -1 when it could not be started.
int run_program(const char* const* argv);

// The user's home directory as the C library's tilde expansion gives it;
// empty on any error.
stdx::u16string home_dir();

// True only for the one-unit text "/".
bool isDiskRoot(const stdx::u16string& path);

// Message-box type words and results.
const unsigned MB_ICONERROR_OK = 0x01000001u;
const unsigned MB_QUESTION_YESNO = 0x02000002u;
const unsigned MB_PLAIN_OK = 1u;
const unsigned MB_ICONWARNING_OK = 0x03000001u;
const unsigned IDYES_RESULT = 1;
const unsigned IDNO_RESULT = 2;
const unsigned IDOK_RESULT = 3;

// Shows a modal GTK message dialog (user-interface thread only) and returns
// 1 for Yes, 2 for No, 3 for OK, 0 for anything else. The dialog itself is
// defined in the message-box library, the only platform code that links
// GTK; this call is not.
//
// After message_box_to_stderr, it touches no GTK at all: it writes the
// text as one line (line breaks become blanks) to standard error behind
// the given prefix, in the locale's encoding, and answers OK, or No to a
// question, since nobody is there to ask.
unsigned messageBox(CWnd* parent, const stdx::u16string& text, unsigned type);
// Sends every later messageBox to standard error behind prefix (a static
// text such as "setup: "); for runs where no display can be opened.
void message_box_to_stderr(const char* prefix);
// Shows every later messageBox as usual and writes each one but a question
// to standard error too, as one line behind prefix (null: no more); for a
// silent run that has a display, whose starter reads standard error.
void message_box_echo_to_stderr(const char* prefix);

// While *flag is non-zero, an open message box closes (answering 0) and a
// new one closes at once: a program asked to end must not wait for an
// answer. A flag of null turns this off. User-interface thread only.
void set_message_box_interrupt(volatile sig_atomic_t* flag);

// The window that shows a box when its text does not go to standard
// error. The toolkit's box lives in the wizard's module, which the program
// loads only when it opens a window; until then (and without a display at
// all) a box that is not sent to standard error is written there anyway,
// so that no message is ever lost.
typedef unsigned (*MessageBoxWindow)(CWnd* parent, const stdx::u16string& text, unsigned type,
                                     volatile sig_atomic_t* interrupt);
void set_message_box_window(MessageBoxWindow window);

// The boxes of a thread that must not touch the window (a run on a worker
// while the window stays live): each is kept here, in order, for the
// window's thread to show, and answered OK, or No to a question. Safe to
// read from another thread under its lock.
struct HeldMessageBoxes {
  struct Box {
    stdx::u16string text;
    unsigned type;
  };
  std::mutex lock;
  std::vector<Box> boxes;
};
// Holds the calling thread's later boxes in held (null: shown again).
void hold_message_boxes_on_this_thread(HeldMessageBoxes* held);

int Sleep(int milliseconds);

// When process pid started, in clock ticks since boot (from /proc); 0 when
// no such process exists. With the pid it names one process for good: a
// pid that is used again gets a later start.
unsigned long long process_start_ticks(int pid);
