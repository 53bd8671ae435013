#include "config/starter.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <set>

#include "config/locations.h"
#include "platform/path_separators.h"

namespace {

struct LessNocase {
  bool operator()(const stdx::u16string& a, const stdx::u16string& b) const {
    return compare_nocase(a, b) < 0;
  }
};

typedef std::set<stdx::u16string, LessNocase> NocaseSet;

}  // namespace

Starter::Starter(bool base) : base_(base) {}

stdx::u16string Starter::localPath() const {
  return base_ ? get_local_config_file_path_base() : get_local_config_file_path();
}

stdx::u16string Starter::allUsersPath() const {
  return base_ ? get_allusers_config_file_path_base() : get_allusers_config_file_path();
}

// Neither file is required: a launcher that was never started has none.
// A file that failed part way is dropped whole rather than half used.
static long long monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

static FileError readOrNothing(const stdx::u16string& path, ConfigFile& config) {
  FileError error = read_config_file(path, config);
  if (error.absent()) return FileError();
  if (error.failed()) config.items.clear();
  return error;
}

FileError Starter::loadConfig() {
  FileError allUsers = readOrNothing(allUsersPath(), allUsersConfig_);
  FileError local = readOrNothing(localPath(), localConfig_);
  return allUsers.failed() ? allUsers : local;
}

void Starter::getConfigFilesValues(bool localFirst, const char16_t* key,
                                   std::vector<stdx::u16string>& out, bool noLocalLast) const {
  const ConfigFile* consulted[2] = {nullptr, nullptr};
  if (localFirst) {
    consulted[0] = &localConfig_;
    consulted[1] = &allUsersConfig_;
  } else {
    consulted[0] = &allUsersConfig_;
    if (!noLocalLast) consulted[1] = &localConfig_;
  }
  const stdx::u16string keyText(key);
  NocaseSet taken;
  for (const ConfigFile* config : consulted) {
    if (config == nullptr) continue;
    const std::vector<stdx::u16string>* values = config->findValues(keyText);
    if (values == nullptr) continue;
    for (const stdx::u16string& value : *values)
      if (taken.insert(value).second) out.push_back(value);
  }
}

void Starter::replaceWrongSeparators(std::vector<stdx::u16string>& list) {
  const stdx::u16string bad(kBadPathSeparator), good(kPathSeparator);
  for (stdx::u16string& entry : list) replace_all(entry, bad, good);
}

void Starter::removePathDuplicates(std::vector<stdx::u16string>& list) {
  NocaseSet seen;
  std::vector<stdx::u16string> kept;
  kept.reserve(list.size());
  for (stdx::u16string& entry : list) {
    stdx::u16string form = entry;
    if (!form.empty() && form.back() != u'/' && form.back() != u'\\') form += kPathSeparator;
    if (seen.insert(form).second) kept.push_back(std::move(entry));
  }
  list.swap(kept);
}

void Starter::getTmpltsList(std::vector<stdx::u16string>& list, bool includeLocal) {
  loadConfig();
  // Without includeLocal only the all-users values count, so the per-user
  // ones must not be consulted last either.
  getConfigFilesValues(includeLocal, kConfigFileFieldTemplatesLocation, list, !includeLocal);
  replaceWrongSeparators(list);
  removePathDuplicates(list);
}

FileError Starter::setTmpltsList(const std::vector<stdx::u16string>& list) {
  // Only the per-user file is written, so only it must be read whole: the
  // other keys in it survive the rewrite.
  std::vector<stdx::u16string> unique(list);
  removePathDuplicates(unique);
  const stdx::u16string path = localPath();
  // Other programs (the launcher, an editor, a script) write this file
  // without our lock. Each attempt reads it and replaces it only if it is
  // still what was read, or what was read with lines appended (those are
  // carried over); any other write that slips in between that look and
  // the rename lands in the replaced file, which is kept open and read
  // again, before the current file, by every later attempt. Attempts go
  // on for a while, not a number of times: a slow disk makes each one
  // longer, not the other program's writes rarer.
  const size_t kTextKeptUpTo = 256 * 1024;
  const long long kGiveUpAfterMs = 10000;
  const long long started = monotonic_ms();
  std::vector<int> replacedFiles;
  FileError outcome = FileError::fromErrno(EBUSY, path);
  for (int attempt = 0; monotonic_ms() - started < kGiveUpAfterMs; ++attempt) {
    if (attempt > 0) {
      // Lets a burst of the other program's writes end.
      struct timespec pause = {0, (attempt < 8 ? attempt : 8) * 1000 * 1000L};
      nanosleep(&pause, nullptr);
    }
    FileStamp before;
    FileError error = file_stamp(path, before, kTextKeptUpTo);
    if (error.failed()) {
      outcome = error;
      break;
    }
    localConfig_.items.clear();
    for (int fd : replacedFiles) {
      // Gone from its folder but open here: read through the descriptor's
      // name; the current file's text then adds what it lacks.
      char name[64];
      snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
      error = read_config_file(widen_lib(stdx::string(name)), localConfig_);
      if (error.failed()) break;
    }
    if (error.failed()) {
      error.path = path;
      outcome = error;
      break;
    }
    error = readOrNothing(path, localConfig_);
    if (error.failed()) {
      outcome = error;
      break;
    }
    FileStamp after;
    if (file_stamp(path, after).failed() || after != before) continue;
    localConfig_.setValues(kConfigFileFieldTemplatesLocation, unique);
    int late = -1;
    outcome = save(&before, late);
    if (late >= 0) replacedFiles.push_back(late);
    if (outcome.errnoValue == EAGAIN) continue;
    if (outcome.failed() || late < 0) break;
  }
  for (int fd : replacedFiles) close(fd);
  return outcome;
}

FileError Starter::saveLocalConfigFile() {
  int replaced = -1;
  return save(nullptr, replaced);
}

FileError Starter::save(const FileStamp* expected, int& replaced) {
  const stdx::u16string path = localPath();
  const stdx::u16string folder = directory_of(path);
  FileError written = expected != nullptr ? write_config_file(path, localConfig_, *expected, replaced)
                                          : write_config_file(path, localConfig_);
  if (!written.absent()) return written;
  // The folder is missing (a launcher that never ran): make it, missing
  // parents too, and write again. When the folder cannot be made, that is
  // the reason to give.
  FileError made = create_directories(folder);
  if (made.failed() && made.errnoValue != 0) return made;
  return expected != nullptr ? write_config_file(path, localConfig_, *expected, replaced)
                             : write_config_file(path, localConfig_);
}

ConfigLocks::~ConfigLocks() {
  for (size_t i = held_.size(); i-- > 0;) close(held_[i]);  // closing releases the lock
}

FileError ConfigLocks::add(const stdx::u16string& configPath, int timeoutMs) {
  const stdx::u16string lockPath = configPath + u".lock";
  FileError made = create_directories(directory_of(configPath));
  if (made.failed() && made.errnoValue != 0) return made;
  // Read-only is enough to lock, and lets a user lock a file that a run as
  // root once made. A link or a FIFO put there is never followed or waited on.
  int fd = open(narrow_lib(lockPath).c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return FileError::fromErrno(errno, lockPath);
  for (int waited = 0;; waited += 5) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK) {
      // No locks on this file system: the stamped rewrite still keeps
      // every writer's text, only runs of ours may then race.
      close(fd);
      return FileError();
    }
    if (waited >= timeoutMs) {
      close(fd);
      return FileError::fromErrno(EBUSY, lockPath);
    }
    struct timespec pause = {0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  held_.push_back(fd);
  return FileError();
}

void get_tmplts_list(std::vector<stdx::u16string>& list, bool includeLocal, bool base) {
  Starter starter(base);
  starter.getTmpltsList(list, includeLocal);
}

FileError set_tmplts_list(const std::vector<stdx::u16string>& list, bool base) {
  Starter starter(base);
  return starter.setTmpltsList(list);
}
