#include "app/maintenance_run.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <set>

#include "app/startup.h"
#include "app/stop_signals.h"
#include "install/durable_batch.h"
#include "install/failure_words.h"
#include "install/rollback.h"
#include "install/run_lock.h"
#include "platform/file_io.h"
#include "platform/printable.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

typedef FileSystem FS;

// The journal of a remove or repair: the install's, with one step more, a
// file set aside (kept by a run name only) until the run is committed.
class Journal : public BasicRollback<FS> {
 public:
  explicit Journal(const std::set<stdx::u16string>& members) : members_(members) {}

  // Takes name (in directory, at directoryPath below the target) away from
  // its place: a second name is made first, so that at every moment the
  // file has one; rollback() puts it back, stop() deletes it.
  FsResult setAside(void* directory, const stdx::u16string& directoryPath, const stdx::u16string& name) {
    FsResult code = storeRBFile(directory, directoryPath, name);
    if (code != 0) return code;
    code = FS::DeleteFileAt(directory, name);
    // Without hard links the file was renamed already.
    return code == ERROR_FILE_NOT_FOUND ? FsResult() : code;
  }

  // Before any temporary file is renamed: the ones still to be renamed,
  // in the order they will be (the others were deleted by the caller).
  void renameOrder(const std::vector<stdx::u16string>& temps) {
    if (!levels.empty()) levels.back().tempFiles = temps;
  }

 protected:
  bool isReservedPath(const stdx::u16string& relative) const override { return members_.count(relative) != 0; }

 private:
  const std::set<stdx::u16string>& members_;
};

// One member written under a run name beside its place.
struct Staged {
  stdx::u16string directory;  // relative to the target
  stdx::u16string temp;
  void* handle = INVALID_HANDLE_VALUE;  // open while bytes are still to come
  uint64_t written = 0;
};

stdx::string shown(const stdx::u16string& path) { return narrow_lib(printable_name(path)); }

// The word of a path's line: what the run did, or "would" and what it
// would do.
const char* said(bool writes, const char* done, const char* would) { return writes ? done : would; }

// The folders a member list names: each member's folder and every folder
// above it, the target ("") included.
std::set<stdx::u16string> member_folders(const std::vector<PlanMember>& members) {
  std::set<stdx::u16string> folders;
  folders.insert(stdx::u16string());
  for (const PlanMember& m : members) {
    stdx::u16string directory, name;
    split_relative(m.relative, directory, name);
    while (!directory.empty() && folders.insert(directory).second) {
      size_t slash = directory.rfind(u'/');
      directory = slash == stdx::u16string::npos ? stdx::u16string() : directory.substr(0, slash);
    }
  }
  return folders;
}

// Tests only: how long a writing run waits with everything changed and
// nothing committed, so that a signal can be made to land there (the
// environment's SETUP_TEST_PAUSE_BEFORE_COMMIT_MS; 0 without it).
void pause_before_commit() {
  int ms = test_pause_ms("SETUP_TEST_PAUSE_BEFORE_COMMIT_MS");
  if (ms > 0) fflush(stdout);  // the lines so far tell the test where the run is
  for (int waited = 0; waited < ms && stop_signal_received() == 0; waited += 10) Sleep(10);
}

size_t depth(const stdx::u16string& relative) {
  return relative.empty() ? 0 : 1 + std::count(relative.begin(), relative.end(), u'/');
}

}  // namespace

class MaintenanceRun::Impl : public config::MemberBytesSink {
 public:
  Impl(const CommandLine& line, const stdx::u16string& target, void* root, RunPlan& plan,
       const std::vector<PlanMember>& members, std::vector<Check>& checks)
      : remove_(line.remove),
        writes_(!line.dryRun),
        target_(target),
        root_(root),
        plan_(plan),
        members_(members),
        checks_(checks),
        comparer_(plan, checks),
        journal_(memberSet_),
        staged_(members.size()) {
    for (const PlanMember& m : members) memberSet_.insert(m.relative);
    folders_ = member_folders(members);
    if (writes_) {
      journal_.start(target_ + stdx::u16string(kPathSeparator));
      journal_.setRoot(root_);
      cursor_.reset(root_);
    }
  }

  ~Impl() override {
    closeStaged();
    cursor_.close();
    dryClose();
    runLocks_.drop(root_, false, true);
  }

  InstallFailure prepare() {
    InstallFailure failure;
    // A repair mends a directory that is there: one that is not is the
    // install's to make.
    if (!remove_ && !writes_ && !plan_.targetExists() && plan_.targetStop().code == 0)
      return InstallFailure(FileError::of(FsResult(ERROR_PATH_NOT_FOUND, ENOENT), target_));
    if (!remove_) {
      failure = plan_.verdict();
      if (failure.code != 0) return failure;
      // A repair writes every member it may have to (an up to date one
      // too, until its comparison is over): the room for all of them first.
      unsigned long long needed = 0;
      for (size_t i = 0; i < members_.size(); ++i)
        if (written(i)) needed += run_plan::spaceOf(members_[i].size, plan_.volume().allocationUnit);
      failure = plan_.spaceStop(needed);
      if (failure.code != 0) return failure;
    }
    // A member that cannot be looked at is no file to delete, nor one to
    // keep: nobody can say which it is.
    for (const MemberPlan& m : plan_.members()) {
      if (m.fate != MemberFate::kUnknown) continue;
      return InstallFailure(FileError::of(m.stop, plan_.pathOf(m.relative)));
    }
    // The run's first step is its lock file in the target: a dry run says
    // when that would fail, in the words the run would use.
    if (!writes_ && plan_.targetExists() && plan_.targetErrno() != 0)
      return InstallFailure(FileError::fromErrno(plan_.targetErrno(), target_));
    if (!writes_) return failure;
    // What killed runs left (run names, set-aside files) is clutter now:
    // only a lock file that can be taken marks such a run.
    auto isMember = [this](const stdx::u16string& relative) { return memberSet_.count(relative) != 0; };
    FsResult code = runLocks_.findDead(root_, isMember);
    for (const stdx::u16string& folder : folders_) {
      if (code != 0) break;
      void* dir = INVALID_HANDLE_VALUE;
      FsResult opened = cursor_.open(folder, dir);
      if (opened != 0) continue;  // missing, or a link: nothing of ours there
      code = runLocks_.removeLeftovers(
          dir, [this, &folder](const stdx::u16string& name) { return memberSet_.count(join_path(folder, name)) != 0; });
    }
    if (code == 0) code = runLocks_.take(root_);
    if (code != 0) failure = InstallFailure(FileError::of(code, target_));
    return failure;
  }

  config::MemberBytesSink* sink() { return this; }

  void memberBytes(size_t index, uint64_t at, const unsigned char* data, size_t count) override {
    comparer_.memberBytes(index, at, data, count);
    if (!staging() || failed_ != 0 || !written(index)) return;
    Staged& s = staged_[index];
    if (s.handle == INVALID_HANDLE_VALUE && s.temp.empty() && (failed_ = makeTemp(index)) != 0) return;
    if (at != s.written) {
      failed_ = ERROR_INVALID_DATA;
      return;
    }
    while (count != 0) {
      unsigned piece = static_cast<unsigned>(std::min<size_t>(count, 1u << 20));
      unsigned done = 0;
      FsResult code = FS::WriteFile(s.handle, data, piece, &done, nullptr);
      if (code == 0 && done != piece) code = FsResult(ERROR_DISK_FULL, ENOSPC);
      if (code != 0) {
        failed_ = code;
        failedPath_ = plan_.pathOf(members_[index].relative);
        return;
      }
      data += piece;
      count -= piece;
      s.written += piece;
    }
    if (s.written == members_[index].size) failed_ = closeTemp(index);
  }

  void finish(RunSummary& summary, bool registered) {
    comparer_.finished();
    summary.mode = remove_ ? RunMode::kRemove : RunMode::kRepair;
    if (remove_) finishRemove(summary, registered);
    else finishRepair(summary, registered);
    if (writes_) cursor_.close();
    dryClose();
  }

  void abandon() {
    closeStaged();
    if (writes_) journal_.rollback(ERROR_CANCELLED);
  }

 private:
  bool staging() const { return writes_ && !remove_; }
  // A repair writes every member it may have to: the comparison of an up
  // to date one is only known once its last byte has gone by.
  bool written(size_t index) const {
    const MemberPlan& m = plan_.member(index);
    return m.copies() || m.fate == MemberFate::kCurrent;
  }

  Installed state(size_t index) const { return installed_state(plan_.member(index), checks_[index]); }

  // Opens directory (relative), making the folders that are missing,
  // each recorded.
  FsResult openMaking(const stdx::u16string& directory, void*& handle) {
    FsResult code = cursor_.open(directory, handle);
    if (code != ERROR_FILE_NOT_FOUND) return code;
    for (size_t slash = directory.find(u'/');; slash = directory.find(u'/', slash + 1)) {
      stdx::u16string prefix = slash == stdx::u16string::npos ? directory : directory.substr(0, slash);
      code = cursor_.open(prefix, handle);
      if (code == ERROR_FILE_NOT_FOUND) {
        stdx::u16string parent, name;
        split_relative(prefix, parent, name);
        code = cursor_.open(parent, handle);
        if (code == 0) code = FS::CreateDirectoryAt(handle, name);
        if (code != 0) return code;
        journal_.addRBCatalog(prefix);
        code = cursor_.open(prefix, handle);
      }
      if (code != 0 || slash == stdx::u16string::npos) return code;
    }
  }

  FsResult makeTemp(size_t index) {
    Staged& s = staged_[index];
    stdx::u16string name;
    split_relative(members_[index].relative, s.directory, name);
    failedPath_ = plan_.pathOf(members_[index].relative);
    void* dir = INVALID_HANDLE_VALUE;
    FsResult code = openMaking(s.directory, dir);
    while (code == 0) {
      s.temp = BasicRunLocks<FS>::tempName(tempCounter_++);
      if (memberSet_.count(join_path(s.directory, s.temp)) != 0) continue;
      code = FS::CreateFileAt(dir, s.temp, GENERIC_WRITE, CREATE_NEW, s.handle);
      if (code != 0) break;
      journal_.addTempFile(join_path(s.directory, s.temp));
      durable_.entryIn(s.directory, dir);
      order_.push_back(index);
      // A file it replaces keeps who owns it and who may read it.
      return keep_owner_and_mode<FS>(dir, name, s.handle);
    }
    s.temp.clear();
    return code;
  }

  // The member's bytes are all written: its time is the package's.
  FsResult closeTemp(size_t index) {
    Staged& s = staged_[index];
    FsResult code = FS::SetFileTime(s.handle, nullptr, nullptr, &members_[index].lastWriteTime);
    stdx::u16string failedFile = members_[index].relative;
    if (code == 0) {
      // On its way to the disk while the others are written: the wait
      // before the renames finds most of it done.
      FS::StartFlushFileBuffers(s.handle);
      stdx::u16string directory, name;
      split_relative(members_[index].relative, directory, name);
      code = durable_.add(s.directory, name, s.handle, failedFile);
    } else {
      FS::CloseHandle(s.handle);
    }
    s.handle = INVALID_HANDLE_VALUE;
    if (code != 0) failedPath_ = plan_.pathOf(failedFile);
    return code;
  }

  void closeStaged() {
    durable_.clear();
    for (Staged& s : staged_) {
      if (s.handle != INVALID_HANDLE_VALUE) FS::CloseHandle(s.handle);  // the rollback deletes it
      s.handle = INVALID_HANDLE_VALUE;
    }
  }

  // Stops the run: everything put back, the failure told. A signal is a
  // cancel; anything else a failure.
  void undo(RunSummary& summary, FsResult code) {
    closeStaged();
    journal_.rollback(code);
    // Everything told so far was put back: the log keeps only the outcome.
    summary.members.clear();
    if (code == ERROR_CANCELLED && journal_.undoFailures().empty()) {
      summary.result = RunResult::kCancelled;
      return;
    }
    InstallFailure failure(FileError::of(code, failedPath_));
    summary.result = code == ERROR_CANCELLED ? RunResult::kCancelled : RunResult::kFailed;
    summary.why = failure_text(failure, journal_.undoFailures());
    messageBox(nullptr, summary.why, MB_ICONERROR_OK);
  }

  // One member's line on stdout, and the same in the run's log; detail
  // goes on the line only.
  void tell(RunSummary& summary, const char* verb, const stdx::u16string& path, const char* why,
            const stdx::string& detail = stdx::string()) {
    if (why == nullptr) printf("setup: %s %s\n", verb, shown(path).c_str());
    else printf("setup: %s %s (%s%s)\n", verb, shown(path).c_str(), why, detail.c_str());
    LoggedMember logged;
    logged.path = path;
    logged.verb = verb;
    logged.why = why != nullptr ? why : "the package's bytes";
    summary.members.push_back(logged);
  }

  bool stopAsked() const { return stop_signal_received() != 0; }

  // Where the run stands before anything of its own is set aside or put
  // in place: the member's own folder, open.
  FsResult openFolderOf(const stdx::u16string& relative, void*& dir, stdx::u16string& directory,
                        stdx::u16string& name) {
    split_relative(relative, directory, name);
    failedPath_ = plan_.pathOf(relative);
    return cursor_.open(directory, dir);
  }

  void finishRemove(RunSummary& summary, bool registered) {
    unsigned long oursLeft = 0;  // members' paths that still hold something
    std::set<stdx::u16string> blockers;  // a link or a file where a package folder was, told once
    for (size_t i = 0; i < members_.size(); ++i) {
      const MemberPlan& m = plan_.member(i);
      const stdx::u16string path = plan_.pathOf(m.relative);
      const char* why = nullptr;
      switch (state(i)) {
        case Installed::kMissing:
          if ((m.fate == MemberFate::kLinkOnWay || m.fate == MemberFate::kFileOnWay) && blockers.insert(m.blocker).second) {
            ++summary.kept;
            tell(summary, said(writes_, "kept", "would keep"), plan_.pathOf(m.blocker),
                 m.fate == MemberFate::kLinkOnWay ? "link" : "added");
          }
          continue;
        case Installed::kOk: break;
        case Installed::kOutdated: why = m.fate == MemberFate::kLink ? "link" : "outdated"; break;
        case Installed::kModified:
          why = m.fate == MemberFate::kRefused && m.seen.attributes == FILE_ATTRIBUTE_DIRECTORY ? "folder"
                                                                                               : "modified";
          break;
      }
      if (why != nullptr) {
        ++summary.kept;
        ++oursLeft;
        tell(summary, said(writes_, "kept", "would keep"), path, why);
        continue;
      }
      if (writes_) {
        if (stopAsked()) return undo(summary, ERROR_CANCELLED);
        void* dir = INVALID_HANDLE_VALUE;
        stdx::u16string directory, name;
        FsResult code = openFolderOf(m.relative, dir, directory, name);
        if (code == 0) code = journal_.setAside(dir, directory, name);
        if (code != 0) return undo(summary, code);
      } else if (FsResult denied = dryWritable(m.relative)) {
        return dryFails(summary, denied, path);
      }
      ++summary.removed;
      tell(summary, said(writes_, "removed", "would remove"), path, nullptr);
    }
    summary.kept += keepAdded(summary);
    if (writes_) {
      pause_before_commit();
      if (stopAsked()) return undo(summary, ERROR_CANCELLED);
      // Committed: the set-aside files go, then the package's folders that
      // are empty now, deepest first. A folder that will not go stays.
      journal_.stop();
      std::vector<stdx::u16string> folders(folders_.begin(), folders_.end());
      std::stable_sort(folders.begin(), folders.end(),
                       [](const stdx::u16string& a, const stdx::u16string& b) { return depth(a) > depth(b); });
      for (const stdx::u16string& folder : folders) {
        if (folder.empty()) continue;  // the target itself stays
        stdx::u16string parent, name;
        split_relative(folder, parent, name);
        void* dir = INVALID_HANDLE_VALUE;
        if (cursor_.open(parent, dir) == 0) FS::RemoveEmptyDirectoryAt(dir, name);
      }
      runLocks_.drop(root_, true, true);
    }
    if (summary.removed == 0) printf("setup: nothing to remove in %s\n", shown(target_).c_str());
    summary.result = writes_ ? RunResult::kMaintained : RunResult::kWouldInstall;
    // The launcher keeps listing the folder while anything of ours is in it.
    if (!registered) {
      summary.list = ListChange::kNone;
    } else if (oursLeft != 0) {
      summary.list = ListChange::kKept;
    } else if (!writes_) {
      summary.list = ListChange::kRemoved;
    } else {
      bool listed = false;
      Registration r = unregister_template_dir(target_, listed);
      summary.list = r.failed ? ListChange::kFailed : listed ? ListChange::kRemoved : ListChange::kNone;
      if (r.failed) messageBox(nullptr, registration_message(r), MB_ICONWARNING_OK);
    }
  }

  // What stands in the package's folders that is none of its members and
  // none of its folders: someone else's, kept and named. Returns how many.
  unsigned long keepAdded(RunSummary& summary) {
    unsigned long kept = 0;
    BasicDirectoryCursor<FS> look;
    look.reset(root_ != INVALID_HANDLE_VALUE ? root_ : INVALID_HANDLE_VALUE);
    void* own = INVALID_HANDLE_VALUE;
    if (root_ == INVALID_HANDLE_VALUE) {
      // A dry run looks from the target's path, opened once.
      if (FS::CreateFile(target_, GENERIC_READ, 0, OPEN_EXISTING, own) != 0) return 0;
      look.reset(own);
    }
    for (const stdx::u16string& folder : folders_) {
      void* dir = INVALID_HANDLE_VALUE;
      std::vector<FindEntry> entries;
      if (look.open(folder, dir) != 0 || FS::FindFilesAt(dir, entries) != 0) continue;
      std::sort(entries.begin(), entries.end(),
                [](const FindEntry& a, const FindEntry& b) { return a.name.compare(b.name) < 0; });
      for (const FindEntry& e : entries) {
        stdx::u16string relative = join_path(folder, e.name), tag;
        if (memberSet_.count(relative) || folders_.count(relative) || parse_run_name(e.name, tag)) continue;
        ++kept;
        tell(summary, said(writes_, "kept", "would keep"), plan_.pathOf(relative), "added");
      }
    }
    look.close();
    if (own != INVALID_HANDLE_VALUE) FS::CloseHandle(own);  // only read
    return kept;
  }

  // The free name a changed file is kept by, in the open folder dir.
  stdx::u16string keptName(void* dir, const stdx::u16string& directory, const stdx::u16string& name,
                           unsigned& attempt) {
    for (;; ++attempt) {
      stdx::u16string candidate = name + kKeptModifiedSuffix;
      if (attempt > 1) candidate += u"-" + string_uito(attempt, 10);
      if (memberSet_.count(join_path(directory, candidate))) continue;
      FileInformation info;
      if (dir == INVALID_HANDLE_VALUE || FS::GetFileInformationAt(dir, candidate, info) == ERROR_FILE_NOT_FOUND)
        return candidate;
    }
  }

  void finishRepair(RunSummary& summary, bool registered) {
    if (writes_) {
      // Bytes that never came (an empty member has none) are written now.
      for (size_t i = 0; failed_ == 0 && i < members_.size(); ++i) {
        if (!written(i) || !staged_[i].temp.empty()) continue;
        failed_ = makeTemp(i);
        if (failed_ == 0) failed_ = closeTemp(i);
      }
      for (size_t i = 0; failed_ == 0 && i < members_.size(); ++i)
        if (staged_[i].handle != INVALID_HANDLE_VALUE) failed_ = ERROR_INVALID_DATA;  // cut short
      if (failed_ != 0) return undo(summary, failed_);
      if (stopAsked()) return undo(summary, ERROR_CANCELLED);
      // A member found the package's after all needs nothing; the others
      // go in place in the members' order.
      std::sort(order_.begin(), order_.end());
      std::vector<size_t> order;
      std::vector<stdx::u16string> temps;
      for (size_t i : order_) {
        Staged& s = staged_[i];
        if (state(i) == Installed::kOk) {
          void* dir = INVALID_HANDLE_VALUE;
          FsResult code = cursor_.open(s.directory, dir);
          if (code == 0) code = FS::DeleteFileAt(dir, s.temp);
          if (code != 0) return undo(summary, code);
          continue;
        }
        order.push_back(i);
        temps.push_back(join_path(s.directory, s.temp));
      }
      journal_.renameOrder(temps);
      stdx::u16string failed;
      FsResult code = durable_.finish(
          [this](const stdx::u16string& dir, void*& handle) { return cursor_.open(dir, handle); }, failed);
      if (code != 0) {
        failedPath_ = plan_.pathOf(failed);
        return undo(summary, code);
      }
      order_ = order;
    }
    // The run writes each member it may have to beside its place as its
    // bytes come, an empty one at the end: the dry run fails at the first
    // folder, in that order, that would refuse one.
    std::vector<size_t> arriving;
    for (size_t i = 0; !writes_ && i < members_.size(); ++i)
      if (written(i)) arriving.push_back(i);
    std::stable_sort(arriving.begin(), arriving.end(), [this](size_t a, size_t b) {
      const PlanMember &x = members_[a], &y = members_[b];
      return (x.size == 0) != (y.size == 0) ? y.size == 0 : x.size != 0 && x.offset < y.offset;
    });
    for (size_t i : arriving) {
      if (FsResult denied = dryWritable(members_[i].relative))
        return dryFails(summary, denied, plan_.pathOf(members_[i].relative));
    }
    // Then each in place, in the order written (the journal's order).
    std::vector<size_t> all;
    for (size_t i = 0; i < members_.size(); ++i) all.push_back(i);
    for (size_t i : writes_ ? order_ : all) {
      const MemberPlan& m = plan_.member(i);
      const stdx::u16string path = plan_.pathOf(m.relative);
      Installed now = state(i);
      if (now == Installed::kOk) {
        ++summary.upToDate;
        continue;
      }
      if (stopAsked()) return undo(summary, ERROR_CANCELLED);
      void* dir = INVALID_HANDLE_VALUE;
      stdx::u16string directory, name;
      FsResult code = 0;
      if (writes_) code = openFolderOf(m.relative, dir, directory, name);
      else split_relative(m.relative, directory, name);
      const bool replaces = now != Installed::kMissing;
      stdx::u16string kept;
      if (code == 0 && now == Installed::kModified) {
        unsigned attempt = 1;
        void* look = writes_ ? dir : dryFolder(directory);
        kept = keptName(look, directory, name, attempt);
        // Kept by a second name: the user's bytes stay, under a name of
        // their own, whatever happens to the member's name.
        while (writes_ && (code = FS::CreateHardLinkAt(dir, kept, dir, name)) == ERROR_ALREADY_EXISTS)
          kept = keptName(dir, directory, name, ++attempt);
        if (writes_ && code == 0) journal_.addRBFile(join_path(directory, kept));
      }
      if (writes_ && code == 0 && replaces) code = journal_.storeRBFile(dir, directory, name);
      if (writes_ && code == 0 && replaces)
        code = FS::MoveFileAt(dir, staged_[i].temp, dir, name, MOVEFILE_REPLACE_EXISTING);
      else if (writes_ && code == 0)
        code = move_without_replacing<FS>(dir, staged_[i].temp, name);
      if (code != 0) return undo(summary, code);
      if (writes_) journal_.tempFileRenamed(m.relative, replaces);
      const char* replace = said(writes_, "replaced", "would replace");
      if (!replaces) {
        ++summary.restored;
        tell(summary, said(writes_, "restored", "would restore"), path, "missing");
      } else if (now == Installed::kOutdated) {
        ++summary.replaced;
        tell(summary, replace, path, "outdated");
      } else {
        ++summary.replaced;
        ++summary.keptBeside;
        const stdx::u16string keptPath = plan_.pathOf(join_path(directory, kept));
        tell(summary, replace, path, "modified", ", kept as " + shown(keptPath));
        LoggedMember beside;
        beside.path = keptPath;
        beside.verb = said(writes_, "kept", "would keep");
        beside.why = "the changed bytes of the file it was";
        summary.members.push_back(beside);
      }
    }
    if (writes_) {
      pause_before_commit();
      if (stopAsked()) return undo(summary, ERROR_CANCELLED);
      journal_.stop();
      runLocks_.drop(root_, true, true);
      for (size_t i = 0; i < members_.size(); ++i) summary.upToDate += state(i) == Installed::kOk;
    }
    summary.result = writes_ ? RunResult::kMaintained : RunResult::kWouldInstall;
    if (registered) {
      summary.list = ListChange::kUnchanged;
    } else if (!writes_) {
      summary.list = ListChange::kAdded;
    } else {
      std::vector<stdx::u16string> dirs;
      Registration r = register_template_dir(target_, dirs);
      summary.list = r.failed ? ListChange::kFailed : ListChange::kAdded;
      if (r.failed) messageBox(nullptr, registration_message(r), MB_ICONWARNING_OK);
    }
  }

  // The dry run's look at a member's folder, from the target's path; an
  // invalid handle when it is not there (every name is free).
  void dryClose() {
    dryCursor_.close();
    if (dryRoot_ != INVALID_HANDLE_VALUE) FS::CloseHandle(dryRoot_);  // only read
    dryRoot_ = INVALID_HANDLE_VALUE;
  }

  // A dry run's look at what the run would do to relative: the folder it
  // stands in must take a new name and lose one (an absent folder is the
  // plan's to judge). 0 when it would.
  FsResult dryWritable(const stdx::u16string& relative) {
    stdx::u16string directory, name;
    split_relative(relative, directory, name);
    void* dir = dryFolder(directory);
    return dir == INVALID_HANDLE_VALUE ? FsResult() : FS::CheckWritableByHandle(dir);
  }

  // The dry run ends where the run would fail, and says it as the run would.
  void dryFails(RunSummary& summary, FsResult code, const stdx::u16string& path) {
    summary.members.clear();
    summary.result = RunResult::kWouldFail;
    summary.why = failure_text(InstallFailure(FileError::of(code, path)));
    messageBox(nullptr, summary.why, MB_ICONERROR_OK);
  }

  void* dryFolder(const stdx::u16string& directory) {
    if (dryRoot_ == INVALID_HANDLE_VALUE) {
      if (FS::CreateFile(target_, GENERIC_READ, 0, OPEN_EXISTING, dryRoot_) != 0) return INVALID_HANDLE_VALUE;
      dryCursor_.reset(dryRoot_);
    }
    void* dir = INVALID_HANDLE_VALUE;
    return dryCursor_.open(directory, dir) == 0 ? dir : INVALID_HANDLE_VALUE;
  }

  const bool remove_;
  const bool writes_;
  const stdx::u16string target_;
  void* const root_;
  RunPlan& plan_;
  const std::vector<PlanMember>& members_;
  std::vector<Check>& checks_;
  ByteComparer comparer_;
  std::set<stdx::u16string> memberSet_;
  std::set<stdx::u16string> folders_;
  Journal journal_;
  BasicRunLocks<FS> runLocks_;
  BasicDirectoryCursor<FS> cursor_;
  std::vector<Staged> staged_;
  // The staged files on their way to the disk.
  DurableBatch<FS> durable_;
  std::vector<size_t> order_;  // members in the order their run names were made
  unsigned tempCounter_ = 0;
  FsResult failed_;
  stdx::u16string failedPath_;
  void* dryRoot_ = INVALID_HANDLE_VALUE;
  BasicDirectoryCursor<FS> dryCursor_;
};

MaintenanceRun::MaintenanceRun(const CommandLine& line, const stdx::u16string& target, void* root, RunPlan& plan,
                               const std::vector<PlanMember>& members, std::vector<Check>& checks)
    : impl_(new Impl(line, target, root, plan, members, checks)) {}
MaintenanceRun::~MaintenanceRun() { delete impl_; }
InstallFailure MaintenanceRun::prepare() { return impl_->prepare(); }
config::MemberBytesSink* MaintenanceRun::sink() { return impl_->sink(); }

InstalledCounts installed_counts(const stdx::u16string& target, const std::vector<PlanMember>& members) {
  InstalledCounts counts;
  RunPlan plan;
  plan.lookAt(target, members, false);
  for (size_t i = 0; i < members.size() && i < plan.members().size(); ++i) {
    const MemberPlan& m = plan.member(i);
    Check sized;
    sized.differs = m.fate == MemberFate::kCurrent && m.seen.sizeBytes != members[i].size;
    switch (installed_state(m, sized)) {
      case Installed::kOk: ++counts.current; break;
      case Installed::kMissing: ++counts.missing; break;
      case Installed::kOutdated:
      case Installed::kModified: ++counts.changed; break;
    }
  }
  plan.close();
  return counts;
}
void MaintenanceRun::finish(RunSummary& summary, bool registered) { impl_->finish(summary, registered); }
void MaintenanceRun::abandon() { impl_->abandon(); }
