// The rollback journal of one install run. It records what the run changes
// in the target directory, so that a failed or cancelled run can be undone
// and a successful one committed:
//  - the temporary files the run writes its members into, until each is
//    renamed over its target name;
//  - the files the run brings into being where nothing stood;
//  - the files it replaces: each is kept by a second name (a hard link)
//    under a run-private name in its own directory, so on its own file
//    system (a mount point inside the target is no different from any
//    other folder): a backup costs no space, cannot fail for lack of it,
//    and a restored file keeps its owner, mode and inode. A symbolic link
//    is kept as the link itself;
//  - the directories it creates, inside the target and on the way to it.
// rollback() deletes what the run created and then puts the backups back;
// a backup that cannot be put back stays where it is and is reported.
// What the undo could not put right is recorded once per path, with the
// failing call's code and errno, for the outcome to word; the journal
// itself prints nothing.
// stop() commits by deleting the backups.
//
// Everything inside the target is recorded relative to it and reached from
// the target's open handle (setRoot), one directory handle at a time and
// never through a symbolic link: whoever swaps a folder of the target for a
// link meanwhile cannot send an undo step elsewhere.
//
// Every name the journal makes in the target begins with ".q5stp-", then
// the owner's pid and process start, so that a later run can tell which
// run left it; whether that run is dead, only its lock file can say.
//
// FS is the file-system policy; every file operation goes through it.
// Paths use "/" throughout. A journal belongs to the thread of its run and
// is never shared.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "install/directory_cursor.h"
#include "install/failure_words.h"
#include "platform/file_io.h"
#include "platform/file_system.h"
#include "platform/path_separators.h"
#include "platform/stdx_string.h"
#include "platform/utils.h"

// The prefix of every name a run makes for itself in a target directory.
constexpr const char16_t* kRunNamePrefix = u".q5stp-";

// This process's tag: "<pid>-<start ticks>".
stdx::u16string current_run_tag();

// True when name was made by a run (kRunNamePrefix, pid, start, "-"), with
// that run's tag ("<pid>-<start>") in tag.
bool parse_run_name(const stdx::u16string& name, stdx::u16string& tag);

// Renames from to to in directory, never replacing what stands at to:
// ERROR_ALREADY_EXISTS then. Where the file system cannot rename under
// that condition in one call (FUSE file systems and some network ones
// refuse the flag with EINVAL, an old kernel with ENOSYS), the file gets
// its new name as a hard link, which fails the same way when the name is
// taken, and then loses its old one. Where it has no hard links either,
// the name is looked at and the file renamed only when nothing stands
// there: the caller holds the target's lock, so no run of ours can take
// the name between the look and the rename.
template <class FS>
FsResult move_without_replacing(void* directory, const stdx::u16string& from, const stdx::u16string& to) {
  FsResult code = FS::MoveFileAt(directory, from, directory, to, 0);
  if (code.errnoValue() != EINVAL && code.errnoValue() != ENOSYS) return code;
  code = FS::CreateHardLinkAt(directory, to, directory, from);
  if (code == 0) {
    code = FS::DeleteFileAt(directory, from);
    // Two names of one file are not a rename: the new one goes again, so
    // that the caller sees the file where it was.
    if (code != 0) FS::DeleteFileAt(directory, to);
    return code;
  }
  if (code != ERROR_ACCESS_DENIED && code != ERROR_NOT_SUPPORTED) return code;
  FileInformation info;
  code = FS::GetFileInformationAt(directory, to, info);
  if (code == 0) return FsResult(ERROR_ALREADY_EXISTS, EEXIST);
  if (code != ERROR_FILE_NOT_FOUND) return code;
  return FS::MoveFileAt(directory, from, directory, to, MOVEFILE_REPLACE_EXISTING);
}

// Gives the temporary file out the owner, group and permission bits of
// the file name it is to replace, before any of its bytes are written: an
// administrator's chmod or chgrp outlives an update, and the new bytes are
// never readable by more users than the old ones were. What the process
// may not give (another owner, when it is not root; a file system that
// keeps no owners) is left as the file was made.
template <class FS>
FsResult keep_owner_and_mode(void* dir, const stdx::u16string& name, void* out) {
  FileInformation old;
  FsResult code = FS::GetFileInformationAt(dir, name, old);
  if (code == ERROR_FILE_NOT_FOUND) return 0;  // gone meanwhile: the rename says what happens
  if (code != 0 || old.attributes != FILE_ATTRIBUTE_NORMAL) return code;
  code = FS::CopyOwnerAndModeByHandle(out, old);
  if (code == ERROR_ACCESS_DENIED || code == ERROR_NOT_SUPPORTED) return 0;
  return code;
}

template <class FS>
class BasicRollback {
 public:
  struct Backup {
    stdx::u16string target;  // the replaced file, relative to the target directory
    stdx::u16string backup;  // its second name, in the same directory
  };
  struct RollbackLevel {
    stdx::u16string directory;  // target directory of the run (ends with "/", or empty)
    // Directories made on the way to the target, before it could be
    // opened: full paths, parents first.
    std::vector<stdx::u16string> outerCatalogs;
    // The rest is relative to the target directory.
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

  // Opens a level for the target directory. Nothing is created. Returns 0.
  unsigned start(const stdx::u16string& directory) {
    levels.push_back(RollbackLevel());
    levels.back().directory = directory;
    cursor_.reset(INVALID_HANDLE_VALUE);
    return 0;
  }
  // The target directory, open: every step inside it starts there. Not
  // owned; it must stay open until the last rollback() or stop().
  void setRoot(void* root) { cursor_.reset(root); }

  // Commits: deletes the backups. Created directories and files stay.
  // 0, or the code of the first removal that failed (the backup stays, for
  // a later run to remove).
  FsResult stop() {
    if (levels.empty()) return 0;
    RollbackLevel& level = levels.back();
    level.tempFiles.clear();
    level.renamedTemps = 0;
    FsResult first;
    for (size_t i = 0; i < level.backups.size(); ++i) {
      void* dir = INVALID_HANDLE_VALUE;
      stdx::u16string name;
      FsResult code = openParent(level.backups[i].backup, dir, name);
      if (code == 0) code = FS::DeleteFileAt(dir, name);
      if (code != 0 && first == 0) first = code;
    }
    level.backups.clear();
    cursor_.close();
    return first;
  }

  // Undoes the run, in the order that never drops what it protects before
  // it is safe: deletes the temporary files and the new files, then moves
  // every backup back over the installed file, then removes the created
  // directories (only when empty: never anything the run did not make).
  // Every step is tried whatever the others did; what could not be undone
  // is listed in undoFailures(), each path once: a folder that cannot be
  // opened is named, not every entry of it. Returns code unchanged.
  FsResult rollback(FsResult code) {
    undoFailures_.clear();
    undoPaths_.clear();
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
      void* dir = INVALID_HANDLE_VALUE;
      stdx::u16string name, targetName, targetDir;
      split_relative(b.target, targetDir, targetName);
      FsResult moved = openParent(b.backup, dir, name);
      if (moved != 0) {
        allRestored = false;
        unreachable(b.backup, moved);
        continue;
      }
      moved = FS::MoveFileAt(dir, name, dir, targetName, MOVEFILE_REPLACE_EXISTING);
      // Where the file was never replaced, both names are one file and the
      // rename leaves both: the backup name goes on its own.
      if (moved == 0) moved = FS::DeleteFileAt(dir, name);
      if (moved == ERROR_FILE_NOT_FOUND) moved = 0;
      if (moved != 0) {
        allRestored = false;
        noteUndoFailure(UndoFailure::kRestore, full(b.target), moved, full(b.backup));
      }
    }
    if (allRestored) level.backups.clear();
    for (size_t i = level.catalogs.size(); i-- > 0;) {
      void* dir = INVALID_HANDLE_VALUE;
      stdx::u16string name;
      FsResult removed = openParent(level.catalogs[i], dir, name);
      if (removed != 0) {
        unreachable(level.catalogs[i], removed);
        continue;
      }
      removed = FS::RemoveEmptyDirectoryAt(dir, name);
      if (removed != 0 && removed != ERROR_FILE_NOT_FOUND)
        noteUndoFailure(UndoFailure::kRemoveFolder, full(level.catalogs[i]), removed);
    }
    level.catalogs.clear();
    cursor_.close();
    leavingTarget();
    for (size_t i = level.outerCatalogs.size(); i-- > 0;) {
      FsResult removed = FS::RemoveEmptyDirectory(level.outerCatalogs[i]);
      if (removed != 0 && removed != ERROR_FILE_NOT_FOUND)
        noteUndoFailure(UndoFailure::kRemoveFolder, level.outerCatalogs[i], removed);
    }
    level.outerCatalogs.clear();
    return code;
  }

  // Keeps the file name in directory (open, at relative directoryPath
  // below the target) by a second name beside it, under a run-private
  // name. The file itself is not touched, except on a file system without
  // hard links, where it is renamed to the backup name. 0 when it is kept;
  // otherwise the failing code, ERROR_FILE_NOT_FOUND included: the caller
  // saw the file, so its absence now is a failure too.
  FsResult storeRBFile(void* directory, const stdx::u16string& directoryPath,
                       const stdx::u16string& name) {
    if (levels.empty() || name.empty()) return ERROR_INVALID_PARAMETER;
    RollbackLevel& level = levels.back();
    stdx::u16string base = directoryPath.empty() ? stdx::u16string() : directoryPath + kPathSeparator;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
      stdx::u16string backupName = nextBackupName(base);
      FsResult code = FS::CreateHardLinkAt(directory, backupName, directory, name);
      // A file system without hard links (FAT) refuses them: then the file
      // itself takes the backup name, in one step; its own name stays
      // empty until the new member is renamed into it.
      if (code == ERROR_ACCESS_DENIED || code == ERROR_NOT_SUPPORTED)
        code = move_without_replacing<FS>(directory, name, backupName);
      if (code == ERROR_ALREADY_EXISTS) continue;  // a name in use: another one
      if (code != 0) return code;
      level.backups.push_back(Backup{base + name, base + backupName});
      return 0;
    }
    return ERROR_ALREADY_EXISTS;
  }

  // Creates directory path (outside the target, which is not open yet)
  // and its missing parents, recording exactly the directories that did
  // not exist before, parents first. 0 when path is (now) a directory;
  // otherwise the result of the failing call, and failedAt names the folder
  // it concerns: the file that stands where a folder must go, the folder
  // that refused a new one, or the one that could not be made.
  FsResult makeDirectoryTree(const stdx::u16string& path, stdx::u16string& failedAt) {
    failedAt = path;
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    if (isDiskRoot(path)) return 0;
    std::vector<stdx::u16string> missing;  // deepest first
    stdx::u16string current = strip_trailing_separators(path);
    for (;;) {
      FileInformation info;
      FsResult code = FS::GetFileInformation(current, true, info);
      if (code == 0 && info.attributes == FILE_ATTRIBUTE_DIRECTORY) break;
      failedAt = current;
      if (code == 0) return FsResult(ERROR_PATH_NOT_FOUND, ENOTDIR);  // a file in the way
      // Missing, or below a file: the walk goes on up to find which.
      if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return code;
      if (code == ERROR_FILE_NOT_FOUND) missing.push_back(current);
      size_t slash = current.rfind(u'/');
      if (slash == stdx::u16string::npos) break;  // relative: the working directory exists
      current = slash == 0 ? stdx::u16string(kPathSeparator) : current.substr(0, slash);
      if (isDiskRoot(current)) break;
      current = strip_trailing_separators(current);
    }
    // The layer's CreateDirectory makes missing parents by itself and would
    // not say which, so creation goes downwards one level at a time: each
    // call brings exactly one directory into existence, recorded as it happens.
    for (size_t i = missing.size(); i-- > 0;) {
      FsResult code = FS::CreateDirectory(missing[i]);
      if (code == ERROR_ALREADY_EXISTS) continue;  // made meanwhile by someone else: not ours
      if (code != 0) {
        // Refused: by the folder that was to hold it.
        failedAt = refused_by_folder(code.errnoValue()) ? directory_of(missing[i]) : missing[i];
        return code;
      }
      if (!levels.empty()) levels.back().outerCatalogs.push_back(missing[i]);
    }
    return 0;
  }

  // The entries below are relative to the target directory.
  void addRBCatalog(const stdx::u16string& relative) {
    if (!levels.empty()) levels.back().catalogs.push_back(relative);
  }
  void addRBFile(const stdx::u16string& relative) {
    if (!levels.empty()) levels.back().newFiles.push_back(relative);
  }
  // Forgets the first entry equal to relative; no entry, no change.
  void removeRBFile(const stdx::u16string& relative) {
    if (levels.empty()) return;
    std::vector<stdx::u16string>& files = levels.back().newFiles;
    typename std::vector<stdx::u16string>::iterator it = std::find(files.begin(), files.end(), relative);
    if (it != files.end()) files.erase(it);
  }
  // A temporary file that the run has just created (and must delete on rollback).
  void addTempFile(const stdx::u16string& relative) {
    if (!levels.empty()) levels.back().tempFiles.push_back(relative);
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

  // What the last rollback could not put right, each path once, in the
  // order met.
  const std::vector<UndoFailure>& undoFailures() const { return undoFailures_; }

 protected:
  // True when relative (below the target) must not be taken by a name of
  // the run's own: a member's path.
  virtual bool isReservedPath(const stdx::u16string&) const { return false; }

  // Called by rollback() once everything inside the target is undone, and
  // before the directories on the way to it go: the run takes out what it
  // keeps in the target for itself.
  virtual void leavingTarget() {}

  // The level of the run in hand; start() pushes one, nothing pops.
  std::vector<RollbackLevel> levels;

 private:
  stdx::u16string full(const stdx::u16string& relative) const {
    return levels.empty() ? relative : levels.back().directory + relative;
  }

  // "<prefix><tag>-k<n>", never a member's path below base.
  stdx::u16string nextBackupName(const stdx::u16string& base) {
    for (;;) {
      stdx::u16string name = stdx::u16string(kRunNamePrefix) + current_run_tag() + u"-k" +
                             string_uito(backupCounter_++, 10);
      if (!isReservedPath(base + name)) return name;
    }
  }

  // The open directory that holds relative, and its last component.
  FsResult openParent(const stdx::u16string& relative, void*& directory, stdx::u16string& name) {
    stdx::u16string dir;
    split_relative(relative, dir, name);
    return cursor_.open(dir, directory);
  }

  void deleteCreated(const stdx::u16string& relative) {
    void* dir = INVALID_HANDLE_VALUE;
    stdx::u16string name;
    FsResult code = openParent(relative, dir, name);
    if (code != 0) {
      unreachable(relative, code);
      return;
    }
    code = FS::DeleteFileAt(dir, name);
    if (code == 0 || code == ERROR_FILE_NOT_FOUND) return;
    // A refusal (permission, a read-only file system) is the folder's, and
    // holds for every file of the run in it: the folder is named once.
    stdx::u16string directory;
    split_relative(relative, directory, name);
    if (refused_by_folder(code.errnoValue()))
      noteUndoFailure(UndoFailure::kRefused, strip_trailing_separators(full(directory)), code);
    else
      noteUndoFailure(UndoFailure::kDelete, full(relative), code);
  }

  // The folder that holds relative could not be opened (swapped for a
  // link, removed, refused): that folder is what failed, once, however
  // many entries of it were to be undone. A folder that is gone took its
  // entries with it: nothing of the run's is left there.
  void unreachable(const stdx::u16string& relative, FsResult code) {
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      if (code.errnoValue() == 0 || code.errnoValue() == ENOENT) return;
    }
    stdx::u16string directory, name;
    split_relative(relative, directory, name);
    noteUndoFailure(UndoFailure::kReach, strip_trailing_separators(full(directory)), code);
  }

  void noteUndoFailure(UndoFailure::Step step, const stdx::u16string& path, FsResult code,
                       const stdx::u16string& kept = stdx::u16string()) {
    if (!undoPaths_.insert(path).second) return;
    UndoFailure failure;
    failure.step = step;
    failure.path = path;
    failure.kept = kept;
    failure.code = code.code();
    failure.errnoValue = code.errnoValue();
    undoFailures_.push_back(failure);
  }

  BasicDirectoryCursor<FS> cursor_;
  unsigned backupCounter_ = 0;
  struct PathLess {
    bool operator()(const stdx::u16string& a, const stdx::u16string& b) const { return a.compare(b) < 0; }
  };
  std::vector<UndoFailure> undoFailures_;
  std::set<stdx::u16string, PathLess> undoPaths_;  // the paths of undoFailures_
};

typedef BasicRollback<FileSystem> Rollback;
