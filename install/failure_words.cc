#include "install/failure_words.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "install/installer.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

// "12 KiB", "3.4 MiB", "1.2 GiB": enough to compare needed with free.
stdx::u16string byte_count(unsigned long long bytes) {
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

stdx::u16string with_path(const stdx::u16string& path, const stdx::u16string& cause) {
  if (path.empty()) return cause;
  if (cause.empty()) return path;
  return path + u": " + cause;
}

// key's text with %1, %2 and %3 replaced (in one pass, so that a path
// that holds "%2" stays as it is).
stdx::u16string filled(const char* key, const stdx::u16string& first,
                       const stdx::u16string& second = stdx::u16string(),
                       const stdx::u16string& third = stdx::u16string()) {
  stdx::u16string text = LoadResString(key);
  stdx::u16string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'%' && i + 1 < text.size() && text[i + 1] >= u'1' && text[i + 1] <= u'3') {
      result += text[i + 1] == u'1' ? first : text[i + 1] == u'2' ? second : third;
      ++i;
    } else {
      result += text[i];
    }
  }
  return result;
}

}  // namespace

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

stdx::u16string failure_cause(unsigned code, int errnoValue) {
  if (code == ERROR_STOPPED_ON_SYMLINK) return LoadResString("IDS_CAUSE_SYMLINK");
  if (const char* key = failure_cause_key(errnoValue)) return LoadResString(key);
  if (errnoValue == 0) {
    // A code the file layer chose without the system: the ones a user can
    // act on have words of their own, the rest only say that it failed.
    if (code == 0) return stdx::u16string();
    if (code == ERROR_ACCESS_DENIED) return LoadResString("IDS_CAUSE_ACCESS");
    if (code == ERROR_DISK_FULL) return LoadResString("IDS_CAUSE_NOSPACE");
    return LoadResString("IDS_CAUSE_OTHER");
  }
  // Worded on the worker while the window's thread runs: the reentrant
  // form of the system's text.
  char buffer[256];
  const char* system = strerror_r(errnoValue, buffer, sizeof buffer);
  return LoadResString("IDS_CAUSE_OTHER") + u" (" + widen_lib(stdx::string(system)) + u")";
}

stdx::u16string failure_cause_line(const stdx::u16string& path, int errnoValue) {
  if (path.empty() && errnoValue == 0) return stdx::u16string();
  if (errnoValue == 0) return path + u": " + LoadResString("IDS_CAUSE_OTHER");
  return with_path(path, failure_cause(0, errnoValue));
}

stdx::u16string temp_dir_line(const stdx::u16string& directory, int errnoValue) {
  return LoadResString("IDS_ERROR_TMPDIR") + u" " +
         failure_cause_line(strip_trailing_separators(directory), errnoValue);
}

stdx::u16string package_read_line(const stdx::u16string& path, int errnoValue) {
  if (errnoValue == EACCES || errnoValue == EPERM) return with_path(path, LoadResString("IDS_CAUSE_READACCESS"));
  return failure_cause_line(path, errnoValue);
}

stdx::u16string image_failure_text(const config::ImageFailure& failure) {
  if (failure.side == config::ImageFailure::kTempDir)
    return temp_dir_line(failure.path, failure.result.errnoValue());
  if (failure.side == config::ImageFailure::kPackageFile)
    return package_read_line(failure.path, failure.result.errnoValue());
  InstallFailure damaged;
  damaged.code = failure.result.code();  // bad bytes: no errno to tell
  damaged.packageFailed = true;
  return failure_text(damaged);
}

stdx::u16string package_not_found_text(const stdx::u16string& folder) {
  stdx::u16string text = LoadResString("IDS_ERROR_NOSOURCE");
  if (folder.empty()) return text;
  return text + u"\n" + LoadResString("IDS_ERROR_SEARCHED") + u" " + folder;
}

stdx::u16string damaged_package_words(const stdx::u16string& first, const stdx::u16string& second) {
  stdx::u16string text = LoadResString("IDS_ERROR_DAMAGEDSOURCE");
  if (first.empty() && second.empty()) return text;
  // In one pass: a name may itself hold "%2".
  const stdx::u16string pattern = LoadResString("IDS_ERROR_MEMBERCLASH");
  stdx::u16string line;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == u'%' && i + 1 < pattern.size() && (pattern[i + 1] == u'1' || pattern[i + 1] == u'2')) {
      line += pattern[i + 1] == u'1' ? first : second;
      ++i;
    } else {
      line.push_back(pattern[i]);
    }
  }
  return text + u"\n" + line;
}

stdx::u16string special_file_line(const stdx::u16string& path) {
  return with_path(path, LoadResString("IDS_CAUSE_SPECIAL"));
}

stdx::u16string case_clash_line(const stdx::u16string& first, const stdx::u16string& second) {
  return filled("IDS_ERROR_CASECLASH", first, second);
}

stdx::u16string symlink_line(const stdx::u16string& path) {
  return with_path(path, LoadResString("IDS_CAUSE_SYMLINK"));
}

stdx::u16string target_space_line(const stdx::u16string& target, unsigned long long needed,
                                  unsigned long long available) {
  return filled("IDS_ERROR_TARGETSPACE",
                strip_trailing_separators(target.empty() ? stdx::u16string(u".") : target),
                byte_count(needed), byte_count(available));
}

stdx::u16string image_space_text(const stdx::u16string& directory, unsigned long long neededBytes,
                                 unsigned long long freeBytes) {
  const unsigned long long kMB = 1u << 20;
  return filled("IDS_ERROR_NOSPACE_IMAGE", directory,
                widen_lib(stdx::string(std::to_string((neededBytes + kMB - 1) / kMB).c_str())),
                widen_lib(stdx::string(std::to_string(freeBytes / kMB).c_str())));
}

stdx::u16string registration_failure_text(const stdx::u16string& file, const stdx::u16string& cause) {
  return LoadResString("IDS_ERROR_REGISTER") + u" " + file + u" (" + cause + u")";
}

stdx::u16string failure_heading(const InstallFailure& failure) {
  if (failure.packageFailed) {
    return LoadResString(failure.code == ERROR_DISK_FULL ? "IDS_ERROR_NOSPACE"
                                                         : "IDS_ERROR_DAMAGEDSOURCE");
  }
  return LoadResString("IDS_INSTALL_ERROR");
}

stdx::u16string undo_failure_line(const UndoFailure& undo) {
  stdx::u16string cause = failure_cause(undo.code, undo.errnoValue);
  switch (undo.step) {
    case UndoFailure::kDelete:
      return filled("IDS_UNDO_DELETE", undo.path, cause);
    case UndoFailure::kRefused:
      return filled("IDS_UNDO_REFUSED", undo.path, cause);
    case UndoFailure::kRestore:
      return filled("IDS_UNDO_RESTORE", undo.path, undo.kept, cause);
    case UndoFailure::kRemoveFolder:
      return filled("IDS_UNDO_FOLDER", undo.path, cause);
    case UndoFailure::kReach:
      return filled("IDS_UNDO_REACH", undo.path, cause);
  }
  return with_path(undo.path, cause);
}

stdx::u16string failure_detail(const InstallFailure& failure,
                               const std::vector<UndoFailure>& undoFailures) {
  stdx::u16string detail;
  if (!failure.packageFailed) {
    detail = failure.line.empty() ? failure_cause_line(failure.path, failure.errnoValue)
                                  : failure.line;
  }
  if (undoFailures.empty()) return detail;
  if (!detail.empty()) detail += u"\n";
  detail += LoadResString("IDS_UNDO_INCOMPLETE");
  for (const UndoFailure& undo : undoFailures) detail += u"\n" + undo_failure_line(undo);
  return detail;
}

stdx::u16string failure_message(const stdx::u16string& heading, const stdx::u16string& detail) {
  return detail.empty() ? heading : heading + u"\n" + detail;
}

stdx::u16string failure_text(const InstallFailure& failure,
                             const std::vector<UndoFailure>& undoFailures) {
  return failure_message(failure_heading(failure), failure_detail(failure, undoFailures));
}

void describe_outcome(InstallOutcome& outcome) {
  if (outcome.kind != InstallOutcome::kFailed) {
    outcome.heading.clear();
    outcome.detail.clear();
    return;
  }
  outcome.heading = failure_heading(outcome.failure);
  outcome.detail = failure_detail(outcome.failure, outcome.undoFailures);
}

stdx::u16string outcome_message(const InstallOutcome& outcome) {
  return failure_message(outcome.heading, outcome.detail);
}

stdx::u16string failure_page_text(const InstallOutcome& outcome) {
  stdx::u16string text =
      LoadResString(outcome.undoFailures.empty() ? "IDS_ERROR_FINISH" : "IDS_ERROR_FINISH_UNDO");
  return outcome.detail.empty() ? text : text + u"\n\n" + outcome.detail;
}
