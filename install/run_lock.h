// The lock files of install runs in a target directory: each run that
// writes makes one and holds its lock for as long as it runs, so that
// whoever finds the names a run leaves can tell by trying that lock
// whether the run still lives, whatever /proc lets it see. A run whose
// lock can be taken is dead: what it left (temporary files, backups,
// marked with its tag) is only clutter, for the next run to remove.
//
// Every call works from the target's open handle, which the caller has
// locked: no other run makes or removes lock files there meanwhile.
//
// Thread safety: none; one run's thread uses it.
#pragma once

#include <string.h>

#include <algorithm>
#include <vector>

#include "platform/file_system.h"
#include "platform/stdx_string.h"
#include "platform/utils.h"

template <class FS>
class BasicRunLocks {
 public:
  // What a run's lock file holds: only a file with this line counts as one.
  static constexpr const char* kLine = "setup run lock\n";

  // The name of the lock file of the run whose tag is tag.
  static stdx::u16string lockName(const stdx::u16string& tag) {
    return stdx::u16string(kRunNamePrefix) + tag + u"-lock";
  }

  BasicRunLocks() {}
  ~BasicRunLocks() { drop(INVALID_HANDLE_VALUE, false, false); }
  BasicRunLocks(const BasicRunLocks&) = delete;
  BasicRunLocks& operator=(const BasicRunLocks&) = delete;

  bool held() const { return own_ != INVALID_HANDLE_VALUE; }
  bool anyDead() const { return !dead_.empty(); }
  bool isDead(const stdx::u16string& tag) const {
    return std::find(dead_.begin(), dead_.end(), tag) != dead_.end();
  }

  // Makes and locks this run's own lock file in the target. The file
  // this process left from an earlier run that could not remove it is
  // made anew.
  FsResult take(void* target) {
    const stdx::u16string name = lockName(current_run_tag());
    void* handle = INVALID_HANDLE_VALUE;
    FsResult code = FS::CreateFileAt(target, name, GENERIC_WRITE, CREATE_NEW, handle);
    if (code == ERROR_ALREADY_EXISTS) {
      code = FS::DeleteFileAt(target, name);
      if (code == 0) code = FS::CreateFileAt(target, name, GENERIC_WRITE, CREATE_NEW, handle);
    }
    if (code != 0) return code;
    own_ = handle;
    code = FS::LockFile(handle, false);
    unsigned written = 0;
    unsigned length = static_cast<unsigned>(strlen(kLine));
    if (code == 0) code = FS::WriteFile(handle, kLine, length, &written, nullptr);
    return code;
  }

  // Finds the runs that left a lock file in the target and no longer hold
  // its lock. A file that only looks like one (not a regular file, or
  // with other text than the line) marks no run, nor does a name that
  // keep(name) claims (a member of the package: it is the package's file,
  // whatever it holds, and must not be removed as a dead run's lock). An
  // empty one is a run killed between making its lock file and writing
  // the line: dead too once its lock can be taken. One whose lock cannot
  // be tried counts as alive.
  template <class Keep>
  FsResult findDead(void* target, Keep keep) {
    dead_.clear();
    std::vector<FindEntry> entries;
    FsResult code = FS::FindFilesAt(target, entries);
    if (code != 0) return code;
    const stdx::u16string own = current_run_tag();
    for (size_t i = 0; i < entries.size(); ++i) {
      stdx::u16string tag;
      if (entries[i].attributes != 0 || !parse_run_name(entries[i].name, tag) || tag == own ||
          entries[i].name != lockName(tag) || keep(entries[i].name))
        continue;
      void* handle = INVALID_HANDLE_VALUE;
      if (FS::CreateFileAt(target, entries[i].name, GENERIC_READ, OPEN_EXISTING, handle) != 0) continue;
      FileInformation info;
      char line[32] = {};
      unsigned got = 0;
      size_t length = strlen(kLine);
      bool lockFile = FS::GetFileInformationByHandle(handle, info) == 0 &&
                      info.attributes == FILE_ATTRIBUTE_NORMAL &&
                      (info.sizeBytes == 0 ||
                       (info.sizeBytes == length &&
                        FS::ReadFile(handle, line, sizeof line - 1, &got, nullptr) == 0 && got == length &&
                        memcmp(line, kLine, length) == 0));
      bool dead = lockFile && FS::LockFile(handle, false) == 0;
      FS::CloseHandle(handle);  // only read: nothing to report
      if (dead) dead_.push_back(tag);
    }
    return 0;
  }

  // "<prefix><tag>-<n>": the n-th temporary name of this run, which no
  // lock file and no other run's name can be.
  static stdx::u16string tempName(unsigned n) {
    return stdx::u16string(kRunNamePrefix) + current_run_tag() + u"-" + string_uito(n, 10);
  }

  // Removes from the open directory what dead runs left there: only what
  // bears the tag of a dead run, never a directory, a lock file, or a name
  // that keep(name) wants kept (a member of the package).
  template <class Keep>
  FsResult removeLeftovers(void* directory, Keep keep) {
    if (dead_.empty()) return 0;
    std::vector<FindEntry> entries;
    FsResult code = FS::FindFilesAt(directory, entries);
    if (code != 0) return code;
    for (size_t i = 0; i < entries.size(); ++i) {
      stdx::u16string tag;
      if (entries[i].attributes != 0 || !parse_run_name(entries[i].name, tag) || !isDead(tag) ||
          entries[i].name == lockName(tag) || keep(entries[i].name))
        continue;
      code = FS::DeleteFileAt(directory, entries[i].name);
      if (code != 0 && code != ERROR_FILE_NOT_FOUND) return code;
    }
    return 0;
  }

  // Gives up this run's lock (and its file, unless ownFileToo is false),
  // and the dead runs' lock files too when deadRunsToo. target may be
  // INVALID_HANDLE_VALUE when no file is to go.
  void drop(void* target, bool deadRunsToo, bool ownFileToo = true) {
    // Clutter at worst: a file that stays is a dead run's lock for the next run.
    for (size_t i = 0; deadRunsToo && i < dead_.size(); ++i) FS::DeleteFileAt(target, lockName(dead_[i]));
    dead_.clear();
    if (own_ == INVALID_HANDLE_VALUE) return;
    if (ownFileToo) FS::DeleteFileAt(target, lockName(current_run_tag()));
    FS::CloseHandle(own_);
    own_ = INVALID_HANDLE_VALUE;
  }

 private:
  void* own_ = INVALID_HANDLE_VALUE;  // this run's lock file, locked
  std::vector<stdx::u16string> dead_;  // tags of runs whose lock could be taken
};
