// The definitions of BasicInstaller; included by installer.h only.
#pragma once

#include <time.h>

namespace installer_detail {

const unsigned long long kTicksPerSecond = 10000000ull;

inline unsigned long long wholeSeconds(const FILETIME& t) {
  unsigned long long ticks =
      (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return ticks - ticks % kTicksPerSecond;
}

inline double monotonicSeconds() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

inline stdx::u16string withoutTrailingSeparators(const stdx::u16string& path) {
  size_t n = path.size();
  while (n > 1 && (path[n - 1] == u'/' || path[n - 1] == u'\\')) --n;
  return path.substr(0, n);
}

}  // namespace installer_detail

template <class FS, class Compressor>
unsigned BasicInstaller<FS, Compressor>::run(ProcessData* data) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  processData = data;
  copiedFiles_ = upToDateFiles_ = 0;
  packageFailed_ = false;
  Reader* reader = nullptr;
  stdx::u16string target;
  processData->get(reader, target);
  if (reader == nullptr) return stopOnError(ERROR_INVALID_PARAMETER, 0);
  target_ = target;
  memberPaths = &reader->memberPaths();

  this->start(target);
  failingPath_ = target;
  unsigned code = lockTarget(target);
  if (code == ERROR_CANCELLED) return cancelRun(0);
  if (code != 0) return stopOnError(code, 0);
  return runLocked(reader, target);
}

template <class FS, class Compressor>
unsigned BasicInstaller<FS, Compressor>::runLocked(Reader* reader, const stdx::u16string& target) {
  unsigned code = removeDeadRunLeftovers(target, target);
  if (code != 0) return stopOnError(code, 0);

  const stdx::u16string separator(kPathSeparator);
  const stdx::u16string badSeparator(kBadPathSeparator);
  size_t count = reader->files.size();
  // Where the members still to come begin, at the latest: the image before
  // that is of no more use once member i is done, and is given back.
  std::vector<uint64_t> stillNeeded(count + 1, config::kImageLimit);
  for (size_t i = count; i-- > 0;)
    stillNeeded[i] = std::min<uint64_t>(stillNeeded[i + 1], reader->files[i].offset);
  uint64_t percent = 0;
  for (size_t i = 0; i < count; ++i) {
    stdx::u16string name = reader->files[i].name;
    replace_all(name, badSeparator, separator);
    stdx::u16string path = target + name;
    percent = static_cast<uint64_t>(i) * 100 / count;
    processData->setInstallState(0, path, static_cast<int>(percent));
    failingPath_ = path;

    bool staged = false;
    code = stageMember(reader, i, target, path, staged);
    if (code == ERROR_CANCELLED) return cancelRun(percent);
    if (code != 0) return stopOnError(code, percent);
    ++(staged ? copiedFiles_ : upToDateFiles_);
    if (i + 1 < count) reader->releaseBefore(stillNeeded[i + 1]);
    if (staged && processData->isCancelled()) return cancelRun(percent);
  }

  // Nothing is put in place before the whole package has proved sound:
  // damage behind the last member still makes the run undo itself.
  code = awaitPackage([reader](int timeoutMs) { return reader->awaitImage(timeoutMs); });
  if (code == ERROR_CANCELLED) return cancelRun(percent);
  // The image is done with: its pages need not go to the disk with the flush.
  if (code == 0) reader->releaseBefore(config::kImageLimit);
  if (code == 0) code = flushStaged(target);
  if (code == 0) code = exposeStaged();
  if (code != 0) return stopOnError(code, percent);

  // The install is complete: a backup tree that cannot be removed now is
  // only clutter, and the next run removes it as a dead run's.
  this->stop();
  releaseLock();
  processData->setInstallState(0, LoadResString("IDS_INSTALL_FINISH"), 100);
  Sleep(finishPauseMs);
  return 0;
}

// Opens and locks the target directory, creating it (recorded) when it is
// missing. While another run holds the lock, waits for it (the window
// shows IDS_PREPARECOPY), looking every kLockPollMs for a cancel. The other
// run may have removed the directory it created by the time the lock is
// ours: the locked directory must still be the one at the target's path.
template <class FS, class Compressor>
unsigned BasicInstaller<FS, Compressor>::lockTarget(const stdx::u16string& target) {
  stdx::u16string directory =
      target.empty() ? stdx::u16string(u".") : installer_detail::withoutTrailingSeparators(target);
  bool waited = false;
  for (;;) {
    unsigned code = target.empty() ? 0u : this->makeDirectoryTree(directory);
    if (code != 0) return code;
    void* handle = INVALID_HANDLE_VALUE;
    code = FS::CreateFile(directory, GENERIC_READ, 0, OPEN_EXISTING, handle);
    if (code != 0) return code;
    while ((code = FS::LockFile(handle, false)) == ERROR_LOCK_VIOLATION) {
      if (!waited) processData->setInstallState(0, LoadResString("IDS_PREPARECOPY"), 0);
      waited = true;
      if (processData->isCancelled()) break;
      Sleep(kLockPollMs);
    }
    if (code == ERROR_LOCK_VIOLATION) code = ERROR_CANCELLED;
    FileInformation locked, current;
    if (code == 0) code = FS::GetFileInformationByHandle(handle, locked);
    bool same = false;
    if (code == 0) {
      code = FS::GetFileInformation(directory, true, current);
      same = code == 0 && current.volume == locked.volume && current.index == locked.index;
      if (code == ERROR_FILE_NOT_FOUND) code = 0;
    }
    if (code == 0 && same) {
      lockHandle = handle;
      return 0;
    }
    unsigned closed = FS::CloseHandle(handle);
    if (code == 0) code = closed;
    if (code != 0) return code;
  }
}

template <class FS, class Compressor>
void BasicInstaller<FS, Compressor>::releaseLock() {
  if (lockHandle == INVALID_HANDLE_VALUE) return;
  // Nothing to report: the lock goes with the descriptor whatever close says.
  FS::CloseHandle(lockHandle);
  lockHandle = INVALID_HANDLE_VALUE;
}

// Writes member index under a temporary name beside path, when path is
// missing or older. staged stays false when the installed copy is up to date.
template <class FS, class Compressor>
unsigned BasicInstaller<FS, Compressor>::stageMember(Reader* reader, size_t index,
                                         const stdx::u16string& target,
                                         const stdx::u16string& path, bool& staged) {
  size_t slash = path.rfind(u'/');
  stdx::u16string directory = slash == stdx::u16string::npos ? stdx::u16string() : path.substr(0, slash);
  if (readyDirectory.empty() || directory != readyDirectory) {
    unsigned code = prepareDirectory(target, directory);
    if (code != 0) return code;
    readyDirectory = directory;
  }

  // Only a regular file is ever compared, backed up or replaced: writing
  // over a link would write through it, and a directory could not be
  // replaced in one step.
  FileInformation info;
  unsigned code = FS::GetFileInformation(path, false, info);
  bool replaces = code == 0;
  if (code != 0 && code != ERROR_FILE_NOT_FOUND) return code;
  if (replaces) {
    if (info.attributes != FILE_ATTRIBUTE_NORMAL) return kErrorRefusedTarget;
    if (installer_detail::wholeSeconds(info.lastWriteTime) >=
        installer_detail::wholeSeconds(reader->files[index].lastWriteTime))
      return 0;
  }

  // The copy of a large member follows its bytes as they are inflated; a
  // small one waits for all of them and goes in one call.
  bool whole = reader->files[index].size < kFollowBytes;
  code = awaitPackage([reader, index, whole](int timeoutMs) { return reader->awaitMember(index, timeoutMs, whole); });
  if (code != 0) return code;
  stdx::u16string temp = tempNameIn(target, directory);
  void* out = INVALID_HANDLE_VALUE;
  code = FS::CreateFile(temp, GENERIC_WRITE, 0, CREATE_NEW, out);
  if (code != 0) return code;
  this->addTempFile(temp);
  code = reader->copyTo(index, out);
  // Every file starts on its way to the disk now, while the package is
  // still inflating, so that the flush before the renames finds most of it
  // done (and its blocks placed, so one journal commit covers them all).
  // Only a head start: the flush checks the outcome.
  if (code == 0) FS::StartFlushFileBuffers(out);
  unsigned closed = FS::CloseHandle(out);
  if (code == 0) code = closed;
  if (code != 0) {
    // The package may have failed while this member was copied: then that
    // is the reason, whatever the copy made of it.
    unsigned image = reader->awaitImage(0);
    if (image == ERROR_CANCELLED) return image;
    if (image != 0 && image != config::kErrorPending) {
      packageFailed_ = true;
      return image;
    }
    return code;
  }
  staged_.push_back(Staged{temp, path, replaces});
  staged = true;
  return 0;
}

// Makes directory ready for members: no symbolic link on the way from the
// target, created where missing, and cleared of what dead runs left in it.
template <class FS, class Compressor>
unsigned BasicInstaller<FS, Compressor>::prepareDirectory(const stdx::u16string& target,
                                              const stdx::u16string& directory) {
  unsigned code = checkDirectories(target, directory);
  if (code != 0) return code;
  stdx::u16string dir = directory.empty() ? stdx::u16string(u".") : directory;
  size_t made = this->levels.back().catalogs.size();
  if (!directory.empty()) {
    code = this->makeDirectoryTree(directory);
    if (code != 0) return code;
  }
  if (this->levels.back().catalogs.size() == made) {
    code = removeDeadRunLeftovers(target, dir);
    if (code != 0) return code;
  }
  FileInformation info;
  code = FS::GetFileInformation(dir, true, info);
  if (code != 0) return code;
  for (size_t i = 0; i < volumes_.size(); ++i) {
    if (volumes_[i].id == info.volume) return 0;
  }
  volumes_.push_back(Volume{info.volume, dir});
  return 0;
}

// Refuses a symbolic link on the way from target down to directory: the
// run must not create directories or write files outside the target tree.
// Components that are missing are created later; a plain file on the way
// makes that creation fail with the layer's own code.
template <class FS, class Compressor>
unsigned BasicInstaller<FS, Compressor>::checkDirectories(const stdx::u16string& target,
                                              const stdx::u16string& directory) {
  if (directory.size() <= target.size() || target.empty()) return 0;
  size_t pos = target.size();
  while (pos <= directory.size()) {
    size_t slash = directory.find(u'/', pos);
    if (slash == stdx::u16string::npos) slash = directory.size();
    if (slash > pos) {  // skip empty components of repeated separators
      FileInformation info;
      unsigned code = FS::GetFileInformation(directory.substr(0, slash), false, info);
      if (code == ERROR_FILE_NOT_FOUND) return 0;
      if (code != 0) return code;
      if (info.attributes == FILE_ATTRIBUTE_REPARSE_POINT) return kErrorRefusedTarget;
      if (info.attributes != FILE_ATTRIBUTE_DIRECTORY) return 0;
    }
    pos = slash + 1;
  }
  return 0;
}

// A run that was killed leaves its temporary files and its backup tree;
// whatever it replaced is whole in either version, so finishing its job is
// this run's copy, and the leftovers only go. A live run's names are never
// touched, nor a name that is a member of this package.
template <class FS, class Compressor>
unsigned BasicInstaller<FS, Compressor>::removeDeadRunLeftovers(const stdx::u16string& target,
                                                    const stdx::u16string& directory) {
  if (!cleanedDirectories.insert(directory).second) return 0;
  std::vector<FindEntry> entries;
  unsigned code = FS::FindFiles(directory, entries);
  if (code != 0) return code;
  stdx::u16string prefix = directory;
  if (prefix.empty() || prefix[prefix.size() - 1] != u'/') prefix += kPathSeparator;
  for (size_t i = 0; i < entries.size(); ++i) {
    int pid = 0;
    unsigned long long start = 0;
    if (!parse_run_name(entries[i].name, pid, start) || !run_is_dead(pid, start)) continue;
    stdx::u16string full = prefix + entries[i].name;
    if (full.size() > target.size() && isMemberPath(full.substr(target.size()))) continue;
    code = (entries[i].attributes & FILE_ATTRIBUTE_DIRECTORY) ? FS::RemoveDirectory(full)
                                                               : FS::DeleteFile(full);
    if (code != 0 && code != ERROR_FILE_NOT_FOUND) return code;
  }
  return 0;
}

// The new files' data, and the directories that hold them, go to the disk
// before the first rename exposes any of them: after a power loss a renamed
// member must not turn out empty. Only this run's files and directories are
// flushed: a flush of the whole file system would also wait for whatever
// other programs left unwritten there.
template <class FS, class Compressor>
unsigned BasicInstaller<FS, Compressor>::flushStaged(const stdx::u16string& target) {
  if (staged_.empty()) return 0;
  double begin = installer_detail::monotonicSeconds();
  stdx::u16string top = target.empty() ? stdx::u16string(u".") : installer_detail::withoutTrailingSeparators(target);
  std::vector<stdx::u16string> files, directories;
  std::set<stdx::u16string> seen;
  for (const Staged& s : staged_) {
    files.push_back(s.temp);
    // Its directory and each one above it up to the target: each may have
    // a new entry of this run.
    stdx::u16string dir = s.temp;
    for (;;) {
      size_t slash = dir.rfind(u'/');
      dir = slash == stdx::u16string::npos || slash <= top.size() ? top : dir.substr(0, slash);
      if (!seen.insert(dir).second) break;
      directories.push_back(dir);
      if (dir == top) break;
    }
  }
  failingPath_ = top;
  unsigned code = FS::FlushFiles(files, directories);
  if (code != 0) return code;
  flushSeconds_ = installer_detail::monotonicSeconds() - begin;
  return 0;
}

// Puts every staged member in place: the file it replaces is first kept by
// a hard link, then the temporary file is renamed over the name in one step.
// A new member never replaces a file that appeared since it was staged.
template <class FS, class Compressor>
unsigned BasicInstaller<FS, Compressor>::exposeStaged() {
  for (size_t i = 0; i < staged_.size(); ++i) {
    const Staged& s = staged_[i];
    failingPath_ = s.path;
    unsigned code = 0;
    if (s.replaces) code = this->storeRBFile(s.path);
    if (code == 0) code = FS::MoveFileEx(s.temp, s.path, s.replaces ? MOVEFILE_REPLACE_EXISTING : 0);
    if (code != 0) return code;
    this->tempFileRenamed(s.path, s.replaces);
  }
  staged_.clear();
  return 0;
}

// Waits for bytes the reader is still inflating, looking for a cancel
// every kFeedPollMs. A failure of the package is remembered: it is the
// package's fault, not the target's, and is reported as such.
template <class FS, class Compressor>
template <class Await>
unsigned BasicInstaller<FS, Compressor>::awaitPackage(Await await) {
  for (;;) {
    unsigned code = await(kFeedPollMs);
    if (code != config::kErrorPending) {
      if (code != 0 && code != ERROR_CANCELLED) packageFailed_ = true;
      return code;
    }
    if (processData->isCancelled()) return ERROR_CANCELLED;
  }
}

template <class FS, class Compressor>
unsigned BasicInstaller<FS, Compressor>::cancelRun(uint64_t percent) {
  this->rollback(ERROR_CANCELLED);
  releaseLock();
  // A cancel posts nothing, unless something could not be undone: that
  // the user must learn.
  if (!this->undoFailures().empty()) {
    processData->setInstallState(ERROR_CANCELLED, undoReport(LoadResString("IDS_INSTALL_ERROR")),
                                 static_cast<int>(percent));
  }
  return ERROR_CANCELLED;
}

template <class FS, class Compressor>
unsigned BasicInstaller<FS, Compressor>::stopOnError(unsigned code, uint64_t percent) {
  // Taken before the rollback, whose own calls would overwrite it.
  int errnoValue = lastErrNoFor(code);
  this->rollback(code);
  releaseLock();
  if (processData != nullptr) {
    stdx::u16string text = LoadResString("IDS_INSTALL_ERROR");
    stdx::u16string where;
    if (packageFailed_) {
      text = LoadResString(code == ERROR_DISK_FULL ? "IDS_ERROR_NOSPACE" : "IDS_ERROR_DAMAGEDSOURCE");
    } else if (locate_failure<FS>(failingPath_, errnoValue, where)) {
      // Looked at once everything is undone: the user sees the folders as
      // they are now.
      text += u"\n" + failure_cause_line(where, errnoValue);
    }
    processData->setInstallState(code, undoReport(text), static_cast<int>(percent));
  }
  return code;
}

template <class FS, class Compressor>
stdx::u16string BasicInstaller<FS, Compressor>::undoReport(const stdx::u16string& text) const {
  stdx::u16string report = text;
  const std::vector<stdx::u16string>& failures = this->undoFailures();
  for (size_t i = 0; i < failures.size(); ++i) report += u"\n" + failures[i];
  return report;
}

// "<prefix><pid>-<start>-<n>": unique to this run and this directory, and
// never the path of a member of the package.
template <class FS, class Compressor>
stdx::u16string BasicInstaller<FS, Compressor>::tempNameIn(const stdx::u16string& target,
                                               const stdx::u16string& directory) {
  stdx::u16string base = directory.empty() ? stdx::u16string() : directory + kPathSeparator;
  for (;;) {
    stdx::u16string name = stdx::u16string(kRunNamePrefix) + current_run_tag() + u"-" +
                           string_uito(tempCounter++, 10);
    stdx::u16string full = base + name;
    if (full.size() <= target.size() || !isMemberPath(full.substr(target.size()))) return full;
  }
}

template <class FS, class Compressor>
stdx::u16string BasicInstaller<FS, Compressor>::backupRootName(unsigned attempt) {
  for (unsigned n = attempt;; n += 100) {
    stdx::u16string name = BasicRollback<FS>::backupRootName(n);
    // Nothing of the package may lie inside the tree: no member's first
    // component may be its name.
    bool taken = false;
    if (memberPaths != nullptr) {
      stdx::u16string inside = name + kPathSeparator;
      typename std::vector<stdx::u16string>::const_iterator it = std::lower_bound(
          memberPaths->begin(), memberPaths->end(), inside, Less());
      taken = std::binary_search(memberPaths->begin(), memberPaths->end(), name, Less()) ||
              (it != memberPaths->end() && it->size() > inside.size() &&
               it->substr(0, inside.size()) == inside);
    }
    if (!taken) return name;
  }
}

template <class FS, class Compressor>
bool BasicInstaller<FS, Compressor>::isMemberPath(const stdx::u16string& relative) const {
  if (memberPaths == nullptr) return false;
  stdx::u16string key = config::normalizedMemberPath(relative);
  return std::binary_search(memberPaths->begin(), memberPaths->end(), key, Less());
}
