// The install run: InstallProcessData, the record that the user-interface
// thread and the worker share, and Installer, which copies the package's
// members into the target directory under a rollback journal.
//
// A run is a transaction over the target directory:
//  1. it takes the target's lock (one run per target at a time; a second
//     run waits, showing IDS_PREPARECOPY) and removes what dead runs left;
//  2. it writes every member that is missing or older under a temporary
//     name in the member's own directory, with its content and time;
//  3. it flushes the new files' data, and their directories, to disk;
//  4. it keeps each file it replaces by a hard link in its backup tree and
//     renames each temporary file over its target name in one step;
//  5. it commits by deleting the backup tree.
// A kill at any moment leaves every member whole, old or new; a failure or
// a cancel undoes the run through the journal.
//
// Thread safety: every InstallProgress operation holds its one lock for its
// whole length, so both threads may call any of them at any time, and
// requestStop() may even be called from a signal handler. An Installer
// belongs to the thread that runs it.
#pragma once

#include <errno.h>
#include <semaphore.h>
#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <set>

#include "install/failure_cause.h"
#include "install/install_data.h"
#include "install/lz_compressor.h"
#include "install/rollback.h"
#include "platform/file_system.h"
#include "platform/path_separators.h"
#include "platform/resources.h"
#include "platform/stdx_string.h"
#include "platform/utils.h"

typedef config::InstallData<LZCompressor, FileSystem> PackageReader;

// The code of a member that the run refuses to write: its target is a
// directory, a symbolic link or a special file, or its path passes through
// a symbolic link below the target directory (Win32's ERROR_ACCESS_DENIED).
const unsigned kErrorRefusedTarget = ERROR_ACCESS_DENIED;

// The state a run shares with the window: progress, the final outcome and
// the cancel request.
class InstallProgress {
 public:
  InstallProgress();
  ~InstallProgress();
  InstallProgress(const InstallProgress&) = delete;
  InstallProgress& operator=(const InstallProgress&) = delete;

  // A cancel request is honoured after the member being copied, and while
  // the run waits for the target's lock.
  void setCancel(bool cancel);
  bool isCancelled();
  // A cancel request that is safe in a signal handler: it takes no lock.
  void requestStop() { stopRequested = true; }

  // state: 0 while the run goes on and after success, else the failing
  // code; text: the target path of the member in hand, or the final text.
  void setInstallState(unsigned state, const stdx::u16string& text, int percent);
  void getInstallState(unsigned& state, stdx::u16string& text, int& percent);

 protected:
  class Hold {
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
  // Clears the cancel request, the state and the percent. Lock held.
  void resetLocked();

  sem_t lock;

 private:
  bool cancelled;
  std::atomic<bool> stopRequested;
  unsigned installState;
  stdx::u16string stateText;
  int percent;
};

template <class Reader>
class BasicInstallProcessData : public InstallProgress {
 public:
  // Before the worker starts: the opened package (not owned; it must
  // outlive the run) and the target directory, which gets a trailing "/"
  // unless it is empty or ends with "/" or "\". Clears the cancel request,
  // the state and the percent.
  void init(Reader* reader, const stdx::u16string& directory) {
    stdx::u16string target = directory;
    if (!target.empty() && target[target.size() - 1] != u'/' && target[target.size() - 1] != u'\\')
      target += kPathSeparator;
    Hold hold(&lock);
    installData = reader;
    targetDirectory = target;
    resetLocked();
  }
  void get(Reader*& reader, stdx::u16string& directory) {
    Hold hold(&lock);
    reader = installData;
    directory = targetDirectory;
  }

 private:
  Reader* installData = nullptr;
  stdx::u16string targetDirectory;
};

typedef BasicInstallProcessData<PackageReader> InstallProcessData;

// Compressor is the reader's decompressor policy (a test may feed the
// image at its own pace).
template <class FS, class Compressor = LZCompressor>
class BasicInstaller : public BasicRollback<FS> {
 public:
  typedef config::InstallData<Compressor, FS> Reader;
  typedef BasicInstallProcessData<Reader> ProcessData;

  // How long the worker lingers after posting success, so that the window
  // shows the full bar before it moves on.
  static const int kFinishPauseMs = 1000;
  // How often a run that waits for another run's lock looks again.
  static const int kLockPollMs = 50;
  // How often a run that waits for the package's bytes looks for a cancel.
  static const int kFeedPollMs = 50;
  // Members from this size on are copied while they are still inflating.
  static const unsigned kFollowBytes = 1u << 20;

  explicit BasicInstaller(int finishPauseMs = kFinishPauseMs)
      : processData(nullptr), finishPauseMs(finishPauseMs), lockHandle(INVALID_HANDLE_VALUE) {}
  ~BasicInstaller() override { releaseLock(); }

  // Installs every member of the package named by data (which must stay
  // valid for the call) into its target directory. Posts progress, then one
  // final state. Returns 0 on success; ERROR_CANCELLED (1223) after a
  // cancel, with everything undone and no final state (unless something
  // could not be undone: then the state names it); otherwise the first
  // failing code (from the journal, the file layer or the reader, or
  // kErrorRefusedTarget), posted with the percent reached once everything
  // is undone. A member whose installed copy is as new or newer (to the
  // second) is left alone. The package may still be inflating: each member
  // waits for its bytes, and nothing is put in place before the whole
  // package has proved sound; a package that turns out damaged (or an image
  // that no longer fits) fails the run with the reader's code and the text
  // of IDS_ERROR_DAMAGEDSOURCE (IDS_ERROR_NOSPACE), and packageFailed().
  unsigned run(ProcessData* data);

  // Rolls back, then posts code with the error text, the line naming what
  // failed and why (when the failure can be explained), the paths that
  // could not be put right, and percent; returns code.
  unsigned stopOnError(unsigned code, uint64_t percent);

  // Seconds spent making the new files' data durable before the renames.
  double flushSeconds() const { return flushSeconds_; }

  // Members of the last run that were copied, and that were left alone as
  // up to date. After a failure or a cancel they count what the run did
  // before it was rolled back.
  unsigned long copiedFiles() const { return copiedFiles_; }
  unsigned long upToDateFiles() const { return upToDateFiles_; }
  // The last run failed because of the package, not of the target.
  bool packageFailed() const { return packageFailed_; }

 protected:
  stdx::u16string backupRootName(unsigned attempt) override;

 private:
  struct Staged {
    stdx::u16string temp;  // where the member was written
    stdx::u16string path;  // its target name
    bool replaces;         // an older file stands at path
  };
  struct Volume {
    unsigned long long id;
    stdx::u16string directory;  // one directory on it
  };
  struct Less {
    bool operator()(const stdx::u16string& a, const stdx::u16string& b) const {
      return a.compare(b) < 0;
    }
  };

  unsigned runLocked(Reader* reader, const stdx::u16string& target);
  unsigned lockTarget(const stdx::u16string& target);
  void releaseLock();
  unsigned stageMember(Reader* reader, size_t index, const stdx::u16string& target,
                       const stdx::u16string& path, bool& staged);
  unsigned prepareDirectory(const stdx::u16string& target, const stdx::u16string& directory);
  unsigned checkDirectories(const stdx::u16string& target, const stdx::u16string& directory);
  unsigned removeDeadRunLeftovers(const stdx::u16string& target, const stdx::u16string& directory);
  unsigned flushStaged(const stdx::u16string& target);
  unsigned exposeStaged();
  unsigned cancelRun(uint64_t percent);
  template <class Await>
  unsigned awaitPackage(Await await);
  stdx::u16string tempNameIn(const stdx::u16string& target, const stdx::u16string& directory);
  // True when relative (below the target, "/"-separated) is a member's path.
  bool isMemberPath(const stdx::u16string& relative) const;
  stdx::u16string undoReport(const stdx::u16string& text) const;

  ProcessData* processData;
  int finishPauseMs;
  void* lockHandle;  // the target directory, open and locked, while the run holds it
  const std::vector<stdx::u16string>* memberPaths = nullptr;  // the reader's, sorted
  stdx::u16string target_;
  // What the step in hand works on (the target, a member, a folder), for
  // the line that says what failed and why.
  stdx::u16string failingPath_;
  // The directory of the last member written: it exists, was made by the
  // journal where needed and holds no symbolic link below the target.
  stdx::u16string readyDirectory;
  unsigned long copiedFiles_ = 0;
  unsigned long upToDateFiles_ = 0;
  bool packageFailed_ = false;
  std::set<stdx::u16string, Less> cleanedDirectories;
  std::vector<Staged> staged_;
  std::vector<Volume> volumes_;
  unsigned tempCounter = 0;
  double flushSeconds_ = 0;
};

typedef BasicInstaller<FileSystem> Installer;

#include "install/installer_impl.h"
