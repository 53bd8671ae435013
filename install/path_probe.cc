#include "install/path_probe.h"

#include <errno.h>
#include <sys/stat.h>

PathKind probePath(const stdx::u16string& path, bool followLinks) {
  stdx::string p = narrow_lib(path);
  struct stat st;
  int r = followLinks ? stat(p.c_str(), &st) : lstat(p.c_str(), &st);
  if (r != 0) return errno == ENOENT || errno == ENOTDIR ? PathKind::kMissing : PathKind::kOther;
  if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
  if (S_ISREG(st.st_mode)) return PathKind::kRegularFile;
  if (S_ISLNK(st.st_mode)) return PathKind::kSymbolicLink;
  return PathKind::kOther;
}
