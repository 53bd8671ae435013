// The rollback journal of one install run. It records what the run changes
// in the target directory, so that a failed or cancelled run can be undone
// and a successful one committed:
//  - the temporary files the run writes its members into, until each is
//    renamed over its target name;
//  - the files the run brings into being where nothing stood;
//  - the files it replaces: each is kept by a second name (a hard link) in
//    a private backup tree inside the target directory, on the target's own
//    file system, so a backup costs no space, cannot fail for lack of it,
//    and a restored file keeps its owner, mode and inode;
//  - the directories it creates.
// rollback() deletes what the run created and then puts the backups back;
// a backup that cannot be put back stays where it is and is reported.
// stop() commits by deleting the backup tree.
//
// Every name the journal makes in the target begins with ".q5stp-", then
// the owner's pid and process start, so that a later run can tell the
// leftovers of a dead run from those of a live one (see ownerOf).
//
// FS is the file-system policy; every file operation goes through it.
// Paths use "/" throughout. A journal belongs to the thread of its run and
// is never shared.
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/path_separators.h"
#include "platform/stdx_string.h"
#include "platform/utils.h"

// The prefix of every name a run makes for itself in a target directory.
constexpr const char16_t* kRunNamePrefix = u".q5stp-";

// This process's tag: "<pid>-<start ticks>".
stdx::u16string current_run_tag();

// True when name was made by a run (kRunNamePrefix, pid, start, "-"), with
// that run's pid and start in pid and start.
bool parse_run_name(const stdx::u16string& name, int& pid, unsigned long long& start);

// True when a name that parse_run_name accepted belongs to a process that
// no longer exists (a pid in use again has another start).
bool run_is_dead(int pid, unsigned long long start);

template <class FS>
class BasicRollback {
 public:
  struct Backup {
    stdx::u16string target;  // the replaced file's own path
    stdx::u16string backup;  // its second name in the backup tree
  };
  struct RollbackLevel {
    stdx::u16string directory;        // target directory of the run (ends with "/", or empty)
    stdx::u16string backupDirectory;  // backup root ending with "/"; empty until the first backup
    std::vector<stdx::u16string> catalogs;   // directories created, parents before children
    std::vector<stdx::u16string> newFiles;   // files brought into being where nothing stood
    // Temporary files written, in the order of writing; the first
    // renamedTemps of them bear their targets' names by now.
    std::vector<stdx::u16string> tempFiles;
    size_t renamedTemps = 0;
    std::vector<Backup> backups;             // replaced files, in the order of replacement
  };

  BasicRollback() {}
  virtual ~BasicRollback() {}
  BasicRollback(const BasicRollback&) = delete;
  BasicRollback& operator=(const BasicRollback&) = delete;

  // Opens a level for the target directory. Nothing is created yet: the
  // backup root is made with the first backup. Returns 0.
  unsigned start(const stdx::u16string& directory) {
    levels.push_back(RollbackLevel());
    levels.back().directory = directory;
    return 0;
  }

  // Commits: deletes the backup tree. Created directories and files stay.
  // 0, or the code of the removal that failed (the tree then stays, for a
  // later run to remove).
  unsigned stop() {
    if (levels.empty()) return 0;
    RollbackLevel& level = levels.back();
    level.tempFiles.clear();
    level.renamedTemps = 0;
    if (level.backupDirectory.empty()) return 0;
    unsigned code = FS::RemoveDirectory(level.backupDirectory);
    if (code == 0) level.backupDirectory.clear();
    return code;
  }

  // Undoes the run, in the order that never drops what it protects before
  // it is safe: deletes the temporary files and the new files, then moves
  // every backup back over the installed file, then removes the created
  // directories (only when empty: never anything the run did not make),
  // and last the backup tree, but only when every backup went back. Every
  // step is tried whatever the others did; what could not be undone is
  // listed in undoFailures() (for a backup, the path where it stays) and
  // written to standard error. Returns code unchanged.
  unsigned rollback(unsigned code) {
    if (levels.empty()) return code;
    RollbackLevel& level = levels.back();
    for (size_t i = level.tempFiles.size(); i-- > level.renamedTemps;) deleteCreated(level.tempFiles[i]);
    level.tempFiles.clear();
    level.renamedTemps = 0;
    for (size_t i = level.newFiles.size(); i-- > 0;) deleteCreated(level.newFiles[i]);
    level.newFiles.clear();
    bool allRestored = true;
    for (size_t i = level.backups.size(); i-- > 0;) {
      const Backup& b = level.backups[i];
      unsigned moved = FS::MoveFileEx(b.backup, b.target, MOVEFILE_REPLACE_EXISTING);
      if (moved != 0) {
        allRestored = false;
        reportUndoFailure(b.backup, moved, "could not put back the backup of", b.target);
      }
    }
    if (allRestored) level.backups.clear();
    for (size_t i = level.catalogs.size(); i-- > 0;) {
      unsigned removed = FS::RemoveEmptyDirectory(level.catalogs[i]);
      if (removed != 0 && removed != ERROR_FILE_NOT_FOUND)
        reportUndoFailure(level.catalogs[i], removed, "could not remove the directory", u"");
    }
    level.catalogs.clear();
    if (allRestored && !level.backupDirectory.empty()) {
      unsigned removed = FS::RemoveDirectory(level.backupDirectory);
      if (removed != 0)
        reportUndoFailure(level.backupDirectory, removed, "could not remove the backup tree", u"");
      else level.backupDirectory.clear();
    }
    return code;
  }

  // Keeps the regular file at path (below the target directory) by a
  // second name at the same place in the backup tree, creating the tree
  // on first use. The file itself is not touched, except on a file system
  // without hard links, where it is moved into the tree. 0 when it is kept;
  // otherwise the failing code, ERROR_FILE_NOT_FOUND included: the caller
  // saw the file, so its absence now is a failure too.
  unsigned storeRBFile(const stdx::u16string& path) {
    if (levels.empty()) return ERROR_INVALID_PARAMETER;
    RollbackLevel& level = levels.back();
    if (path.size() <= level.directory.size()) return ERROR_INVALID_PARAMETER;
    unsigned code = makeBackupRoot();
    if (code != 0) return code;
    stdx::u16string relative = path.substr(level.directory.size());
    stdx::u16string backup = level.backupDirectory + relative;
    size_t slash = backup.rfind(u'/');
    if (slash + 1 > level.backupDirectory.size()) {
      code = makeBackupDirectoryTree(backup.substr(0, slash));
      if (code != 0) return code;
    }
    code = FS::CreateHardLink(backup, path);
    // A file system without hard links (FAT) refuses them: then the file
    // itself moves into the tree, still on its own file system and in one
    // step; the name stays empty until the new member is renamed into it.
    if (code == ERROR_ACCESS_DENIED || code == ERROR_NOT_SUPPORTED) {
      code = FS::MoveFileEx(path, backup, 0);
    }
    if (code != 0) return code;
    level.backups.push_back(Backup{path, backup});
    return 0;
  }

  // Creates directory path and its missing parents, recording exactly the
  // directories that did not exist before, parents first. 0 when path is
  // (now) a directory; otherwise the code of the failing call.
  unsigned makeDirectoryTree(const stdx::u16string& path) {
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    if (isDiskRoot(path)) return 0;
    std::vector<stdx::u16string> missing;  // deepest first
    stdx::u16string current = withoutTrailingSeparators(path);
    for (;;) {
      FileInformation info;
      unsigned code = FS::GetFileInformation(current, true, info);
      if (code == 0 && info.attributes == FILE_ATTRIBUTE_DIRECTORY) break;
      if (code != 0 && code != ERROR_FILE_NOT_FOUND) return code;
      missing.push_back(current);
      // Anything but a plain gap ends the walk: creating it below fails
      // with the layer's own code.
      if (code == 0) break;
      size_t slash = current.rfind(u'/');
      if (slash == stdx::u16string::npos) break;  // relative: the working directory exists
      current = slash == 0 ? stdx::u16string(kPathSeparator) : current.substr(0, slash);
      if (isDiskRoot(current)) break;
      current = withoutTrailingSeparators(current);
    }
    // The layer's CreateDirectory makes missing parents by itself and would
    // not say which, so creation goes downwards one level at a time: each
    // call brings exactly one directory into existence, recorded as it happens.
    for (size_t i = missing.size(); i-- > 0;) {
      unsigned code = FS::CreateDirectory(missing[i]);
      if (code == ERROR_ALREADY_EXISTS) continue;  // made meanwhile by someone else: not ours
      if (code != 0) return code;
      addRBCatalog(missing[i]);
    }
    return 0;
  }

  // The same inside the private backup tree, recording nothing: the tree
  // goes as a whole. Every level is made private and exclusively.
  unsigned makeBackupDirectoryTree(const stdx::u16string& path) {
    const RollbackLevel& level = levels.back();
    size_t pos = level.backupDirectory.size();
    while (pos <= path.size()) {
      size_t slash = path.find(u'/', pos);
      if (slash == stdx::u16string::npos) slash = path.size();
      if (slash > pos) {
        stdx::u16string part = path.substr(0, slash);
        unsigned code = FS::CreatePrivateDirectory(part);
        if (code == ERROR_ALREADY_EXISTS) {
          // Ours from an earlier backup, unless something else stands there.
          FileInformation info;
          code = FS::GetFileInformation(part, false, info);
          if (code == 0 && info.attributes != FILE_ATTRIBUTE_DIRECTORY) code = ERROR_ALREADY_EXISTS;
        }
        if (code != 0) return code;
      }
      pos = slash + 1;
    }
    return 0;
  }

  void addRBCatalog(const stdx::u16string& path) {
    if (!levels.empty()) levels.back().catalogs.push_back(path);
  }
  void addRBFile(const stdx::u16string& path) {
    if (!levels.empty()) levels.back().newFiles.push_back(path);
  }
  // Forgets the first entry equal to path; no entry, no change.
  void removeRBFile(const stdx::u16string& path) {
    if (levels.empty()) return;
    std::vector<stdx::u16string>& files = levels.back().newFiles;
    typename std::vector<stdx::u16string>::iterator it = std::find(files.begin(), files.end(), path);
    if (it != files.end()) files.erase(it);
  }
  // A temporary file that the run has just created (and must delete on rollback).
  void addTempFile(const stdx::u16string& path) {
    if (!levels.empty()) levels.back().tempFiles.push_back(path);
  }
  // The oldest temporary file not yet renamed now bears its target's name
  // (temporary files are renamed in the order they were written): on
  // rollback the target is deleted when nothing stood there before, and
  // otherwise replaced by its backup.
  void tempFileRenamed(const stdx::u16string& target, bool replaced) {
    if (levels.empty()) return;
    ++levels.back().renamedTemps;
    if (!replaced) addRBFile(target);
  }

  // The paths that the last rollback could not put right.
  const std::vector<stdx::u16string>& undoFailures() const { return undoFailures_; }
  const std::vector<RollbackLevel>& journal() const { return levels; }

 protected:
  // The name of this run's backup root, inside the target directory; it
  // must differ from every member's first path component.
  virtual stdx::u16string backupRootName(unsigned attempt) {
    return stdx::u16string(kRunNamePrefix) + current_run_tag() + u"-b" + string_uito(attempt, 10);
  }

  // The level of the run in hand; start() pushes one, nothing pops.
  std::vector<RollbackLevel> levels;

 private:
  static stdx::u16string withoutTrailingSeparators(const stdx::u16string& path) {
    size_t n = path.size();
    while (n > 1 && path[n - 1] == u'/') --n;
    return path.substr(0, n);
  }

  // The backup root: private (0700), made exclusively (never an existing
  // directory or a link planted in its place).
  unsigned makeBackupRoot() {
    RollbackLevel& level = levels.back();
    if (!level.backupDirectory.empty()) return 0;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
      stdx::u16string root = level.directory + backupRootName(attempt);
      unsigned code = FS::CreatePrivateDirectory(root);
      if (code == ERROR_ALREADY_EXISTS) continue;
      if (code != 0) return code;
      level.backupDirectory = root + kPathSeparator;
      return 0;
    }
    return ERROR_ALREADY_EXISTS;
  }

  void deleteCreated(const stdx::u16string& path) {
    unsigned code = FS::DeleteFile(path);
    if (code != 0 && code != ERROR_FILE_NOT_FOUND)
      reportUndoFailure(path, code, "could not delete", u"");
  }

  void reportUndoFailure(const stdx::u16string& path, unsigned code, const char* what,
                         const stdx::u16string& other) {
    undoFailures_.push_back(path);
    fprintf(stderr, "setup: %s %s%s%s (error %u)\n", what,
            narrow_lib(other.empty() ? path : other).c_str(), other.empty() ? "" : "; it stays at ",
            other.empty() ? "" : narrow_lib(path).c_str(), code);
  }

  std::vector<stdx::u16string> undoFailures_;
};

typedef BasicRollback<FileSystem> Rollback;
