// The definitions of BasicInstaller: the run from start to end, the target's
// lock, the space check and the wording of a failure. The copy's stages
// are in installer_stages.h. Included by installer.h only.
#pragma once

#include <time.h>

namespace installer_detail {

// The percent posted for the end of each stage: the members' copy takes the
// bar to 90, the flush of their data to 95, and the renames that put them in
// place to 99; on a large package the last two take seconds of their own.
const int kCopiedPercent = 90;
const int kFlushedPercent = 95;
const int kRenamedPercent = 99;

inline double monotonicSeconds() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Whether code, a failure of the package's reader, is the package's fault:
// only bad bytes are. A file the system refused (the package file, or the
// image in the temporary directory) is no damage: path and line then name
// it and the system's reason.
template <class Reader>
bool package_at_fault(Reader& reader, FsResult code, stdx::u16string& path, stdx::u16string& line) {
  config::ImageFailure failure = reader.failureOf(code);
  if (failure.side != config::ImageFailure::kTempDir && failure.side != config::ImageFailure::kPackageFile)
    return true;
  path = failure.side == config::ImageFailure::kTempDir ? strip_trailing_separators(failure.path) : failure.path;
  line = image_failure_text(failure);
  return false;
}

}  // namespace installer_detail

template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::run(ProcessData* data) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  processData = data;
  copiedFiles_ = upToDateFiles_ = 0;
  packageFailed_ = false;
  failure_ = InstallFailure();
  failureLine_.clear();
  cleanedDirectories.clear();
  staged_.clear();
  durable_.clear();
  durabilityKnown_ = false;  // a folder of the last run's target says nothing of this one's
  Reader* reader = nullptr;
  stdx::u16string target;
  processData->get(reader, target);
  if (reader == nullptr) return stopOnError(ERROR_INVALID_PARAMETER, 0);
  target_ = target;
  memberPaths = &reader->memberPaths();

  this->start(target);
  failingPath_ = target;
  FsResult code = lockTarget(target);
  if (code == ERROR_CANCELLED) return cancelRun(0);
  if (code != 0) return stopOnError(code, 0);
  this->setRoot(lockHandle);
  cursor_.reset(lockHandle);
  processData->holdTarget(lockHandle);
  return runLocked(reader, target);
}

template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::runLocked(Reader* reader, const stdx::u16string& target) {
  FsResult code = findDeadRuns();
  if (code == 0) code = removeDeadRunLeftovers(lockHandle, stdx::u16string());
  if (code == 0) {
    plan_.lookFrom(lockHandle, target_, plan_members(reader->files), false);
    code = checkTargetSpace();
  }
  if (code != 0) return stopOnError(code, 0);

  const stdx::u16string separator(kPathSeparator);
  const stdx::u16string badSeparator(kBadPathSeparator);
  size_t count = reader->files.size();
  // Where the members still to come begin, at the latest: the image before
  // that is of no more use once member i is done, and is given back.
  stillNeeded_.assign(count + 1, config::kImageLimit);
  for (size_t i = count; i-- > 0;)
    stillNeeded_[i] = std::min<uint64_t>(stillNeeded_[i + 1], reader->files[i].offset);
  staged_.reserve(count);
  // The stream writes a member straight into the file made for it when
  // the file is there before its bytes: each byte is then written once.
  delivery_ = &reader->delivery();
  // This thread makes each member's file, a second one fills it: the
  // calls of one file are split between two cores.
  laneCopied_ = 0;
  copyFailure_ = CopyFailure();
  copies_.start([this, reader](CopyJob& job) { return copyMember(reader, job); },
                [this](CopyJob& job) { closeUnfilled(job); });
  uint64_t percent = 0;
  for (size_t i = 0; i < count; ++i) {
    stdx::u16string name = reader->files[i].name;
    replace_all(name, badSeparator, separator);
    stdx::u16string path = target + name;
    percent = static_cast<uint64_t>(i) * installer_detail::kCopiedPercent / count;
    processData->setInstallState(0, path, static_cast<int>(percent));
    failingPath_ = path;

    bool staged = false;
    CopyJob job;
    job.index = i;
    code = stageMember(reader, i, config::normalizedMemberPath(name), job, staged);
    if (code == 0) {
      if (staged) delivery_->deliverTo(i, job.out);
      code = handOver(job);
    }
    if (code != 0 && code != ERROR_CANCELLED) {
      // The copy of an earlier member may have failed meanwhile: the run
      // tells the first failure, as it would have met it alone.
      FsResult earlier = finishCopies();
      if (earlier != 0) code = earlier;
    }
    if (code == ERROR_CANCELLED) return cancelRun(percent);
    if (code != 0) return stopOnError(code, percent);
    if (!staged) ++upToDateFiles_;
    if (staged && processData->isCancelled()) return cancelRun(percent);
  }
  code = finishCopies();
  if (code == ERROR_CANCELLED) return cancelRun(percent);
  if (code != 0) return stopOnError(code, percent);
  stopCopies();

  // Nothing is put in place before the whole package has proved sound:
  // damage behind the last member still makes the run undo itself.
  code = awaitPackage([reader](int timeoutMs) { return reader->awaitImage(timeoutMs); });
  if (code == ERROR_CANCELLED) return cancelRun(percent);
  // The image is done with: its pages need not go to the disk with the flush.
  if (code == 0) reader->releaseBefore(config::kImageLimit);
  if (code == 0) {
    processData->setInstallState(0, target, installer_detail::kCopiedPercent);
    code = flushStaged();
  }
  if (code == 0) code = exposeStaged();
  if (code != 0) return stopOnError(code, percent);

  // The install is complete: a backup that cannot be removed now is only
  // clutter. The run's lock file then stays, so that the next run, finding
  // it free, removes the backup as a dead run's.
  bool committed = this->stop() == 0;
  dropRunLocks(true, committed);
  releaseLock();
  processData->setInstallState(0, LoadResString("IDS_INSTALL_FINISH"), 100);
  if (finishPauseMs > 0) Sleep(finishPauseMs);
  return 0;
}

// Opens and locks the target directory, creating it (recorded) when it is
// missing. The target is resolved once, as the user gave it (a link to it
// included); everything after goes from the handle. While another run
// holds the lock, waits for it (the window shows IDS_PREPARECOPY), looking
// every kLockPollMs for a cancel. The other run may have removed the
// directory it created by the time the lock is ours: the locked directory
// must still be the one at the target's path.
template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::lockTarget(const stdx::u16string& target) {
  stdx::u16string directory =
      target.empty() ? stdx::u16string(u".") : strip_trailing_separators(target);
  bool waited = false;
  for (;;) {
    FsResult code;
    if (!target.empty()) code = this->makeDirectoryTree(directory, failingPath_);
    if (code != 0) return code;
    failingPath_ = directory;
    void* handle = INVALID_HANDLE_VALUE;
    code = FS::CreateFile(directory, GENERIC_READ, 0, OPEN_EXISTING, handle);
    if (code != 0) return code;
    while ((code = FS::LockFile(handle, false)) == ERROR_LOCK_VIOLATION) {
      if (!waited) processData->setInstallState(0, LoadResString("IDS_PREPARECOPY"), 0);
      if (!waited) processData->setWaitingForLock(true);
      waited = true;
      if (processData->isCancelled()) break;
      Sleep(kLockPollMs);
    }
    if (waited) processData->setWaitingForLock(false);
    if (code == ERROR_LOCK_VIOLATION) code = ERROR_CANCELLED;
    FileInformation locked, current;
    if (code == 0) code = FS::GetFileInformationByHandle(handle, locked);
    if (code == 0 && locked.attributes != FILE_ATTRIBUTE_DIRECTORY) code = setLastErrorByErrNo(ENOTDIR);
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
    FsResult closed = FS::CloseHandle(handle);
    if (code == 0) code = closed;
    if (code != 0) return code;
  }
}

template <class FS, class Compressor>
void BasicInstaller<FS, Compressor>::releaseLock() {
  stopCopies();
  cursor_.close();
  plan_.close();
  dropRunLocks(false);
  if (lockHandle == INVALID_HANDLE_VALUE) return;
  // Nothing to report: the lock goes with the descriptor whatever close says.
  FS::CloseHandle(lockHandle);
  lockHandle = INVALID_HANDLE_VALUE;
  this->setRoot(INVALID_HANDLE_VALUE);
}

// Before anything is written: the bytes of the members that will be
// copied (missing, older, or a link at the member's path) must fit in the
// target's free space. The plan looked at each member from the target's
// handle, as the copy will; a link on the way, or a member that cannot be
// looked at, stops the run here.
template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::checkTargetSpace() {
  InstallFailure stop = plan_.earlyStop();
  if (stop.code == 0) stop = plan_.spaceStop();
  if (stop.code == 0) return 0;
  failingPath_ = stop.path.empty() ? target_ : stop.path;
  failureLine_ = stop.line;
  return stop.result();
}

// Names the symbolic link that stopped the way down to directory: the
// first component, from the target down, that is one.
template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::refuseLink(FsResult code, const stdx::u16string& directory) {
  failureLine_ = run_plan::linkLine(target_, run_plan::firstBlocked<FS>(lockHandle, directory));
  return code;
}

// Waits for bytes the reader is still inflating, looking for a cancel
// every kFeedPollMs. Bad bytes of the package are remembered as its fault,
// not the target's; a package file or temporary directory that the system
// refused is named, with the reason.
template <class FS, class Compressor>
template <class Await>
FsResult BasicInstaller<FS, Compressor>::awaitPackage(Await await) {
  for (;;) {
    FsResult code = await(kFeedPollMs);
    if (code != config::kErrorPending) {
      if (code != 0 && code != ERROR_CANCELLED) {
        Reader* reader = nullptr;
        stdx::u16string target;
        processData->get(reader, target);
        packageFailed_ = reader == nullptr ||
                         installer_detail::package_at_fault(*reader, code, failingPath_, failureLine_);
      }
      return code;
    }
    if (processData->isCancelled()) return ERROR_CANCELLED;
  }
}

template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::cancelRun(uint64_t percent) {
  stopCopies();
  durable_.clear();
  this->rollback(ERROR_CANCELLED);
  releaseLock();
  // A cancel posts nothing, unless something could not be undone: that
  // the user must learn.
  if (!this->undoFailures().empty()) {
    processData->setInstallState(ERROR_CANCELLED, failure_text(failure_, this->undoFailures()),
                                 static_cast<int>(percent));
  }
  return ERROR_CANCELLED;
}

// A step that makes a new name in folder failed: a refusal (permission, a
// read-only file system) is the folder's, and the folder is named; any
// other cause concerns entry. Returns code.
template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::failedIn(FsResult code, const stdx::u16string& folder,
                                                  const stdx::u16string& entry) {
  failingPath_ = refused_by_folder(code.errnoValue()) ? folder : entry;
  return code;
}

template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::stopOnError(FsResult code, uint64_t percent) {
  stopCopies();
  durable_.clear();
  this->rollback(code);
  releaseLock();
  failure_.code = code.code();
  failure_.packageFailed = packageFailed_;
  failure_.line = failureLine_;
  // The cause is the one the failing call gave, and the path the one the
  // failing step named; a failure without a cause from the system names
  // nothing, rather than something it may not concern.
  failure_.errnoValue = packageFailed_ ? 0 : code.errnoValue();
  failure_.path = failure_.errnoValue != 0 ? strip_trailing_separators(failingPath_) : stdx::u16string();
  if (processData != nullptr) {
    processData->setInstallState(code.code(), failure_text(failure_, this->undoFailures()), static_cast<int>(percent));
  }
  return code;
}

// "<prefix><pid>-<start>-<n>": unique to this run and this directory, and
// never the path of a member of the package.
template <class FS, class Compressor>
stdx::u16string BasicInstaller<FS, Compressor>::tempNameIn(const stdx::u16string& directory) {
  for (;;) {
    stdx::u16string name = BasicRunLocks<FS>::tempName(tempCounter++);
    if (!isMemberPath(join_path(directory, name))) return name;
  }
}

template <class FS, class Compressor>
bool BasicInstaller<FS, Compressor>::isMemberPath(const stdx::u16string& relative) const {
  if (memberPaths == nullptr) return false;
  stdx::u16string key = config::normalizedMemberPath(relative);
  return std::binary_search(memberPaths->begin(), memberPaths->end(), key, Less());
}
