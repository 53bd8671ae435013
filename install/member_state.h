// What an install run does with one member, decided from what stands at
// the member's path in the target (looked at without following a link) and
// the member's time. The run itself, its space check, the dry run and the
// verify all take the decision from here, so that none of them can come to
// another answer than the copy will.
#pragma once

#include "platform/file_system.h"

namespace config {

enum class InstalledCopy {
  kMissing,   // nothing there: the member is written anew
  kOlder,     // an older regular file: replaced
  kLink,      // a symbolic link: replaced as the link itself, never followed
  kCurrent,   // a regular file as new or newer, to the second: left alone
  kRefused,   // a directory or a special file: the run refuses to write there
};

// A file time cut to whole seconds: file systems keep times at different
// precision, and a copy must not look older than the member it was made from.
inline unsigned long long wholeSeconds(const FILETIME& t) {
  unsigned long long ticks = FileTimeTicks(t);
  return ticks - ticks % kFileTimeTicksPerSecond;
}

// lookup is the code of GetFileInformationAt for the member's name, info
// what it found. Only 0 and ERROR_FILE_NOT_FOUND are decisions; any other
// code is the caller's failure to report (kMissing is returned for it).
inline InstalledCopy installed_copy(unsigned lookup, const FileInformation& info,
                                    const FILETIME& memberTime) {
  if (lookup != 0) return InstalledCopy::kMissing;
  if (info.attributes == FILE_ATTRIBUTE_REPARSE_POINT) return InstalledCopy::kLink;
  if (info.attributes != FILE_ATTRIBUTE_NORMAL) return InstalledCopy::kRefused;
  return wholeSeconds(info.lastWriteTime) >= wholeSeconds(memberTime) ? InstalledCopy::kCurrent
                                                                      : InstalledCopy::kOlder;
}

// True when the run writes the member (new, or replacing what stands there).
inline bool is_copied(InstalledCopy copy) {
  return copy == InstalledCopy::kMissing || copy == InstalledCopy::kOlder ||
         copy == InstalledCopy::kLink;
}

}  // namespace config
