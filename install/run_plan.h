// The plan of an install run: what the run will do with each member and
// what, if anything, will stop it, found before anything is written. The
// install executes it (its space check and its per-member decisions come
// from here), the dry run prints it and the verify compares the target
// against it: one model of the run, so that none of them can tell another
// story than the copy.
//
// The plan only reads. It needs the package's member list (paths, sizes,
// times: the header is enough, the image may still be inflating or not be
// stored at all) and the target, looked at from one open handle, one
// directory handle at a time, never through a symbolic link, as the run
// itself goes.
//
// Thread safety: none; a plan belongs to the thread that made it.
#pragma once

#include <errno.h>
#include <stdint.h>

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "install/failure_words.h"
#include "install/member_list.h"
#include "install/member_plan.h"
#include "install/member_state.h"
#include "install/package_header.h"
#include "install/rollback.h"
#include "platform/file_io.h"
#include "platform/file_system.h"
#include "platform/resources.h"
#include "platform/stdx_string.h"
#include "platform/utils.h"

template <class FS>
class BasicRunPlan {
 public:
  BasicRunPlan() {}
  ~BasicRunPlan() { close(); }
  BasicRunPlan(const BasicRunPlan&) = delete;
  BasicRunPlan& operator=(const BasicRunPlan&) = delete;

  // The install's plan: root is the target's open handle (borrowed, not
  // closed here), target its path as the run names it.
  void lookFrom(void* root, const stdx::u16string& target, const std::vector<PlanMember>& members,
                bool checkWritable) {
    reset(target, checkWritable, members.size());
    root_ = root;
    spaceHandle_ = root;
    describeVolume();
    cursor_.reset(root_);
    walk(members);
    checkCase(members);
  }

  // The plan of a run not yet begun (the dry run, the verify): the target
  // is opened by its path, as the run resolves it once (a link to it
  // included); a missing one is looked at as the run would make it, from
  // the nearest folder that exists.
  void lookAt(const stdx::u16string& target, const std::vector<PlanMember>& members, bool checkWritable) {
    reset(target, checkWritable, members.size());
    bool there = openTarget();
    if (spaceHandle_ != INVALID_HANDLE_VALUE) describeVolume();
    if (there) {
      cursor_.reset(root_);
      walk(members);
      checkCase(members);
      return;
    }
    if (targetStop_.code == 0) checkCase(members);
    for (const PlanMember& m : members) {
      MemberPlan p;
      p.relative = m.relative;
      p.makesFolders = true;
      if (p.fate != MemberFate::kCurrent) needed_ += run_plan::spaceOf(m.size, volume_.allocationUnit);
      plan_.push_back(std::move(p));
    }
  }

  // Gives up the handles the plan holds (a borrowed root stays open).
  void close() {
    cursor_.close();
    if (ownsRoot_ && root_ != INVALID_HANDLE_VALUE) FS::CloseHandle(root_);  // only read
    if (above_ != INVALID_HANDLE_VALUE) FS::CloseHandle(above_);
    root_ = above_ = spaceHandle_ = INVALID_HANDLE_VALUE;
    ownsRoot_ = false;
  }

  const std::vector<MemberPlan>& members() const { return plan_; }
  // The members' plan, handed over: the plan is empty afterwards.
  std::vector<MemberPlan> takeMembers() { return std::move(plan_); }
  const MemberPlan& member(size_t index) const { return plan_[index]; }
  bool targetExists() const { return root_ != INVALID_HANDLE_VALUE; }
  // The path a member is named by.
  stdx::u16string pathOf(const stdx::u16string& relative) const { return join_path(target_, relative); }

  // What the target's file system keeps: the unit the space is counted
  // in, and the times against which a copy is up to date.
  const VolumeTraits& volume() const { return volume_; }

  // The bytes the copy needs in the target: every member not up to date
  // (a refused one too: the copy stops at it anyway), each rounded up to
  // the file system's allocation unit.
  unsigned long long neededBytes() const { return needed_; }

  // What stops the run at the target itself (it cannot be made or opened),
  // as the run would report it; code 0 when nothing does.
  const InstallFailure& targetStop() const { return targetStop_; }
  // Why the run could not put its lock file into the target (0: it could,
  // or the plan was not asked; a target the run makes is its own).
  int targetErrno() const {
    auto known = writable_.find(stdx::u16string());
    return known == writable_.end() ? 0 : known->second;
  }
  // Two members whose names differ only in letter case, on a target that
  // does not tell case apart (or the failed question whether it does);
  // code 0 when there are none.
  const InstallFailure& caseStop() const { return caseStop_; }

  // What stops the run while it counts the space it needs, before it
  // writes anything: two members that the target would make one file
  // (their names differ only in letter case), a link on the way to a
  // member's folder, a member that cannot be looked at. Code 0 when
  // nothing does.
  InstallFailure earlyStop() const {
    if (caseStop_.code != 0) return caseStop_;
    InstallFailure failure;
    for (const MemberPlan& m : plan_) {
      if (m.fate == MemberFate::kLinkOnWay) {
        failure = InstallFailure(FileError::of(m.stop, pathOf(m.relative)));
        failure.line = run_plan::linkLine(target_, m.blocker);
        return failure;
      }
      if (m.fate == MemberFate::kUnknown) return InstallFailure(FileError::of(m.stop, pathOf(m.relative)));
    }
    return failure;
  }

  // The space check: the members' bytes against what the target's file
  // system has free. Code 0 when they fit; the code of the failing look at
  // the free space; ERROR_DISK_FULL with the line that says so.
  InstallFailure spaceStop() const { return spaceStop(needed_); }
  // The same for a run that writes needed bytes.
  InstallFailure spaceStop(unsigned long long needed) const {
    InstallFailure failure;
    if (needed == 0) return failure;
    unsigned long long available = 0;
    FsResult code = FS::GetDiskFreeSpaceByHandle(spaceHandle_, &available);
    if (code != 0) return InstallFailure(FileError::of(code, target_));
    if (available >= needed) return failure;
    failure.code = ERROR_DISK_FULL;
    failure.line = target_space_line(target_, needed, available);
    return failure;
  }

  // What refuses a member, when the run meets it in turn: a file where a
  // folder should be, a directory or a special file at its path, and (when
  // the plan was asked to look) a folder that cannot be made or written, or
  // a target that cannot take the run's lock file before its first copy.
  // firstCopy: no member before this one is copied. Code 0 when the member
  // goes through.
  InstallFailure memberStop(size_t index, bool firstCopy) const {
    const MemberPlan& m = plan_[index];
    InstallFailure failure;
    if (m.fate == MemberFate::kFileOnWay) {
      failure = InstallFailure(FileError::of(FsResult(ERROR_PATH_NOT_FOUND, ENOTDIR), pathOf(m.blocker)));
    } else if (m.fate == MemberFate::kRefused) {
      failure.code = ERROR_ACCESS_DENIED;
      failure.path = pathOf(m.relative);
      if (m.seen.attributes == FILE_ATTRIBUTE_DIRECTORY) failure.errnoValue = EISDIR;
      else failure.line = special_file_line(failure.path);
    } else if (m.copies() && m.folderErrno != 0 && m.makesFolders) {
      refusedBy(failure, m.folderErrno, m.folder);
    } else if (m.copies() && firstCopy && targetErrno() != 0) {
      refusedBy(failure, targetErrno(), stdx::u16string());
    } else if (m.copies() && m.folderErrno != 0) {
      refusedBy(failure, m.folderErrno, m.folder);
    }
    return failure;
  }

  // The first thing that stops the run, in the order the run meets them;
  // code 0 when the run would go through.
  InstallFailure verdict() const {
    if (targetStop_.code != 0) return targetStop_;
    InstallFailure failure = earlyStop();
    if (failure.code == 0) failure = spaceStop();
    bool firstCopy = true;
    for (size_t i = 0; failure.code == 0 && i < plan_.size(); ++i) {
      failure = memberStop(i, firstCopy);
      firstCopy = firstCopy && !plan_[i].copies();
    }
    return failure;
  }

  // Opens member index's installed file for reading, when it is still the
  // file the plan found there. 0; ERROR_FILE_NOT_FOUND when another file
  // (or none) stands there now; else why it cannot be read.
  FsResult openInstalled(size_t index, void*& file) {
    const MemberPlan& m = plan_[index];
    if (!targetExists()) return ERROR_FILE_NOT_FOUND;
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
  void reset(const stdx::u16string& target, bool checkWritable, size_t members) {
    close();
    target_ = target;
    checkWritable_ = checkWritable;
    plan_.clear();
    plan_.reserve(members);
    needed_ = 0;
    volume_ = VolumeTraits();
    targetStop_ = InstallFailure();
    caseStop_ = InstallFailure();
    writable_.clear();
  }

  // Asked once per plan, of the file system the copy writes to. A volume
  // that cannot be asked is taken for the usual one: the space check then
  // counts 4 KiB units and times are compared to the second.
  void describeVolume() {
    volume_ = VolumeTraits();
    FS::DescribeVolumeByHandle(spaceHandle_, volume_);
  }

  void refusedBy(InstallFailure& failure, int errnoValue, const stdx::u16string& folder) const {
    failure = InstallFailure(FileError::fromErrno(errnoValue, pathOf(folder)));
  }

  // Opens the target as the run's making and opening of it go: true when
  // it is there. Else targetStop_ says what stops the run, or the target
  // is missing and above_ holds the nearest folder that exists, the one
  // the run would make it in.
  bool openTarget() {
    stdx::u16string directory = strip_trailing_separators(target_);
    stdx::u16string current = directory;
    bool missing = false;
    for (;;) {
      FileInformation info;
      FsResult code = FS::GetFileInformation(current, true, info);
      if (code == 0 && info.attributes == FILE_ATTRIBUTE_DIRECTORY) break;
      if (code == 0) return stop(FsResult(ERROR_PATH_NOT_FOUND, ENOTDIR), current);  // a file in the way
      // Missing, or below a file: the walk goes on up to find which.
      if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return stop(code, current);
      missing = missing || code == ERROR_FILE_NOT_FOUND;
      size_t slash = current.rfind(u'/');
      if (slash == stdx::u16string::npos) {
        current = u".";  // relative: the working directory exists
        break;
      }
      current = slash == 0 ? stdx::u16string(kPathSeparator) : current.substr(0, slash);
      if (isDiskRoot(current)) break;
      current = strip_trailing_separators(current);
    }
    if (!missing) {
      FsResult code = FS::CreateFile(directory, GENERIC_READ, 0, OPEN_EXISTING, root_);
      if (code != 0) return stop(code, directory);
      ownsRoot_ = true;
      FileInformation info;
      code = FS::GetFileInformationByHandle(root_, info);
      if (code == 0 && info.attributes != FILE_ATTRIBUTE_DIRECTORY) code = FsResult(ERROR_PATH_NOT_FOUND, ENOTDIR);
      if (code != 0) {
        close();
        return stop(code, directory);
      }
      spaceHandle_ = root_;
      return true;
    }
    FsResult code = FS::CreateFile(current, GENERIC_READ, 0, OPEN_EXISTING, above_);
    if (code != 0) return stop(code, current);
    spaceHandle_ = above_;
    if (checkWritable_) {
      // The run makes the target's missing folders downwards from here.
      code = FS::CheckWritableByHandle(above_);
      if (code != 0) return stop(code, current);
    }
    return false;
  }

  // Two members whose paths are one under case folding ("A" and "a", or
  // "A" and "a/b") are one entry of a target that does not tell case apart:
  // the run would find the second in the first's place. Only a package
  // with such a pair costs the question to the target's file system.
  void checkCase(const std::vector<PlanMember>& members) {
    std::vector<size_t> order(members.size());
    std::vector<stdx::u16string> folded(members.size());
    for (size_t i = 0; i < members.size(); ++i) {
      order[i] = i;
      folded[i] = run_plan::foldCase(members[i].relative);
    }
    std::sort(order.begin(), order.end(), [&folded](size_t a, size_t b) { return folded[a] < folded[b]; });
    std::vector<stdx::u16string> keys;
    keys.reserve(order.size());
    for (size_t i : order) keys.push_back(folded[i]);
    size_t a = 0, b = 0;
    if (!config::findClashingPaths(keys, a, b)) return;
    bool folds = false;
    FsResult code = FS::FoldsCaseByHandle(spaceHandle_, folds);
    if (code != 0) {
      caseStop_ = InstallFailure(FileError::of(code, target_));
      return;
    }
    if (!folds) return;
    size_t first = std::min(order[a], order[b]), second = std::max(order[a], order[b]);
    caseStop_.code = ERROR_ALREADY_EXISTS;
    caseStop_.path = pathOf(members[second].relative);
    caseStop_.line = case_clash_line(pathOf(members[first].relative), pathOf(members[second].relative));
  }

  bool stop(FsResult code, const stdx::u16string& path) {
    targetStop_ = InstallFailure(FileError::of(code, path));
    return false;
  }

  void walk(const std::vector<PlanMember>& members) {
    stdx::u16string missing;  // a directory known not to exist, with all below it
    bool haveMissing = false;
    stdx::u16string missingFrom;  // the deepest folder there on the way to it
    if (checkWritable_) writable(stdx::u16string(), root_);
    for (const PlanMember& member : members) {
      MemberPlan m;
      m.relative = member.relative;
      stdx::u16string directory, name;
      split_relative(m.relative, directory, name);
      m.folder = directory;
      if (haveMissing && (directory == missing || is_below(directory, missing))) {
        m.makesFolders = true;
        m.folder = missingFrom;
        m.folderErrno = knownWritable(missingFrom);
      } else {
        look(m, directory, name, member.lastWriteTime);
        if (m.makesFolders) {
          // The first folder missing on the way is the top of what is
          // missing: its other subfolders need no look either.
          size_t slash = directory.find(u'/', m.folder.empty() ? 0 : m.folder.size() + 1);
          missing = slash == stdx::u16string::npos ? directory : directory.substr(0, slash);
          missingFrom = m.folder;
          haveMissing = true;
        }
      }
      if (m.fate != MemberFate::kCurrent) needed_ += run_plan::spaceOf(member.size, volume_.allocationUnit);
      plan_.push_back(std::move(m));
    }
    cursor_.close();
  }

  void look(MemberPlan& m, const stdx::u16string& directory, const stdx::u16string& name,
            const FILETIME& memberTime) {
    void* handle = INVALID_HANDLE_VALUE;
    FsResult code = cursor_.open(directory, handle);
    if (code == 0) {
      FsResult lookup = FS::GetFileInformationAt(handle, name, m.seen);
      if (lookup != 0 && lookup != ERROR_FILE_NOT_FOUND) {
        m.fate = MemberFate::kUnknown;
        m.stop = lookup;
        return;
      }
      switch (config::installed_copy(lookup.code(), m.seen, memberTime, volume_)) {
        case config::InstalledCopy::kMissing: m.fate = MemberFate::kNew; break;
        case config::InstalledCopy::kOlder: m.fate = MemberFate::kOlder; break;
        case config::InstalledCopy::kLink: m.fate = MemberFate::kLink; break;
        case config::InstalledCopy::kCurrent: m.fate = MemberFate::kCurrent; break;
        case config::InstalledCopy::kRefused: m.fate = MemberFate::kRefused; break;
      }
      if (checkWritable_ && m.copies()) m.folderErrno = writable(directory, handle);
      return;
    }
    if (code == ERROR_FILE_NOT_FOUND) {
      // The run makes the missing folders from the deepest one there.
      m.fate = MemberFate::kNew;
      m.makesFolders = true;
      void* above = INVALID_HANDLE_VALUE;
      code = deepestExisting(directory, m.folder);
      if (code == 0) code = cursor_.open(m.folder, above);
      if (code == 0) {
        if (checkWritable_) m.folderErrno = writable(m.folder, above);
        return;
      }
      m.makesFolders = false;
    }
    if (code == ERROR_STOPPED_ON_SYMLINK || code == ERROR_PATH_NOT_FOUND) {
      m.fate = code == ERROR_STOPPED_ON_SYMLINK ? MemberFate::kLinkOnWay : MemberFate::kFileOnWay;
      m.stop = code;
      m.blocker = run_plan::firstBlocked<FS>(root_, directory);
      return;
    }
    m.fate = MemberFate::kUnknown;
    m.stop = code;
  }

  int writable(const stdx::u16string& directory, void* handle) {
    auto known = writable_.find(directory);
    if (known != writable_.end()) return known->second;
    int e = FS::CheckWritableByHandle(handle).errnoValue();
    writable_[directory] = e;
    return e;
  }
  int knownWritable(const stdx::u16string& directory) const {
    auto known = writable_.find(directory);
    return known == writable_.end() ? 0 : known->second;
  }

  // The deepest folder on the way to directory that is there (directory
  // itself is not). A look that fails otherwise than by a missing folder
  // is no answer: its code.
  FsResult deepestExisting(const stdx::u16string& directory, stdx::u16string& found) {
    found.clear();
    for (size_t slash = directory.find(u'/');; slash = directory.find(u'/', slash + 1)) {
      stdx::u16string prefix = slash == stdx::u16string::npos ? directory : directory.substr(0, slash);
      void* handle = INVALID_HANDLE_VALUE;
      FsResult code = cursor_.open(prefix, handle);
      if (code == ERROR_FILE_NOT_FOUND) return 0;
      if (code != 0) return code;
      found = prefix;
      if (slash == stdx::u16string::npos) return 0;
    }
  }

  stdx::u16string target_;
  bool checkWritable_ = false;
  void* root_ = INVALID_HANDLE_VALUE;
  bool ownsRoot_ = false;
  void* above_ = INVALID_HANDLE_VALUE;  // the nearest folder of a missing target
  void* spaceHandle_ = INVALID_HANDLE_VALUE;
  BasicDirectoryCursor<FS> cursor_;
  std::vector<MemberPlan> plan_;
  unsigned long long needed_ = 0;
  VolumeTraits volume_;
  InstallFailure targetStop_;
  InstallFailure caseStop_;  // two members the target cannot keep apart
  std::map<stdx::u16string, int> writable_;  // folder (relative) -> errno of the write check
};

typedef BasicRunPlan<FileSystem> RunPlan;
