// A silent installation without any window, for machines where no display
// can be opened (ssh sessions, containers, configuration management). It
// makes the same start-up checks and the same install run as the wizard,
// through the same install session; every message goes through messageBox,
// which the caller has pointed at standard error, and GTK is never touched.
#pragma once

#include "app/command_line.h"
#include "app/summary.h"

// Runs the installation that line asks for and returns how it ended. The
// interface language must have been set. SIGINT, SIGTERM and SIGHUP during
// the copy cancel it, and the run is rolled back before this returns.
RunSummary run_silent_without_display(const CommandLine& line);
