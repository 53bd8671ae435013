// The remove (-U) and the repair (-R): two more readings of the plan the
// verify compares with, acted on under the target's lock.
//  - The remove deletes exactly the files that still hold the package's
//    bytes, keeps everything else of the package's folders (changed files,
//    files someone added, links, folders) and says what it kept, then takes
//    out the package's folders that are left empty, never the target.
//  - The repair writes every member that is missing, outdated or changed,
//    keeping a changed file beside itself first ("NAME.kxq5-modified").
// Both go as the install goes: every change is journalled, each file is
// whole at every moment (set aside or written under a run name, then
// renamed), a failure or a signal puts every file back, and a kill leaves
// each file old or new with only run names as clutter, which the next run
// takes away. With -N they only say what they would do.
#pragma once

#include <vector>

#include "app/command_line.h"
#include "app/member_compare.h"
#include "app/summary.h"
#include "install/package_scan.h"
#include "install/run_plan.h"

class MaintenanceRun {
 public:
  // plan: made from root (the target, open and locked: the writing runs)
  // or from the target's path (a dry run: root INVALID_HANDLE_VALUE).
  MaintenanceRun(const CommandLine& line, const stdx::u16string& target, void* root, RunPlan& plan,
                 const std::vector<PlanMember>& members, std::vector<Check>& checks);
  ~MaintenanceRun();
  MaintenanceRun(const MaintenanceRun&) = delete;
  MaintenanceRun& operator=(const MaintenanceRun&) = delete;

  // Before the package is read: what stops the run at once (a folder or a
  // special file where a member goes, a link on the way, no room), as a
  // failure to word; code 0 when nothing does. A repair takes the run's
  // lock file and clears what killed runs left in the package's folders.
  InstallFailure prepare();

  // What the package's bytes go to: the comparison, and for a repair the
  // members written under run names beside their places too.
  config::MemberBytesSink* sink();

  // The package proved whole: acts (or tells what it would do), prints the
  // lines for each path, and fills in the summary. registered: the target
  // is in the launcher's list.
  void finish(RunSummary& summary, bool registered);

  // The package failed: what the repair wrote is taken away.
  void abandon();

 private:
  class Impl;
  Impl* impl_;
};

// What a directory holds of a package, by the plan's look alone (names,
// sizes and times; no byte is read): the wizard's offer of an update, a
// repair or a remove.
struct InstalledCounts {
  unsigned long current = 0;  // as new as the package's copy and of its size
  unsigned long changed = 0;  // another size, older, a link, or a folder where the file goes
  unsigned long missing = 0;
  bool any() const { return current + changed != 0; }
};
InstalledCounts installed_counts(const stdx::u16string& target, const std::vector<PlanMember>& members);

// The name a changed file is kept by beside itself before the repair
// replaces it: name with this ending, then "-2", "-3"... when that is taken.
constexpr const char16_t* kKeptModifiedSuffix = u".kxq5-modified";
