// Why an install run failed, in words a user can act on: the file or
// directory that could not be written and the cause, in the interface
// language. Safe on any thread (the texts are read-only).
#pragma once

#include <errno.h>
#include <stdint.h>

#include "platform/file_system.h"
#include "platform/stdx_string.h"

// What failed, as the failing step saw it: the Win32-style code, the
// system's errno behind it (0 when the failure did not come from the
// system) and the file or folder it concerns. Made where the run failed
// and handed up unchanged to whoever reports it.
struct InstallFailure {
  unsigned code = 0;
  int errnoValue = 0;
  stdx::u16string path;
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

// What to name when a step that worked on path failed with errnoValue (0
// when the failure did not come from the system), read off the file system
// through FS after the run was undone: a plain file on the way to path when
// a directory could not be made or entered; the nearest existing folder
// when writing was refused (permission, read-only); a directory standing at
// a member's path; else path itself. The errno may be refined (a file in
// the way always reads as ENOTDIR). Returns false when nothing can be said.
template <class FS>
bool locate_failure(const stdx::u16string& path, int& errnoValue, stdx::u16string& where) {
  stdx::u16string p = path;
  while (p.size() > 1 && p[p.size() - 1] == u'/') p.erase(p.size() - 1);
  if (p.empty()) return false;
  FileInformation info;
  bool wayBlocked = errnoValue == ENOTDIR || errnoValue == EEXIST || errnoValue == ENOENT ||
                    errnoValue == 0;
  if (wayBlocked) {
    // Every folder on the way, first to last; path itself only when it was
    // to be a folder (the system said so).
    for (size_t slash = p.find(u'/', 1);; slash = p.find(u'/', slash + 1)) {
      bool whole = slash == stdx::u16string::npos;
      if (whole && (errnoValue == 0 || errnoValue == ENOENT)) break;
      stdx::u16string prefix = whole ? p : p.substr(0, slash);
      if (FS::GetFileInformation(prefix, true, info) == 0 &&
          info.attributes != FILE_ATTRIBUTE_DIRECTORY) {
        errnoValue = ENOTDIR;
        where = prefix;
        return true;
      }
      if (whole) break;
    }
  }
  if (errnoValue == 0 || errnoValue == EISDIR) {
    // A member refused because a folder holds its name.
    if (FS::GetFileInformation(p, false, info) != 0 || info.attributes != FILE_ATTRIBUTE_DIRECTORY)
      return false;
    errnoValue = EISDIR;
    where = p;
    return true;
  }
  if (errnoValue == EACCES || errnoValue == EPERM || errnoValue == EROFS) {
    // The folder that refused to take something new.
    stdx::u16string folder = p;
    while (FS::GetFileInformation(folder, true, info) != 0 ||
           info.attributes != FILE_ATTRIBUTE_DIRECTORY) {
      size_t slash = folder.rfind(u'/');
      if (slash == stdx::u16string::npos || slash == 0) break;
      folder.erase(slash);
    }
    where = folder;
    return true;
  }
  where = p;
  return true;
}
