#include "install/rollback.h"

#include <algorithm>

#include "install/path_probe.h"
#include "platform/file_system.h"
#include "platform/path_separators.h"
#include "platform/utils.h"

namespace {

const char16_t kSlash = u'/';

// Bounds the search for a free backup root in a temporary directory that
// cannot be listed or is crowded with old ones.
const unsigned kMaxBackupRoots = 100000;

bool endsWithSeparator(const stdx::u16string& s) {
  return !s.empty() && (s[s.size() - 1] == u'/' || s[s.size() - 1] == u'\\');
}

// path without trailing separators, except for the root itself.
stdx::u16string withoutTrailingSeparators(const stdx::u16string& path) {
  size_t n = path.size();
  while (n > 1 && path[n - 1] == kSlash) --n;
  return path.substr(0, n);
}

}  // namespace

Rollback::Rollback() {}

Rollback::~Rollback() {}

unsigned Rollback::start(const stdx::u16string& directory) {
  levels.push_back(RollbackLevel());
  RollbackLevel& level = levels.back();
  level.directory = directory;
  if (directory.empty()) return 0;

  stdx::u16string temp;
  unsigned code = FileSystem::GetTempPath(temp);
  if (code != 0) return code;
  code = makeDirectoryTree(temp);
  if (code != 0) return code;
  if (!endsWithSeparator(temp)) temp += kPathSeparator;

  for (unsigned n = 0; n < kMaxBackupRoots; ++n) {
    stdx::u16string candidate = temp + u"q5stp" + string_uito(n, 10);
    FileFinder finder;
    if (finder.reset(candidate)) continue;  // taken, whatever it is
    level.backupDirectory = candidate + kPathSeparator;
    size_t made = level.catalogs.size();
    code = makeDirectoryTree(level.backupDirectory);
    if (code != 0) return code;
    // A root that another run made in the meantime would be shared with it.
    if (level.catalogs.size() > made) return 0;
  }
  return ERROR_CANTWRITE;
}

unsigned Rollback::stop() {
  if (levels.empty()) return 0;
  return removeDirectoryTree(levels.back().backupDirectory);
}

unsigned Rollback::rollback(unsigned code) {
  if (levels.empty()) return code;
  const RollbackLevel& level = levels.back();
  if (!level.directory.empty() && !level.backupDirectory.empty())
    rollbackFiles(level.directory, level.backupDirectory);
  if (!level.backupDirectory.empty()) removeDirectoryTree(level.backupDirectory);
  for (size_t i = 0; i < level.catalogs.size(); ++i) removeDirectoryTree(level.catalogs[i]);
  for (size_t i = 0; i < level.newFiles.size(); ++i) FileSystem::DeleteFile(level.newFiles[i]);
  return code;
}

unsigned Rollback::storeRBFile(const stdx::u16string& path) {
  if (levels.empty()) return ERROR_INVALID_PARAMETER;
  const RollbackLevel& level = levels.back();
  // Without a backup root there is nowhere to keep the old file, and it
  // must not be moved to a name relative to the working directory.
  if (level.backupDirectory.empty() || path.size() < level.directory.size())
    return ERROR_INVALID_PARAMETER;
  stdx::u16string backup = level.backupDirectory + path.substr(level.directory.size());
  size_t slash = backup.rfind(kSlash);
  if (slash != stdx::u16string::npos) {
    unsigned code = makeBackupDirectoryTree(backup.substr(0, slash));
    if (code != 0) return code;
  }
  return FileSystem::MoveFile(path, backup);
}

unsigned Rollback::makeDirectoryTree(const stdx::u16string& path) { return makeTree(path, true); }

unsigned Rollback::makeBackupDirectoryTree(const stdx::u16string& path) {
  return makeTree(path, false);
}

// The layer's CreateDirectory makes missing parents by itself and would not
// say which, so the walk goes up first to the deepest directory that exists
// and then creates downwards one level at a time: each creation then brings
// exactly one directory into existence, and it is recorded as it happens.
unsigned Rollback::makeTree(const stdx::u16string& path, bool record) {
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  if (isDiskRoot(path)) return 0;

  std::vector<stdx::u16string> missing;  // deepest first
  stdx::u16string current = withoutTrailingSeparators(path);
  for (;;) {
    PathKind kind = probePath(current, true);
    if (kind == PathKind::kDirectory) break;
    missing.push_back(current);
    // Anything but a plain gap ends the walk: creating it below will fail
    // with the layer's own code.
    if (kind != PathKind::kMissing) break;
    size_t slash = current.rfind(kSlash);
    if (slash == stdx::u16string::npos) break;  // relative: the working directory exists
    current = slash == 0 ? stdx::u16string(kPathSeparator) : current.substr(0, slash);
    if (isDiskRoot(current)) break;
    current = withoutTrailingSeparators(current);
  }

  for (size_t i = missing.size(); i-- > 0;) {
    unsigned code = FileSystem::CreateDirectory(missing[i]);
    if (code == ERROR_ALREADY_EXISTS) continue;  // made meanwhile by someone else: not ours
    if (code != 0) return code;
    if (record) addRBCatalog(missing[i]);
  }
  return 0;
}

void Rollback::addRBCatalog(const stdx::u16string& path) {
  if (!levels.empty()) levels.back().catalogs.push_back(path);
}

void Rollback::addRBFile(const stdx::u16string& path) {
  if (!levels.empty()) levels.back().newFiles.push_back(path);
}

void Rollback::removeRBFile(const stdx::u16string& path) {
  if (levels.empty()) return;
  std::vector<stdx::u16string>& files = levels.back().newFiles;
  std::vector<stdx::u16string>::iterator it = std::find(files.begin(), files.end(), path);
  if (it != files.end()) files.erase(it);
}

void Rollback::rollbackFiles(const stdx::u16string& target, const stdx::u16string& backup) {
  FileFinder finder;
  if (!finder.reset(backup + u"*")) return;
  do {
    stdx::u16string name = finder.name();
    if (name == u"." || name == u"..") continue;
    if (finder.attributes() & FILE_ATTRIBUTE_DIRECTORY)
      rollbackFiles(target + name + kPathSeparator, backup + name + kPathSeparator);
    else
      FileSystem::MoveFile(backup + name, target + name);
  } while (finder.next());
}

// The layer removes a whole tree without following links, so there is no
// need to walk it here first.
unsigned Rollback::removeDirectoryTree(const stdx::u16string& path) {
  if (path.empty()) return 0;
  return FileSystem::RemoveDirectory(path);
}
