// What an install run does with one member, decided from what stands at
// the member's path in the target (looked at without following a link) and
// the member's time. The run itself, its space check, the dry run and the
// verify all take the decision from here, so that none of them can come to
// another answer than the copy will.
#pragma once

#include <algorithm>

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

// A file time as whole seconds since 1970 (rounded down).
inline long long epochSeconds(const FILETIME& t) {
  return static_cast<long long>(FileTimeTicks(t) / kFileTimeTicksPerSecond) - kFileTimeEpochOffsetSeconds;
}

// The time a copy made on volume gets from a member of time t, in seconds
// since 1970: the file system rounds it down to its grain and keeps it
// inside its range. A copy is compared with that, not with t: a time it
// cannot store would otherwise make every copy look older than its member.
inline long long keptSeconds(const FILETIME& t, const VolumeTraits& volume) {
  long long s = std::min(std::max(epochSeconds(t), volume.oldestSeconds), volume.newestSeconds);
  long long grain = volume.timeGrainSeconds > 1 ? volume.timeGrainSeconds : 1;
  long long rest = s % grain;
  return s - (rest < 0 ? rest + grain : rest);
}

// lookup is the code of GetFileInformationAt for the member's name, info
// what it found, volume what the target's file system keeps. Only 0 and
// ERROR_FILE_NOT_FOUND are decisions; any other code is the caller's
// failure to report (kMissing is returned for it).
inline InstalledCopy installed_copy(unsigned lookup, const FileInformation& info,
                                    const FILETIME& memberTime, const VolumeTraits& volume = VolumeTraits()) {
  if (lookup != 0) return InstalledCopy::kMissing;
  if (info.attributes == FILE_ATTRIBUTE_REPARSE_POINT) return InstalledCopy::kLink;
  if (info.attributes != FILE_ATTRIBUTE_NORMAL) return InstalledCopy::kRefused;
  return epochSeconds(info.lastWriteTime) >= keptSeconds(memberTime, volume) ? InstalledCopy::kCurrent
                                                                              : InstalledCopy::kOlder;
}

// True when the run writes the member (new, or replacing what stands there).
inline bool is_copied(InstalledCopy copy) {
  return copy == InstalledCopy::kMissing || copy == InstalledCopy::kOlder ||
         copy == InstalledCopy::kLink;
}

}  // namespace config
