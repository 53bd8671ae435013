// A file-system policy for tests: forwards every call to FileSystem and
// fails the Nth call of one chosen operation with a chosen code. Handles
// stay real, so the decompressor and the real files keep working under it.
// Its state is static: reset() it in the fixture's SetUp.
#pragma once

#include "platform/file_system.h"

class FaultyFileSystem {
 public:
  enum Operation { kNone, kCreateFile, kReadFile, kWriteFile, kSetFilePointer, kSetEndOfFile, kSetFileTime };

  static void reset() { failOn(kNone, 0, 0); }
  // Fails call number nth (1 = the next) of operation with code.
  static void failOn(Operation operation, unsigned nth, unsigned code) {
    operation_ = operation;
    countdown_ = nth;
    code_ = code;
    failures_ = 0;
  }
  static unsigned failures() { return failures_; }

  static unsigned GetLastError() { return FileSystem::GetLastError(); }
  static unsigned CreateFile(const stdx::u16string& path, unsigned access, unsigned share,
                             unsigned creation, void*& handle) {
    if (fail(kCreateFile)) return code_;
    return FileSystem::CreateFile(path, access, share, creation, handle);
  }
  static unsigned CloseHandle(void* handle) { return FileSystem::CloseHandle(handle); }
  static unsigned ReadFile(void* handle, void* buffer, unsigned count, unsigned* bytesRead,
                           _OVERLAPPED* overlapped) {
    if (fail(kReadFile)) return code_;
    return FileSystem::ReadFile(handle, buffer, count, bytesRead, overlapped);
  }
  static unsigned WriteFile(void* handle, const void* data, unsigned count, unsigned* bytesWritten,
                            _OVERLAPPED* overlapped) {
    if (fail(kWriteFile)) return code_;
    return FileSystem::WriteFile(handle, data, count, bytesWritten, overlapped);
  }
  static unsigned SetFilePointer(void* handle, long distance, long* distanceHigh, unsigned method) {
    if (fail(kSetFilePointer)) return INVALID_SET_FILE_POINTER;
    return FileSystem::SetFilePointer(handle, distance, distanceHigh, method);
  }
  static unsigned SetEndOfFile(void* handle) {
    if (fail(kSetEndOfFile)) return code_;
    return FileSystem::SetEndOfFile(handle);
  }
  static unsigned GetFileTime(void* handle, _FILETIME* creation, _FILETIME* lastAccess,
                              _FILETIME* lastWrite) {
    return FileSystem::GetFileTime(handle, creation, lastAccess, lastWrite);
  }
  static unsigned SetFileTime(void* handle, const _FILETIME* creation, const _FILETIME* lastAccess,
                              const _FILETIME* lastWrite) {
    if (fail(kSetFileTime)) return code_;
    return FileSystem::SetFileTime(handle, creation, lastAccess, lastWrite);
  }
  static unsigned GetTempPath(stdx::u16string& path) { return FileSystem::GetTempPath(path); }
  static unsigned GetTempFileName(const stdx::u16string& dir, const stdx::u16string& prefix,
                                  stdx::u16string& name) {
    return FileSystem::GetTempFileName(dir, prefix, name);
  }
  static unsigned DeleteFile(const stdx::u16string& path) { return FileSystem::DeleteFile(path); }

 private:
  // Counts down on the chosen operation; a failure also sets the last error,
  // as the real layer does.
  static bool fail(Operation operation) {
    if (operation != operation_ || countdown_ == 0) return false;
    if (--countdown_ != 0) return false;
    ++failures_;
    ms_lastError = code_;
    return true;
  }

  static inline Operation operation_ = kNone;
  static inline unsigned countdown_ = 0;
  static inline unsigned code_ = 0;
  static inline unsigned failures_ = 0;
};
