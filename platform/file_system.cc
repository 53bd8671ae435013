#include "platform/file_system.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>

#include <string>
#include <vector>

#include "platform/file_io.h"

thread_local unsigned ms_lastError = 0;

namespace {

int fdOf(void* handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }
void* handleOf(int fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd)); }

// The bytes an ordinary user may fill on the file system vfs describes
// (not the blocks kept for root), saturated rather than wrapped.
unsigned long long availableBytes(const struct statvfs& vfs) {
  unsigned long long avail = vfs.f_bavail;
  unsigned long long frsize = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  return (frsize && avail > ~0ULL / frsize) ? ~0ULL : avail * frsize;
}

bool isDirectory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Removes what stands at name in dirFd (AT_FDCWD: name is a path), a
// directory with everything in it, by handles: a symbolic link inside is
// removed, never followed. 0 when nothing is left there, else the errno of
// the first removal that failed.
int removeTreeAt(int dirFd, const char* name) {
  if (unlinkat(dirFd, name, 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR && errno != EPERM) return errno;
  int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    int err = errno;
    close(fd);
    return err;
  }
  int first = 0;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    names.push_back(e->d_name);
  }
  // Keep going: remove whatever can be removed, report the first failure.
  for (const std::string& entry : names) {
    int err = removeTreeAt(fd, entry.c_str());
    if (err != 0 && first == 0) first = err;
  }
  closedir(d);
  if (unlinkat(dirFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return 0;
  return first != 0 ? first : errno;
}

unsigned attributesOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  if (S_ISREG(st.st_mode)) return FILE_ATTRIBUTE_NORMAL;
  if (S_ISLNK(st.st_mode)) return FILE_ATTRIBUTE_REPARSE_POINT;
  return FILE_ATTRIBUTE_DEVICE;
}

void fillInformation(const struct stat& st, FileInformation& info) {
  info.attributes = attributesOf(st);
  info.lastWriteTime = EpochToFileTime(st.st_mtime);
  info.sizeBytes = static_cast<unsigned long long>(st.st_size);
  info.volume = static_cast<unsigned long long>(st.st_dev);
  info.index = static_cast<unsigned long long>(st.st_ino);
  info.mode = st.st_mode & 07777;
  info.owner = st.st_uid;
  info.group = st.st_gid;
}

// Sets both times of fd to seconds and gives what the file system stored:
// false when it refuses the time altogether.
bool keptSeconds(int fd, long long seconds, long long& kept) {
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  struct stat st;
  if (futimens(fd, times) != 0 || fstat(fd, &st) != 0) return false;
  kept = st.st_mtim.tv_sec;
  return true;
}

}  // namespace

unsigned error_code_for_errno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EWOULDBLOCK: return ERROR_LOCK_VIOLATION;
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_INVALID_PARAMETER;
  }
}

FsResult setLastErrorByErrNo(int err) {
  ms_lastError = err == 0 ? ERROR_INVALID_PARAMETER : error_code_for_errno(err);
  return FsResult(ms_lastError, err);
}

long FileTimeToEpoch(const _FILETIME& ft) {
  return static_cast<long>(static_cast<long long>(FileTimeTicks(ft) / kFileTimeTicksPerSecond) -
                           kFileTimeEpochOffsetSeconds);
}

_FILETIME EpochToFileTime(const long& seconds) {
  return FileTimeFromTicks(static_cast<unsigned long long>(seconds + kFileTimeEpochOffsetSeconds) *
                           kFileTimeTicksPerSecond);
}

unsigned FileSystem::GetLastError() { return ms_lastError; }

FsResult FileSystem::CreateFile(const stdx::u16string& path, unsigned access, unsigned,
                                unsigned creation, void*& handle) {
  ms_lastError = 0;
  int flags = O_CLOEXEC;
  if (access & GENERIC_WRITE) flags |= (access & GENERIC_READ) ? O_RDWR : O_WRONLY;
  else flags |= O_RDONLY;
  if (creation == TRUNCATE_EXISTING) flags |= O_TRUNC;
  if (creation == CREATE_ALWAYS) flags |= O_CREAT;
  if (creation == CREATE_NEW) flags |= O_CREAT | O_EXCL;
  stdx::string p = narrow_lib(path);
  int fd;
  do {
    fd = open(p.c_str(), flags, 0660);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return setLastErrorByErrNo(errno);
  handle = handleOf(fd);
  return 0;
}

FsResult FileSystem::OpenRegularFile(const stdx::u16string& path, void*& handle) {
  int fd = -1;
  FileError error = open_regular_file(path, fd);
  if (error.failed()) {
    if (error.code == ERROR_BAD_FILE_TYPE) return ms_lastError = error.code;
    return setLastErrorByErrNo(error.errnoValue);
  }
  ms_lastError = 0;
  handle = handleOf(fd);
  return 0;
}

FsResult FileSystem::CloseHandle(void* handle) {
  if (close(fdOf(handle)) != 0) return setLastErrorByErrNo(errno);
  return 0;
}

FsResult FileSystem::ReadFile(void* handle, void* buffer, unsigned count, unsigned* bytesRead,
                              _OVERLAPPED* overlapped) {
  ms_lastError = 0;
  if (bytesRead == nullptr && overlapped == nullptr) return ms_lastError = ERROR_INVALID_PARAMETER;
  if (bytesRead == nullptr) return 0;
  *bytesRead = 0;
  char* p = static_cast<char*>(buffer);
  while (*bytesRead < count) {
    ssize_t r = read(fdOf(handle), p + *bytesRead, count - *bytesRead);
    if (r < 0) {
      if (errno == EINTR) continue;
      return setLastErrorByErrNo(errno);
    }
    if (r == 0) break;
    *bytesRead += static_cast<unsigned>(r);
  }
  return 0;
}

FsResult FileSystem::ReadFileAt(void* handle, unsigned long long offset, void* buffer,
                                unsigned count, unsigned* bytesRead) {
  ms_lastError = 0;
  if (bytesRead == nullptr) return ms_lastError = ERROR_INVALID_PARAMETER;
  *bytesRead = 0;
  char* p = static_cast<char*>(buffer);
  while (*bytesRead < count) {
    ssize_t r = pread(fdOf(handle), p + *bytesRead, count - *bytesRead,
                      static_cast<off_t>(offset + *bytesRead));
    if (r < 0) {
      if (errno == EINTR) continue;
      return setLastErrorByErrNo(errno);
    }
    if (r == 0) break;
    *bytesRead += static_cast<unsigned>(r);
  }
  return 0;
}

FsResult FileSystem::WriteFile(void* handle, const void* data, unsigned count,
                               unsigned* bytesWritten, _OVERLAPPED* overlapped) {
  ms_lastError = 0;
  if (bytesWritten == nullptr && overlapped == nullptr) return ms_lastError = ERROR_INVALID_PARAMETER;
  if (handle == INVALID_HANDLE_VALUE) return ms_lastError = ERROR_INVALID_HANDLE;
  if (bytesWritten == nullptr) return 0;
  size_t written = 0;
  int err = write_all(fdOf(handle), data, count, &written);
  *bytesWritten = static_cast<unsigned>(written);
  if (err != 0) return setLastErrorByErrNo(err);
  return 0;
}

unsigned FileSystem::SetFilePointer(void* handle, long distance, long* distanceHigh,
                                    unsigned method) {
  ms_lastError = 0;
  if (handle == INVALID_HANDLE_VALUE) {
    ms_lastError = ERROR_INVALID_HANDLE;
    return INVALID_SET_FILE_POINTER;
  }
  int whence = method == FILE_CURRENT ? SEEK_CUR : (method == FILE_END ? SEEK_END : SEEK_SET);
  off_t offset = static_cast<off_t>(distance);
  if (distanceHigh) offset += static_cast<off_t>(static_cast<unsigned long long>(*distanceHigh) << 32);
  off_t pos = lseek(fdOf(handle), offset, whence);
  if (pos < 0) {
    setLastErrorByErrNo(errno);
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh) *distanceHigh = static_cast<long>(static_cast<unsigned long long>(pos) >> 32);
  return static_cast<unsigned>(static_cast<unsigned long long>(pos) & 0xFFFFFFFFu);
}

FsResult FileSystem::SetEndOfFile(void* handle) {
  ms_lastError = 0;
  if (handle == INVALID_HANDLE_VALUE) return ms_lastError = ERROR_INVALID_HANDLE;
  off_t pos = lseek(fdOf(handle), 0, SEEK_CUR);
  if (pos < 0 || ftruncate(fdOf(handle), pos) != 0) return setLastErrorByErrNo(errno);
  return 0;
}

FsResult FileSystem::GetFileTime(void* handle, _FILETIME* creation, _FILETIME* lastAccess,
                                 _FILETIME* lastWrite) {
  ms_lastError = 0;
  struct stat st;
  if (handle == INVALID_HANDLE_VALUE || fstat(fdOf(handle), &st) != 0)
    return ms_lastError = ERROR_INVALID_HANDLE;
  if (creation) *creation = EpochToFileTime(st.st_ctime);
  if (lastAccess) *lastAccess = EpochToFileTime(st.st_atime);
  if (lastWrite) *lastWrite = EpochToFileTime(st.st_mtime);
  return 0;
}

FsResult FileSystem::SetFileTime(void* handle, const _FILETIME*, const _FILETIME*,
                                 const _FILETIME* lastWrite) {
  ms_lastError = 0;
  if (handle == INVALID_HANDLE_VALUE) return ms_lastError = ERROR_INVALID_HANDLE;
  if (lastWrite == nullptr) return setLastErrorByErrNo(EINVAL);
  struct timespec times[2];
  times[0].tv_sec = FileTimeToEpoch(*lastWrite);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  if (futimens(fdOf(handle), times) != 0) return setLastErrorByErrNo(errno);
  return 0;
}

FsResult FileSystem::GetFileSize64(const stdx::u16string& path, unsigned long long* size) {
  struct stat st;
  if (size == nullptr || stat(narrow_lib(path).c_str(), &st) != 0) return ERROR_INVALID_FUNCTION;
  *size = static_cast<unsigned long long>(st.st_size);
  return 0;
}

FsResult FileSystem::GetTempPath(stdx::u16string& path) {
  const char* env = getenv("TMPDIR");
  stdx::string dir = (env && *env && isDirectory(env)) ? stdx::string(env) : stdx::string("/tmp");
  path = widen_lib(dir);
  if (path.empty() || path[path.size() - 1] != u'/') path.push_back(u'/');
  return 0;
}

FsResult FileSystem::GetFreeSpaceTmpDir64(unsigned long long* bytes) {
  if (bytes == nullptr) return ERROR_INVALID_PARAMETER;
  *bytes = 0;
  stdx::u16string dir;
  if (GetTempPath(dir) != 0) return ERROR_INVALID_NAME;
  struct statvfs vfs;
  if (statvfs(narrow_lib(dir).c_str(), &vfs) == 0) *bytes = availableBytes(vfs);
  return 0;
}

FsResult FileSystem::GetTempFileName(const stdx::u16string& dir, const stdx::u16string& prefix,
                                     stdx::u16string& name) {
  stdx::string templ = narrow_lib(dir);
  if (templ.empty()) templ = ".";
  if (templ[templ.size() - 1] != '/') templ.push_back('/');
  templ += narrow_lib(prefix.substr(0, 5));
  templ += "XXXXXX";
  int fd = mkostemp(templ.mutableData(), O_CLOEXEC);  // mode 0600
  if (fd < 0) return ms_lastError = ERROR_CANTWRITE;
  close(fd);
  name = widen_lib(templ);
  return 0;
}

FsResult FileSystem::CreateDirectory(const stdx::u16string& path) {
  FileError error = create_directories(path);
  if (error.code == ERROR_ALREADY_EXISTS && error.errnoValue == 0) return ms_lastError = error.code;
  if (error.failed()) return setLastErrorByErrNo(error.errnoValue);
  return 0;
}

FsResult FileSystem::RemoveDirectory(const stdx::u16string& path) {
  stdx::string p = narrow_lib(path);
  if (p.empty()) return 0;
  int err = removeTreeAt(AT_FDCWD, p.c_str());
  return err == 0 ? FsResult() : setLastErrorByErrNo(err);
}

FsResult FileSystem::RemoveEmptyDirectory(const stdx::u16string& path) {
  if (rmdir(narrow_lib(path).c_str()) != 0) {
    return setLastErrorByErrNo(errno == EEXIST ? ENOTEMPTY : errno);
  }
  return 0;
}

FsResult FileSystem::GetFileInformation(const stdx::u16string& path, bool followLinks,
                                        FileInformation& info) {
  stdx::string p = narrow_lib(path);
  struct stat st;
  int r = followLinks ? stat(p.c_str(), &st) : lstat(p.c_str(), &st);
  if (r != 0) return setLastErrorByErrNo(errno == ENOTDIR ? ENOENT : errno);
  fillInformation(st, info);
  return 0;
}

FsResult FileSystem::GetFileInformationByHandle(void* handle, FileInformation& info) {
  struct stat st;
  if (handle == INVALID_HANDLE_VALUE) return ms_lastError = ERROR_INVALID_HANDLE;
  if (fstat(fdOf(handle), &st) != 0) return setLastErrorByErrNo(errno);
  fillInformation(st, info);
  return 0;
}

FsResult FileSystem::CreateTempFile(const stdx::u16string& directory, void*& handle) {
  stdx::string dir = narrow_lib(directory);
  if (dir.empty()) dir = ".";
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // No unnamed files here: make a named one and drop its name at once,
    // so that not even a kill can leave it behind for longer than a moment.
    stdx::string templ = dir;
    if (templ[templ.size() - 1] != '/') templ.push_back('/');
    templ += "pdkXXXXXX";
    fd = mkostemp(templ.mutableData(), O_CLOEXEC);
    if (fd >= 0) unlink(templ.c_str());
  }
  if (fd < 0) return setLastErrorByErrNo(errno);
  handle = handleOf(fd);
  return 0;
}

namespace {

// The name the kernel gives the block device of device ("vda", "sda1",
// "dm-0", "loop0"); empty when it cannot be told.
stdx::string block_device_name(dev_t device) {
  char link[64];
  snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(device), minor(device));
  char target[PATH_MAX];
  ssize_t length = readlink(link, target, sizeof target - 1);
  if (length <= 0) return stdx::string();
  target[length] = '\0';
  const char* name = strrchr(target, '/');
  return name != nullptr ? name + 1 : target;
}

// Whether the file system on device runs a journal. ext2, ext3 and ext4
// share one magic number, and an ext4 can run without a journal; only a
// journal commits every directory's entries with one fsync. The kernel
// lists each journal it runs in /proc/fs/jbd2 as "DEVICE-INODE". Not
// found there (or no /proc to look in), the file system is taken to have
// none: the careful treatment. Asked once per device.
bool runs_journal(dev_t device) {
  static std::mutex lock;
  static std::map<dev_t, bool> known;
  std::lock_guard<std::mutex> hold(lock);
  auto where = known.find(device);
  if (where != known.end()) return where->second;
  bool journal = false;
  stdx::string name = block_device_name(device);
  if (DIR* journals = name.empty() ? nullptr : opendir("/proc/fs/jbd2")) {
    while (struct dirent* entry = readdir(journals)) {
      if (strncmp(entry->d_name, name.c_str(), name.size()) == 0 && entry->d_name[name.size()] == '-') journal = true;
    }
    closedir(journals);
  }
  known[device] = journal;
  return journal;
}

}  // namespace

Durability FileSystem::GetDurability(void* handle) {
  Durability durability = {Durability::kPerFile, 0};
  struct statfs fs;
  // Told nothing, the file system is given the careful treatment.
  if (fstatfs(fdOf(handle), &fs) != 0) return durability;
  unsigned long long high = static_cast<unsigned>(fs.f_fsid.__val[0]);
  durability.volume = high << 32 | static_cast<unsigned>(fs.f_fsid.__val[1]);
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x01021994:  // tmpfs
    case 0x858458f6:  // ramfs
      durability.kind = Durability::kInMemory;
      break;
    case 0xEF53: {  // ext2/3/4: a journal only where the kernel runs one
      struct stat self;
      if (fstat(fdOf(handle), &self) == 0 && runs_journal(self.st_dev)) durability.kind = Durability::kJournal;
      break;
    }
    case 0x58465342:  // XFS, always journaled
      durability.kind = Durability::kJournal;
      break;
  }
  return durability;
}

FsResult FileSystem::WaitFileBuffers(void* handle, bool metadata) {
  ms_lastError = 0;
  int fd = fdOf(handle);
  int result;
  do {
    result = sync_file_range(fd, 0, 0,
                             SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  } while (result != 0 && errno == EINTR);
  if (result == 0 && metadata) result = fdatasync(fd);
  if (result != 0) return setLastErrorByErrNo(errno);
  return 0;
}

FsResult FileSystem::FlushDirectory(void* directory) {
  ms_lastError = 0;
  if (fsync(fdOf(directory)) != 0) return setLastErrorByErrNo(errno);
  return 0;
}

FsResult FileSystem::StartFlushFileBuffers(void* handle) {
  if (sync_file_range(fdOf(handle), 0, 0, SYNC_FILE_RANGE_WRITE) != 0) return setLastErrorByErrNo(errno);
  return 0;
}

FsResult FileSystem::ReleaseFileRange(void* handle, unsigned long long offset,
                                      unsigned long long count) {
  if (fallocate(fdOf(handle), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                static_cast<off_t>(offset), static_cast<off_t>(count)) != 0) {
    return errno == EOPNOTSUPP || errno == ENOSYS ? FsResult(ms_lastError = ERROR_NOT_SUPPORTED)
                                                  : setLastErrorByErrNo(errno);
  }
  return 0;
}

FsResult FileSystem::CopyFileRange(void* in, unsigned long long inOffset, void* out,
                                   unsigned count, unsigned* copied) {
  ms_lastError = 0;
  if (copied == nullptr) return ms_lastError = ERROR_INVALID_PARAMETER;
  *copied = 0;
  loff_t from = static_cast<loff_t>(inOffset);
  while (*copied < count) {
    ssize_t n = copy_file_range(fdOf(in), &from, fdOf(out), nullptr, count - *copied, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Nothing is written when the call cannot work between these files.
      if (*copied == 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                           errno == EOPNOTSUPP || errno == EBADF))
        return ms_lastError = ERROR_NOT_SUPPORTED;
      return setLastErrorByErrNo(errno);
    }
    if (n == 0) break;
    *copied += static_cast<unsigned>(n);
  }
  return 0;
}

FsResult FileSystem::LockFile(void* handle, bool wait) {
  int r;
  do {
    r = flock(fdOf(handle), LOCK_EX | (wait ? 0 : LOCK_NB));
  } while (r != 0 && errno == EINTR);
  if (r != 0) return setLastErrorByErrNo(errno);
  return 0;
}

FsResult FileSystem::DeleteFile(const stdx::u16string& path) {
  stdx::string p = narrow_lib(path);
  if (p.empty()) return ms_lastError = ERROR_FILE_NOT_FOUND;
  if (unlink(p.c_str()) != 0) return setLastErrorByErrNo(errno == ENOTDIR ? ENOENT : errno);
  return 0;
}

// --- Operations relative to an open directory ---------------------------------

namespace {

// -1 until known; then whether openat2 can resolve beneath a directory.
std::atomic<int> g_haveOpenat2{-1};

int openComponent(int dirFd, const char* name) {
  int fd;
  do {
    fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A symbolic link where the caller refuses one: ERROR_STOPPED_ON_SYMLINK,
// with ELOOP as the errno behind it.
FsResult stoppedOnLink() {
  ms_lastError = ERROR_STOPPED_ON_SYMLINK;
  return FsResult(ERROR_STOPPED_ON_SYMLINK, ELOOP);
}

// Why openComponent failed on name, in the layer's codes: a link (ELOOP,
// or ENOTDIR from some file systems for a link) is told apart from a file.
FsResult componentFailure(int dirFd, const char* name, int err) {
  if (err == ELOOP || err == ENOTDIR) {
    struct stat st;
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
      return stoppedOnLink();
    if (err == ELOOP) err = ENOTDIR;
  }
  return setLastErrorByErrNo(err);
}

// One openat per component, each refusing a link: the fallback where the
// kernel has no openat2, and the way to learn which component failed.
FsResult walkBeneath(int dirFd, const stdx::string& relative, int& result) {
  int current = dirFd;
  size_t pos = 0;
  while (pos <= relative.size()) {
    size_t slash = relative.find('/', pos);
    if (slash == stdx::string::npos) slash = relative.size();
    stdx::string part = relative.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty() || part == ".") continue;
    FsResult code;
    int next = -1;
    if (part == "..") code = setLastErrorByErrNo(EXDEV);
    else if ((next = openComponent(current, part.c_str())) < 0)
      code = componentFailure(current, part.c_str(), errno);
    if (current != dirFd) close(current);
    if (code != 0) return code;
    current = next;
  }
  if (current == dirFd) {
    current = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (current < 0) return setLastErrorByErrNo(errno);
  }
  result = current;
  return 0;
}

}  // namespace

FsResult FileSystem::OpenDirectoryBeneath(void* directory, const stdx::u16string& relative,
                                          void*& handle) {
  ms_lastError = 0;
  if (directory == INVALID_HANDLE_VALUE) return ms_lastError = ERROR_INVALID_HANDLE;
  stdx::string rel = narrow_lib(relative);
  int dirFd = fdOf(directory);
  if (!rel.empty() && rel[0] == '/') return setLastErrorByErrNo(EXDEV);
  int fd = -1;
  if (g_haveOpenat2.load(std::memory_order_relaxed) != 0 && !rel.empty()) {
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long r;
    do {
      r = syscall(SYS_openat2, dirFd, rel.c_str(), &how, sizeof how);
    } while (r < 0 && errno == EINTR);
    if (r >= 0) {
      g_haveOpenat2.store(1, std::memory_order_relaxed);
      handle = handleOf(static_cast<int>(r));
      return 0;
    }
    // Not in this kernel, or refused by a filter: the walk does the same.
    if (errno == ENOSYS || errno == EPERM) g_haveOpenat2.store(0, std::memory_order_relaxed);
    else if (errno == ENOENT || errno == EACCES) return setLastErrorByErrNo(errno);
    // A link, a file on the way or a name too long: the walk says which.
  }
  FsResult code = walkBeneath(dirFd, rel, fd);
  if (code != 0) return code;
  handle = handleOf(fd);
  return 0;
}

FsResult FileSystem::OpenParentDirectory(void* directory, void*& handle) {
  int fd = openComponent(fdOf(directory), "..");
  if (fd < 0) return setLastErrorByErrNo(errno);
  handle = handleOf(fd);
  return 0;
}

FsResult FileSystem::CreateFileAt(void* directory, const stdx::u16string& name, unsigned access,
                                  unsigned creation, void*& handle) {
  ms_lastError = 0;
  int flags = O_CLOEXEC | O_NOFOLLOW;
  if (access & GENERIC_WRITE) flags |= (access & GENERIC_READ) ? O_RDWR : O_WRONLY;
  else flags |= O_RDONLY;
  if (creation == TRUNCATE_EXISTING) flags |= O_TRUNC;
  if (creation == CREATE_ALWAYS) flags |= O_CREAT;
  if (creation == CREATE_NEW) flags |= O_CREAT | O_EXCL;
  stdx::string n = narrow_lib(name);
  int fd;
  do {
    fd = openat(fdOf(directory), n.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno == ELOOP) return stoppedOnLink();
  if (fd < 0) return setLastErrorByErrNo(errno);
  handle = handleOf(fd);
  return 0;
}

FsResult FileSystem::CreateDirectoryAt(void* directory, const stdx::u16string& name) {
  if (mkdirat(fdOf(directory), narrow_lib(name).c_str(), 0777) != 0) return setLastErrorByErrNo(errno);
  return 0;
}

FsResult FileSystem::GetFileInformationAt(void* directory, const stdx::u16string& name,
                                          FileInformation& info) {
  struct stat st;
  if (fstatat(fdOf(directory), narrow_lib(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return setLastErrorByErrNo(errno == ENOTDIR ? ENOENT : errno);
  fillInformation(st, info);
  return 0;
}

FsResult FileSystem::MoveFileAt(void* fromDirectory, const stdx::u16string& from, void* toDirectory,
                                const stdx::u16string& to, unsigned flags) {
  int r = renameat2(fdOf(fromDirectory), narrow_lib(from).c_str(), fdOf(toDirectory),
                    narrow_lib(to).c_str(), (flags & MOVEFILE_REPLACE_EXISTING) ? 0 : RENAME_NOREPLACE);
  if (r != 0) return setLastErrorByErrNo(errno);
  return 0;
}

FsResult FileSystem::CreateHardLinkAt(void* directory, const stdx::u16string& newName,
                                      void* existingDirectory, const stdx::u16string& existing) {
  // No AT_SYMLINK_FOLLOW: a link gets a second name of its own.
  if (linkat(fdOf(existingDirectory), narrow_lib(existing).c_str(), fdOf(directory),
             narrow_lib(newName).c_str(), 0) != 0)
    return setLastErrorByErrNo(errno);
  return 0;
}

FsResult FileSystem::DeleteFileAt(void* directory, const stdx::u16string& name) {
  if (unlinkat(fdOf(directory), narrow_lib(name).c_str(), 0) != 0)
    return setLastErrorByErrNo(errno == ENOTDIR ? ENOENT : errno);
  return 0;
}

FsResult FileSystem::RemoveEmptyDirectoryAt(void* directory, const stdx::u16string& name) {
  if (unlinkat(fdOf(directory), narrow_lib(name).c_str(), AT_REMOVEDIR) != 0)
    return setLastErrorByErrNo(errno == EEXIST ? ENOTEMPTY : errno);
  return 0;
}

FsResult FileSystem::FindFilesAt(void* directory, std::vector<FindEntry>& entries) {
  entries.clear();
  // A directory stream of its own: the caller's handle keeps its position.
  int fd = openat(fdOf(directory), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return setLastErrorByErrNo(errno);
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    int err = errno;
    close(fd);
    return setLastErrorByErrNo(err);
  }
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(d);
    if (e == nullptr) break;
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // removed since it was listed
      int err = errno;
      closedir(d);
      return setLastErrorByErrNo(err);
    }
    FindEntry entry;
    entry.name = widen_lib(stdx::string(e->d_name));
    entry.attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
    entries.push_back(entry);
  }
  int err = errno;
  closedir(d);
  if (err != 0) return setLastErrorByErrNo(err);
  return 0;
}

FsResult FileSystem::DescribeVolumeByHandle(void* directory, VolumeTraits& traits) {
  struct statvfs vs;
  struct statfs fs;
  if (fstatvfs(fdOf(directory), &vs) != 0 || fstatfs(fdOf(directory), &fs) != 0)
    return setLastErrorByErrNo(errno);
  unsigned long long unit = vs.f_frsize != 0 ? vs.f_frsize : vs.f_bsize;
  // A unit no file system uses is no answer.
  if (unit >= 512 && unit <= (1ULL << 30)) traits.allocationUnit = unit;
  const unsigned long kFat = 0x4d44, kExfat = 0x2011BAB0;
  unsigned long type = static_cast<unsigned long>(fs.f_type);
  if (type == kFat || type == kExfat) {
    traits.timeGrainSeconds = type == kFat ? 2 : 1;
    traits.oldestSeconds = 315532800LL;   // 1980-01-01
    traits.newestSeconds = 4354819199LL;  // 2107-12-31 23:59:59
    if (type == kFat) --traits.newestSeconds;
    return 0;
  }
  int fd;
  do {
    fd = openat(fdOf(directory), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return 0;  // nothing to try the times on: whole seconds
  // What one byte takes is the real unit where the file system groups its
  // blocks in clusters it does not report (ext4's bigalloc: 1 KiB blocks,
  // 64 KiB clusters). Counted only upwards: a file system that keeps a
  // byte inside its inode says nothing of its unit.
  struct stat one;
  if (write(fd, "", 1) == 1 && fstat(fd, &one) == 0) {
    unsigned long long taken = static_cast<unsigned long long>(one.st_blocks) * 512;
    if (taken > traits.allocationUnit && taken <= (1ULL << 30)) traits.allocationUnit = taken;
  }
  // An odd second a few years after 1970, and times far beyond what any
  // file system stores, each way: what comes back is what is kept.
  const long long kOdd = 1000000001LL, kFar = 1LL << 40;
  long long kept = 0;
  if (keptSeconds(fd, kOdd, kept) && kept < kOdd) traits.timeGrainSeconds = static_cast<unsigned>(kOdd - kept + 1);
  if (keptSeconds(fd, kFar, kept) && kept < kFar) traits.newestSeconds = kept;
  if (keptSeconds(fd, -kFar, kept) && kept > -kFar) traits.oldestSeconds = kept;
  close(fd);
  return 0;
}

FsResult FileSystem::CopyOwnerAndModeByHandle(void* handle, const FileInformation& info) {
  int fd = fdOf(handle);
  struct stat st;
  if (fstat(fd, &st) != 0) return setLastErrorByErrNo(errno);
  int err = 0;
  if ((st.st_uid != info.owner || st.st_gid != info.group) &&
      fchown(fd, st.st_uid != info.owner ? info.owner : static_cast<uid_t>(-1), info.group) != 0) {
    err = errno;
    // Not root: the group alone, where the process belongs to it.
    if (st.st_gid != info.group && fchown(fd, static_cast<uid_t>(-1), info.group) == 0) err = 0;
    if (st.st_uid != info.owner && err == 0) err = EPERM;
  }
  unsigned mode = info.mode & 0777;
  // Another group than the replaced file had: it gets no more than others
  // could do before.
  if (fstat(fd, &st) == 0 && st.st_gid != info.group) mode = (mode & 0707) | ((mode >> 3) & mode & 07) << 3;
  if (fchmod(fd, mode) != 0 && err == 0) err = errno;
  if (err != 0) return setLastErrorByErrNo(err);
  return 0;
}

FsResult FileSystem::DuplicateHandle(void* handle, void*& duplicate) {
  int fd = fcntl(fdOf(handle), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return setLastErrorByErrNo(errno);
  duplicate = handleOf(fd);
  return 0;
}

FsResult FileSystem::PathOfHandle(void* directory, const stdx::u16string& expected, stdx::u16string& now) {
  struct stat held, named;
  if (fstat(fdOf(directory), &held) != 0) return setLastErrorByErrNo(errno);
  auto same = [&held](const struct stat& st) { return st.st_dev == held.st_dev && st.st_ino == held.st_ino; };
  if (!expected.empty() && stat(narrow_lib(expected).c_str(), &named) == 0 && same(named)) {
    now = expected;
    return 0;
  }
  char link[PATH_MAX];
  std::string fdPath = "/proc/self/fd/" + std::to_string(fdOf(directory));
  ssize_t n = readlink(fdPath.c_str(), link, sizeof link - 1);
  if (n <= 0 || link[0] != '/') return setLastErrorByErrNo(ENOENT);
  link[n] = '\0';
  // " (deleted)", or moved again since: no path that can be trusted.
  if (stat(link, &named) != 0 || !same(named)) return setLastErrorByErrNo(ENOENT);
  now = widen_lib(stdx::string(link));
  return 0;
}

FsResult FileSystem::CheckWritableByHandle(void* directory) {
  if (faccessat(fdOf(directory), ".", W_OK | X_OK, AT_EACCESS) != 0) return setLastErrorByErrNo(errno);
  return 0;
}

FsResult FileSystem::FoldsCaseByHandle(void* directory, bool& folds) {
  folds = false;
  struct statfs fs;
  if (fstatfs(fdOf(directory), &fs) != 0) return setLastErrorByErrNo(errno);
  const unsigned long kFat = 0x4d44, kExfat = 0x2011BAB0, kNtfs = 0x5346544e;
  unsigned long type = static_cast<unsigned long>(fs.f_type);
  if (type == kFat || type == kExfat || type == kNtfs) {
    folds = true;
    return 0;
  }
  // The case-folding attribute of ext4 and f2fs, set per directory.
  const int kCaseFoldFlag = 0x40000000;
  int flags = 0;
  if (ioctl(fdOf(directory), FS_IOC_GETFLAGS, &flags) != 0) {
    // No attributes on this file system: nothing folds.
    if (errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS) return 0;
    return setLastErrorByErrNo(errno);
  }
  folds = (flags & kCaseFoldFlag) != 0;
  return 0;
}

FsResult FileSystem::GetDiskFreeSpaceByHandle(void* handle, unsigned long long* bytes) {
  if (bytes == nullptr) return ms_lastError = ERROR_INVALID_PARAMETER;
  *bytes = 0;
  struct statvfs vfs;
  if (fstatvfs(fdOf(handle), &vfs) != 0) return setLastErrorByErrNo(errno);
  *bytes = availableBytes(vfs);
  return 0;
}
