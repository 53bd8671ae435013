#include "bench/tree_copy.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace bench {
namespace {

std::string errnoText() { return strerror(errno); }

// Writes all of size bytes, or fails.
bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t w = write(fd, data, size);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    size -= static_cast<size_t>(w);
  }
  return true;
}

class Copier {
 public:
  Copier(CopyCount& count, std::string& error) : count_(count), error_(error), buffer_(new char[kChunk]) {}

  // Copies what the folder src holds into the folder dst; path names the
  // source folder for messages.
  bool folder(int src, int dst, const std::string& path) {
    DIR* dir = fdopendir(src);
    if (dir == nullptr) {
      close(src);
      error_ = path + ": " + errnoText();
      return false;
    }
    bool ok = true;
    while (ok) {
      errno = 0;
      struct dirent* e = readdir(dir);
      if (e == nullptr) {
        if (errno != 0) {
          error_ = path + ": " + errnoText();
          ok = false;
        }
        break;
      }
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      ok = entry(dirfd(dir), dst, e->d_name, path + "/" + e->d_name);
    }
    closedir(dir);
    return ok;
  }

 private:
  static const size_t kChunk = 1 << 20;

  bool entry(int src, int dst, const char* name, const std::string& path) {
    struct stat st;
    if (fstatat(src, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      ++count_.skipped;
      return true;
    }
    if (S_ISDIR(st.st_mode)) {
      int from = openat(src, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (from < 0) {
        ++count_.skipped;
        return true;
      }
      int to = -1;
      if (mkdirat(dst, name, 0755) == 0) to = openat(dst, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (to < 0) {
        error_ = "cannot make the copy of " + path + ": " + errnoText();
        close(from);
        return false;
      }
      bool ok = folder(from, to, path);
      close(to);
      return ok;
    }
    if (!S_ISREG(st.st_mode)) {
      ++count_.skipped;
      return true;
    }
    int from = openat(src, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (from < 0) {
      ++count_.skipped;
      return true;
    }
    bool ok = file(from, dst, name, st, path);
    close(from);
    return ok;
  }

  bool file(int from, int dst, const char* name, const struct stat& st, const std::string& path) {
    int to = openat(dst, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 0755);
    if (to < 0) {
      error_ = "cannot make the copy of " + path + ": " + errnoText();
      return false;
    }
    unsigned long long bytes = 0;
    bool ok = true;
    while (ok) {
      ssize_t r = read(from, buffer_.get(), kChunk);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        if (r < 0) error_ = "cannot read " + path + ": " + errnoText();
        ok = r == 0;
        break;
      }
      ok = writeAll(to, buffer_.get(), static_cast<size_t>(r));
      if (!ok) error_ = "cannot write the copy of " + path + ": " + errnoText();
      bytes += static_cast<unsigned long long>(r);
    }
    // The times last: writing would move the modification time again.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (ok && futimens(to, times) != 0) {
      error_ = "cannot set the times of the copy of " + path + ": " + errnoText();
      ok = false;
    }
    if (close(to) != 0 && ok) {
      error_ = "cannot write the copy of " + path + ": " + errnoText();
      ok = false;
    }
    if (ok) {
      ++count_.files;
      count_.bytes += bytes;
    }
    return ok;
  }

  CopyCount& count_;
  std::string& error_;
  std::unique_ptr<char[]> buffer_;
};

}  // namespace

bool copyRegularFiles(const std::string& source, const std::string& target, CopyCount& count,
                      std::string& error) {
  count = CopyCount();
  int from = open(source.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (from < 0) {
    error = source + ": " + errnoText();
    return false;
  }
  int to = -1;
  if (mkdir(target.c_str(), 0755) == 0) to = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (to < 0) {
    error = "cannot make " + target + ": " + errnoText();
    close(from);
    return false;
  }
  Copier copier(count, error);
  bool ok = copier.folder(from, to, source);
  close(to);
  return ok;
}

}  // namespace bench
