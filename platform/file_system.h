// A Win32-style file API over POSIX: operations named and parameterised
// like the Windows ones, results as Windows error codes (0 for success) and
// a process-wide last error. No operation starts a process: every path goes
// straight to the C library, so no text of a path is ever seen by a shell.
//
// Thread safety: ms_lastError is one unsynchronised global; read it with
// GetLastError() right after the failing call, on the same thread.
#pragma once

#include <dirent.h>
#include <stdint.h>
#include <sys/stat.h>

#include "platform/stdx_string.h"

// Win32 error numbers used by the system.
enum : unsigned {
  ERROR_SUCCESS = 0,
  ERROR_INVALID_FUNCTION = 1,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_PATH_NOT_FOUND = 3,
  ERROR_INVALID_HANDLE = 6,
  ERROR_INVALID_DATA = 13,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_INVALID_NAME = 123,
  ERROR_BAD_FILE_TYPE = 222,
  ERROR_ALREADY_EXISTS = 183,
  ERROR_CANTWRITE = 1013,
  ERROR_CANCELLED = 1223,
};

// Access, creation and seek constants honoured by the layer.
const unsigned GENERIC_READ = 0x80000000u;
const unsigned GENERIC_WRITE = 0x40000000u;
const unsigned CREATE_NEW = 1;
const unsigned CREATE_ALWAYS = 2;  // creates a missing file; does not truncate
const unsigned OPEN_EXISTING = 3;
const unsigned OPEN_ALWAYS = 4;
const unsigned TRUNCATE_EXISTING = 5;
const unsigned FILE_BEGIN = 0;
const unsigned FILE_CURRENT = 1;
const unsigned FILE_END = 2;
const unsigned FILE_ATTRIBUTE_DIRECTORY = 0x10;
const unsigned INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;

#define INVALID_HANDLE_VALUE (reinterpret_cast<void*>(static_cast<intptr_t>(-1)))

// 100-nanosecond ticks since 1601-01-01 00:00 UTC, low word first.
struct _FILETIME {
  unsigned dwLowDateTime;
  unsigned dwHighDateTime;
};
typedef _FILETIME FILETIME;

// Never read: asynchronous I/O is not supported.
struct _OVERLAPPED;

extern unsigned ms_lastError;

// ENOENT gives ERROR_FILE_NOT_FOUND, every other errno ERROR_INVALID_PARAMETER.
// Stores the code in ms_lastError and returns it.
unsigned setLastErrorByErrNo(int err);

// Seconds since 1970-01-01 UTC (sub-second ticks are truncated).
long FileTimeToEpoch(const _FILETIME& ft);
_FILETIME EpochToFileTime(const long& seconds);

class FileSystem {
 public:
  static unsigned GetLastError();

  // Opens path; on success stores the descriptor in handle and returns 0.
  // On failure returns the mapped errno and leaves handle unchanged.
  // New files get the permission bits 0660 before the umask.
  static unsigned CreateFile(const stdx::u16string& path, unsigned access, unsigned share,
                             unsigned creation, void*& handle);
  // Opens path for reading only when it is a regular file, links followed,
  // and never waits: a FIFO without a writer or a device would block a
  // plain open, so the open does not block and the type is checked on the
  // open descriptor. ERROR_BAD_FILE_TYPE for a FIFO, device, socket or
  // directory (nothing is left open); otherwise as CreateFile.
  static unsigned OpenRegularFile(const stdx::u16string& path, void*& handle);
  static unsigned CloseHandle(void* handle);
  // Reads until count bytes are read or end of file; a short count at end
  // of file is not an error.
  static unsigned ReadFile(void* handle, void* buffer, unsigned count, unsigned* bytesRead,
                           _OVERLAPPED* overlapped);
  // Writes count bytes; a short write is an error (a full disk: ENOSPC).
  static unsigned WriteFile(void* handle, const void* data, unsigned count, unsigned* bytesWritten,
                            _OVERLAPPED* overlapped);
  // Returns the low 32 bits of the new position (high bits in *distanceHigh
  // when given), or INVALID_SET_FILE_POINTER with ms_lastError set.
  static unsigned SetFilePointer(void* handle, long distance, long* distanceHigh, unsigned method);
  static unsigned SetEndOfFile(void* handle);
  static unsigned GetFileTime(void* handle, _FILETIME* creation, _FILETIME* lastAccess,
                              _FILETIME* lastWrite);
  // Sets access and modification time to lastWrite in whole seconds.
  static unsigned SetFileTime(void* handle, const _FILETIME* creation, const _FILETIME* lastAccess,
                              const _FILETIME* lastWrite);
  // 1 when size is null or the file cannot be examined; low 32 bits of the size.
  static unsigned GetFileSize(const stdx::u16string& path, unsigned* size);
  // The full 64-bit size, for checks that must not wrap at 4 GiB.
  static unsigned GetFileSize64(const stdx::u16string& path, unsigned long long* size);
  // "TMPDIR" when it names a directory, else "/tmp"; always ends with "/".
  static unsigned GetTempPath(stdx::u16string& path);
  // Bytes available to the user in the temporary directory, saturated to 32 bits.
  static unsigned GetFreeSpaceTmpDir(unsigned* bytes);
  static unsigned GetFreeSpaceTmpDir64(unsigned long long* bytes);
  // Creates a new empty file, mode 0600, atomically, in dir itself (never
  // elsewhere), its name beginning with the first five units of prefix.
  // ERROR_CANTWRITE when the file cannot be made.
  static unsigned GetTempFileName(const stdx::u16string& dir, const stdx::u16string& prefix,
                                  stdx::u16string& name);
  // Creates path and its missing parents. ERROR_ALREADY_EXISTS when path is
  // already a directory; ERROR_FILE_NOT_FOUND when a component is not a
  // directory or cannot be made.
  static unsigned CreateDirectory(const stdx::u16string& path);
  // Removes the whole tree at path; symbolic links inside are removed, never
  // followed. Always returns 0.
  static unsigned RemoveDirectory(const stdx::u16string& path);
  // Moves a file (or a tree), replacing the target; into the directory when
  // the target is one; across file systems by copy and delete.
  // ERROR_FILE_NOT_FOUND when the source is missing or the move fails.
  static unsigned MoveFile(const stdx::u16string& from, const stdx::u16string& to);
  // Deletes one file (not a directory). Always returns 0.
  static unsigned DeleteFile(const stdx::u16string& path);
};

// Enumerates a directory by a wildcard pattern ("dir/*", "dir/name").
class FileFinder {
 public:
  FileFinder();
  ~FileFinder();
  FileFinder(const FileFinder&) = delete;
  FileFinder& operator=(const FileFinder&) = delete;

  // Opens the directory part of pattern and moves to the first match.
  bool reset(const stdx::u16string& pattern);
  // Moves to the next match; false at the end. An entry that vanishes
  // between being listed and being examined is skipped.
  bool next();
  stdx::u16string name() const;
  // FILE_ATTRIBUTE_DIRECTORY for a directory entry, else 0.
  unsigned attributes() const;
  int close();

 private:
  DIR* dir_;
  stdx::string namePattern_;
  stdx::string directory_;
  stdx::string pattern_;
  stdx::string current_;
  struct stat status_;
};
