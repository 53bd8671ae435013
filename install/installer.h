// The install run: InstallProcessData, the record that the user-interface
// thread and the worker share, and Installer, which copies the package's
// members into the target directory under a rollback journal.
//
// A run is a transaction over the target directory:
//  1. it opens the target once and takes its lock (one run per target at
//     a time; a second run waits, showing IDS_PREPARECOPY), removes what
//     dead runs left, and checks the target's free space for the members
//     it will copy; before it writes its first file it makes and locks a
//     lock file of its own, that marks it alive for as long as it runs;
//  2. it writes every member that is missing or older under a temporary
//     name in the member's own directory, with its content and time;
//  3. it flushes the new files' data, and their directories, to disk;
//  4. it keeps each file it replaces by a hard link beside it and renames
//     each temporary file over its target name in one step;
//  5. it commits by deleting the backups.
// Every step inside the target starts from the target's open handle and
// goes down one directory handle at a time, never through a symbolic
// link: a folder swapped for a link meanwhile stops the run
// (ERROR_STOPPED_ON_SYMLINK) and never sends a file outside the target.
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
#include <string.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "install/durable_batch.h"
#include "install/failure_words.h"
#include "install/install_data.h"
#include "install/lz_compressor.h"
#include "install/member_state.h"
#include "install/rollback.h"
#include "install/run_lock.h"
#include "install/run_plan.h"
#include "install/work_lane.h"
#include "platform/file_io.h"
#include "platform/file_system.h"
#include "platform/path_separators.h"
#include "platform/resources.h"
#include "platform/stdx_string.h"
#include "platform/utils.h"

typedef config::InstallData<LZCompressor, FileSystem> PackageReader;

// The code of a member that the run refuses to write: its target is a
// directory or a special file (Win32's ERROR_ACCESS_DENIED). A symbolic
// link where a directory of its path should be fails the run with
// ERROR_STOPPED_ON_SYMLINK; a link at its own path is replaced like a file.
const unsigned kErrorRefusedTarget = ERROR_ACCESS_DENIED;

// How a run ended, as the worker posts it once, as its last act.
struct InstallOutcome {
  enum Kind { kInstalled, kFailed, kCancelled };
  Kind kind = kFailed;
  InstallFailure failure;  // for kFailed (and a cancel that could not be undone)
  std::vector<UndoFailure> undoFailures;
  // What to tell the user about a failure, from describe_outcome(): the
  // heading (what went wrong) and the detail (which file and why, then what
  // could not be put back; may be empty). Both empty for kInstalled and for
  // a clean cancel.
  stdx::u16string heading;
  stdx::u16string detail;
  unsigned long copied = 0;    // members copied (before a rollback, what it undid)
  unsigned long upToDate = 0;  // members left alone as up to date
  // What the run's plan said of each member (none, or empty, when the run
  // ended before it looked at them), for the run's log. Shared: the
  // outcome is copied to every thread that asks for it.
  std::shared_ptr<const std::vector<MemberPlan>> plan;
};

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
  // Every new state ends a wait for the lock.
  void setInstallState(unsigned state, const stdx::u16string& text, int percent);
  void getInstallState(unsigned& state, stdx::u16string& text, int& percent);

  // The run waits for another run's lock on the target: from the wait's
  // start until it ends (the lock taken, or a cancel) or the next state.
  void setWaitingForLock(bool waiting);
  bool waitingForLock();

  // The run's outcome: posted once by the worker as its last act, and
  // the only thing the window and the silent run act on. getOutcome
  // returns false until it is posted.
  void postOutcome(const InstallOutcome& outcome);
  bool getOutcome(InstallOutcome& outcome);
  // getOutcome, waiting at most timeoutMs for the post: a waiter wakes
  // the moment it comes, not at its next look.
  bool awaitOutcome(InstallOutcome& outcome, int timeoutMs);

  // The target directory as the run opened and locked it, kept open here
  // (a handle of its own) after the run lets its handle go, so that
  // whoever registers the target afterwards learns where the files are
  // then: the path they were given when it still leads there, the
  // directory's new path when it was moved, ERROR_FILE_NOT_FOUND when no
  // path leads to it. ERROR_INVALID_HANDLE when the run never held it.
  void holdTarget(void* handle);
  FsResult targetPathNow(const stdx::u16string& given, stdx::u16string& now);

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
  bool outcomePosted;
  // Wakes awaitOutcome; taken before lock where both are held.
  std::mutex outcomeMutex_;
  std::condition_variable outcomeChanged_;
  bool waitingForLock_ = false;
  InstallOutcome outcome_;
  void* heldTarget_ = INVALID_HANDLE_VALUE;
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

  // The name of the lock file of the run whose tag is tag, in the target
  // directory, and what it holds: a run is alive while it holds the lock of
  // that file, and only a file that holds this line counts as one.
  static stdx::u16string runLockName(const stdx::u16string& tag) {
    return BasicRunLocks<FS>::lockName(tag);
  }
  static constexpr const char* kRunLockLine = BasicRunLocks<FS>::kLine;

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
  // A target without room for the members to copy fails with
  // ERROR_DISK_FULL before anything is written, the text naming the
  // folder, the bytes needed and the bytes free.
  FsResult run(ProcessData* data);

  // Rolls back, then posts code with the failure's text (the heading, the
  // line naming what failed and why when the failure can be explained, and
  // what could not be put right) and percent; returns code.
  FsResult stopOnError(FsResult code, uint64_t percent);

  // Seconds spent making the new files' data durable before the renames.
  double flushSeconds() const { return flushSeconds_; }

  // Members of the last run that were copied, and that were left alone as
  // up to date. After a failure or a cancel they count what the run did
  // before it was rolled back.
  unsigned long copiedFiles() const { return copiedFiles_; }
  unsigned long upToDateFiles() const { return upToDateFiles_; }
  // The last run failed because of the package, not of the target.
  bool packageFailed() const { return packageFailed_; }
  // What the last run's plan said of each member; empty when it ended
  // before it looked at them.
  const std::vector<MemberPlan>& plannedMembers() const { return plan_.members(); }
  // The same, handed over once the run is over (thousands of members are
  // not copied for a log).
  std::vector<MemberPlan> takePlannedMembers() { return plan_.takeMembers(); }
  // Why the last run failed, as stopOnError found it; code 0 when it did not.
  const InstallFailure& failure() const { return failure_; }

 protected:
  bool isReservedPath(const stdx::u16string& relative) const override {
    return isMemberPath(relative);
  }
  // The run's lock file goes once the undo is done: it must not keep a
  // directory that the run made from being removed.
  void leavingTarget() override {
    cursor_.close();
    dropRunLocks(false);
  }

 private:
  struct Staged {
    stdx::u16string directory;  // the member's directory, relative to the target
    stdx::u16string temp;       // where the member was written, in that directory
    stdx::u16string name;       // its target name there
    bool replaces;              // an older file (or a link) stands at name
  };
  struct Less {
    bool operator()(const stdx::u16string& a, const stdx::u16string& b) const {
      return a.compare(b) < 0;
    }
  };

  FsResult runLocked(Reader* reader, const stdx::u16string& target);
  FsResult lockTarget(const stdx::u16string& target);
  void releaseLock();
  // The run's own lock file, made before its first file: the target's
  // lock is held, so no other run makes or removes lock files meanwhile.
  FsResult takeRunLock() { return runLocks_.take(lockHandle); }
  FsResult findDeadRuns() {
    failingPath_ = target_;
    return runLocks_.findDead(lockHandle, [this](const stdx::u16string& name) { return isMemberPath(name); });
  }
  // Gives up the run's own lock (and its file, unless ownFileToo is
  // false), and after a complete install the dead runs' lock files too,
  // their leftovers being gone from every folder the package writes to. A
  // run undone keeps them, for the next run to finish the job; a kill
  // leaves all of them.
  void dropRunLocks(bool deadRunsToo, bool ownFileToo = true) {
    runLocks_.drop(lockHandle, deadRunsToo, ownFileToo);
  }
  // A killed run leaves its temporary files and its backups; whatever it
  // replaced is whole in either version, so finishing its job is this
  // run's copy, and the leftovers in directory only go, once per
  // directory. A name that is a member of this package always stays.
  FsResult removeDeadRunLeftovers(void* handle, const stdx::u16string& directory) {
    if (!runLocks_.anyDead() || !cleanedDirectories.insert(directory).second) return 0;
    failingPath_ = target_ + directory;
    return runLocks_.removeLeftovers(handle, [this, &directory](const stdx::u16string& name) {
      return isMemberPath(join_path(directory, name));
    });
  }
  // A member's temporary file, made and open, handed to the copy thread to
  // be filled; out INVALID_HANDLE_VALUE: a member left alone, whose bytes
  // the image may give back.
  struct CopyJob {
    size_t index = 0;
    void* out = INVALID_HANDLE_VALUE;
    stdx::u16string directory;
    stdx::u16string name;
    Durability durability{Durability::kPerFile, 0};
  };
  // The copy thread's failure, as the run tells it.
  struct CopyFailure {
    FsResult code;
    stdx::u16string path;
    stdx::u16string line;
    bool packageFailed = false;
  };

  FsResult checkTargetSpace();
  FsResult stageMember(Reader* reader, size_t index, const stdx::u16string& relative, CopyJob& job,
                       bool& staged);
  bool copyMember(Reader* reader, CopyJob& job);
  FsResult handOver(CopyJob& job);
  void closeUnfilled(CopyJob& job);
  FsResult finishCopies();
  void stopCopies();
  FsResult prepareDirectory(const stdx::u16string& directory, void*& handle);
  FsResult openCreating(const stdx::u16string& directory, void*& handle, bool& made);
  FsResult refuseLink(FsResult code, const stdx::u16string& directory);
  FsResult failedIn(FsResult code, const stdx::u16string& folder, const stdx::u16string& entry);
  FsResult flushStaged();
  FsResult exposeStaged();
  FsResult cancelRun(uint64_t percent);
  template <class Await>
  FsResult awaitPackage(Await await);
  stdx::u16string tempNameIn(const stdx::u16string& directory);
  // True when relative (below the target, "/"-separated) is a member's path.
  bool isMemberPath(const stdx::u16string& relative) const;

  ProcessData* processData;
  int finishPauseMs;
  // The target directory, open and locked, while the run holds it: the
  // anchor of every step inside the target.
  void* lockHandle;
  BasicRunLocks<FS> runLocks_;             // this run's lock file, and the dead runs found
  BasicDirectoryCursor<FS> cursor_;        // the member directory in hand
  BasicRunPlan<FS> plan_;                  // what the run does with each member
  const std::vector<stdx::u16string>* memberPaths = nullptr;  // the reader's, sorted
  stdx::u16string target_;
  // What the step in hand works on (the target, a member, a folder), for
  // the line that says what failed and why.
  stdx::u16string failingPath_;
  // The folder and the line that say why the run failed, when the step
  // that failed knew better than the file system can tell afterwards.
  stdx::u16string failureLine_;
  unsigned long copiedFiles_ = 0;
  unsigned long upToDateFiles_ = 0;
  bool packageFailed_ = false;
  InstallFailure failure_;
  std::set<stdx::u16string, Less> cleanedDirectories;
  std::vector<Staged> staged_;
  // The staged files on their way to the disk.
  DurableBatch<FS> durable_;
  unsigned tempCounter = 0;
  double flushSeconds_ = 0;
  // Where the members still to come begin, at the latest, for each member.
  std::vector<uint64_t> stillNeeded_;
  // The last directory whose file system was asked how it keeps data.
  stdx::u16string durabilityDirectory_;
  Durability durability_{Durability::kPerFile, 0};
  bool durabilityKnown_ = false;
  // Where the stream writes members straight into the files made for
  // them: the reader's, during a run (null otherwise).
  config::MemberDelivery<FS>* delivery_ = nullptr;
  // The copy thread's: what it copied, and its failure (read once it stopped).
  unsigned long laneCopied_ = 0;
  CopyFailure copyFailure_;
  // Last: its thread stops before anything it uses goes.
  WorkLane<CopyJob> copies_;
};

typedef BasicInstaller<FileSystem> Installer;

#include "install/installer_impl.h"
#include "install/installer_stages.h"
