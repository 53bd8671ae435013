// The run's log (-l FILE): what a run, silent or not, did with each member
// and why, how it ended and its summary line, appended to a file of the
// user's choosing once the run is over. It is taken from the same records
// as the summary line and the dry run's lines (the run's plan and its
// outcome): the target is never looked at again to write it.
//
// The log never goes into the target: the run would copy, replace or
// remove beside it, and a later verify would find a file no package holds.
// Whether it would is told from the file system (the folders as they
// resolve, links followed, and their device and inode), not from how the
// two paths are spelt.
//
// A log that cannot be written changes nothing of the run's outcome: its
// exit status and summary line stand, and standard error says why.
#pragma once

#include <vector>

#include "app/summary.h"
#include "install/member_plan.h"
#include "platform/stdx_string.h"

// The -l option: the file this process's run logs to (empty: none).
void set_log_option(const stdx::string& path);
const stdx::string& log_option();

// Why the log cannot be where the option puts it for a run into target:
// it is the target itself or inside it. Empty when it may, or when no log
// was asked for.
stdx::u16string log_refusal(const stdx::u16string& target);

// True when path (a file or folder; it or its last folders may not exist
// yet) is directory or lies below it, as the file system resolves both.
bool path_inside(const stdx::string& path, const stdx::string& directory);

// The members of a run's plan as the log tells them: done is false when
// the run did not go through (nothing it planned was kept), so what it
// would have copied is told as such.
std::vector<LoggedMember> logged_members(const std::vector<MemberPlan>& plan, const stdx::u16string& target,
                                         bool done);

// The log's text for one run: mode is "install", "dry-run" or "verify".
stdx::string format_run_log(const RunSummary& summary, const char* mode, const stdx::string& started);

// Appends the log of the run summary describes to the option's file, when
// one was asked for and may be written. Returns 0, or the errno that kept
// it from being written, which standard error has been told.
int write_run_log(const RunSummary& summary, const char* mode);
