// Why an install run failed, in words a user can act on: the file or
// directory that could not be written and the cause, in the interface
// language. Safe on any thread (the texts are read-only).
#pragma once

#include <errno.h>
#include <stdint.h>

#include "platform/file_io.h"
#include "platform/file_system.h"
#include "platform/stdx_string.h"

// What failed, as the failing step saw it: the Win32-style code, the
// system's errno behind it (0 when the failure did not come from the
// system) and the file or folder it concerns. Made where the run failed
// and handed up unchanged to whoever reports it.
struct InstallFailure : FileError {
  bool packageFailed = false;  // the package was at fault, not the target
  // A whole cause line, made where the run found what stops it (a link in
  // the way, too little room); when set, it is what the user is told.
  stdx::u16string line;
};

// How a run ended, as the worker posts it once, as its last act.
struct InstallOutcome {
  enum Kind { kInstalled, kFailed, kCancelled };
  Kind kind = kFailed;
  InstallFailure failure;  // for kFailed (and a cancel that could not be undone)
  // What to tell the user about a failure: the cause and whatever could not
  // be put back. Empty for kInstalled and for a clean cancel.
  stdx::u16string text;
  unsigned long copied = 0;    // members copied (before a rollback, what it undid)
  unsigned long upToDate = 0;  // members left alone as up to date
};

// True when errnoValue says a folder refused to take a new entry
// (permission, a read-only file system): the folder is what to name.
inline bool refused_by_folder(int errnoValue) {
  return errnoValue == EACCES || errnoValue == EPERM || errnoValue == EROFS;
}

// The text for failure: the package's own words when the package was at
// fault, else the install error with the line that says what and why (when
// anything is known).
stdx::u16string failure_text(const InstallFailure& failure);

// The resource key that names the cause errnoValue stands for:
// "IDS_CAUSE_ACCESS" (EACCES, EPERM), "IDS_CAUSE_NOSPACE" (ENOSPC, EDQUOT),
// "IDS_CAUSE_READONLY" (EROFS), "IDS_CAUSE_NOTDIR" (ENOTDIR: a file stands
// where a directory is needed), "IDS_CAUSE_ISDIR" (EISDIR: a directory
// stands where a file goes), "IDS_CAUSE_LOOP" (ELOOP: symbolic links that
// lead in a circle); null for any other value.
const char* failure_cause_key(int errnoValue);

// One line: path, ": " and the cause. An errno without a text of its own
// gets the generic "IDS_CAUSE_OTHER" followed by the system's own words in
// parentheses. Empty when path is empty and errnoValue is 0 (nothing known).
stdx::u16string failure_cause_line(const stdx::u16string& path, int errnoValue);

// The line for a temporary directory that cannot take the package's image
// (or give back what was written there): the heading that says so, then
// the directory and the cause.
stdx::u16string temp_dir_line(const stdx::u16string& directory, int errnoValue);

// The line for a package file that is there but cannot be read: its path
// and the cause ("IDS_CAUSE_READACCESS" for a refused read, which the
// write-worded "IDS_CAUSE_ACCESS" would misstate).
stdx::u16string package_read_line(const stdx::u16string& path, int errnoValue);

// The line for a member refused because a device, a pipe or a socket
// stands at its path: nothing the run may replace, nor has an errno for.
stdx::u16string special_file_line(const stdx::u16string& path);
