#include "bench/report.h"

#include <stdio.h>

#include <algorithm>
#include <string>

#include "bench/statistics.h"

namespace bench {
namespace {

// Prints one row of rounds and, when they spread too wide, queues a warning.
void printRounds(const std::string& label, const std::string& column, const std::vector<double>& rounds,
                 std::vector<std::string>& warnings) {
  if (rounds.empty()) return;
  printf("  %-11s %-16s", label.c_str(), column.c_str());
  for (double r : rounds) printf(" %7.3f", r);
  printf("   median %.3f, spread %s\n", median(rounds), percent(spread(rounds)).c_str());
  if (spread(rounds) > kSpreadWarning)
    warnings.push_back(label + " " + column + ": the rounds spread " + percent(spread(rounds)) + " (over " +
                       percent(kSpreadWarning) + "): they disagree, so the median says little; rerun on a "
                       "quiet machine");
}

}  // namespace

void print(const Settings& s, const std::vector<Result>& results, const Result& sample) {
  const double mb = 1e6;
  bool withBaseline = !s.programs[kBaseline].empty();
  printf("\nThe whole program against tar: 'PROGRAM usecwd -S', spawn to exit less its fixed %.1f s pause,\n"
         "and tar -xzf, whole process; medians of the rounds, x tar = median / tar's median,\n"
         "spread = (slowest - fastest) / median; budgets for %s.\n",
         kSuccessPause, s.budgets->name);
  for (int i = withBaseline ? kBaseline : kSetup; i >= kSetup; --i)
    printf("%-9s %s\n", kProgramNames[i], s.programs[i].empty() ? "(none)" : s.programs[i].c_str());
  printf("%-11s %6s %8s  %-9s %6s %9s %6s %7s %7s %9s\n", "tree", "files", "data MB", "side", "rounds",
         "median s", "x tar", "budget", "spread", "peak MiB");
  for (const Result& r : results) {
    double tar = median(r.tarRounds);
    printf("%-11s %6llu %8.1f  %-9s %6zu %9.3f %6s %7s %7s %9s\n", r.label.c_str(), r.files, r.bytes / mb, "tar",
           r.tarRounds.size(), tar, "-", "-", percent(spread(r.tarRounds)).c_str(), "-");
    for (int i = withBaseline ? kBaseline : kSetup; i >= kSetup; --i) {
      const ProgramRuns& p = r.programs[i];
      if (p.rounds.empty()) {
        printf("%-11s %6s %8s  %-9s not timed: %s\n", "", "", "", kProgramNames[i], p.failure.c_str());
        continue;
      }
      char budget[16] = "-";
      if (i == kSetup && r.ratioBudget > 0) snprintf(budget, sizeof budget, "%.2f", r.ratioBudget);
      printf("%-11s %6s %8s  %-9s %6zu %9.3f %6.2f %7s %7s %9.1f\n", "", "", "", kProgramNames[i], p.rounds.size(),
             median(p.rounds), median(p.rounds) / tar, budget, percent(spread(p.rounds)).c_str(),
             p.hwmKib / 1024.0);
      if (!p.failure.empty()) printf("%-11s %6s %8s  %-9s stopped: %s\n", "", "", "", "", p.failure.c_str());
    }
  }

  std::vector<const Result*> windowed = {&sample};
  for (const Result& r : results) windowed.push_back(&r);
  printf("\nThe window: spawn of 'usecwd' (no -S; empty HOME and TMPDIR) in the package's directory\n"
         "to the map event of its top-level window, then SIGTERM; medians (SIGTERM-end: from the\n"
         "signal to the program's end):\n");
  if (!s.displaySkip.empty()) {
    printf("  not measured: %s\n", s.displaySkip.c_str());
  } else {
    printf("%-11s  %-9s %6s %9s %7s %7s %14s\n", "package", "program", "rounds", "median s", "budget", "spread",
           "SIGTERM-end s");
    for (const Result* r : windowed) {
      for (int i = withBaseline ? kBaseline : kSetup; i >= kSetup; --i) {
        const ProgramRuns& p = r->programs[i];
        const char* label = i == (withBaseline ? kBaseline : kSetup) ? r->label.c_str() : "";
        if (p.windows.empty()) {
          printf("%-11s  %-9s not measured: %s\n", label, kProgramNames[i],
                 !p.windowFailure.empty() ? p.windowFailure.c_str() : "no package");
          continue;
        }
        char budget[16] = "-";
        if (i == kSetup && r->windowJudged) snprintf(budget, sizeof budget, "%.2f", kWindowBudgetSeconds);
        printf("%-11s  %-9s %6zu %9.3f %7s %7s %14.3f\n", label, kProgramNames[i], p.windows.size(),
               median(p.windows), budget, percent(spread(p.windows)).c_str(), median(p.ends));
      }
    }
  }

  std::vector<std::string> warnings;
  printf("\nRound by round, in seconds (programs less their pause):\n");
  for (const Result& r : results) {
    printRounds(r.label, "tar", r.tarRounds, warnings);
    for (int i = withBaseline ? kBaseline : kSetup; i >= kSetup; --i)
      printRounds(r.label, std::string(kProgramNames[i]) + " -S", r.programs[i].rounds, warnings);
    printRounds(r.label, "engine alone", r.engineRounds, warnings);
  }
  for (const Result* r : windowed) {
    for (int i = withBaseline ? kBaseline : kSetup; i >= kSetup; --i)
      printRounds(r->label, std::string(kProgramNames[i]) + " window", r->programs[i].windows, warnings);
  }
  for (const std::string& w : warnings) printf("WARNING: %s\n", w.c_str());

  printf("\nThe engine alone: ours = open + install run (in its own process); tar = tar -xzf, whole process.\n");
  printf("%-11s %6s %8s %7s %7s %7s %7s %7s %6s %9s %8s\n", "tree", "files", "data MB", "dpk MB", "tgz MB",
         "ours s", "tar s", "proc s", "ratio", "ours MB/s", "peak MiB");
  for (const Result& r : results) {
    double tar = median(r.tarRounds);
    printf("%-11s %6llu %8.1f %7.1f %7.1f %7.3f %7.3f %7.3f %6.2f %9.0f %8.1f\n", r.label.c_str(), r.files,
           r.bytes / mb, r.packageBytes / mb, r.tarBytes / mb, r.ours, tar, r.wall, r.ours / tar,
           r.bytes / mb / r.ours, r.hwmKib / 1024.0);
  }
  printf("(proc s: the whole install process, with start, exit and the deletion of the image.)\n");
  printf("\nWhere the engine's time goes (medians):\n");
  for (const Result& r : results) {
    double imageWrite = std::max(0.0, r.open - r.inflate);
    double rest = std::max(0.0, r.wall - r.open - r.run);
    printf("  %-11s inflate %.3f s (%.0f MB/s of image); image write and header %.3f s; install run %.3f s "
           "(%.1f us per member, of which the flush before the renames %.3f s); process and image "
           "deletion %.3f s\n",
           r.label.c_str(), r.inflate, r.bytes / mb / r.inflate, imageWrite, r.run,
           r.files ? r.run * 1e6 / r.files : 0.0, r.flush, rest);
    printf("  %-11s of the open: member checksums %.3f s (%.0f MB/s, %.1f%% of ours)\n", r.label.c_str(),
           r.checksums, r.checksums > 0 ? r.bytes / mb / r.checksums : 0.0, r.checksums * 100 / r.ours);
  }
  printf("\nThe program beyond the engine: 'setup usecwd -S' less its pause, against the engine alone\n"
         "(overhead = (program - engine) / engine, medians):\n");
  for (const Result& r : results) {
    const ProgramRuns& p = r.programs[kSetup];
    if (p.rounds.empty()) {
      printf("  %-11s not timed: %s\n", r.label.c_str(), p.failure.c_str());
      continue;
    }
    double program = median(p.rounds);
    printf("  %-11s engine %.3f s; program %.3f s; overhead %+.1f%% (round by round %+.1f%%)\n", r.label.c_str(),
           r.ours, program, (program - r.ours) / r.ours * 100, r.pairedOverhead * 100);
  }
}

bool judge(const Settings& s, const std::vector<Result>& results, const Result& sample) {
  printf("\nBudgets for %s (scratch %s), the setup program only, on medians:\n", s.budgets->name,
         s.scratchFileSystem.c_str());
  bool over = false, unmeasured = false;
  auto verdict = [&](const std::string& label, const std::string& what, bool measured, double value,
                     double budget, int decimals, const char* unit) {
    if (!measured) {
      unmeasured = true;
      printf("  %-11s %-12s not measured\n", label.c_str(), what.c_str());
      return;
    }
    bool kept = value <= budget;
    over = over || !kept;
    printf("  %-11s %-12s %7.*f%-4s budget %.*f%-4s %s\n", label.c_str(), what.c_str(), decimals, value, unit,
           decimals, budget, unit, kept ? "ok" : "OVER");
  };
  for (const Result& r : results) {
    const ProgramRuns& p = r.programs[kSetup];
    bool timed = !p.rounds.empty() && p.failure.empty();
    verdict(r.label, "x tar", timed, median(p.rounds) / median(r.tarRounds), r.ratioBudget, 2, "x");
    verdict(r.label, "peak memory", timed, p.hwmKib / 1024.0, kPeakBudgetMib, 1, " MiB");
  }
  std::vector<const Result*> windowed = {&sample};
  for (const Result& r : results) windowed.push_back(&r);
  for (const Result* r : windowed) {
    if (!r->windowJudged) continue;
    const ProgramRuns& p = r->programs[kSetup];
    verdict(r->label, "window", !p.windows.empty() && p.windowFailure.empty(), median(p.windows),
            kWindowBudgetSeconds, 3, " s");
  }
  const char* outcome = over ? "OVER BUDGET" : unmeasured ? "NOT ALL BUDGETS MEASURED" : "within budget";
  printf("\n%s\n", outcome);
  return !over && !unmeasured;
}

}  // namespace bench
