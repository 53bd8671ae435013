// The administrator's questions, answered without a window and without
// writing anything anywhere (no image in the temporary directory, no
// folder, no lock, no configuration):
//  - the dry run (-N): which members a silent run would write, and whether
//    it would most likely succeed;
//  - the verify (-V): whether the target still holds what the package
//    installs, member by member, by time and bytes.
// The package is inflated and checked whole, as a run checks it, before a
// single member line is printed. Everything inside the target is looked at
// from the target's handle, one directory at a time, without following a
// link, as the run itself goes.
#pragma once

#include "app/command_line.h"
#include "app/summary.h"

// Runs the verify when line.verify is set, else the dry run. Prints the
// member lines on standard output and the messages through messageBox
// (which the caller has pointed at standard error); returns the summary
// for the caller's summary line. The interface language must have been set.
RunSummary run_admin_check(const CommandLine& line);
