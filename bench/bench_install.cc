// Benchmark of the installer against tar -xzf.
//
// Its headline is the whole program: 'setup usecwd -S' from spawn to exit,
// less the fixed pause after success, against tar -xzf of the same tree,
// round by round, with the median and the spread of the rounds and the
// program's peak resident memory; and the time from spawning the program
// (with its window) to the window being mapped, for each package and the
// sample. Given a baseline (an older build, say), it times that program
// the same way in the same rounds, for a before/after table from one run.
// Every side of every round starts from the same state: what the side
// before wrote is deleted, everything is written back, and the inputs are
// read into the page cache.
//
// For each of two synthetic trees (many small files; few large files) it
// builds our package and a tarball of the same tree. Beside the whole
// program it also times the engine alone (opening the package plus one
// install run into an empty directory, in a fresh process) and says where
// the engine's time goes.
//
//   bench_install                     full size (about 1.3 GB of data)
//   bench_install --quick             a small run for a smoke test
//   bench_install --baseline PATH     before and after, side by side
//   bench_install --help              every knob
//
// The parts, one job each: trees.* (the synthetic trees), spawn.* (running
// tar, the install step and the setup program), window_timing.* (the time
// to the window), engine_step.* (the engine alone, in a process of its own),
// statistics.* (medians and spreads), measurement.* (the rounds), report.*
// (the tables and the budgets' verdicts); this file is the command line.

#include <errno.h>
#include <linux/magic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/engine_step.h"
#include "bench/measurement.h"
#include "bench/report.h"
#include "bench/trees.h"
#include "bench/window_timing.h"

using namespace bench;

namespace {

const char kUsage[] =
    "Usage: bench_install [options]\n"
    "  --files N          files of the many-small tree (default 20000)\n"
    "  --min-kib N        smallest small file in KiB (default 1)\n"
    "  --max-kib N        largest small file in KiB (default 64)\n"
    "  --large-files N    files of the few-large tree (default 20)\n"
    "  --large-min-mib N  smallest large file in MiB (default 10)\n"
    "  --large-max-mib N  largest large file in MiB (default 50)\n"
    "  --repeat N         timed rounds per tree; medians are reported (default 5)\n"
    "  --level N          DEFLATE level of both package and tarball (default 6)\n"
    "  --scratch DIR      where to work (default $TMPDIR or /tmp)\n"
    "  --quick            2000 small files, 4 large files of 2-8 MiB, 1 round\n"
    "                     (the options beside it still count)\n"
    "  --setup PATH       the setup program timed whole, 'setup usecwd -S' on\n"
    "                     each package, and its window (default: the one of\n"
    "                     this build tree). Needs DISPLAY: without a display\n"
    "                     'setup -S' takes another path, and only tar and the\n"
    "                     engine alone are timed\n"
    "  --baseline PATH    another setup program (an older build, say) timed the\n"
    "                     same way in the same rounds, for before and after;\n"
    "                     never judged against the budgets\n"
    "  --check            exit 1 when a budget of the setup program is missed or\n"
    "                     could not be measured. On medians: at most 0.25x tar\n"
    "                     for the few-large tree and 0.35x for the many-small one\n"
    "                     when the scratch directory is on tmpfs, 0.5x and 0.7x\n"
    "                     otherwise; peak resident memory 64 MiB; the window\n"
    "                     mapped within 0.1 s of the spawn for every package\n"
    "                     and the sample\n"
    "  --keep             keep the scratch directory\n";

#ifdef SETUP_PATH
const char kDefaultSetup[] = SETUP_PATH;
#else
const char kDefaultSetup[] = "";
#endif

// The kind of file system at path, for the report, and whether it is tmpfs.
std::string fileSystemOf(const std::string& path, bool& tmpfs) {
  struct statfs fs;
  tmpfs = false;
  if (statfs(path.c_str(), &fs) != 0) return std::string("unknown: ") + strerror(errno);
  tmpfs = fs.f_type == TMPFS_MAGIC;
  switch (fs.f_type) {
    case TMPFS_MAGIC: return "on tmpfs";
    case EXT4_SUPER_MAGIC: return "on ext2/3/4";
    case XFS_SUPER_MAGIC: return "on xfs";
    case BTRFS_SUPER_MAGIC: return "on btrfs";
    case OVERLAYFS_SUPER_MAGIC: return "on overlayfs";
  }
  char text[64];
  snprintf(text, sizeof text, "on a file system of type 0x%lx", static_cast<unsigned long>(fs.f_type));
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--install-step") == 0) return installStep(argv[2], argv[3]);

  Settings s;
  // --quick sets the sizes first, so that options given beside it, before
  // or after, still count.
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--quick") == 0) {
      s.files = 2000;
      s.largeFiles = 4;
      s.largeMinMib = 2;
      s.largeMaxMib = 8;
      s.repeat = 1;
    }
  }
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto number = [&](unsigned& v) {
      if (i + 1 >= argc) {
        fprintf(stderr, "bench_install: %s needs a number\n", a.c_str());
        exit(2);
      }
      v = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
    };
    unsigned level = 0;
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--files") number(s.files);
    else if (a == "--min-kib") number(s.minKib);
    else if (a == "--max-kib") number(s.maxKib);
    else if (a == "--large-files") number(s.largeFiles);
    else if (a == "--large-min-mib") number(s.largeMinMib);
    else if (a == "--large-max-mib") number(s.largeMaxMib);
    else if (a == "--repeat") number(s.repeat);
    else if (a == "--level") {
      number(level);
      s.level = static_cast<int>(level);
    } else if (a == "--scratch" && i + 1 < argc) s.scratch = argv[++i];
    else if (a == "--quick") {
    } else if (a == "--check") s.check = true;
    else if (a == "--keep") s.keep = true;
    else if (a == "--setup" && i + 1 < argc) s.programs[kSetup] = argv[++i];
    else if (a == "--baseline" && i + 1 < argc) s.programs[kBaseline] = argv[++i];
    else {
      fprintf(stderr, "bench_install: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  if (s.minKib == 0 || s.maxKib < s.minKib || s.largeMinMib == 0 || s.largeMaxMib < s.largeMinMib ||
      s.repeat == 0 || s.level > 9) {
    fprintf(stderr, "bench_install: inconsistent sizes\n");
    return 2;
  }
  if (s.scratch.empty()) {
    const char* t = getenv("TMPDIR");
    s.scratch = t && *t ? t : "/tmp";
  }
  std::string& setup = s.programs[kSetup];
  std::string& baseline = s.programs[kBaseline];
  if (setup.empty()) setup = kDefaultSetup;
  if (setup.empty())
    s.setupSkip = "no setup program (this build has none; give --setup PATH)";
  else if (access(setup.c_str(), X_OK) != 0)
    s.setupSkip = "no setup program at " + setup + " (" + strerror(errno) + ")";
  // A baseline that was asked for and is not there is a mistake, not
  // something to skip quietly.
  if (!baseline.empty() && access(baseline.c_str(), X_OK) != 0) {
    fprintf(stderr, "bench_install: no baseline program at %s (%s)\n", baseline.c_str(), strerror(errno));
    return 2;
  }
  if (!s.setupSkip.empty()) setup.clear();
  // The programs run in the package's directory, so a relative path would miss.
  for (std::string& program : s.programs) {
    if (program.empty()) continue;
    char* absolute = realpath(program.c_str(), nullptr);
    if (absolute != nullptr) program = absolute;
    free(absolute);
  }
  // With a display, 'setup -S' shows its progress in a window and pauses
  // after success, the pause taken out here; without one it takes another
  // path, with no window and no pause. Only the first is the program's
  // figure, so neither program is timed without a display.
  s.displaySkip = displayProblem();
  if (!s.setupSkip.empty()) fprintf(stderr, "the setup program is not timed: %s\n", s.setupSkip.c_str());
  if (!s.displaySkip.empty()) fprintf(stderr, "no program is timed whole: %s\n", s.displaySkip.c_str());
  s.scratch += "/bench_install_XXXXXX";
  if (mkdtemp(&s.scratch[0]) == nullptr) {
    fprintf(stderr, "bench_install: cannot create a scratch directory: %s\n", strerror(errno));
    return 1;
  }
  bool tmpfs = false;
  s.scratchFileSystem = s.scratch + " " + fileSystemOf(s.scratch, tmpfs);
  s.budgets = tmpfs ? &kTmpfsBudgets : &kDiskBudgets;
  setAsideOutputs(!tmpfs);
  fprintf(stderr, "scratch directory: %s; budgets for %s\n", s.scratchFileSystem.c_str(), s.budgets->name);

  // The large tree goes first: deleting its few files afterwards leaves no
  // crowd of freshly deleted inodes to slow down the next tree's many new
  // files. Each tree's files are all deleted only after it is measured.
  std::vector<TreeSet> sets;
  if (s.largeFiles != 0)
    sets.push_back({"few-large", s.largeFiles, s.largeMinMib * (1ull << 20), s.largeMaxMib * (1ull << 20), 2,
                    s.budgets->large, true, s.scratch});
  if (s.files != 0)
    sets.push_back({"many-small", s.files, s.minKib * 1024ull, s.maxKib * 1024ull, 1, s.budgets->small, true,
                    s.scratch});
  std::vector<Result> results(sets.size());
  bool ok = true;
  for (size_t i = 0; i < sets.size() && ok; ++i) {
    ok = prepare(s, sets[i], results[i]) && measure(s, sets[i], results[i]);
    if (!s.keep) removeTree(sets[i].dir());
  }

  // The bundled sample lies beside the program of this build; the baseline
  // opens the same one.
  Result sample;
  sample.label = "sample";
  sample.windowJudged = true;
  sample.programs[kSetup].windowFailure = s.setupSkip;
  if (ok && s.displaySkip.empty() && (!setup.empty() || !baseline.empty())) {
    std::string program = !setup.empty() ? setup : baseline;
    std::string sampleDir = program.substr(0, program.rfind('/'));
    std::string package = sampleDir + "/kxq5.dpk";
    if (access(package.c_str(), R_OK) == 0) {
      measureWindows(s, sampleDir, s.scratch + "/sample-window", package, "", sample.programs);
    } else {
      for (ProgramRuns& p : sample.programs) {
        if (p.windowFailure.empty()) p.windowFailure = "no sample package at " + package;
      }
    }
  }
  if (!s.keep) removeTree(s.scratch);
  if (!ok) return 1;
  print(s, results, sample);
  bool within = judge(s, results, sample);
  return s.check && !within ? 1 : 0;
}
