// A Win32-style file API over POSIX: operations named and parameterised
// like the Windows ones, results as Windows error codes (0 for success) and
// a process-wide last error. No operation starts a process: every path goes
// straight to the C library, so no text of a path is ever seen by a shell.
//
// Every call that can fail returns an FsResult: the code, and the errno of
// the very call that failed, so that whoever reports the failure can say
// "read-only file system" where the code alone says ERROR_ACCESS_DENIED.
//
// Thread safety: ms_lastError is per thread (the package is inflated on a
// thread of its own while the install run works on another); read it with
// GetLastError() right after the failing call, on the same thread.
#pragma once

#include <stdint.h>
#include <sys/stat.h>

#include <ostream>
#include <vector>

#include "platform/stdx_string.h"

// Win32 error numbers used by the system.
enum : unsigned {
  ERROR_SUCCESS = 0,
  ERROR_INVALID_FUNCTION = 1,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_PATH_NOT_FOUND = 3,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_NOT_ENOUGH_MEMORY = 8,
  ERROR_INVALID_DATA = 13,
  ERROR_NOT_SAME_DEVICE = 17,
  ERROR_NOT_SUPPORTED = 50,
  ERROR_LOCK_VIOLATION = 33,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_DISK_FULL = 112,
  ERROR_INVALID_NAME = 123,
  ERROR_DIR_NOT_EMPTY = 145,
  ERROR_BAD_FILE_TYPE = 222,
  ERROR_ALREADY_EXISTS = 183,
  ERROR_STOPPED_ON_SYMLINK = 681,
  ERROR_IO_PENDING = 997,
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
const unsigned FILE_ATTRIBUTE_DEVICE = 0x40;  // anything but a file, directory or link
const unsigned FILE_ATTRIBUTE_NORMAL = 0x80;  // a regular file
const unsigned FILE_ATTRIBUTE_REPARSE_POINT = 0x400;  // a symbolic link
const unsigned MOVEFILE_REPLACE_EXISTING = 1;
const unsigned INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;

#define INVALID_HANDLE_VALUE (reinterpret_cast<void*>(static_cast<intptr_t>(-1)))

// 100-nanosecond ticks since 1601-01-01 00:00 UTC, low word first.
struct _FILETIME {
  unsigned dwLowDateTime;
  unsigned dwHighDateTime;
};
typedef _FILETIME FILETIME;

const unsigned long long kFileTimeTicksPerSecond = 10000000ULL;
// Seconds from 1601-01-01, where file times count from, to 1970-01-01.
const long long kFileTimeEpochOffsetSeconds = 11644473600LL;

// A file time's two words as one count of ticks, and back.
inline unsigned long long FileTimeTicks(const _FILETIME& t) {
  return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
inline _FILETIME FileTimeFromTicks(unsigned long long ticks) {
  return {static_cast<unsigned>(ticks & 0xFFFFFFFFu), static_cast<unsigned>(ticks >> 32)};
}

// Never read: asynchronous I/O is not supported.
struct _OVERLAPPED;

// What GetFileInformation tells about one entry.
struct FileInformation {
  unsigned attributes;  // exactly one FILE_ATTRIBUTE_* kind
  _FILETIME lastWriteTime;
  unsigned long long sizeBytes;
  unsigned long long volume;  // the file system holding it
  unsigned long long index;   // its identity on that file system
  unsigned mode;              // its permission bits (07777)
  unsigned owner;             // its owner's and group's ids
  unsigned group;
};

// How a file system makes what is written to it durable.
struct Durability {
  enum Kind {
    kInMemory,  // tmpfs, ramfs: nothing to write it to
    kJournal,   // ext3/4, XFS: one journal for the whole file system, committed in order
    kPerFile,   // anything else, or a file system that cannot be told: each file and directory on its own
  };
  Kind kind;
  unsigned long long volume;  // which file system (statfs's identity)
};

// What a file system keeps of the files written to it: the unit its space
// is handed out in, and the times it can store. A time is stored rounded
// down to timeGrainSeconds, and one outside [oldestSeconds, newestSeconds]
// (seconds since 1970) as the nearest end of that range.
struct VolumeTraits {
  unsigned long long allocationUnit = 4096;
  unsigned timeGrainSeconds = 1;
  long long oldestSeconds = INT64_MIN;
  long long newestSeconds = INT64_MAX;
};

// One entry of a directory listing.
struct FindEntry {
  stdx::u16string name;
  unsigned attributes;  // FILE_ATTRIBUTE_DIRECTORY for a directory (not a link to one), else 0
};

extern thread_local unsigned ms_lastError;

// What one call of the layer came to: its Win32-style code (0 for success)
// and, when the system refused the call, the errno it gave. It converts to
// and from the bare code, so a caller that only tells success from failure
// compares and returns it like a code; a caller that reports the failure
// keeps the value, and with it the cause, as it was when the call failed.
class FsResult {
 public:
  // A code the layer (or a caller) chose itself: no errno behind it.
  FsResult(unsigned code = 0) : code_(code) {}  // NOLINT(runtime/explicit)
  FsResult(unsigned code, int errnoValue) : code_(code), errno_(errnoValue) {}
  // No conversion to unsigned: it would leave the errno behind.
  bool failed() const { return code_ != 0; }
  explicit operator bool() const { return code_ != 0; }
  friend bool operator==(const FsResult& r, unsigned code) { return r.code_ == code; }
  friend bool operator!=(const FsResult& r, unsigned code) { return r.code_ != code; }
  friend bool operator==(unsigned code, const FsResult& r) { return r.code_ == code; }
  friend bool operator!=(unsigned code, const FsResult& r) { return r.code_ != code; }
  friend bool operator==(const FsResult& a, const FsResult& b) { return a.code_ == b.code_ && a.errno_ == b.errno_; }
  friend bool operator!=(const FsResult& a, const FsResult& b) { return !(a == b); }
  // "code" or "code (errno n)", for logs and test messages.
  friend std::ostream& operator<<(std::ostream& out, const FsResult& r) {
    out << r.code_;
    if (r.errno_ != 0) out << " (errno " << r.errno_ << ")";
    return out;
  }
  unsigned code() const { return code_; }
  int errnoValue() const { return errno_; }

 private:
  unsigned code_ = 0;
  int errno_ = 0;
};

// The one errno mapping: 0 gives ERROR_SUCCESS, ENOENT
// ERROR_FILE_NOT_FOUND, ENOTDIR ERROR_PATH_NOT_FOUND, ENOSPC and EDQUOT
// ERROR_DISK_FULL, EACCES, EPERM and EROFS ERROR_ACCESS_DENIED, EEXIST
// ERROR_ALREADY_EXISTS, ENOTEMPTY ERROR_DIR_NOT_EMPTY, EXDEV
// ERROR_NOT_SAME_DEVICE, EWOULDBLOCK ERROR_LOCK_VIOLATION, EOPNOTSUPP
// ERROR_NOT_SUPPORTED, ENOMEM ERROR_NOT_ENOUGH_MEMORY, every other errno
// ERROR_INVALID_PARAMETER.
unsigned error_code_for_errno(int err);

// Stores error_code_for_errno(err) in ms_lastError and returns it with err
// (an err of 0 counts as ERROR_INVALID_PARAMETER: it is called after a
// failure).
FsResult setLastErrorByErrNo(int err);

// Seconds since 1970-01-01 UTC (sub-second ticks are truncated).
long FileTimeToEpoch(const _FILETIME& ft);
_FILETIME EpochToFileTime(const long& seconds);

class FileSystem {
 public:
  static unsigned GetLastError();

  // Opens path; on success stores the descriptor in handle and returns 0.
  // On failure returns the mapped errno and leaves handle unchanged.
  // New files get the permission bits 0660 before the umask. CREATE_NEW
  // creates the file only where nothing stands, not even a symbolic link
  // (ERROR_ALREADY_EXISTS otherwise). A directory may be opened for reading,
  // to lock it or to flush its file system.
  static FsResult CreateFile(const stdx::u16string& path, unsigned access, unsigned share,
                             unsigned creation, void*& handle);
  // Opens path for reading only when it is a regular file, links followed,
  // and never waits: a FIFO without a writer or a device would block a
  // plain open, so the open does not block and the type is checked on the
  // open descriptor. ERROR_BAD_FILE_TYPE for a FIFO, device, socket or
  // directory (nothing is left open); otherwise as CreateFile.
  static FsResult OpenRegularFile(const stdx::u16string& path, void*& handle);
  static FsResult CloseHandle(void* handle);
  // Reads until count bytes are read or end of file; a short count at end
  // of file is not an error.
  static FsResult ReadFile(void* handle, void* buffer, unsigned count, unsigned* bytesRead,
                           _OVERLAPPED* overlapped);
  // ReadFile at offset, leaving the file position alone: another thread
  // may be writing the same file at its own position.
  static FsResult ReadFileAt(void* handle, unsigned long long offset, void* buffer, unsigned count,
                             unsigned* bytesRead);
  // Writes count bytes; a short write is an error (a full disk: ENOSPC).
  static FsResult WriteFile(void* handle, const void* data, unsigned count, unsigned* bytesWritten,
                            _OVERLAPPED* overlapped);
  // Returns the low 32 bits of the new position (high bits in *distanceHigh
  // when given), or INVALID_SET_FILE_POINTER with ms_lastError set.
  static unsigned SetFilePointer(void* handle, long distance, long* distanceHigh, unsigned method);
  static FsResult SetEndOfFile(void* handle);
  static FsResult GetFileTime(void* handle, _FILETIME* creation, _FILETIME* lastAccess,
                              _FILETIME* lastWrite);
  // Sets access and modification time to lastWrite in whole seconds.
  static FsResult SetFileTime(void* handle, const _FILETIME* creation, const _FILETIME* lastAccess,
                              const _FILETIME* lastWrite);
  // The full 64-bit size; ERROR_INVALID_FUNCTION when size is null or the
  // file cannot be examined.
  static FsResult GetFileSize64(const stdx::u16string& path, unsigned long long* size);
  // "TMPDIR" when it names a directory, else "/tmp"; always ends with "/".
  static FsResult GetTempPath(stdx::u16string& path);
  // Bytes available to the user in the temporary directory.
  static FsResult GetFreeSpaceTmpDir64(unsigned long long* bytes);
  // Creates a new empty file, mode 0600, atomically, in dir itself (never
  // elsewhere), its name beginning with the first five units of prefix.
  // ERROR_CANTWRITE when the file cannot be made.
  static FsResult GetTempFileName(const stdx::u16string& dir, const stdx::u16string& prefix,
                                  stdx::u16string& name);
  // Creates path and its missing parents. ERROR_ALREADY_EXISTS when path is
  // already a directory; otherwise the code of the first creation that
  // failed (a plain file on the way gives ERROR_ALREADY_EXISTS too).
  static FsResult CreateDirectory(const stdx::u16string& path);
  // Removes the whole tree at path; symbolic links inside are removed, never
  // followed. 0 when nothing is left at path (also when nothing was there);
  // otherwise the code of the first removal that failed.
  static FsResult RemoveDirectory(const stdx::u16string& path);
  // Removes the directory path only when it is empty: ERROR_DIR_NOT_EMPTY
  // otherwise, ERROR_FILE_NOT_FOUND when it is gone.
  static FsResult RemoveEmptyDirectory(const stdx::u16string& path);
  // Deletes one file (not a directory). ERROR_FILE_NOT_FOUND when nothing
  // is there; the mapped errno when it cannot be deleted.
  static FsResult DeleteFile(const stdx::u16string& path);
  // Examines path (its final link followed or not). ERROR_FILE_NOT_FOUND
  // when nothing is there, also when a component on the way is not a
  // directory; any other code means it could not be examined, which says
  // nothing about whether it exists.
  static FsResult GetFileInformation(const stdx::u16string& path, bool followLinks,
                                     FileInformation& info);
  static FsResult GetFileInformationByHandle(void* handle, FileInformation& info);
  // Creates a file without a name in directory, open for reading and
  // writing: it disappears when its handle is closed or the process ends,
  // however it ends.
  static FsResult CreateTempFile(const stdx::u16string& directory, void*& handle);
  // How the file system holding handle (a file or a directory) makes what
  // is written to it durable, and which file system that is.
  static Durability GetDurability(void* handle);
  // Waits until the data of the open file, and no other file's, is on the
  // device: its writeback (begun by StartFlushFileBuffers) is waited for,
  // with no cache flush and no journal commit. With metadata the file's size
  // and blocks are made durable too (fdatasync), for a file system without a
  // journal of its own. The code of the failure.
  static FsResult WaitFileBuffers(void* handle, bool metadata);
  // Makes the open directory's entries durable (fsync) and flushes the
  // device's cache. Where one journal serves the whole file system this
  // commits everything logged before too, every other directory's entries
  // and the sizes of the files whose data was waited for.
  static FsResult FlushDirectory(void* directory);
  // Starts writing the file's data to the disk and returns without waiting
  // (sync_file_range): a later flush then finds most of it done.
  static FsResult StartFlushFileBuffers(void* handle);
  // Gives the storage of count bytes at offset back to the file system; the
  // file keeps its size and reads zeros there (a hole). ERROR_NOT_SUPPORTED
  // where the file system cannot.
  static FsResult ReleaseFileRange(void* handle, unsigned long long offset,
                                   unsigned long long count);
  // Copies count bytes of in, from inOffset, to out at its position, inside
  // the kernel (copy_file_range); copied gets how many, fewer at the end of
  // in. ERROR_NOT_SUPPORTED where the two files cannot be copied between
  // so (as across file systems): the caller copies through memory instead.
  static FsResult CopyFileRange(void* in, unsigned long long inOffset, void* out, unsigned count,
                                unsigned* copied);
  // Takes the exclusive lock of an open file or directory (flock): held
  // until the handle is closed, shared by no other open. Without wait,
  // ERROR_LOCK_VIOLATION when someone else holds it.
  static FsResult LockFile(void* handle, bool wait);

  // Operations relative to an open directory (a handle from CreateFile or
  // OpenDirectoryBeneath): name is one entry of that directory, and no
  // symbolic link is ever followed, neither on the way nor at name itself.
  // A path resolved once and then held as a handle cannot be redirected by
  // whoever renames or replaces a directory on it afterwards.

  // Opens the directory relative ("/"-separated; empty: directory itself)
  // below directory without ever leaving it: no symbolic link, no "..",
  // no absolute path. ERROR_STOPPED_ON_SYMLINK when a component is a
  // symbolic link, ERROR_FILE_NOT_FOUND when one is missing,
  // ERROR_PATH_NOT_FOUND when one is not a directory. One call where the
  // kernel resolves beneath a directory (openat2), else one openat per
  // component.
  static FsResult OpenDirectoryBeneath(void* directory, const stdx::u16string& relative,
                                       void*& handle);
  // Opens the directory that holds the open directory (its ".."): where
  // it stands now, which is wherever whoever renamed it could write anyway.
  static FsResult OpenParentDirectory(void* directory, void*& handle);
  // Opens the file name in directory; a symbolic link there is refused
  // (ERROR_STOPPED_ON_SYMLINK), never followed. Otherwise as CreateFile,
  // but a new file gets 0666 before the umask, as any program's new file
  // does: what it creates is installed for every user, and an
  // administrator's umask, not the installer, says who may read it.
  static FsResult CreateFileAt(void* directory, const stdx::u16string& name, unsigned access,
                               unsigned creation, void*& handle);
  // Creates exactly the directory name (mode 0777 before the umask):
  // ERROR_ALREADY_EXISTS when anything, a link included, stands there.
  static FsResult CreateDirectoryAt(void* directory, const stdx::u16string& name);
  // Examines the entry name itself (a link as a link).
  static FsResult GetFileInformationAt(void* directory, const stdx::u16string& name,
                                       FileInformation& info);
  // Renames from to to in one step, on one file system only: never a copy
  // (ERROR_NOT_SAME_DEVICE across file systems). With
  // MOVEFILE_REPLACE_EXISTING an entry at to is replaced; without it the
  // call fails with ERROR_ALREADY_EXISTS when anything stands there.
  static FsResult MoveFileAt(void* fromDirectory, const stdx::u16string& from, void* toDirectory,
                             const stdx::u16string& to, unsigned flags);
  // Makes newName a second name of the entry existing (a hard link: same
  // inode, owner and mode; no data is copied; a symbolic link gets a second
  // name of the link itself). ERROR_NOT_SAME_DEVICE across file systems;
  // ERROR_ALREADY_EXISTS when newName is taken.
  static FsResult CreateHardLinkAt(void* directory, const stdx::u16string& newName,
                                   void* existingDirectory, const stdx::u16string& existing);
  // Deletes the entry name (not a directory), as DeleteFile.
  static FsResult DeleteFileAt(void* directory, const stdx::u16string& name);
  // Removes the directory name only when it is empty, as RemoveEmptyDirectory.
  static FsResult RemoveEmptyDirectoryAt(void* directory, const stdx::u16string& name);
  // The entries of the open directory, "." and ".." left out, in no set order.
  static FsResult FindFilesAt(void* directory, std::vector<FindEntry>& entries);
  // Bytes available to the user on the file system that holds handle.
  static FsResult GetDiskFreeSpaceByHandle(void* handle, unsigned long long* bytes);
  // What the file system that holds the open directory keeps (see
  // VolumeTraits): the unit from its statistics; the times found by
  // setting extreme and odd times on a file without a name, made and gone
  // in the call, and read back; where no such file can be made (FAT,
  // FUSE, a read-only folder), from the kind of file system: FAT and
  // exFAT keep 1980 to 2107, FAT to 2 s, any other whole seconds over
  // any range. Nothing stays behind and no name is made. Where the
  // statistics cannot be read, the traits stay as they are and the code
  // says why.
  static FsResult DescribeVolumeByHandle(void* directory, VolumeTraits& traits);
  // Gives the open file the owner, group and permission bits of info
  // (the file it replaces, as examined): the owner only where it differs
  // and the process may give it (root), the group where the process
  // belongs to it, the bits last, since a change of owner clears the
  // set-id ones (which are not copied). ERROR_ACCESS_DENIED when the owner
  // or the group cannot be given: the bits are given still, and where the
  // group is another the group gets no more than others had.
  static FsResult CopyOwnerAndModeByHandle(void* handle, const FileInformation& info);
  // A second handle of the same open file or directory (closed on its own).
  static FsResult DuplicateHandle(void* handle, void*& duplicate);
  // Where the open directory is now: expected itself when that path still
  // leads to it (as the user named it, a link on the way included); else
  // the absolute path the system knows it by, when that path leads to it
  // (it was renamed or moved); ERROR_FILE_NOT_FOUND when no path leads to
  // it any more (removed, or moved where its place cannot be told).
  static FsResult PathOfHandle(void* directory, const stdx::u16string& expected, stdx::u16string& now);
  // Whether the process (by its effective ids) may make entries in the open
  // directory: 0, or why not (access refused, a read-only file system).
  // Asks the system only; nothing is written.
  static FsResult CheckWritableByHandle(void* directory);
  // Whether names made in the open directory are told apart by letter case
  // no longer (folds true): a FAT, exFAT or NTFS file system, or a folder
  // with the case-folding attribute. A file system that has no attributes
  // to ask for folds nothing.
  static FsResult FoldsCaseByHandle(void* directory, bool& folds);
};
