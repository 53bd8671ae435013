#include "platform/file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "platform/file_system.h"

namespace {

bool isSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

// Gives to the file at to every extended attribute of the file at from.
// An access control list is one of them, so a file whose list cannot be
// carried over must not be put in the other's place: that is an error.
// Labels of a security module are the one exception: the new file gets
// its folder's label, as every program that saves a file by renaming does.
int copyAttributes(int from, int to) {
  std::vector<char> names;
  for (;;) {
    ssize_t n = flistxattr(from, nullptr, 0);
    if (n < 0) return errno == ENOTSUP ? 0 : errno;
    if (n == 0) return 0;
    names.resize(static_cast<size_t>(n));
    n = flistxattr(from, names.data(), names.size());
    if (n >= 0) {
      names.resize(static_cast<size_t>(n));
      break;
    }
    if (errno != ERANGE) return errno;
  }
  std::vector<char> value;
  for (size_t at = 0; at < names.size();) {
    const char* name = &names[at];
    at += strlen(name) + 1;
    ssize_t n;
    for (;;) {
      n = fgetxattr(from, name, nullptr, 0);
      if (n < 0) return errno;
      value.resize(static_cast<size_t>(n) + 1);
      n = fgetxattr(from, name, value.data(), value.size());
      if (n >= 0 || errno != ERANGE) break;
    }
    if (n < 0) return errno;
    if (fsetxattr(to, name, value.data(), static_cast<size_t>(n), 0) != 0) {
      if (strncmp(name, "security.", 9) == 0) continue;
      return errno;
    }
  }
  return 0;
}

FileStamp stampOf(const struct stat& st) {
  FileStamp stamp;
  stamp.exists = true;
  stamp.device = st.st_dev;
  stamp.inode = st.st_ino;
  stamp.size = static_cast<unsigned long long>(st.st_size);
  stamp.modifiedSec = st.st_mtim.tv_sec;
  stamp.modifiedNsec = st.st_mtim.tv_nsec;
  return stamp;
}

}  // namespace

stdx::u16string join_path(const stdx::u16string& directory, const stdx::u16string& name) {
  if (name.empty()) return directory;
  if (directory.empty() || directory.back() == u'/') return directory + name;
  return directory + u"/" + name;
}

int write_all(int fd, const void* data, size_t count, size_t* written) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  int err = 0;
  while (done < count) {
    ssize_t r = write(fd, p + done, count - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      // A write that makes no progress is a full disk.
      err = r < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(r);
  }
  if (written != nullptr) *written = done;
  return err;
}

bool FileStamp::operator==(const FileStamp& other) const {
  return exists == other.exists && device == other.device && inode == other.inode &&
         size == other.size && modifiedSec == other.modifiedSec && modifiedNsec == other.modifiedNsec;
}

namespace {

// Reads count bytes at offset; false when the file holds fewer or a read fails.
bool readAt(int fd, unsigned long long offset, size_t count, stdx::string& out) {
  out.resize(count);
  size_t done = 0;
  while (done < count) {
    ssize_t r = pread(fd, &out[done], count - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

FileError file_stamp(const stdx::u16string& path, FileStamp& stamp, size_t keepTextUpTo) {
  stamp = FileStamp();
  struct stat st;
  if (stat(narrow_lib(path).c_str(), &st) != 0) return errno == ENOENT ? FileError() : FileError::fromErrno(errno, path);
  stamp = stampOf(st);
  if (!S_ISREG(st.st_mode) || static_cast<unsigned long long>(st.st_size) > keepTextUpTo) return FileError();
  int fd = -1;
  if (open_regular_file(path, fd).failed()) return FileError();  // the stamp alone still serves
  struct stat now;
  // The text belongs to the stamp only if it is the same file, unchanged.
  if (fstat(fd, &now) == 0 && stampOf(now) == stamp && readAt(fd, 0, static_cast<size_t>(st.st_size), stamp.text))
    stamp.textKept = true;
  else
    stamp.text.clear();
  close(fd);
  return FileError();
}

bool FileError::absent() const { return errnoValue == ENOENT; }

FileError FileError::fromErrno(int errnoValue, const stdx::u16string& path) {
  FileError error;
  error.errnoValue = errnoValue;
  error.code = errnoValue == 0 ? ERROR_INVALID_PARAMETER : error_code_for_errno(errnoValue);
  error.path = path;
  return error;
}

stdx::u16string directory_of(const stdx::u16string& path) {
  size_t cut = path.find_last_of(u"\\/");
  if (cut == stdx::u16string::npos) return stdx::u16string(u".");
  if (cut == 0) return stdx::u16string(u"/");
  return path.substr(0, cut);
}

stdx::u16string strip_trailing_separators(const stdx::u16string& path) {
  size_t n = path.size();
  while (n > 1 && isSeparator(path[n - 1])) --n;
  return path.substr(0, n);
}

bool file_exists(const stdx::u16string& path) {
  struct stat st;
  return !path.empty() && lstat(narrow_lib(path).c_str(), &st) == 0;
}

stdx::string read_link_target(const char* link) {
  // readlink neither terminates its text nor says whether it was cut short,
  // so grow the buffer until the text leaves room to spare.
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink(link, buffer.data(), buffer.size());
    if (length <= 0) return stdx::string();
    if (static_cast<size_t>(length) < buffer.size()) return stdx::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

FileError resolve_links(const stdx::u16string& path, stdx::u16string& resolved) {
  stdx::string current = narrow_lib(path);
  for (int depth = 0; depth < 40; ++depth) {
    struct stat st;
    if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      resolved = widen_lib(current);
      return FileError();
    }
    stdx::string next = read_link_target(current.c_str());
    if (next.empty()) return FileError::fromErrno(errno, path);
    if (next[0] != '/') {
      size_t slash = current.rfind('/');
      if (slash != stdx::string::npos) next = current.substr(0, slash + 1) + next;
    }
    current = next;
  }
  return FileError::fromErrno(ELOOP, path);
}

FileError create_directories(const stdx::u16string& path) {
  stdx::string work = narrow_lib(path);
  if (work.empty()) return FileError::fromErrno(ENOENT, path);
  struct stat st;
  if (stat(work.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    FileError error;
    error.code = ERROR_ALREADY_EXISTS;
    error.path = path;
    return error;
  }
  char* p = work.mutableData();
  size_t len = work.size();
  for (size_t i = 1; i <= len; ++i) {
    if (i < len && p[i] != '/') continue;
    if (p[i - 1] == '/') continue;  // repeated separators
    char saved = p[i];
    p[i] = '\0';
    if (mkdir(p, 0777) != 0) {
      int err = errno;
      if (err != EEXIST || stat(p, &st) != 0 || !S_ISDIR(st.st_mode)) {
        // A file on the way: a folder is needed where it stands.
        return FileError::fromErrno(err == EEXIST ? ENOTDIR : err, widen_lib(stdx::string(p)));
      }
    }
    p[i] = saved;
  }
  return FileError();
}

FileError open_regular_file(const stdx::u16string& path, int& fd) {
  stdx::string p = narrow_lib(path);
  int opened;
  do {
    opened = open(p.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (opened < 0 && errno == EINTR);
  if (opened < 0) return FileError::fromErrno(errno, path);
  struct stat st;
  if (fstat(opened, &st) != 0) {
    int err = errno;
    close(opened);
    return FileError::fromErrno(err, path);
  }
  if (!S_ISREG(st.st_mode)) {
    close(opened);
    FileError error;
    error.code = ERROR_BAD_FILE_TYPE;
    if (S_ISDIR(st.st_mode)) error.errnoValue = EISDIR;
    error.path = path;
    return error;
  }
  // Reads of a regular file never block anyway; later readers expect the
  // ordinary blocking descriptor.
  int flags = fcntl(opened, F_GETFL);
  if (flags >= 0) fcntl(opened, F_SETFL, flags & ~O_NONBLOCK);
  fd = opened;
  return FileError();
}

// --- FileReader ----------------------------------------------------------------

FileReader::~FileReader() {
  if (fd_ >= 0) close(fd_);
}

FileError FileReader::open(const stdx::u16string& path) {
  path_ = path;
  FileError error = open_regular_file(path, fd_);
  if (error.failed()) return error;
  struct stat st;
  if (fstat(fd_, &st) == 0) sizeBytes_ = static_cast<unsigned long long>(st.st_size);
  return FileError();
}

FileError FileReader::read(void* buffer, size_t count, size_t* got) {
  char* p = static_cast<char*>(buffer);
  *got = 0;
  while (*got < count) {
    ssize_t r = ::read(fd_, p + *got, count - *got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return FileError::fromErrno(errno, path_);
    if (r == 0) break;
    *got += static_cast<size_t>(r);
  }
  return FileError();
}

// --- FileReplacer --------------------------------------------------------------

FileReplacer::~FileReplacer() {
  if (fd_ >= 0) close(fd_);
  if (!fresh_.empty()) unlink(fresh_.c_str());
}

FileError FileReplacer::begin(const stdx::u16string& path) {
  stdx::u16string resolved;
  FileError error = resolve_links(path, resolved);
  if (error.failed()) return error;
  target_ = narrow_lib(resolved);
  struct stat old;
  bool exists = stat(target_.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) return FileError::fromErrno(errno, path);
  if (exists && S_ISDIR(old.st_mode)) return FileError::fromErrno(EISDIR, path);
  // A file that the user may not change is left alone, as opening it for
  // writing would refuse; renaming would otherwise replace it.
  if (exists && access(target_.c_str(), W_OK) != 0) return FileError::fromErrno(errno, path);
  if (exists && !S_ISREG(old.st_mode)) {
    inPlace_ = true;
    fd_ = open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return FileError::fromErrno(errno, path);
    return FileError();
  }

  // The permission bits of a new file follow the umask, as the old file's
  // did when it was first written.
  static std::atomic<unsigned> counter(0);
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char suffix[48];
    snprintf(suffix, sizeof suffix, ".new%lx%x%lx", static_cast<unsigned long>(getpid()),
             counter.fetch_add(1), static_cast<unsigned long>(now.tv_nsec));
    stdx::string name = target_ + suffix;
    fd_ = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      fresh_ = name;
    } else if (errno != EEXIST) {
      return FileError::fromErrno(errno, path);
    }
  }
  if (fd_ < 0) return FileError::fromErrno(EEXIST, path);
  if (exists) {
    // The new file takes the old one's place, so it takes its owner and
    // permission bits too: an installer run with another user's HOME must
    // not leave that user a file they cannot rewrite. Best effort: an
    // ordinary user may only give the file a group they belong to.
    if (fchown(fd_, old.st_uid, old.st_gid) != 0) {
      // keeps this process's owner and group
    }
    if (fchmod(fd_, old.st_mode & 07777) != 0) {
      // keeps the bits the umask gave
    }
    int from = open(target_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    int err = from < 0 ? errno : copyAttributes(from, fd_);
    if (from >= 0) close(from);
    // A file we may write but not read has attributes we cannot see: the
    // copy cannot be made whole, and the old file is left as it was.
    if (err != 0) return FileError::fromErrno(err, path);
  }
  return FileError();
}

FileError FileReplacer::write(const void* data, size_t count) {
  int err = write_all(fd_, data, count);
  return err == 0 ? FileError() : FileError::fromErrno(err, widen_lib(target_));
}

FileError FileReplacer::commit(const FileStamp& expected, int& replaced) {
  replaced = -1;
  if (inPlace_) return commit();
  const stdx::u16string path = widen_lib(target_);
  // The slow part first: the shorter the time from the look to the
  // rename, the fewer writes of others land in the replaced file.
  if (fsync(fd_) != 0) return FileError::fromErrno(errno, path);
  int old = open(target_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (old < 0 && errno != ENOENT) return FileError::fromErrno(errno, path);
  struct stat st;
  FileStamp now;
  if (old >= 0 && fstat(old, &st) == 0) now = stampOf(st);
  // Appended to since it was read: the same file, longer, beginning with
  // the text that was read. A shell's ">>" or a program adding its own
  // key does this, often enough to starve a writer that waited for a
  // file nobody touches.
  auto onlyAppended = [&](const FileStamp& seen, unsigned long long carried) {
    stdx::string head;
    return expected.textKept && seen.exists && seen.device == expected.device && seen.inode == expected.inode &&
           seen.size >= carried && readAt(old, 0, expected.text.size(), head) && head == expected.text;
  };
  if (now != expected && !onlyAppended(now, expected.size)) {
    if (old >= 0) close(old);
    return FileError::fromErrno(EAGAIN, path);
  }
  FileError done = commit();
  if (done.failed() || old < 0) {
    if (old >= 0) close(old);
    return done;
  }
  // What others appended to the old file, before the rename or by a
  // descriptor they opened before it, goes to the end of the new file, as
  // their append would have.
  unsigned long long carried = expected.size;
  FileStamp last = expected;
  int appendTo = -1;
  auto carryOver = [&]() {
    for (int look = 0; look < 10000; ++look) {
      if (fstat(old, &st) != 0) return true;
      FileStamp seen = stampOf(st);
      if (seen == last) return true;
      stdx::string tail;
      if (!onlyAppended(seen, carried) || !readAt(old, carried, static_cast<size_t>(seen.size - carried), tail))
        return false;
      if (appendTo < 0) appendTo = open(target_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
      if (appendTo < 0 || write_all(appendTo, tail.data(), tail.size()) != 0) return false;
      carried = seen.size;
      last = seen;
    }
    return true;
  };
  // A program that opened the old file before the rename may write into it
  // a moment later (a shell between its open and its write). The kernel
  // grants a read lease only when nobody has a file open for writing: once
  // it does, every such write is in and carried over. Where leases are not
  // to be had (another owner, a network file system), a short wait.
  bool whole = carryOver();
  const long long kWaitMs = 2000;
  for (long long waited = 0; whole && waited < kWaitMs; ++waited) {
    if (fstat(old, &st) != 0 || st.st_nlink != 0) break;  // still reachable: not ours to wait for
    if (fcntl(old, F_SETLEASE, F_RDLCK) == 0) {
      fcntl(old, F_SETLEASE, F_UNLCK);
      whole = carryOver();
      break;
    }
    bool noLeases = errno != EAGAIN;
    struct timespec pause = {0, 1000 * 1000};
    nanosleep(&pause, nullptr);
    whole = carryOver();
    if (noLeases) break;
  }
  if (appendTo >= 0) close(appendTo);
  if (whole) {
    close(old);
  } else {
    replaced = old;  // changed otherwise: the caller reads it again
  }
  return done;
}

FileError FileReplacer::commit() {
  const stdx::u16string path = widen_lib(target_);
  if (!inPlace_ && fsync(fd_) != 0) return FileError::fromErrno(errno, path);
  int closed = close(fd_);
  fd_ = -1;
  if (closed != 0) return FileError::fromErrno(errno, path);
  if (inPlace_) return FileError();
  if (rename(fresh_.c_str(), target_.c_str()) != 0) return FileError::fromErrno(errno, path);
  fresh_.clear();
  int dir = open(narrow_lib(directory_of(path)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);  // best effort: the rename itself has already happened
    close(dir);
  }
  return FileError();
}
