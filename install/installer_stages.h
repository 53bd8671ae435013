// The copy's stages in the target, as BasicInstaller runs them: each
// member written under a temporary name beside its place (its folders
// reached or made on the way), the new data flushed, then every member
// put in place by one rename. Included by installer.h only.
#pragma once

// Writes member relative under a temporary name beside it, when it is
// missing or older. staged stays false when the installed copy is up to date.
template <class FS, class Compressor>
FsResult BasicInstaller<FS, Compressor>::stageMember(Reader* reader, size_t index,
                                                     const stdx::u16string& relative, bool& staged) {
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

  // The copy of a large member follows its bytes as they are inflated; a
  // small one waits for all of them and goes in one call.
  bool whole = reader->files[index].size < kFollowBytes;
  code = awaitPackage([reader, index, whole](int timeoutMs) { return reader->awaitMember(index, timeoutMs, whole); });
  if (code != 0) return code;
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
  durable_.entryIn(directory, dir);
  if (planned.fate == MemberFate::kOlder) code = keep_owner_and_mode<FS>(dir, name, out);
  if (code == 0) code = reader->copyTo(index, out);
  if (code == 0) {
    stdx::u16string failedFile;
    code = durable_.add(directory, name, out, failedFile);
    if (code != 0) failingPath_ = target_ + failedFile;
  } else {
    FS::CloseHandle(out);  // the copy's failure is the one told
  }
  if (code != 0) {
    // The package may have failed while this member was copied: then that
    // is the reason, whatever the copy made of it.
    FsResult image = reader->awaitImage(0);
    if (image == ERROR_CANCELLED) return image;
    if (image != 0 && image != config::kErrorPending) {
      packageFailed_ = installer_detail::package_at_fault(*reader, image, failingPath_, failureLine_);
      return image;
    }
    return code;
  }
  staged_.push_back(Staged{directory, temp, name, replaces});
  staged = true;
  return 0;
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
