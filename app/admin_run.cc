#include "app/admin_run.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "app/maintenance_run.h"
#include "app/member_compare.h"
#include "app/package_trust.h"
#include "app/run_log.h"
#include "app/startup.h"
#include "app/stop_signals.h"
#include "install/failure_words.h"
#include "install/package_scan.h"
#include "install/rollback.h"
#include "install/run_plan.h"
#include "install/signed_reads.h"
#include "platform/file_io.h"
#include "platform/printable.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

typedef FileSystem FS;
// The scan's reads feed the signature check, when there is one.
typedef config::PackageScan<LZCompressor, SignedReads<FS>> Scan;

void say(const stdx::u16string& text, unsigned icon = MB_ICONERROR_OK) { messageBox(nullptr, text, icon); }

// How often a check looks again at a target that another run holds.
const int kLockPollMs = 100;

// The share of the target's lock that a check holds while it looks: a run
// that installs there holds it whole, so the check waits (saying so once,
// as an install does) until that run is over, and a run that starts
// meanwhile waits for the check. Nothing is written, the target included.
class TargetLookLock {
 public:
  explicit TargetLookLock(const stdx::u16string& target) {
    fd_ = open(narrow_lib(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;  // nothing there to hold: the plan says what it finds
    bool told = false;
    while (flock(fd_, LOCK_SH | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) return;  // no locks here (some network file systems)
      if (!told) say(LoadResString("IDS_WAITING_LOCK") + u" " + target, MB_PLAIN_OK);
      told = true;
      noteRuns();
      Sleep(kLockPollMs);
    }
    waited_ = told;
    // A run registers its directory after it has let the target go: its
    // process is waited for too (a while at most), so that the answer
    // includes its registration.
    for (int tick = 0; tick < kRunEndTicks && anyRunAlive(); ++tick) Sleep(kLockPollMs);
  }
  bool waited() const { return waited_; }
  ~TargetLookLock() {
    if (fd_ >= 0) close(fd_);  // only read: the lock goes with it
  }
  TargetLookLock(const TargetLookLock&) = delete;
  TargetLookLock& operator=(const TargetLookLock&) = delete;

 private:
  static const int kRunEndTicks = 100;

  // The runs whose lock files are in the target: pid and start, from the name.
  void noteRuns() {
    DIR* listing = fdopendir(dup(fd_));
    if (listing == nullptr) return;
    while (struct dirent* entry = readdir(listing)) {
      stdx::u16string tag;
      if (!parse_run_name(widen_lib(stdx::string(entry->d_name)), tag)) continue;
      int pid = 0;
      unsigned long long start = 0;
      char rest[8] = {};
      if (sscanf(narrow_lib(tag).c_str(), "%d-%llu%7s", &pid, &start, rest) == 2 && pid > 0 &&
          strstr(entry->d_name, "-lock") != nullptr)
        runs_.push_back(std::make_pair(pid, start));
    }
    closedir(listing);
  }
  bool anyRunAlive() const {
    for (const auto& run : runs_)
      if (process_start_ticks(run.first) == run.second) return true;
    return false;
  }

  int fd_ = -1;
  bool waited_ = false;
  std::vector<std::pair<int, unsigned long long>> runs_;
};

// The whole of the target's lock, as an install takes it, for a run that
// writes there (the remove, the repair): waited for while another run
// holds it, saying so once. The handle is the anchor of every step of the
// run; the directory locked must still be the one at the target's path.
class TargetWriteLock {
 public:
  explicit TargetWriteLock(const stdx::u16string& target) {
    bool told = false;
    for (;;) {
      code_ = FS::CreateFile(target, GENERIC_READ, 0, OPEN_EXISTING, handle_);
      if (code_ != 0) return;
      // A signal meanwhile ends the program: nothing is written yet.
      while ((code_ = FS::LockFile(handle_, false)) == ERROR_LOCK_VIOLATION) {
        if (!told) say(LoadResString("IDS_WAITING_LOCK") + u" " + target, MB_PLAIN_OK);
        told = true;
        Sleep(kLockPollMs);
      }
      FileInformation held, named;
      if (code_ == 0) code_ = FS::GetFileInformationByHandle(handle_, held);
      if (code_ == 0 && held.attributes != FILE_ATTRIBUTE_DIRECTORY) code_ = FsResult(ERROR_PATH_NOT_FOUND, ENOTDIR);
      if (code_ == 0 && FS::GetFileInformation(target, true, named) == 0 && named.volume == held.volume &&
          named.index == held.index)
        return;
      FS::CloseHandle(handle_);  // only read: the lock goes with it
      handle_ = INVALID_HANDLE_VALUE;
      if (code_ != 0) return;
    }
  }
  ~TargetWriteLock() {
    if (handle_ != INVALID_HANDLE_VALUE) FS::CloseHandle(handle_);  // the lock goes with it
  }
  TargetWriteLock(const TargetWriteLock&) = delete;
  TargetWriteLock& operator=(const TargetWriteLock&) = delete;

  void* handle() const { return handle_; }
  FsResult code() const { return code_; }

 private:
  void* handle_ = INVALID_HANDLE_VALUE;
  FsResult code_;
};

}  // namespace

RunSummary run_admin_check(const CommandLine& line) {
  const bool verify = line.verify;
  const bool maintains = line.remove || line.repair;
  // The remove and the repair write, unless -N only asks what they would do.
  const bool writes = maintains && !line.dryRun;
  RunSummary summary;
  const RunMode mode = line.remove ? RunMode::kRemove : line.repair ? RunMode::kRepair : RunMode::kInstall;
  summary.mode = mode;
  // A dry run that cannot start says so in its own words; a verify ends
  // as any run that cannot start.
  auto cannotStart = [&summary, verify, writes](const stdx::u16string& text) {
    say(text);
    summary.why = text;
    if (writes) summary.result = RunResult::kNotStarted;
    else if (!verify) {
      summary.result = RunResult::kWouldFail;
      summary.packageFailed = true;
    }
    summary.copied = summary.upToDate = 0;
    return summary;
  };

  // A signal ends the check at once, as a cancel with its summary line
  // (the caller's guard catches it), like any silent run: nothing was
  // written, so nothing is to be undone. The line names the target once
  // it is known.
  auto summaryOnSignal = [mode](const stdx::u16string& target) {
    RunSummary cancelled;
    cancelled.mode = mode;
    cancelled.result = RunResult::kCancelled;
    cancelled.target = target;
    set_outcome_on_signal(exit_status(cancelled), format_summary(cancelled));
  };

  stdx::u16string target;
  if (line.hasTarget) {
    target = target_from_option(line.targetText);
    if (target.empty()) return cannotStart(LoadResString("IDS_SETUP_EMPTYTARGET"));
  }
  StartupInfo info;
  PackageTrust trust(find_trusted_key(key_places()));
  info.trust = &trust;
  const char* key = run_readonly_checks(line.useCwd, info);
  summary.signature = trust.word();
  if (key == nullptr && !line.hasTarget) target = info.targetPath;
  if (key == nullptr && target.empty()) key = "IDS_ERROR_NOTARGET";
  target = strip_trailing_separators(target);
  summary.target = target;
  summaryOnSignal(target);
  if (key != nullptr) return cannotStart(startup_error_text(key, info, line.useCwd));
  // A log inside the target is a mistake on the command line: nothing is
  // looked at, and the run ends as one given an option it does not take.
  stdx::u16string logRefusal = log_refusal(target);
  if (!logRefusal.empty()) {
    say(logRefusal);
    summary.why = logRefusal;
    summary.logRefused = true;
    return summary;
  }
  // An install that holds the target is waited for before anything is
  // looked at: its files and its registration are part of the answer.
  // A run that writes holds the target's lock whole instead, from before
  // the first look to its last step.
  std::unique_ptr<TargetLookLock> looking;
  std::unique_ptr<TargetWriteLock> holding;
  if (writes) holding.reset(new TargetWriteLock(target));
  else looking.reset(new TargetLookLock(target));
  if (writes || looking->waited()) info.launcher = read_launcher_templates();
  // What the launcher's list says is known before the package is read.
  const std::vector<stdx::u16string>& dirs = info.launcher.dirs;
  summary.registrationUnchanged = !dirs.empty() && strip_trailing_separators(dirs[0]) == target;
  for (const stdx::u16string& dir : dirs) summary.registered = summary.registered || names_folder(dir, target);

  // Under a pinned key, a package changed after signing is told as such.
  auto damaged = [&](const stdx::u16string& words) {
    stdx::u16string refusal = trust.refusalOnDamage(info.packagePath);
    summary.signature = trust.word();
    return cannotStart(refusal.empty() ? words : refusal);
  };
  Scan scan;
  FsResult code = scan.readHeader(info.packagePath);
  if (code != 0 && code.errnoValue() != 0) return cannotStart(package_read_line(info.packagePath, code.errnoValue()));
  if (code != 0) return damaged(damaged_package_text(scan.memberClash()));
  // The image an install stores must fit where it goes, as the run's
  // start-up finds once it knows the image's size.
  unsigned long long freeBytes = 0;
  if (FS::GetFreeSpaceTmpDir64(&freeBytes) == 0 && freeBytes < scan.imageEnd()) {
    stdx::u16string tempDir;
    FS::GetTempPath(tempDir);
    return cannotStart(image_space_message(strip_trailing_separators(tempDir), scan.imageEnd(), freeBytes));
  }

  // The plan of the run, as the install would make it: what it would do
  // with each member, and what would stop it.
  RunPlan plan;
  const std::vector<PlanMember> members = plan_members(scan.files);
  if (writes && holding->code() == ERROR_FILE_NOT_FOUND && line.remove) {
    // Nothing there, so nothing of the package: only the launcher's list
    // may still name the folder.
    printf("setup: nothing to remove in %s\n", narrow_lib(printable_name(target)).c_str());
    summary.result = RunResult::kMaintained;
    summary.list = ListChange::kNone;
    // A signal now waits for the launcher's file to be written, and the
    // line then says what was done.
    CopySignalScope changing(nullptr);
    if (summary.registered) {
      bool listed = false;
      Registration r = unregister_template_dir(target, listed);
      summary.list = r.failed ? ListChange::kFailed : listed ? ListChange::kRemoved : ListChange::kNone;
      if (r.failed) say(registration_message(r), MB_ICONWARNING_OK);
    }
    set_outcome_on_signal(exit_status(summary), format_summary(summary));
    return summary;
  }
  // What the target stops is a failure of the run, as its dry run says:
  // would-fail there, failed-restored here (nothing was changed), exit 2.
  auto targetStops = [&summary, writes](const InstallFailure& stop) {
    summary.why = failure_text(stop);
    summary.result = writes ? RunResult::kFailed : RunResult::kWouldFail;
    say(summary.why);
    return summary;
  };
  if (writes && holding->code() != 0) return targetStops(InstallFailure(FileError::of(holding->code(), target)));
  if (writes) plan.lookFrom(holding->handle(), target, members, false);
  else plan.lookAt(target, members, !verify);
  // Two members the target cannot keep apart: no verify can tell which of
  // them the one file should be, and no install would start.
  if (plan.caseStop().code != 0) return cannotStart(failure_text(plan.caseStop()));
  std::vector<Check> checks(scan.files.size());
  for (size_t i = 0; i < checks.size(); ++i) {
    // Another size is other bytes: nothing to read.
    const MemberPlan& m = plan.member(i);
    if (m.fate == MemberFate::kCurrent && m.seen.sizeBytes != scan.files[i].size) checks[i].differs = true;
  }

  std::unique_ptr<ByteComparer> comparer;
  if (verify && plan.targetExists()) comparer.reset(new ByteComparer(plan, checks));
  // From here until the run is over, a signal puts back what the run
  // changed instead of ending the program.
  std::unique_ptr<CopySignalScope> changing;
  if (writes) changing.reset(new CopySignalScope(nullptr));
  std::unique_ptr<MaintenanceRun> maintenance;
  if (maintains) {
    maintenance.reset(new MaintenanceRun(line, target, writes ? holding->handle() : INVALID_HANDLE_VALUE, plan,
                                         members, checks));
    InstallFailure stop = maintenance->prepare();
    if (stop.code != 0) {
      maintenance.reset();
      return targetStops(stop);
    }
  }
  {
    SignatureCheckScope hashing(trust.check());
    config::MemberBytesSink* sink = comparer.get();
    if (maintenance && plan.targetExists()) sink = maintenance->sink();
    code = scan.scan(info.packagePath, sink);
  }
  comparer.reset();
  // A package found wrong leaves nothing of a repair behind.
  auto refused = [&](FsResult failed, bool signature) {
    if (maintenance) maintenance->abandon();
    return failed != 0 || signature;
  };
  // Only bad bytes are damage: a read the system refused names the package
  // and the reason.
  if (code != 0 && refused(code, false) && code.errnoValue() != 0)
    return cannotStart(package_read_line(info.packagePath, code.errnoValue()));
  if (code != 0) return damaged(LoadResString("IDS_ERROR_DAMAGEDSOURCE"));
  if (trust.check() != nullptr) {
    FsResult checked = finish_signature_check<FS>(*trust.check(), info.packagePath);
    summary.signature = trust.word();
    if (!trust.refusal().empty() && refused(0, true)) return cannotStart(trust.refusal());
    if (checked != 0 && refused(checked, false)) return cannotStart(failure_cause_line(info.packagePath, checked.errnoValue()));
  }
  if (maintenance) {
    maintenance->finish(summary, summary.registered);
    // Done or put back: a signal from here on ends the program with this
    // run's own line and status, not with the cancel published before.
    if (writes) set_outcome_on_signal(exit_status(summary), format_summary(summary));
    changing.reset();
    if (int pause = writes ? test_pause_ms("SETUP_TEST_PAUSE_BEFORE_SUMMARY_MS") : 0) {
      fflush(stdout);  // the lines so far tell the test where the run is
      Sleep(pause);
    }
    return summary;
  }

  if (verify) {
    summary.result = RunResult::kVerified;
    summary.members = logged_members(plan.members(), target, false);
    for (size_t i = 0; i < checks.size(); ++i) {
      const MemberPlan& m = plan.member(i);
      const char* word = nullptr;
      switch (installed_state(m, checks[i])) {
        case Installed::kOk: ++summary.ok; break;
        case Installed::kMissing: word = "missing"; ++summary.missing; break;
        case Installed::kOutdated: word = "outdated"; ++summary.outdated; break;
        case Installed::kModified: word = "modified"; ++summary.modified; break;
      }
      summary.members[i].verb = word != nullptr ? word : "ok";
      summary.members[i].why = word == nullptr ? "the package's bytes"
                               : m.fate == MemberFate::kCurrent ? "as new as the package's, other bytes"
                                                                 : summary.members[i].why;
      if (word != nullptr) printf("setup: %s %s\n", word, narrow_lib(printable_name(plan.pathOf(m.relative))).c_str());
    }
    for (size_t i = 0; i < checks.size(); ++i) {
      const MemberPlan& m = plan.member(i);
      if (checks[i].errnoValue != 0) summary.members[i].why = "could not be read";
      int e = m.fate == MemberFate::kUnknown ? m.stop.errnoValue() : checks[i].errnoValue;
      if (m.fate == MemberFate::kUnknown || e != 0)
        say(failure_cause_line(printable_name(plan.pathOf(m.relative)), e), MB_ICONWARNING_OK);
    }
    return summary;
  }

  // The dry run: what the run would write, and the first thing that
  // would stop it, in the order the run meets them.
  for (const MemberPlan& m : plan.members()) {
    if (m.copies()) {
      ++summary.copied;
      printf("setup: would copy %s (%s)\n", narrow_lib(printable_name(plan.pathOf(m.relative))).c_str(),
             m.fate == MemberFate::kNew ? "new" : "replaces an older file");
    } else if (m.fate == MemberFate::kCurrent) {
      ++summary.upToDate;
    }
  }
  summary.result = RunResult::kWouldInstall;
  summary.members = logged_members(plan.members(), target, false);
  InstallFailure failure = plan.verdict();
  if (failure.code != 0) {
    say(failure_text(failure));
    summary.why = failure_text(failure);
    summary.result = RunResult::kWouldFail;
  }
  return summary;
}
