// One installation from the start-up checks to its outcome, shared by the
// wizard and the silent run without a display: it owns the package reader,
// the state the run shares with whoever watches it, the worker thread and
// the outcome that the worker posts. It knows no toolkit; the wizard keeps
// the window, the pages and the timers, and acts only on what this reports.
//
// Thread safety: every method except updateProgress() belongs to the thread
// that made the session; updateProgress() runs on the worker. The two meet
// only in the shared record, whose every operation takes its lock.
#pragma once

#include <thread>

#include "app/package_trust.h"
#include "app/startup.h"
#include "app/summary.h"
#include "install/install_thread.h"
#include "install/installer.h"

class InstallSession : public InstallWorker {
 public:
  explicit InstallSession(bool useCwd);
  // Stops the inflating, joins the worker and the checks.
  ~InstallSession() override;
  InstallSession(const InstallSession&) = delete;
  InstallSession& operator=(const InstallSession&) = delete;

  // The start-up checks: begun on a thread of their own
  // so that they overlap the toolkit's set-up; awaitChecks waits for them
  // (or runs them here when no thread could be had) and returns null when
  // the run may go on, else the resource key of what stops it.
  void beginChecks();
  const char* awaitChecks();
  // The message for a key from awaitChecks, naming what it can.
  stdx::u16string checksMessage(const char* key) const;
  const StartupInfo& startupInfo() const { return info_; }
  // The package's signature: judged by the checks, decided as the package
  // is read. A refusal found before the copy starts is the checks' or
  // signatureRefusal()'s; one found later fails the run, which is rolled
  // back, with the refusal's words.
  const PackageTrust& trust() const { return trust_; }
  // Refused already (the package may have been read whole before the copy
  // begins): the words; else empty.
  stdx::u16string signatureRefusal() const { return trust_.refusal(); }
  // After the image failed (its reading has ended): the signature's words
  // when the package is not the one signed, else empty.
  stdx::u16string signatureRefusalOnDamage() { return trust_.refusalOnDamage(info_.packagePath); }
  PackageReader& reader() { return reader_; }
  bool useCwd() const { return useCwd_; }
  const PackageReader& reader() const { return reader_; }

  // Starts the copy into target on the worker. False when no worker could
  // be started: the outcome is then posted as a failure at once.
  bool start(const stdx::u16string& target);
  // Asks the run to stop after the member in hand (or while it waits for
  // the package or the lock) and to roll back. Safe to call again.
  void requestStop();
  // The record a signal handler may ask to stop.
  InstallProgress* progressRecord() { return &processData_; }

  // What the run last posted, for a progress display.
  struct Progress {
    int percent = 0;
    bool waitingForLock = false;  // another run holds the target
    stdx::u16string text;         // during the copy, the path of the file being copied
  };
  Progress progress();
  // What to say while another run holds the target: which one.
  stdx::u16string waitingMessage() const;
  // The outcome once the worker has posted it (its last act); false before.
  bool outcome(InstallOutcome& outcome);
  // The same, waiting at most timeoutMs for it.
  bool awaitOutcome(InstallOutcome& outcome, int timeoutMs);
  // Waits for the worker to end. Safe to call any number of times.
  void join();

  // After an installed outcome: puts the target at the front of the
  // launcher's list and writes it where it belongs.
  const Registration& registerTarget();
  // After an installed outcome: the target cannot be registered, for why.
  void refuseRegistration(const Registration& why) {
    registration_ = why;
    registered_ = true;
  }
  // What the registration came to; not failed before it was tried.
  const Registration& registration() const { return registration_; }

  // Before the copy: the target the run is to use, for the summary.
  void setTarget(const stdx::u16string& target) { target_ = target; }
  // Before the copy: the user ended the run (a cancel), or the run cannot
  // go on (the package proved unusable, no target): not started.
  void cancelBeforeCopy() { endedBeforeCopy_ = RunResult::kCancelled; }
  // why: what the user was told, for the run's log.
  void refuseBeforeCopy(const stdx::u16string& why = stdx::u16string()) {
    refusedBeforeCopy_ = true;
    if (!why.empty()) why_ = why;
  }

  // The summary of the run as it stands: not started, cancelled before the
  // copy, or the outcome with the registration.
  RunSummary summary() const;
  // How the run ends when a signal ends it now: as it stands once it has
  // an outcome (or cannot go on), else as a cancel.
  RunSummary summaryOnSignal() const;
  const stdx::u16string& target() const { return target_; }

  // The worker's side: one run, then the outcome.
  bool updateProgress() override;

  // Tests only: the worker waits ms between the end of the run and posting
  // its outcome.
  static void setPauseAfterRunForTests(int ms);

 private:
  bool useCwd_;
  PackageReader reader_;
  // Read by the const summary() too: its operations only take its lock.
  mutable InstallProcessData processData_;
  StartupInfo info_;
  PackageTrust trust_;
  std::thread checks_;
  const char* checksError_ = nullptr;
  bool checksDone_ = false;
  stdx::u16string target_;
  bool started_ = false;
  bool registered_ = false;
  // How the run ended before any copy: kNotStarted when nobody said.
  RunResult endedBeforeCopy_ = RunResult::kNotStarted;
  bool refusedBeforeCopy_ = false;
  stdx::u16string why_;
  Registration registration_;
  // Last member: joined in the destructor before the members above go.
  InstallThread thread_;
};
