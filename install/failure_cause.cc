#include "install/failure_cause.h"

#include <errno.h>
#include <string.h>

#include "platform/resources.h"

const char* failure_cause_key(int errnoValue) {
  switch (errnoValue) {
    case EACCES:
    case EPERM:
      return "IDS_CAUSE_ACCESS";
    case ENOSPC:
    case EDQUOT:
      return "IDS_CAUSE_NOSPACE";
    case EROFS:
      return "IDS_CAUSE_READONLY";
    case ENOTDIR:
      return "IDS_CAUSE_NOTDIR";
    case EISDIR:
      return "IDS_CAUSE_ISDIR";
    case ELOOP:
      return "IDS_CAUSE_LOOP";
    default:
      return nullptr;
  }
}

stdx::u16string failure_cause_line(const stdx::u16string& path, int errnoValue) {
  if (path.empty() && errnoValue == 0) return stdx::u16string();
  stdx::u16string cause;
  if (const char* key = failure_cause_key(errnoValue)) {
    cause = LoadResString(key);
  } else {
    // The worker builds this line while the window's thread runs: the
    // reentrant form of the system's text.
    char buffer[256];
    const char* system = errnoValue != 0 ? strerror_r(errnoValue, buffer, sizeof buffer) : "?";
    cause = LoadResString("IDS_CAUSE_OTHER") + u" (" + widen_lib(stdx::string(system)) + u")";
  }
  return path.empty() ? cause : path + u": " + cause;
}

stdx::u16string failure_text(const InstallFailure& failure) {
  if (failure.packageFailed) {
    return LoadResString(failure.code == ERROR_DISK_FULL ? "IDS_ERROR_NOSPACE"
                                                         : "IDS_ERROR_DAMAGEDSOURCE");
  }
  stdx::u16string text = LoadResString("IDS_INSTALL_ERROR");
  stdx::u16string line =
      failure.line.empty() ? failure_cause_line(failure.path, failure.errnoValue) : failure.line;
  if (!line.empty()) text += u"\n" + line;
  return text;
}

stdx::u16string special_file_line(const stdx::u16string& path) {
  return path + u": " + LoadResString("IDS_CAUSE_SPECIAL");
}

stdx::u16string temp_dir_line(const stdx::u16string& directory, int errnoValue) {
  return LoadResString("IDS_ERROR_TMPDIR") + u" " +
         failure_cause_line(strip_trailing_separators(directory), errnoValue);
}

stdx::u16string package_read_line(const stdx::u16string& path, int errnoValue) {
  if (errnoValue == EACCES || errnoValue == EPERM) return path + u": " + LoadResString("IDS_CAUSE_READACCESS");
  return failure_cause_line(path, errnoValue);
}
