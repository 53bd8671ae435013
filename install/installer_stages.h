// The copy's stages in the target, as BasicInstaller runs them: each
// member written under a temporary name beside its place (its folders
// reached or made on the way), the new data flushed, then every member
// put in place by one rename. Included by installer.h only.
#pragma once

// Makes the temporary file that member relative is written into, beside
// its place, when it is missing or older, and fills job for the copy
// thread. staged stays false when the installed copy is up to date.
template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::stageMember(Reader* reader, size_t index,
                                                     const stdx::u16string& relative, CopyJob& job,
                                                     bool& staged) {
  (void)reader;
  stdx::u16string directory, name;
  split_relative(relative, directory, name);
  void* dir = INVALID_HANDLE_VALUE;
  FsResult code = prepareDirectory(directory, dir);
  if (code != 0) return code;
  failingPath_ = target_ + relative;

  // The plan decided: a regular file is compared, backed up and replaced;
  // so is a symbolic link, as the link itself (it is never followed). A
  // directory could not be replaced in one step, nor a special file
  // safely. What appears at the name since is never replaced: the temporary
  // file is made new, and a new member's rename replaces nothing.
  const MemberPlan& planned = plan_.member(index);
  if (planned.fate == MemberFate::kRefused) {
    if (planned.seen.attributes == FILE_ATTRIBUTE_DIRECTORY) return FsResult(kErrorRefusedTarget, EISDIR);
    failureLine_ = special_file_line(failingPath_);
    return kErrorRefusedTarget;
  }
  if (planned.fate == MemberFate::kCurrent) return 0;
  bool replaces = planned.fate == MemberFate::kOlder || planned.fate == MemberFate::kLink;

  // The first name this run leaves in the target marks it: from here on it
  // holds its lock file. A run with nothing to copy writes nothing at all.
  if (!runLocks_.held()) {
    // A lock file the target refuses is the target's failure; any other
    // is reported at the member that needed it.
    code = takeRunLock();
    if (code != 0) return failedIn(code, target_, target_ + relative);
    failingPath_ = target_ + relative;
  }
  stdx::u16string temp = tempNameIn(directory);
  void* out = INVALID_HANDLE_VALUE;
  code = FS::CreateFileAt(dir, temp, GENERIC_WRITE, CREATE_NEW, out);
  if (code != 0) return failedIn(code, target_ + directory, failingPath_);
  this->addTempFile(join_path(directory, temp));
  if (planned.fate == MemberFate::kOlder) code = keep_owner_and_mode<FS>(dir, name, out);
  if (code != 0) {
    FS::CloseHandle(out);  // the failure told is the copy's
    return code;
  }
  // Members come folder by folder: the file system is asked again only
  // when the folder changes.
  if (!durabilityKnown_ || durabilityDirectory_ != directory) {
    durability_ = FS::GetDurability(dir);
    durabilityDirectory_ = directory;
    durabilityKnown_ = true;
  }
  job.index = index;
  job.out = out;
  job.directory = directory;
  job.name = name;
  job.durability = durability_;
  staged_.push_back(Staged{std::move(directory), std::move(temp), std::move(name), replaces});
  staged = true;
  return 0;
}

// The copy thread: waits for the member's bytes, writes them into the file
// job holds and hands it to the batch that takes it to the disk. A large
// member is copied as it is inflated; a small one waits for all of its
// bytes and goes in one call. False on a failure, kept in copyFailure_.
template <class FS, class Compressor>
bool BasicInstaller<FS, Compressor>::copyMember(Reader* reader, CopyJob& job) {
  size_t count = reader->files.size();
  if (job.out == INVALID_HANDLE_VALUE) {  // left alone: only its bytes go
    if (job.index + 1 < count) reader->releaseBefore(stillNeeded_[job.index + 1]);
    return true;
  }
  CopyFailure failure;
  failure.path = target_ + join_path(job.directory, job.name);
  auto await = [this, reader, &job](bool whole) {
    for (;;) {
      FsResult code = reader->awaitMember(job.index, kFeedPollMs, whole);
      if (code != config::kErrorPending) return code;
      if (copies_.stopping()) return FsResult(ERROR_CANCELLED);
    }
  };
  bool whole = reader->files[job.index].size < kFollowBytes;
  FsResult code = await(whole);
  // A member the stream writes into its file is done when all of it is
  // checked; one in the image is copied as its bytes come.
  if (code == 0 && !whole && reader->delivery().taken(job.index)) code = await(true);
  if (code != 0) {
    closeUnfilled(job);
    if (code != ERROR_CANCELLED)
      failure.packageFailed = installer_detail::package_at_fault(*reader, code, failure.path, failure.line);
  } else {
    code = reader->copyTo(job.index, job.out);
    if (code == 0) {
      stdx::u16string failedFile;
      durable_.entryIn(job.directory, job.durability);
      code = durable_.add(job.directory, job.name, job.out, failedFile);
      if (code != 0) failure.path = target_ + failedFile;
    } else {
      FS::CloseHandle(job.out);  // the copy's failure is the one told
    }
    if (code != 0) {
      // The package may have failed while this member was copied: then
      // that is the reason, whatever the copy made of it.
      FsResult image = reader->awaitImage(0);
      if (image == ERROR_CANCELLED) {
        code = image;
      } else if (image != 0 && image != config::kErrorPending) {
        failure.packageFailed = installer_detail::package_at_fault(*reader, image, failure.path, failure.line);
        code = image;
      }
    }
  }
  job.out = INVALID_HANDLE_VALUE;
  if (code != 0) {
    failure.code = code;
    copyFailure_ = failure;
    return false;
  }
  ++laneCopied_;
  if (job.index + 1 < count) reader->releaseBefore(stillNeeded_[job.index + 1]);
  return true;
}

// Hands job to the copy thread, waiting for room while looking for a
// cancel. 0, ERROR_CANCELLED, or the copy thread's failure (an earlier
// member's), which the run then tells.
template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::handOver(CopyJob& job) {
  for (;;) {
    typename WorkLane<CopyJob>::Push pushed = copies_.push(job, kFeedPollMs);
    if (pushed == WorkLane<CopyJob>::Push::kQueued) return 0;
    if (pushed == WorkLane<CopyJob>::Push::kFailed) return finishCopies();
    if (processData->isCancelled()) {
      closeUnfilled(job);
      return ERROR_CANCELLED;
    }
  }
}

// Waits until every member handed over is copied, looking for a cancel. 0,
// ERROR_CANCELLED, or the copy thread's failure, whose path, line and
// fault become the run's.
template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::finishCopies() {
  while (!copies_.drained(kFeedPollMs)) {
    if (processData->isCancelled()) return ERROR_CANCELLED;
  }
  if (!copies_.failed()) return 0;
  if (copyFailure_.code == ERROR_CANCELLED) return ERROR_CANCELLED;
  failingPath_ = copyFailure_.path;
  failureLine_ = copyFailure_.line;
  packageFailed_ = copyFailure_.packageFailed;
  return copyFailure_.code;
}

// Closes the file of a member that is not to be filled (it is deleted by
// name): the stream is told first, so that it never writes into it again.
template <class FS, class Compressor>
void BasicInstaller<FS, Compressor>::closeUnfilled(CopyJob& job) {
  if (job.out == INVALID_HANDLE_VALUE) return;
  FsResult ignored;
  if (delivery_ != nullptr) delivery_->takeBack(job.index, ignored);
  FS::CloseHandle(job.out);
  job.out = INVALID_HANDLE_VALUE;
}

// Ends the copy thread (what it still held is closed) and counts what it
// copied.
template <class FS, class Compressor>
void BasicInstaller<FS, Compressor>::stopCopies() {
  copies_.stop();
  delivery_ = nullptr;
  copiedFiles_ += laneCopied_;
  laneCopied_ = 0;
}

// Makes directory ready for members and gives its handle: reached from
// the target without a link, created where missing (one directory per
// call, each recorded), and cleared of what dead runs left in it.
template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::prepareDirectory(const stdx::u16string& directory,
                                                          void*& handle) {
  if (cursor_.holds(directory) && cleanedDirectories.count(directory)) return cursor_.open(directory, handle);
  bool made = false;
  FsResult code = openCreating(directory, handle, made);
  if (code == ERROR_STOPPED_ON_SYMLINK) return refuseLink(code, directory);
  if (code != 0) return code;
  if (!made) {
    code = removeDeadRunLeftovers(handle, directory);
    if (code != 0) return code;
  }
  cleanedDirectories.insert(directory);
  return 0;
}

// Opens directory below the target, creating the components that are
// missing, downwards from the deepest one open: going one level deeper
// than the last member costs a call or two, whatever the depth.
template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::openCreating(const stdx::u16string& directory,
                                                      void*& handle, bool& made) {
  made = false;
  FsResult code = cursor_.open(directory, handle);
  // Missing, or a file on the way: the walk below finds which component.
  if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return code;
  const stdx::u16string& held = cursor_.path();
  void* current = cursor_.root();
  stdx::u16string currentPath;
  if (!held.empty() && is_below(directory, held)) {
    cursor_.open(held, current);
    currentPath = held;
  }
  bool owned = false;
  bool parentMade = false;
  size_t pos = currentPath.empty() ? 0 : currentPath.size() + 1;
  while (pos < directory.size()) {
    size_t slash = directory.find(u'/', pos);
    if (slash == stdx::u16string::npos) slash = directory.size();
    stdx::u16string part = directory.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty()) continue;
    size_t start = slash - part.size();
    stdx::u16string parentPath = start == 0 ? stdx::u16string() : directory.substr(0, start - 1);
    stdx::u16string partPath = directory.substr(0, slash);
    failingPath_ = target_ + partPath;
    void* next = INVALID_HANDLE_VALUE;
    // In a directory just made nothing is there to open: it is made at once.
    code = parentMade ? FsResult(ERROR_FILE_NOT_FOUND) : FS::OpenDirectoryBeneath(current, part, next);
    parentMade = false;
    if (code == ERROR_FILE_NOT_FOUND) {
      code = FS::CreateDirectoryAt(current, part);
      if (code == 0) {
        this->addRBCatalog(partPath);
        made = parentMade = true;
      }
      failedIn(code, target_ + parentPath, failingPath_);
      // Made meanwhile by someone else: not ours, but usable.
      if (code == 0 || code == ERROR_ALREADY_EXISTS) code = FS::OpenDirectoryBeneath(current, part, next);
    } else if (code == 0) {
      made = false;  // an existing directory may hold leftovers
    }
    if (owned) FS::CloseHandle(current);  // only a directory read: nothing to report
    if (code != 0) {
      if (!owned) cursor_.close();
      return code;
    }
    current = next;
    owned = true;
  }
  cursor_.adopt(directory, current);
  handle = current;
  return 0;
}

// The new files' data, and the entries of the directories that hold them,
// go to the disk before the first rename exposes any of them: after a
// power loss a renamed member must not turn out empty. Only this run's
// files and directories are flushed (see DurableBatch). Each directory is
// reached from the target as the run reached it: no link is followed.
template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::flushStaged() {
  if (staged_.empty()) return 0;
  double begin = installer_detail::monotonicSeconds();
  stdx::u16string failed;
  FsResult code = durable_.finish(
      [this](const stdx::u16string& dir, void*& handle) { return cursor_.open(dir, handle); }, failed);
  if (code == ERROR_STOPPED_ON_SYMLINK) return refuseLink(code, failed);
  if (code != 0) {
    failingPath_ = target_ + failed;
    return code;
  }
  flushSeconds_ = installer_detail::monotonicSeconds() - begin;
  return 0;
}

// Puts every staged member in place: the file it replaces is first kept by
// a hard link beside it, then the temporary file is renamed over the name
// in one step. A new member never replaces a file that appeared since it
// was staged. Each directory is reached afresh from the target: one
// swapped for a link since its members were staged stops the run.
template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::exposeStaged() {
  cursor_.close();
  const int span = installer_detail::kRenamedPercent - installer_detail::kFlushedPercent;
  int posted = -1;
  for (size_t i = 0; i < staged_.size(); ++i) {
    const Staged& s = staged_[i];
    stdx::u16string relative = join_path(s.directory, s.name);
    failingPath_ = target_ + relative;
    int percent = installer_detail::kFlushedPercent + static_cast<int>(i * span / staged_.size());
    if (percent != posted) processData->setInstallState(0, failingPath_, posted = percent);
    void* dir = INVALID_HANDLE_VALUE;
    FsResult code = cursor_.open(s.directory, dir);
    if (code == ERROR_STOPPED_ON_SYMLINK) return refuseLink(code, s.directory);
    if (code == 0 && s.replaces) code = this->storeRBFile(dir, s.directory, s.name);
    if (code == 0 && s.replaces) code = FS::MoveFileAt(dir, s.temp, dir, s.name, MOVEFILE_REPLACE_EXISTING);
    else if (code == 0) code = move_without_replacing<FS>(dir, s.temp, s.name);
    if (code != 0) return failedIn(code, target_ + s.directory, failingPath_);
    this->tempFileRenamed(relative, s.replaces);
  }
  staged_.clear();
  cursor_.close();
  return 0;
}
