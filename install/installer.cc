#include "install/installer.h"

#include <errno.h>

#include "platform/path_separators.h"
#include "platform/resources.h"
#include "platform/utils.h"

// --- InstallProcessData ------------------------------------------------------

class InstallProcessData::Hold {
 public:
  explicit Hold(sem_t* s) : s_(s) {
    while (sem_wait(s_) != 0 && errno == EINTR) {
    }
  }
  ~Hold() { sem_post(s_); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  sem_t* s_;
};

InstallProcessData::InstallProcessData()
    : installData(nullptr), cancelled(false), installState(0), percent(0) {
  sem_init(&lock, 0, 1);
}

InstallProcessData::~InstallProcessData() { sem_destroy(&lock); }

void InstallProcessData::init(PackageReader* reader, const stdx::u16string& directory) {
  stdx::u16string target = directory;
  if (!target.empty() && target[target.size() - 1] != u'/' && target[target.size() - 1] != u'\\')
    target += kPathSeparator;
  Hold hold(&lock);
  installData = reader;
  targetDirectory = target;
  cancelled = false;
  installState = 0;
  percent = 0;
}

void InstallProcessData::get(PackageReader*& reader, stdx::u16string& directory) {
  Hold hold(&lock);
  reader = installData;
  directory = targetDirectory;
}

void InstallProcessData::setCancel(bool cancel) {
  Hold hold(&lock);
  cancelled = cancel;
}

bool InstallProcessData::isCancelled() {
  Hold hold(&lock);
  return cancelled;
}

void InstallProcessData::setInstallState(unsigned state, const stdx::u16string& text, int value) {
  Hold hold(&lock);
  installState = state;
  stateText = text;
  percent = value;
}

void InstallProcessData::getInstallState(unsigned& state, stdx::u16string& text, int& value) {
  Hold hold(&lock);
  state = installState;
  text = stateText;
  value = percent;
}

// --- Installer -------------------------------------------------------------

namespace {

const unsigned long long kTicksPerSecond = 10000000ull;

unsigned long long wholeSeconds(const FILETIME& t) {
  unsigned long long ticks =
      (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return ticks - ticks % kTicksPerSecond;
}

}  // namespace

Installer::Installer(int pauseMs) : processData(nullptr), finishPauseMs(pauseMs) {}

unsigned Installer::run(InstallProcessData* data) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  processData = data;
  copiedFiles_ = upToDateFiles_ = 0;
  PackageReader* reader = nullptr;
  stdx::u16string target;
  processData->get(reader, target);
  if (reader == nullptr) return stopOnError(ERROR_INVALID_PARAMETER, 0);

  unsigned code = start(target);
  if (code != 0) return stopOnError(code, 0);

  const stdx::u16string separator(kPathSeparator);
  const stdx::u16string badSeparator(kBadPathSeparator);
  size_t count = reader->files.size();
  for (size_t i = 0; i < count; ++i) {
    stdx::u16string name = reader->files[i].name;
    replace_all(name, badSeparator, separator);
    stdx::u16string path = target + name;
    uint64_t percent = static_cast<uint64_t>(i) * 100 / count;
    processData->setInstallState(0, path, static_cast<int>(percent));

    bool copied = false;
    code = installMember(reader, i, target, path, copied);
    if (code != 0) return stopOnError(code, percent);
    ++(copied ? copiedFiles_ : upToDateFiles_);
    if (copied && processData->isCancelled()) return rollback(ERROR_CANCELLED);
  }

  stop();
  processData->setInstallState(0, LoadResString("IDS_INSTALL_FINISH"), 100);
  Sleep(finishPauseMs);
  return 0;
}

// copied stays false when the installed copy is up to date.
unsigned Installer::installMember(PackageReader* reader, size_t index,
                                  const stdx::u16string& target, const stdx::u16string& path,
                                  bool& copied) {
  size_t slash = path.rfind(u'/');
  stdx::u16string directory = slash == stdx::u16string::npos ? path : path.substr(0, slash);
  bool directoryReady = !readyDirectory.empty() && directory == readyDirectory;
  if (!directoryReady) {
    unsigned code = checkDirectories(target, directory);
    if (code != 0) return code;
  }

  // Only a regular file is ever compared, backed up or replaced: writing
  // over a link would write through it, and moving a directory into the
  // backup tree could not be undone whole.
  PathKind kind = probePath(path, false);
  if (kind != PathKind::kMissing && kind != PathKind::kRegularFile) return kErrorRefusedTarget;
  if (kind == PathKind::kRegularFile) {
    if (!compareFiles(path, reader->files[index].lastWriteTime)) return 0;
    unsigned code = storeRBFile(path);
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) addRBFile(path);
    else if (code != 0) return code;
  } else {
    // Nothing to back up; the journal learns of the file before it exists,
    // so a half-written one is deleted too.
    addRBFile(path);
  }

  if (!directoryReady) {
    unsigned code = makeDirectoryTree(directory);
    if (code != 0) return code;
    readyDirectory = directory;
  }
  unsigned code = reader->copy(index, path);
  copied = code == 0;
  return code;
}

// Refuses a symbolic link on the way from target down to directory: the
// run must not create directories or write files outside the target tree.
// Components that are missing are created later by the journal; a plain
// file on the way makes that creation fail with the layer's own code.
unsigned Installer::checkDirectories(const stdx::u16string& target,
                                     const stdx::u16string& directory) {
  if (directory.size() <= target.size() || target.empty()) return 0;
  size_t pos = target.size();
  while (pos <= directory.size()) {
    size_t slash = directory.find(u'/', pos);
    if (slash == stdx::u16string::npos) slash = directory.size();
    if (slash > pos) {  // skip empty components of repeated separators
      PathKind kind = probePath(directory.substr(0, slash), false);
      if (kind == PathKind::kSymbolicLink) return kErrorRefusedTarget;
      if (kind != PathKind::kDirectory) return 0;
    }
    pos = slash + 1;
  }
  return 0;
}

unsigned Installer::stopOnError(unsigned code, uint64_t percent) {
  if (processData != nullptr)
    processData->setInstallState(code, LoadResString("IDS_INSTALL_ERROR"), static_cast<int>(percent));
  return rollback(code);
}

bool Installer::compareFiles(const stdx::u16string& path, const FILETIME& memberTime) {
  void* handle = INVALID_HANDLE_VALUE;
  if (FileSystem::CreateFile(path, GENERIC_READ, 0, OPEN_EXISTING, handle) != 0) return true;
  FILETIME existing = {0, 0};
  unsigned code = FileSystem::GetFileTime(handle, nullptr, nullptr, &existing);
  FileSystem::CloseHandle(handle);
  if (code != 0) return true;
  return wholeSeconds(existing) < wholeSeconds(memberTime);
}
