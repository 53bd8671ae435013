// The rollback journal of one install run. Before a member overwrites a
// file, the file is moved into a backup tree in the temporary directory
// ("q5stp" and a number); every directory and every new file that the run
// creates is recorded. rollback() puts the target directory back as it was;
// stop() commits by deleting the backups.
//
// Paths use "/" throughout. A journal belongs to the thread of its run and
// is never shared.
#pragma once

#include <vector>

#include "platform/stdx_string.h"

class Rollback {
 public:
  struct RollbackLevel {
    stdx::u16string directory;        // target directory of the run (ends with "/")
    stdx::u16string backupDirectory;  // backup root ending with "/"; empty without a target
    std::vector<stdx::u16string> catalogs;  // directories created, parents before children
    std::vector<stdx::u16string> newFiles;  // files to delete on rollback
  };

  Rollback();
  virtual ~Rollback();
  Rollback(const Rollback&) = delete;
  Rollback& operator=(const Rollback&) = delete;

  // Opens a level for the target directory and creates its backup root:
  // the first free "q5stp<n>/" in the temporary directory. An empty target
  // gets no backup root. 0, or the code of the failing file call.
  unsigned start(const stdx::u16string& directory);
  // Commits: deletes the backup tree. Created directories and files stay.
  unsigned stop();
  // Undoes the run: moves every backed-up file back (with its old content
  // and time), deletes the backup tree, removes the created directories
  // with everything in them and deletes the new files. Every step is tried
  // whatever the others did. Returns code unchanged.
  unsigned rollback(unsigned code);

  // Moves the file at path (below the target directory) to the same place
  // in the backup tree. 0 when it was backed up; ERROR_FILE_NOT_FOUND or
  // ERROR_PATH_NOT_FOUND when no file stood there (nothing to back up);
  // any other code is a failure.
  unsigned storeRBFile(const stdx::u16string& path);
  // Creates directory path and its missing parents, recording exactly the
  // directories that did not exist before, parents first. 0 when path is
  // (now) a directory; otherwise the code of the failing creation.
  unsigned makeDirectoryTree(const stdx::u16string& path);
  // The same for the backup tree, recording nothing: it goes as a whole.
  unsigned makeBackupDirectoryTree(const stdx::u16string& path);

  void addRBCatalog(const stdx::u16string& path);
  void addRBFile(const stdx::u16string& path);
  // Forgets the first entry equal to path; no entry, no change.
  void removeRBFile(const stdx::u16string& path);

  // Moves every file of the backup tree back to the same place below
  // target; both end with "/".
  void rollbackFiles(const stdx::u16string& target, const stdx::u16string& backup);
  // Removes the tree at path (symbolic links inside are removed, never
  // followed); an empty path is left alone. Returns 0.
  unsigned removeDirectoryTree(const stdx::u16string& path);

  const std::vector<RollbackLevel>& journal() const { return levels; }

 protected:
  // The level of the run in hand; start() pushes one, nothing pops.
  std::vector<RollbackLevel> levels;

 private:
  unsigned makeTree(const stdx::u16string& path, bool record);
};
