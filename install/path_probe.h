// What a path names on disk. The file layer answers such questions only
// through its operations (opening, creating, moving), and those follow
// symbolic links; the install run must tell a link, a directory or a
// device from a plain file before it writes, so it asks here.
#pragma once

#include "platform/stdx_string.h"

enum class PathKind {
  kMissing,  // nothing there, or a component on the way is not a directory
  kDirectory,
  kRegularFile,
  kSymbolicLink,  // only when links are not followed
  kOther,         // a device, pipe or socket, or a path that cannot be examined
};

// With followLinks false a symbolic link is reported as one; with true the
// kind of what it points at (kMissing for a dangling link).
PathKind probePath(const stdx::u16string& path, bool followLinks);
