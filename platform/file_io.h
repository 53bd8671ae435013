// Whole files kept by other programs (the launcher's configuration), read
// through one descriptor and replaced in one rename, and the small path
// helpers that every layer shares. Every failure comes back as a FileError
// made where the call failed: the code, the system's errno and the path.
//
// Thread safety: no shared state; each object is used by one thread.
#pragma once

#include <stddef.h>

#include "platform/file_system.h"
#include "platform/stdx_string.h"

// A failed call on a file. code is 0 when nothing failed.
struct FileError {
  unsigned code = 0;   // a Win32-style code of file_system.h
  int errnoValue = 0;  // what the system said at the failing call; 0 when it said nothing
  stdx::u16string path;

  bool failed() const { return code != 0; }
  // Nothing stands at the path (ENOENT): a file that is absent, not unreadable.
  bool absent() const;
  // code from errnoValue by the one errno mapping of file_system.h.
  static FileError fromErrno(int errnoValue, const stdx::u16string& path);
  // A layer call's result, code and errno as they came, at path.
  static FileError of(const FsResult& result, const stdx::u16string& path) {
    FileError error;
    error.code = result.code();
    error.errnoValue = result.errnoValue();
    error.path = path;
    return error;
  }
  FsResult result() const { return FsResult(code, errnoValue); }
};

// Writes all of data to fd, retrying short writes: 0, or the errno of the
// write that failed (ENOSPC for one that made no progress). written, when
// given, gets how much was written either way.
int write_all(int fd, const void* data, size_t count, size_t* written = nullptr);
// name inside directory: one "/" between them, none added to an empty
// part ("" as name is directory itself, "" as directory leaves name).
stdx::u16string join_path(const stdx::u16string& directory, const stdx::u16string& name);
// Everything before the last "/" or "\": "/" for a path at the root, "."
// for a bare name.
stdx::u16string directory_of(const stdx::u16string& path);
// The path without its trailing "/" and "\" characters; "/" stays "/".
stdx::u16string strip_trailing_separators(const stdx::u16string& path);
// True when anything stands at path (a dangling symbolic link too).
bool file_exists(const stdx::u16string& path);
// The text of the symbolic link at link, whatever its length; empty when
// it cannot be read.
stdx::string read_link_target(const char* link);
// Follows the symbolic links at the end of path: a link to a missing file
// gives that file's path. ELOOP after 40 links.
FileError resolve_links(const stdx::u16string& path, stdx::u16string& resolved);

// Creates path and its missing parents (like mkdir -p). ERROR_ALREADY_EXISTS
// without errno when path is already a directory; otherwise the error of
// the first creation that failed, naming that folder (a plain file on the
// way: ENOTDIR).
FileError create_directories(const stdx::u16string& path);

// Opens path for reading only when it is a regular file (links followed),
// without ever waiting: a FIFO or device would block a plain open, so the
// open does not block and the type is checked on the open descriptor. A
// FIFO, device, socket or directory fails with ERROR_BAD_FILE_TYPE (and
// the errno EISDIR for a directory, none for the others).
FileError open_regular_file(const stdx::u16string& path, int& fd);

// One regular file read from start to end.
class FileReader {
 public:
  FileReader() = default;
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  FileError open(const stdx::u16string& path);
  // Reads up to count bytes; *got is smaller only at the end of the file.
  FileError read(void* buffer, size_t count, size_t* got);
  // The size when opened, in bytes.
  unsigned long long sizeBytes() const { return sizeBytes_; }

 private:
  int fd_ = -1;
  unsigned long long sizeBytes_ = 0;
  stdx::u16string path_;
};

// What identifies one state of a file: which file stands at a path and
// how far it was written. Two equal stamps mean nobody wrote it between
// the two looks (to the nanosecond the file system keeps).
struct FileStamp {
  bool exists = false;
  unsigned long long device = 0, inode = 0, size = 0;
  long long modifiedSec = 0, modifiedNsec = 0;
  // The file's bytes at that moment, when asked for and small enough:
  // they let a commit tell another program's appends from other changes.
  // Not part of the comparison.
  bool textKept = false;
  stdx::string text;
  bool operator==(const FileStamp& other) const;
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
};
// The stamp of the file at path, links followed; exists is false when
// nothing stands there (not a failure). With keepTextUpTo, the bytes of a
// regular file of at most that size are kept in the stamp.
FileError file_stamp(const stdx::u16string& path, FileStamp& stamp, size_t keepTextUpTo = 0);

// Replaces a file (after links are followed, so a link stays a link) with
// new text: begin, write, commit. The text goes to a new file beside the
// target that is renamed over it only once it was written, flushed and
// closed, so a failure at any step leaves the old file as it was; the new
// file takes the old one's owner (best effort), permission bits and
// extended attributes (its access control list among them): when one
// cannot be carried over, nothing is replaced (ENOTSUP, or the errno of
// the copy), since the new file would give others more access. A
// device or FIFO holds no text to lose and cannot be renamed over: it is
// written in place, and opening it never waits. Without commit, the
// destructor removes the new file.
class FileReplacer {
 public:
  FileReplacer() = default;
  ~FileReplacer();
  FileReplacer(const FileReplacer&) = delete;
  FileReplacer& operator=(const FileReplacer&) = delete;

  // Refuses a directory (EISDIR) and a file the user may not write (the
  // errno of that test), as opening it for writing would.
  FileError begin(const stdx::u16string& path);
  FileError write(const void* data, size_t count);
  FileError commit();
  // The commit of a read-modify-write: the old file must still be the one
  // that was read (expected), else nothing is renamed and the answer is
  // EAGAIN, to read again. Lines that another program appended meanwhile
  // (expected keeps the text that was read, and the old file still begins
  // with it) are no reason to read again: they are appended to the new
  // file, before and after the rename, until the old file stops growing.
  // Any other write into the old file after the look gives replaced a
  // descriptor of the old file (the caller's to close), whose late text
  // must be read and written again; otherwise it is -1.
  FileError commit(const FileStamp& expected, int& replaced);

 private:
  int fd_ = -1;
  bool inPlace_ = false;
  stdx::string target_;
  stdx::string fresh_;
};
