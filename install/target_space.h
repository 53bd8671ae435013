// The target's free space as the install counts it: the blocks its
// members take, and the line that says they do not fit.
#pragma once

#include <stdio.h>

#include "platform/resources.h"
#include "platform/stdx_string.h"
#include "platform/utils.h"

namespace run_plan {

// The target's blocks a member takes, as the space check counts them.
inline unsigned long long spaceOf(unsigned long long size) {
  const unsigned long long kBlock = 4096;
  return (size + kBlock - 1) / kBlock * kBlock;
}

// "12 KiB", "3.4 MiB", "1.2 GiB": enough to compare needed with free.
inline stdx::u16string byteCount(unsigned long long bytes) {
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1024.0 && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  char text[64];
  if (unit == 0) snprintf(text, sizeof text, "%.0f %s", value < 1 && bytes ? 1.0 : value, units[unit]);
  else snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return widen_lib(stdx::string(text));
}

// The line that says the target lacks room: where, needed, free.
inline stdx::u16string targetSpaceLine(const stdx::u16string& target, unsigned long long needed,
                                       unsigned long long available) {
  stdx::u16string line = LoadResString("IDS_ERROR_TARGETSPACE");
  replace_all(line, stdx::u16string(u"%1"),
              strip_trailing_separators(target.empty() ? stdx::u16string(u".") : target));
  replace_all(line, stdx::u16string(u"%2"), byteCount(needed));
  replace_all(line, stdx::u16string(u"%3"), byteCount(available));
  return line;
}

}  // namespace run_plan
