#include "app/admin_run.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <memory>
#include <vector>

#include "app/startup.h"
#include "app/stop_signals.h"
#include "install/failure_words.h"
#include "install/installer.h"
#include "install/member_state.h"
#include "install/package_scan.h"
#include "install/rollback.h"
#include "platform/file_io.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

typedef FileSystem FS;
typedef config::PackageScan<LZCompressor, FS> Scan;

// What stands at a member's path, as the run would find it.
enum class Found {
  kNew,        // nothing there (its folder too may be missing)
  kReplaces,   // an older file, or a link: the run writes it
  kCurrent,    // as new or newer: the run leaves it alone
  kRefused,    // a directory or a special file: the run stops there
  kWayBlocked, // a file or a link where a folder on its way should be
  kUnknown,    // could not be looked at (why: in the member's error)
};

struct Member {
  stdx::u16string relative;  // normalized, "/"-separated
  stdx::u16string path;      // target + "/" + relative, as printed
  Found found = Found::kNew;
  bool link = false;          // kWayBlocked by a link
  stdx::u16string blocker;    // kWayBlocked: the file or link, relative to the target
  int errnoValue = 0;         // kUnknown, or a folder that cannot be written
  bool makesFolder = false;   // that folder is where a missing one would be made
  stdx::u16string where;      // the folder that cannot be written (full path)
  FileInformation seen{};     // kCurrent: the installed file as looked at
  bool differs = false;       // verify: other bytes than the package's
};

void say(const stdx::u16string& text, unsigned icon = MB_ICONERROR_OK) { messageBox(nullptr, text, icon); }

stdx::u16string join_path(const stdx::u16string& target, const stdx::u16string& relative) {
  if (relative.empty()) return target;
  if (!target.empty() && target.back() == u'/') return target + relative;
  return target + u"/" + relative;
}

// The nearest folder that exists on the way to path (path itself included),
// by name, as the run's making of the target goes; ENOTDIR in errnoValue
// and the file in where when a file stands on the way.
bool nearest_existing(const stdx::u16string& path, stdx::u16string& where, int& errnoValue) {
  stdx::u16string p = strip_trailing_separators(path);
  for (;;) {
    FileInformation info;
    FsResult code = FS::GetFileInformation(p, true, info);
    if (code == 0) {
      where = p;
      if (info.attributes == FILE_ATTRIBUTE_DIRECTORY) return true;
      errnoValue = ENOTDIR;
      return false;
    }
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
      where = p;
      errnoValue = code.errnoValue();
      return false;
    }
    size_t slash = p.rfind(u'/');
    if (slash == stdx::u16string::npos || p == u"/") return false;
    p = slash == 0 ? stdx::u16string(u"/") : p.substr(0, slash);
  }
}

// The target as the run sees it: open (the run resolves its path once,
// a link to it included), or missing with the nearest folder that exists.
class TargetView {
 public:
  ~TargetView() {
    cursor_.close();
    if (root_ != INVALID_HANDLE_VALUE) FS::CloseHandle(root_);
    if (above_ != INVALID_HANDLE_VALUE) FS::CloseHandle(above_);
  }

  // 0, or the errno of what stops the run at the target itself (where
  // names the file or folder).
  int open(const stdx::u16string& target) {
    target_ = target;
    stdx::u16string directory = strip_trailing_separators(target);
    FsResult code = FS::CreateFile(directory, GENERIC_READ, 0, OPEN_EXISTING, root_);
    if (code == 0) {
      FileInformation info;
      if (FS::GetFileInformationByHandle(root_, info) == 0 && info.attributes == FILE_ATTRIBUTE_DIRECTORY) {
        cursor_.reset(root_);
        return 0;
      }
      FS::CloseHandle(root_);
      root_ = INVALID_HANDLE_VALUE;
      where_ = directory;
      return ENOTDIR;
    }
    int e = 0;
    if (!nearest_existing(directory, where_, e)) return e != 0 ? e : ENOENT;
    code = FS::CreateFile(where_, GENERIC_READ, 0, OPEN_EXISTING, above_);
    return code == 0 ? 0 : code.errnoValue();
  }

  bool exists() const { return root_ != INVALID_HANDLE_VALUE; }
  // Why the missing target could not be made (0: it could, or is there).
  int makingErrno() { return exists() ? 0 : writableAbove(); }
  // Why the run could not put its lock file into the target (0: it could).
  int lockErrno() { return exists() ? writable(stdx::u16string(), root_) : writableAbove(); }
  const stdx::u16string& where() const { return where_; }
  // The handle whose file system the members would go to.
  void* spaceHandle() const { return exists() ? root_ : above_; }

  // Looks at member m: fills found, and for the dry run whether its folder
  // (or the nearest one on its way) can be written.
  void look(Member& m, const FILETIME& memberTime, bool checkWritable) {
    if (!exists()) {
      m.found = Found::kNew;
      if (checkWritable) m.errnoValue = writableAbove();
      if (m.errnoValue != 0) m.where = where_;
      return;
    }
    stdx::u16string directory, name;
    split_relative(m.relative, directory, name);
    void* handle = INVALID_HANDLE_VALUE;
    FsResult code = cursor_.open(directory, handle);
    if (code == 0) {
      FileInformation info;
      FsResult lookup = FS::GetFileInformationAt(handle, name, info);
      if (lookup != 0 && lookup != ERROR_FILE_NOT_FOUND) {
        m.found = Found::kUnknown;
        m.errnoValue = lookup.errnoValue();
        return;
      }
      switch (config::installed_copy(lookup, info, memberTime)) {
        case config::InstalledCopy::kMissing: m.found = Found::kNew; break;
        case config::InstalledCopy::kOlder:
        case config::InstalledCopy::kLink: m.found = Found::kReplaces; break;
        case config::InstalledCopy::kCurrent: m.found = Found::kCurrent; break;
        case config::InstalledCopy::kRefused: m.found = Found::kRefused; break;
      }
      m.seen = info;
      if (checkWritable && m.found != Found::kCurrent && m.found != Found::kRefused) {
        m.errnoValue = writable(directory, handle);
        if (m.errnoValue != 0) m.where = join_path(target_, directory);
      }
      return;
    }
    if (code == ERROR_FILE_NOT_FOUND) {
      m.found = Found::kNew;
      if (checkWritable) {
        // The run makes the missing folders from the deepest one there.
        stdx::u16string existing = deepestExisting(directory);
        void* above = INVALID_HANDLE_VALUE;
        if (cursor_.open(existing, above) == 0) m.errnoValue = writable(existing, above);
        if (m.errnoValue != 0) m.where = join_path(target_, existing);
        m.makesFolder = true;
      }
      return;
    }
    if (code == ERROR_STOPPED_ON_SYMLINK || code == ERROR_PATH_NOT_FOUND) {
      m.found = Found::kWayBlocked;
      m.link = code == ERROR_STOPPED_ON_SYMLINK;
      m.blocker = firstBlocked(directory);
      return;
    }
    m.found = Found::kUnknown;
    m.errnoValue = code.errnoValue();
  }

  // Opens member m's installed file for reading, when it is still the
  // file that look() found. 0; ERROR_FILE_NOT_FOUND when another file
  // (or none) stands there now; else why it cannot be read.
  FsResult openInstalled(const Member& m, void*& file) {
    stdx::u16string directory, name;
    split_relative(m.relative, directory, name);
    void* dir = INVALID_HANDLE_VALUE;
    FsResult code = cursor_.open(directory, dir);
    if (code == 0) code = FS::CreateFileAt(dir, name, GENERIC_READ, OPEN_EXISTING, file);
    if (code == ERROR_STOPPED_ON_SYMLINK || code == ERROR_PATH_NOT_FOUND) code = ERROR_FILE_NOT_FOUND;
    if (code != 0) return code;
    FileInformation info;
    code = FS::GetFileInformationByHandle(file, info);
    if (code == 0 && (info.volume != m.seen.volume || info.index != m.seen.index ||
                      info.attributes != FILE_ATTRIBUTE_NORMAL))
      code = ERROR_FILE_NOT_FOUND;
    if (code != 0) {
      FS::CloseHandle(file);  // only read
      file = INVALID_HANDLE_VALUE;
    }
    return code;
  }

 private:
  int writable(const stdx::u16string& directory, void* handle) {
    auto known = writable_.find(directory);
    if (known != writable_.end()) return known->second;
    int e = FS::CheckWritableByHandle(handle).errnoValue();
    writable_[directory] = e;
    return e;
  }

  int writableAbove() {
    if (!aboveChecked_) {
      aboveErrno_ = FS::CheckWritableByHandle(above_).errnoValue();
      aboveChecked_ = true;
    }
    return aboveErrno_;
  }

  stdx::u16string deepestExisting(const stdx::u16string& directory) {
    stdx::u16string found;
    for (size_t slash = directory.find(u'/');; slash = directory.find(u'/', slash + 1)) {
      stdx::u16string prefix = slash == stdx::u16string::npos ? directory : directory.substr(0, slash);
      void* handle = INVALID_HANDLE_VALUE;
      if (cursor_.open(prefix, handle) != 0) return found;
      found = prefix;
      if (slash == stdx::u16string::npos) return found;
    }
  }

  // The first component on the way to directory that is no folder.
  stdx::u16string firstBlocked(const stdx::u16string& directory) {
    for (size_t slash = directory.find(u'/');; slash = directory.find(u'/', slash + 1)) {
      stdx::u16string prefix = slash == stdx::u16string::npos ? directory : directory.substr(0, slash);
      void* handle = INVALID_HANDLE_VALUE;
      unsigned code = cursor_.open(prefix, handle);
      if (code == ERROR_STOPPED_ON_SYMLINK || code == ERROR_PATH_NOT_FOUND) return prefix;
      if (slash == stdx::u16string::npos) return directory;
    }
  }

  stdx::u16string target_;
  void* root_ = INVALID_HANDLE_VALUE;
  void* above_ = INVALID_HANDLE_VALUE;  // the nearest folder when the target is missing
  stdx::u16string where_;
  BasicDirectoryCursor<FS> cursor_;
  std::map<stdx::u16string, int> writable_;
  bool aboveChecked_ = false;
  int aboveErrno_ = 0;
};

// The verify's comparison: each member's bytes, as they are inflated,
// against the installed file at the same offsets. A file is read no further
// than its first difference; the package goes on to its end regardless.
class ByteComparer : public config::MemberBytesSink {
 public:
  ByteComparer(TargetView& target, std::vector<Member>& members)
      : target_(target), members_(members), buffer_(new unsigned char[kBufferBytes]) {}
  ~ByteComparer() override { closeOpen(); }

  void memberBytes(size_t index, uint64_t at, const unsigned char* data, size_t count) override {
    Member& m = members_[index];
    if (m.found != Found::kCurrent || m.differs) return;
    if (openIndex_ != index) {
      closeOpen();
      FsResult code = target_.openInstalled(m, open_);
      if (code != 0) {
        // Changed since it was looked at, or unreadable: not the package's
        // bytes as far as anyone can tell, and an unreadable file is said so.
        m.differs = true;
        if (code != ERROR_FILE_NOT_FOUND) m.errnoValue = code.errnoValue();
        return;
      }
      openIndex_ = index;
    }
    while (count != 0) {
      unsigned want = static_cast<unsigned>(count < kBufferBytes ? count : kBufferBytes);
      unsigned got = 0;
      FsResult code = FS::ReadFileAt(open_, at, buffer_.get(), want, &got);
      if (code != 0 || got != want || memcmp(buffer_.get(), data, want) != 0) {
        m.differs = true;
        if (code != 0) m.errnoValue = code.errnoValue();
        closeOpen();
        return;
      }
      at += want;
      data += want;
      count -= want;
    }
  }

 private:
  static const unsigned kBufferBytes = 1u << 16;
  void closeOpen() {
    if (open_ != INVALID_HANDLE_VALUE) FS::CloseHandle(open_);  // only read
    open_ = INVALID_HANDLE_VALUE;
    openIndex_ = static_cast<size_t>(-1);
  }

  TargetView& target_;
  std::vector<Member>& members_;
  std::unique_ptr<unsigned char[]> buffer_;
  void* open_ = INVALID_HANDLE_VALUE;
  size_t openIndex_ = static_cast<size_t>(-1);
};

bool same_folder(stdx::u16string entry, const stdx::u16string& target) {
  if (strip_trailing_separators(entry) == target) return true;
  strip_address_schemes(entry);
  entry = entered_target_dir(entry);
  return !entry.empty() && strip_trailing_separators(entry) == target;
}

// The words the run itself would use for the failure of m.
stdx::u16string member_failure(const Member& m, const stdx::u16string& target) {
  InstallFailure failure;
  if (m.found == Found::kWayBlocked && m.link) {
    failure.line = symlink_line(join_path(target, m.blocker));
    return failure_text(failure);
  }
  // What the run names after its failure is known here already, found
  // from the target's handle: no second look by name.
  failure.path = m.path;
  if (m.found == Found::kWayBlocked) {
    failure.errnoValue = ENOTDIR;
    failure.path = join_path(target, m.blocker);
  } else if (m.found == Found::kRefused) {
    if (m.seen.attributes != FILE_ATTRIBUTE_DIRECTORY) failure.line = special_file_line(m.path);
    failure.errnoValue = EISDIR;
  } else {
    failure.errnoValue = m.errnoValue;
    if (!m.where.empty()) failure.path = m.where;
  }
  return failure_text(failure);
}

}  // namespace

RunSummary run_admin_check(const CommandLine& line) {
  const bool verify = line.verify;
  RunSummary summary;
  // A dry run that cannot start says so in its own words; a verify ends
  // as any run that cannot start.
  auto cannotStart = [&summary, verify](const stdx::u16string& text) {
    say(text);
    if (!verify) {
      summary.result = RunResult::kWouldFail;
      summary.packageFailed = true;
    }
    summary.copied = summary.upToDate = 0;
    return summary;
  };

  // A signal ends the check at once, as a cancel with its summary line
  // (the caller's guard catches it), like any silent run: nothing was
  // written, so nothing is to be undone. The line names the target once
  // it is known.
  auto summaryOnSignal = [](const stdx::u16string& target) {
    RunSummary cancelled;
    cancelled.result = RunResult::kCancelled;
    cancelled.target = target;
    set_outcome_on_signal(exit_status(cancelled), format_summary(cancelled));
  };

  stdx::u16string target;
  if (line.hasTarget) {
    target = target_from_option(line.targetText);
    if (target.empty()) return cannotStart(LoadResString("IDS_SETUP_EMPTYTARGET"));
  }
  StartupInfo info;
  const char* key = run_readonly_checks(line.useCwd, info);
  if (key == nullptr && !line.hasTarget) target = info.targetPath;
  if (key == nullptr && target.empty()) key = "IDS_ERROR_NOTARGET";
  target = strip_trailing_separators(target);
  summary.target = target;
  summaryOnSignal(target);
  if (key != nullptr) return cannotStart(startup_error_text(key, info, line.useCwd));
  // What the launcher's list says is known before the package is read.
  const std::vector<stdx::u16string>& dirs = info.launcher.dirs;
  summary.registrationUnchanged = !dirs.empty() && strip_trailing_separators(dirs[0]) == target;
  for (const stdx::u16string& dir : dirs) summary.registered = summary.registered || same_folder(dir, target);

  Scan scan;
  unsigned code = scan.readHeader(info.packagePath);
  if (code != 0) return cannotStart(damaged_package_text(scan.memberClash()));
  // The image an install stores must fit where it goes, as the run's
  // start-up finds once it knows the image's size.
  unsigned long long freeBytes = 0;
  if (FS::GetFreeSpaceTmpDir64(&freeBytes) == 0 && freeBytes < scan.imageEnd()) {
    stdx::u16string tempDir;
    FS::GetTempPath(tempDir);
    return cannotStart(image_space_message(strip_trailing_separators(tempDir), scan.imageEnd(), freeBytes));
  }

  std::vector<Member> members(scan.files.size());
  TargetView view;
  int targetErrno = view.open(target);
  for (size_t i = 0; i < members.size(); ++i) {
    Member& m = members[i];
    m.relative = config::normalizedMemberPath(scan.files[i].name);
    m.path = join_path(target, m.relative);
    if (targetErrno == 0) view.look(m, scan.files[i].lastWriteTime, !verify);
    // Another size is other bytes: nothing to read.
    if (m.found == Found::kCurrent && m.seen.sizeBytes != scan.files[i].size) m.differs = true;
  }

  std::unique_ptr<ByteComparer> comparer;
  if (verify && view.exists()) comparer.reset(new ByteComparer(view, members));
  code = scan.scan(info.packagePath, comparer.get());
  comparer.reset();
  if (code != 0) return cannotStart(LoadResString("IDS_ERROR_DAMAGEDSOURCE"));

  if (verify) {
    summary.result = RunResult::kVerified;
    for (const Member& m : members) {
      const char* word = nullptr;
      switch (m.found) {
        case Found::kNew:
        case Found::kWayBlocked:
          word = "missing";
          ++summary.missing;
          break;
        case Found::kReplaces:
          word = "outdated";
          ++summary.outdated;
          break;
        case Found::kCurrent:
          if (!m.differs) {
            ++summary.ok;
            break;
          }
          word = "modified";
          ++summary.modified;
          break;
        case Found::kRefused:
        case Found::kUnknown:
          word = "modified";
          ++summary.modified;
          break;
      }
      if (word != nullptr) printf("setup: %s %s\n", word, narrow_lib(m.path).c_str());
    }
    for (const Member& m : members) {
      if (m.found == Found::kUnknown || m.errnoValue != 0)
        say(failure_cause_line(m.path, m.errnoValue), MB_ICONWARNING_OK);
    }
    return summary;
  }

  // The dry run: what the run would write, and the first thing that
  // would stop it, in the order the run meets them: the target to make; a
  // link on the way or a member that cannot be looked at (found while the
  // run counts the space it needs); the space; then each member in turn.
  unsigned long long needed = 0;
  const Member* early = nullptr;
  const Member* stop = nullptr;
  // Before its first file the run makes that file's folders, then puts its
  // lock file into the target, then writes the file.
  bool lockChecked = false;
  int lockErrno = 0;
  for (size_t i = 0; i < members.size(); ++i) {
    const Member& m = members[i];
    bool copies = m.found == Found::kNew || m.found == Found::kReplaces;
    if (copies && !lockChecked && stop == nullptr) {
      lockChecked = true;
      if (m.errnoValue != 0 && m.makesFolder) stop = &m;
      else lockErrno = view.lockErrno();
    }
    if (copies) {
      ++summary.copied;
      printf("setup: would copy %s (%s)\n", narrow_lib(m.path).c_str(),
             m.found == Found::kNew ? "new" : "replaces an older file");
    } else if (m.found == Found::kCurrent) {
      ++summary.upToDate;
    }
    if (((m.found == Found::kWayBlocked && m.link) || m.found == Found::kUnknown) && early == nullptr)
      early = &m;
    // The count takes in whatever is not up to date, as the run's does.
    if (m.found != Found::kCurrent) needed += installer_detail::spaceOf(scan.files[i].size);
    bool fails = m.found == Found::kRefused || m.found == Found::kWayBlocked ||
                 m.found == Found::kUnknown || (copies && m.errnoValue != 0);
    if (fails && stop == nullptr && lockErrno == 0) stop = &m;
  }
  summary.result = RunResult::kWouldInstall;
  stdx::u16string why;
  // The run makes the target first, then counts the space, then copies.
  if (targetErrno == 0) targetErrno = view.makingErrno();
  if (targetErrno != 0) {
    InstallFailure failure;
    failure.errnoValue = targetErrno;
    failure.path = view.where().empty() ? target : view.where();
    why = failure_text(failure);
  } else if (early != nullptr) {
    why = member_failure(*early, target);
  } else {
    unsigned long long available = 0;
    if (needed != 0 && FS::GetDiskFreeSpaceByHandle(view.spaceHandle(), &available) == 0 && available < needed) {
      InstallFailure failure;
      failure.line = target_space_line(target, needed, available);
      why = failure_text(failure);
    } else if (stop != nullptr) {
      why = member_failure(*stop, target);
    } else if (lockErrno != 0) {
      InstallFailure failure;
      failure.errnoValue = lockErrno;
      failure.path = view.exists() ? target : view.where();
      why = failure_text(failure);
    }
  }
  if (!why.empty()) {
    say(why);
    summary.result = RunResult::kWouldFail;
  }
  return summary;
}
