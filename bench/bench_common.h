// What every part of the install benchmark shares: its settings, the
// clock, the programs it times and the budgets they are judged by.
#pragma once

#include <string>

namespace bench {

// The clock of every figure: monotonic seconds.
double now();

// After a successful copy the program waits this long before it ends, so
// that the final page can be read; it is no cost of the install and is
// taken out before comparing.
const double kSuccessPause = 1.0;

struct RatioBudgets;

struct Settings {
  unsigned files = 20000, minKib = 1, maxKib = 64;
  unsigned largeFiles = 20, largeMinMib = 10, largeMaxMib = 50;
  unsigned repeat = 5;
  int level = 6;
  std::string scratch;
  bool check = false, keep = false;
  // The programs timed whole: the one under test, then the baseline; empty
  // when absent. setupSkip says why the one under test is not timed;
  // displaySkip why neither program is (both are timed with a display).
  std::string programs[2];
  std::string setupSkip, displaySkip;
  // Where the trees are written, for the report, and the budgets that apply there.
  std::string scratchFileSystem;
  const RatioBudgets* budgets = nullptr;
};

// The programs timed whole: the one under test, and the baseline beside it.
enum ProgramIndex { kSetup = 0, kBaseline = 1, kProgramCount = 2 };
const char* const kProgramNames[kProgramCount] = {"setup", "baseline"};

// Budgets of the program under test (never the baseline), on medians. The
// ratios to tar depend on where the trees are written: tmpfs takes the
// file system's own cost out of both sides.
struct RatioBudgets {
  const char* name;
  double large, small;
};
const RatioBudgets kTmpfsBudgets = {"tmpfs", 0.25, 0.35};
const RatioBudgets kDiskBudgets = {"a file system other than tmpfs", 0.5, 0.7};
const double kPeakBudgetMib = 64;
const double kWindowBudgetSeconds = 0.1;
// Rounds whose spread is wider than this get a warning: their median says
// little.
const double kSpreadWarning = 0.25;

}  // namespace bench
