// Why an install run failed, in words a user can act on: the file or
// directory that could not be written and the cause, in the interface
// language. Safe on any thread (the texts are read-only).
#pragma once

#include "platform/stdx_string.h"

// The resource key that names the cause errnoValue stands for:
// "IDS_CAUSE_ACCESS" (EACCES, EPERM), "IDS_CAUSE_NOSPACE" (ENOSPC, EDQUOT),
// "IDS_CAUSE_READONLY" (EROFS), "IDS_CAUSE_NOTDIR" (ENOTDIR: a file stands
// where a directory is needed), "IDS_CAUSE_ISDIR" (EISDIR: a directory
// stands where a file goes); null for any other value.
const char* failure_cause_key(int errnoValue);

// One line: path, ": " and the cause. An errno without a text of its own
// gets the generic "IDS_CAUSE_OTHER" followed by the system's own words in
// parentheses. Empty when path is empty and errnoValue is 0 (nothing known).
stdx::u16string failure_cause_line(const stdx::u16string& path, int errnoValue);
