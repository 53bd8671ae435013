// A file-system policy for tests: forwards every call to FileSystem, counts
// the calls, and fails chosen ones as the system would: with a chosen
// errno and the code the real layer maps it to (error_code_for_errno), so
// that what the user is told can be checked too. The Nth call of one
// operation (failOn), or the Nth call of any operation (failCall). Handles
// stay real, so the decompressor and the real files keep working under it;
// a failed CloseHandle still closes, as a real one does. Its state is
// static: reset() it in the fixture's SetUp. An operation relative to a
// directory handle counts as its path-taking twin (MoveFileAt as
// kMoveFileEx), so a rule names the step, whichever form takes it.
#pragma once

#include <errno.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/file_system.h"

class FaultyFileSystem {
 public:
  enum Operation {
    kNone, kAny, kCreateFile, kReadFile, kWriteFile, kSetFilePointer, kSetEndOfFile, kSetFileTime,
    kCloseHandle, kGetFileTime, kGetTempPath, kGetTempFileName, kCreateDirectory,
    kRemoveDirectory, kRemoveEmptyDirectory, kMoveFileEx, kCreateHardLink,
    kDeleteFile, kGetFileInformation, kGetFileInformationByHandle, kFindFiles, kCreateTempFile,
    kFlushVolumeBuffers, kLockFile, kOpenDirectoryBeneath, kGetDiskFreeSpace, kFoldsCase,
    kSetOwnerAndMode,
  };

  static void reset() {
    std::lock_guard<std::mutex> hold(mutex_);
    rules_.clear();
    log_.clear();
    hook_ = nullptr;
    hookAt_ = 0;
    foldsCase_ = false;
    refusesNoReplace_ = false;
    refusesLinks_ = false;
    volume_.reset();
    calls_ = 0;
    failures_ = 0;
  }
  // Fails call number nth (1 = the next) of operation with errnoValue;
  // replaces any earlier rule.
  static void failOn(Operation operation, unsigned nth, int errnoValue) {
    reset();
    addFailure(operation, nth, errnoValue);
  }
  // One more failing call, counted on its own.
  static void addFailure(Operation operation, unsigned nth, int errnoValue) {
    std::lock_guard<std::mutex> hold(mutex_);
    rules_.push_back(Rule{operation, nth, errnoValue});
  }
  // Fails the nth call of any operation from now on.
  static void failCall(unsigned nth, int errnoValue) { failOn(kAny, nth, errnoValue); }
  static unsigned failures() {
    std::lock_guard<std::mutex> hold(mutex_);
    return failures_;
  }
  // Runs hook just before call number nth (1 = the next) goes to the
  // real layer: a test's way to change the disk under a run at one exact
  // step. Kept until the next reset.
  static void beforeCall(unsigned nth, std::function<void()> hook) {
    std::lock_guard<std::mutex> hold(mutex_);
    hook_ = std::move(hook);
    hookAt_ = calls_ + nth;
  }
  // Calls made since the last reset.
  static unsigned calls() {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }
  // The operation of each of those calls, in order.
  static std::vector<Operation> log() {
    std::lock_guard<std::mutex> hold(mutex_);
    return log_;
  }

  static FsResult CreateFile(const stdx::u16string& path, unsigned access, unsigned share,
                             unsigned creation, void*& handle) {
    FsResult code;
    if (fail(kCreateFile, code)) return code;
    return FileSystem::CreateFile(path, access, share, creation, handle);
  }
  static FsResult OpenRegularFile(const stdx::u16string& path, void*& handle) {
    FsResult code;
    if (fail(kCreateFile, code)) return code;
    return FileSystem::OpenRegularFile(path, handle);
  }
  static FsResult CloseHandle(void* handle) {
    FsResult code;
    bool failed = fail(kCloseHandle, code);
    FsResult closed = FileSystem::CloseHandle(handle);
    return failed ? code : closed;
  }
  static FsResult ReadFile(void* handle, void* buffer, unsigned count, unsigned* bytesRead,
                           _OVERLAPPED* overlapped) {
    FsResult code;
    if (fail(kReadFile, code)) return code;
    return FileSystem::ReadFile(handle, buffer, count, bytesRead, overlapped);
  }
  static FsResult ReadFileAt(void* handle, unsigned long long offset, void* buffer, unsigned count,
                             unsigned* bytesRead) {
    FsResult code;
    if (fail(kReadFile, code)) return code;
    return FileSystem::ReadFileAt(handle, offset, buffer, count, bytesRead);
  }
  static FsResult WriteFile(void* handle, const void* data, unsigned count, unsigned* bytesWritten,
                            _OVERLAPPED* overlapped) {
    FsResult code;
    if (fail(kWriteFile, code)) return code;
    return FileSystem::WriteFile(handle, data, count, bytesWritten, overlapped);
  }
  static unsigned SetFilePointer(void* handle, long distance, long* distanceHigh, unsigned method) {
    FsResult code;
    if (fail(kSetFilePointer, code)) return INVALID_SET_FILE_POINTER;
    return FileSystem::SetFilePointer(handle, distance, distanceHigh, method);
  }
  static FsResult SetEndOfFile(void* handle) {
    FsResult code;
    if (fail(kSetEndOfFile, code)) return code;
    return FileSystem::SetEndOfFile(handle);
  }
  static FsResult GetFileTime(void* handle, _FILETIME* creation, _FILETIME* lastAccess,
                              _FILETIME* lastWrite) {
    FsResult code;
    if (fail(kGetFileTime, code)) return code;
    return FileSystem::GetFileTime(handle, creation, lastAccess, lastWrite);
  }
  static FsResult SetFileTime(void* handle, const _FILETIME* creation, const _FILETIME* lastAccess,
                              const _FILETIME* lastWrite) {
    FsResult code;
    if (fail(kSetFileTime, code)) return code;
    return FileSystem::SetFileTime(handle, creation, lastAccess, lastWrite);
  }
  static FsResult GetTempPath(stdx::u16string& path) {
    FsResult code;
    if (fail(kGetTempPath, code)) return code;
    return FileSystem::GetTempPath(path);
  }
  // Not counted: where it fails the reader only skips its space check.
  static FsResult GetFreeSpaceTmpDir64(unsigned long long* bytes) {
    return FileSystem::GetFreeSpaceTmpDir64(bytes);
  }
  static FsResult GetTempFileName(const stdx::u16string& dir, const stdx::u16string& prefix,
                                  stdx::u16string& name) {
    FsResult code;
    if (fail(kGetTempFileName, code)) return code;
    return FileSystem::GetTempFileName(dir, prefix, name);
  }
  static FsResult CreateDirectory(const stdx::u16string& path) {
    FsResult code;
    if (fail(kCreateDirectory, code)) return code;
    return FileSystem::CreateDirectory(path);
  }
  static FsResult RemoveDirectory(const stdx::u16string& path) {
    FsResult code;
    if (fail(kRemoveDirectory, code)) return code;
    return FileSystem::RemoveDirectory(path);
  }
  static FsResult RemoveEmptyDirectory(const stdx::u16string& path) {
    FsResult code;
    if (fail(kRemoveEmptyDirectory, code)) return code;
    return FileSystem::RemoveEmptyDirectory(path);
  }
  static FsResult DeleteFile(const stdx::u16string& path) {
    FsResult code;
    if (fail(kDeleteFile, code)) return code;
    return FileSystem::DeleteFile(path);
  }
  static FsResult GetFileInformation(const stdx::u16string& path, bool followLinks,
                                     FileInformation& info) {
    FsResult code;
    if (fail(kGetFileInformation, code)) return code;
    return FileSystem::GetFileInformation(path, followLinks, info);
  }
  static FsResult GetFileInformationByHandle(void* handle, FileInformation& info) {
    FsResult code;
    if (fail(kGetFileInformationByHandle, code)) return code;
    return FileSystem::GetFileInformationByHandle(handle, info);
  }
  static FsResult CreateTempFile(const stdx::u16string& directory, void*& handle) {
    FsResult code;
    if (fail(kCreateTempFile, code)) return code;
    return FileSystem::CreateTempFile(directory, handle);
  }
  // Not a failure point: a file system that cannot be told is flushed
  // with the most care, which is no failure.
  static Durability GetDurability(void* handle) { return FileSystem::GetDurability(handle); }
  static FsResult WaitFileBuffers(void* handle, bool metadata) {
    FsResult code;
    if (fail(kFlushVolumeBuffers, code)) return code;
    return FileSystem::WaitFileBuffers(handle, metadata);
  }
  static FsResult FlushDirectory(void* directory) {
    FsResult code;
    if (fail(kFlushVolumeBuffers, code)) return code;
    return FileSystem::FlushDirectory(directory);
  }
  // Not a failure point: only a head start for the flush, whose result the
  // run ignores (the flush itself checks the outcome).
  static FsResult StartFlushFileBuffers(void* handle) {
    return FileSystem::StartFlushFileBuffers(handle);
  }
  static FsResult ReleaseFileRange(void* handle, unsigned long long offset,
                                   unsigned long long count) {
    FsResult code;
    if (fail(kSetEndOfFile, code)) return code;
    return FileSystem::ReleaseFileRange(handle, offset, count);
  }
  static FsResult CopyFileRange(void* in, unsigned long long inOffset, void* out, unsigned count,
                                unsigned* copied) {
    FsResult code;
    if (fail(kWriteFile, code)) return code;
    return FileSystem::CopyFileRange(in, inOffset, out, count, copied);
  }
  static FsResult LockFile(void* handle, bool wait) {
    FsResult code;
    if (fail(kLockFile, code)) return code;
    return FileSystem::LockFile(handle, wait);
  }

  static FsResult OpenDirectoryBeneath(void* directory, const stdx::u16string& relative,
                                       void*& handle) {
    FsResult code;
    if (fail(kOpenDirectoryBeneath, code)) return code;
    return FileSystem::OpenDirectoryBeneath(directory, relative, handle);
  }
  static FsResult OpenParentDirectory(void* directory, void*& handle) {
    FsResult code;
    if (fail(kOpenDirectoryBeneath, code)) return code;
    return FileSystem::OpenParentDirectory(directory, handle);
  }
  static FsResult CreateFileAt(void* directory, const stdx::u16string& name, unsigned access,
                               unsigned creation, void*& handle) {
    FsResult code;
    if (fail(kCreateFile, code)) return code;
    return FileSystem::CreateFileAt(directory, name, access, creation, handle);
  }
  static FsResult CreateDirectoryAt(void* directory, const stdx::u16string& name) {
    FsResult code;
    if (fail(kCreateDirectory, code)) return code;
    return FileSystem::CreateDirectoryAt(directory, name);
  }
  static FsResult GetFileInformationAt(void* directory, const stdx::u16string& name,
                                       FileInformation& info) {
    FsResult code;
    if (fail(kGetFileInformation, code)) return code;
    return FileSystem::GetFileInformationAt(directory, name, info);
  }
  static FsResult MoveFileAt(void* fromDirectory, const stdx::u16string& from, void* toDirectory,
                             const stdx::u16string& to, unsigned flags) {
    FsResult code;
    if (fail(kMoveFileEx, code)) return code;
    if (!(flags & MOVEFILE_REPLACE_EXISTING) && playing(refusesNoReplace_)) return setLastErrorByErrNo(EINVAL);
    return FileSystem::MoveFileAt(fromDirectory, from, toDirectory, to, flags);
  }
  static FsResult CreateHardLinkAt(void* directory, const stdx::u16string& newName,
                                   void* existingDirectory, const stdx::u16string& existing) {
    FsResult code;
    if (fail(kCreateHardLink, code)) return code;
    if (playing(refusesLinks_)) return setLastErrorByErrNo(EPERM);
    return FileSystem::CreateHardLinkAt(directory, newName, existingDirectory, existing);
  }
  static FsResult DeleteFileAt(void* directory, const stdx::u16string& name) {
    FsResult code;
    if (fail(kDeleteFile, code)) return code;
    return FileSystem::DeleteFileAt(directory, name);
  }
  static FsResult RemoveEmptyDirectoryAt(void* directory, const stdx::u16string& name) {
    FsResult code;
    if (fail(kRemoveEmptyDirectory, code)) return code;
    return FileSystem::RemoveEmptyDirectoryAt(directory, name);
  }
  static FsResult FindFilesAt(void* directory, std::vector<FindEntry>& entries) {
    FsResult code;
    if (fail(kFindFiles, code)) return code;
    return FileSystem::FindFilesAt(directory, entries);
  }
  static FsResult GetDiskFreeSpaceByHandle(void* handle, unsigned long long* bytes) {
    FsResult code;
    if (fail(kGetDiskFreeSpace, code)) return code;
    return FileSystem::GetDiskFreeSpaceByHandle(handle, bytes);
  }
  // Only asks: nothing to fail on the run's behalf.
  static FsResult CheckWritableByHandle(void* directory) { return FileSystem::CheckWritableByHandle(directory); }
  // Plays a target that does not tell letter case apart (until reset()).
  static void foldCase(bool folds) {
    std::lock_guard<std::mutex> hold(mutex_);
    foldsCase_ = folds;
  }
  // Plays a file system that keeps these traits (until reset()).
  static void playVolume(const VolumeTraits& traits) {
    std::lock_guard<std::mutex> hold(mutex_);
    volume_.reset(new VolumeTraits(traits));
  }
  // Not counted: a question whose failure only leaves the usual traits.
  static FsResult DescribeVolumeByHandle(void* directory, VolumeTraits& traits) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (volume_) {
        traits = *volume_;
        return 0;
      }
    }
    return FileSystem::DescribeVolumeByHandle(directory, traits);
  }
  static FsResult CopyOwnerAndModeByHandle(void* handle, const FileInformation& info) {
    FsResult code;
    if (fail(kSetOwnerAndMode, code)) return code;
    return FileSystem::CopyOwnerAndModeByHandle(handle, info);
  }
  // Plays a file system that refuses a rename that must not replace
  // (EINVAL, as FUSE does), and one that has no hard links either (EPERM,
  // as FAT does), until reset().
  static void refuseNoReplace(bool refuses) {
    std::lock_guard<std::mutex> hold(mutex_);
    refusesNoReplace_ = refuses;
  }
  static void refuseLinks(bool refuses) {
    std::lock_guard<std::mutex> hold(mutex_);
    refusesLinks_ = refuses;
  }
  static FsResult FoldsCaseByHandle(void* directory, bool& folds) {
    FsResult code;
    if (fail(kFoldsCase, code)) return code;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (foldsCase_) {
        folds = true;
        return code;
      }
    }
    return FileSystem::FoldsCaseByHandle(directory, folds);
  }

 private:
  struct Rule {
    Operation operation;
    unsigned countdown;
    int errnoValue;
  };

  // Counts the call down on every rule that it matches; a failure also sets
  // errno, as the real layer leaves it. The package may be inflated on a thread of its
  // own, so the counts are kept under a lock.
  static bool fail(Operation operation, FsResult& code) {
    std::lock_guard<std::mutex> hold(mutex_);
    code = FsResult();
    ++calls_;
    log_.push_back(operation);
    if (hook_ && calls_ == hookAt_) hook_();
    bool failed = false;
    for (Rule& rule : rules_) {
      if (rule.countdown == 0 || (rule.operation != operation && rule.operation != kAny)) continue;
      if (--rule.countdown != 0 || failed) continue;
      failed = true;
      code = FsResult(error_code_for_errno(rule.errnoValue), rule.errnoValue);
    }
    if (!failed) return false;
    ++failures_;
    errno = code.errnoValue();
    return true;
  }

  static bool playing(const bool& flag) {
    std::lock_guard<std::mutex> hold(mutex_);
    return flag;
  }

  static inline std::mutex mutex_;
  static inline bool foldsCase_ = false;
  static inline bool refusesNoReplace_ = false;
  static inline bool refusesLinks_ = false;
  static inline std::unique_ptr<VolumeTraits> volume_;
  static inline std::vector<Rule> rules_;
  static inline std::vector<Operation> log_;
  static inline std::function<void()> hook_;
  static inline unsigned hookAt_ = 0;
  static inline unsigned calls_ = 0;
  static inline unsigned failures_ = 0;
};
