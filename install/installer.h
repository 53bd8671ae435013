// The install run: InstallProcessData, the record that the user-interface
// thread and the worker share, and Installer, which copies the package's
// members into the target directory under a rollback journal.
//
// Thread safety: every InstallProcessData operation holds its one lock for
// its whole length, so both threads may call any of them at any time. An
// Installer belongs to the thread that runs it.
#pragma once

#include <semaphore.h>
#include <stdint.h>

#include "install/install_data.h"
#include "install/lz_compressor.h"
#include "install/path_probe.h"
#include "install/rollback.h"
#include "platform/file_system.h"
#include "platform/stdx_string.h"

typedef config::InstallData<LZCompressor, FileSystem> PackageReader;

// The code of a member that the run refuses to write: its target is a
// directory, a symbolic link or a special file, or its path passes through
// a symbolic link below the target directory (Win32's ERROR_ACCESS_DENIED).
const unsigned kErrorRefusedTarget = 5;

class InstallProcessData {
 public:
  InstallProcessData();
  ~InstallProcessData();
  InstallProcessData(const InstallProcessData&) = delete;
  InstallProcessData& operator=(const InstallProcessData&) = delete;

  // Before the worker starts: the opened package (not owned; it must
  // outlive the run) and the target directory, which gets a trailing "/"
  // unless it is empty or ends with "/" or "\". Clears the cancel request,
  // the state and the percent.
  void init(PackageReader* installData, const stdx::u16string& targetDirectory);
  void get(PackageReader*& installData, stdx::u16string& targetDirectory);

  // A cancel request is honoured after the member being copied.
  void setCancel(bool cancel);
  bool isCancelled();

  // state: 0 while the run goes on and after success, else the failing
  // code; text: the target path of the member in hand, or the final text.
  void setInstallState(unsigned state, const stdx::u16string& text, int percent);
  void getInstallState(unsigned& state, stdx::u16string& text, int& percent);

 private:
  class Hold;

  sem_t lock;
  PackageReader* installData;
  stdx::u16string targetDirectory;
  bool cancelled;
  unsigned installState;
  stdx::u16string stateText;
  int percent;
};

class Installer : public Rollback {
 public:
  // How long the worker lingers after posting success, so that the window
  // shows the full bar before it moves on.
  static const int kFinishPauseMs = 1000;

  explicit Installer(int finishPauseMs = kFinishPauseMs);

  // Installs every member of the package named by data (which must stay
  // valid for the call) into its target directory. Posts progress, then one
  // final state. Returns 0 on success; ERROR_CANCELLED (1223) after a
  // cancel, with everything undone and no final state; otherwise the first
  // failing code (from the journal, the file layer or the reader, or
  // kErrorRefusedTarget), posted with the percent reached, with everything
  // undone. A member whose installed copy is as new or newer (to the
  // second) is left alone.
  unsigned run(InstallProcessData* data);

  // Posts code with the error text and percent, then rolls back; returns code.
  unsigned stopOnError(unsigned code, uint64_t percent);

  // True when the member must be copied: no readable file at path, or one
  // older than memberTime. Both times are compared in whole seconds, the
  // resolution at which copies get their time.
  bool compareFiles(const stdx::u16string& path, const FILETIME& memberTime);

  // Members of the last run that were copied, and that were left alone as
  // up to date. After a failure or a cancel they count what the run did
  // before it was rolled back.
  unsigned long copiedFiles() const { return copiedFiles_; }
  unsigned long upToDateFiles() const { return upToDateFiles_; }

 private:
  unsigned installMember(PackageReader* reader, size_t index, const stdx::u16string& target,
                         const stdx::u16string& path, bool& copied);
  unsigned checkDirectories(const stdx::u16string& target, const stdx::u16string& directory);

  InstallProcessData* processData;
  int finishPauseMs;
  // The directory of the last member written: it exists, was made by the
  // journal where needed and holds no symbolic link below the target.
  stdx::u16string readyDirectory;
  unsigned long copiedFiles_ = 0;
  unsigned long upToDateFiles_ = 0;
};
