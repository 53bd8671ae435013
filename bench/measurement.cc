#include "bench/measurement.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "bench/spawn.h"
#include "bench/statistics.h"
#include "bench/trees.h"
#include "bench/window_timing.h"
#include "tools/package_builder.h"

namespace bench {
namespace {

// Reads a file through, into the page cache.
void warm(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  static char buffer[1 << 16];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
  close(fd);
}

// Brings every side to the same start: what the side before wrote under
// out is deleted (and with it its pages), everything is written back, and
// the inputs of all sides are read into the page cache. The page cache is
// not dropped: that would also make the program's libraries cold, a cost
// that tar, a small program, hardly pays.
//
// On a disk file system the side before's output is only moved aside, and
// deleted once the tree is measured: ext4 avoids reusing an inode that was
// freed moments ago, and after 20,000 deletions its inode allocator spends
// most of the next side's time skipping them (recently_deleted and
// find_inode_bit took 60% of a whole install's processor time), which made
// rounds differ by a factor of two. On tmpfs the output is deleted at once:
// there it holds memory that the next side would miss.
bool g_setAsideOutputs = false;
std::vector<std::string> g_setAside;

void clearSetAside() {
  for (const std::string& dir : g_setAside) removeTree(dir);
  g_setAside.clear();
}

void freshState(const std::string& out, const std::string& package, const std::string& tarball) {
  std::string aside = out + ".done" + std::to_string(g_setAside.size());
  if (g_setAsideOutputs && access(out.c_str(), F_OK) == 0 && rename(out.c_str(), aside.c_str()) == 0)
    g_setAside.push_back(aside);
  else
    removeTree(out);
  sync();
  warm(package);
  if (!tarball.empty()) warm(tarball);
  mkdir(out.c_str(), 0755);
}

// Times program installing the package in packageDir silently into a
// fresh HOME under out. Returns false, with runs.failure set, when it fails
// or leaves an incomplete install.
bool timeProgram(const std::string& program, const std::string& packageDir, const std::string& out,
                 const Result& result, ProgramRuns& runs) {
  // A fresh HOME holds no launcher settings, so the program installs into
  // its default template directory under it.
  std::string home = out + "/home", temp = out + "/tmp", log = out + "/log";
  std::string target = home + "/.kxq5/KX/kxq5/tmplts";
  mkdir(home.c_str(), 0755);
  mkdir(temp.c_str(), 0755);
  double seconds = 0;
  long hwmKib = 0;
  int code = runSetup(program, packageDir, home, temp, log, seconds, hwmKib);
  TreeTotals installed = totals(target);
  if (code != 0 || installed.files != result.files || installed.bytes != result.bytes) {
    char why[512];
    if (code != 0) snprintf(why, sizeof why, "%s usecwd -S exited with status %d", program.c_str(), code);
    else snprintf(why, sizeof why, "%s usecwd -S left an incomplete install", program.c_str());
    runs.failure = why;
    std::string output = head(log, 2000);
    fprintf(stderr, "bench_install: %s%s%s\n", why, output.empty() ? "" : "; its output:\n", output.c_str());
    return false;
  }
  if (seconds < kSuccessPause) {
    // Taking the pause out would leave less than nothing: the program no
    // longer pauses as this benchmark expects, and its figure would lie.
    char why[256];
    snprintf(why, sizeof why, "%s usecwd -S ended %.3f s after its spawn, within its %.1f s pause",
             program.c_str(), seconds, kSuccessPause);
    runs.failure = why;
    fprintf(stderr, "bench_install: %s\n", why);
    return false;
  }
  runs.rounds.push_back(seconds - kSuccessPause);
  runs.hwmKib = std::max(runs.hwmKib, hwmKib);
  return true;
}

}  // namespace

void setAsideOutputs(bool aside) { g_setAsideOutputs = aside; }

bool prepare(const Settings& s, const TreeSet& set, Result& result) {
  const std::string& label = set.label;
  unsigned count = set.count;
  std::string dir = set.dir();
  std::string tree = dir + "/tree", package = dir + "/kxq5.dpk", tarball = dir + "/tree.tar.gz";
  mkdir(dir.c_str(), 0755);
  result.label = label;
  result.ratioBudget = set.ratioBudget;
  result.windowJudged = set.windowJudged;

  fprintf(stderr, "[%s] writing %u files...\n", label.c_str(), count);
  makeTree(tree, count, set.minBytes, set.maxBytes, set.seed);
  TreeTotals t = totals(tree);
  result.files = t.files;
  result.bytes = t.bytes;

  fprintf(stderr, "[%s] building the package and the tarball...\n", label.c_str());
  std::vector<package_builder::SourceFile> files;
  std::string error;
  package_builder::Options options;
  options.level = s.level;
  options.products.push_back(config::ProductInfo());
  options.products.back().language = u"en";
  options.products.back().productName = u"Benchmark";
  if (!package_builder::collectFiles(tree, files, error) ||
      !package_builder::writePackage(package, options, files, error)) {
    fprintf(stderr, "bench_install: %s\n", error.c_str());
    return false;
  }
  if (runProcess(tarCommand(s.level, "-c", tarball, tree), "") != 0) {
    fprintf(stderr, "bench_install: tar -c failed\n");
    return false;
  }
  // The source tree is not read again: away with it, so that it does not
  // crowd the scratch file system's memory during the rounds.
  if (!s.keep) removeTree(tree);
  struct stat st;
  if (stat(package.c_str(), &st) == 0) result.packageBytes = static_cast<unsigned long long>(st.st_size);
  if (stat(tarball.c_str(), &st) == 0) result.tarBytes = static_cast<unsigned long long>(st.st_size);
  return true;
}

void measureWindows(const Settings& s, const std::string& packageDir, const std::string& out,
                    const std::string& package, const std::string& tarball, ProgramRuns* programs) {
  for (unsigned round = 0; round < s.repeat; ++round) {
    for (int k = 0; k < kProgramCount; ++k) {
      int i = round % 2 == 0 ? k : kProgramCount - 1 - k;
      const std::string& program = s.programs[i];
      if (program.empty() || !programs[i].windowFailure.empty()) continue;
      freshState(out, package, tarball);
      std::string home = out + "/home", temp = out + "/tmp";
      mkdir(home.c_str(), 0755);
      mkdir(temp.c_str(), 0755);
      std::string log = out + "/log";
      WindowTiming timing = timeToWindow(program, packageDir, home, temp, log);
      if (timing.mapped < 0) {
        char why[128];
        if (timing.endedFirst) snprintf(why, sizeof why, "it ended with status %d before any window", timing.status);
        else snprintf(why, sizeof why, "no window was mapped within 60 s");
        programs[i].windowFailure = why;
        std::string output = head(log, 2000);
        fprintf(stderr, "bench_install: %s usecwd: %s%s%s\n", program.c_str(), why,
                output.empty() ? "" : "; its output:\n", output.c_str());
      } else if (timing.killed) {
        programs[i].windowFailure = "it was still running 10 s after SIGTERM, and was killed";
      } else {
        programs[i].windows.push_back(timing.mapped);
        programs[i].ends.push_back(timing.ended);
      }
    }
  }
  removeTree(out);
  clearSetAside();
}

bool measure(const Settings& s, const TreeSet& set, Result& result) {
  const std::string& label = set.label;
  std::string dir = set.dir();
  std::string package = dir + "/kxq5.dpk", tarball = dir + "/tree.tar.gz", out = dir + "/out";
  std::string report = dir + "/report";
  std::vector<double> walls, opens, runs, flushes, closes, overheads;
  std::string self = selfPath();
  if (!s.displaySkip.empty()) {
    for (ProgramRuns& p : result.programs) p.failure = p.windowFailure = s.displaySkip;
  }
  if (!s.setupSkip.empty()) result.programs[kSetup].failure = result.programs[kSetup].windowFailure = s.setupSkip;
  enum Side { kTar, kEngine, kSetupSide, kBaselineSide };
  for (unsigned round = 0; round < s.repeat; ++round) {
    std::vector<Side> order = {kTar, kEngine};
    if (result.programs[kSetup].failure.empty()) order.push_back(kSetupSide);
    if (!s.programs[kBaseline].empty() && result.programs[kBaseline].failure.empty())
      order.push_back(kBaselineSide);
    std::rotate(order.begin(), order.begin() + round % order.size(), order.end());
    std::string line;
    double engine = 0, setupNet = -1;
    for (Side side : order) {
      freshState(out, package, tarball);
      char figure[128];
      if (side == kTar) {
        double t0 = now();
        if (runProcess(tarCommand(s.level, "-x", tarball, out), "") != 0) {
          fprintf(stderr, "bench_install: tar -x failed\n");
          return false;
        }
        result.tarRounds.push_back(now() - t0);
        snprintf(figure, sizeof figure, "tar %.3f s", result.tarRounds.back());
      } else if (side == kEngine) {
        std::string temp = out + "/tmp", target = out + "/tree";
        mkdir(temp.c_str(), 0755);
        setenv("TMPDIR", temp.c_str(), 1);
        double t0 = now();
        int code = runProcess({self, "--install-step", package, target}, report);
        double wall = now() - t0;
        unsetenv("TMPDIR");
        EngineRound r;
        FILE* f = fopen(report.c_str(), "r");
        unsigned openCode = 1, runCode = 1;
        int got = f ? fscanf(f, "%u %u %lf %lf %lf %ld %lf", &openCode, &runCode, &r.open, &r.run, &r.close,
                             &r.hwmKib, &r.flush)
                    : 0;
        if (f) fclose(f);
        unlink(report.c_str());
        if (got != 7 || code != 0) {
          fprintf(stderr, "bench_install: the install step failed (open %u, run %u)\n", openCode, runCode);
          return false;
        }
        TreeTotals installed = totals(target);
        if (installed.files != result.files || installed.bytes != result.bytes) {
          fprintf(stderr, "bench_install: the install is incomplete\n");
          return false;
        }
        engine = r.open + r.run;
        result.engineRounds.push_back(engine);
        walls.push_back(wall);
        opens.push_back(r.open);
        runs.push_back(r.run);
        flushes.push_back(r.flush);
        closes.push_back(r.close);
        result.hwmKib = std::max(result.hwmKib, r.hwmKib);
        snprintf(figure, sizeof figure, "engine %.3f s (process %.3f s)", engine, wall);
      } else {
        int i = side == kSetupSide ? kSetup : kBaseline;
        ProgramRuns& runs = result.programs[i];
        if (!timeProgram(s.programs[i], dir, out, result, runs)) {
          snprintf(figure, sizeof figure, "%s failed", kProgramNames[i]);
        } else {
          if (i == kSetup) setupNet = runs.rounds.back();
          snprintf(figure, sizeof figure, "%s %.3f s", kProgramNames[i], runs.rounds.back());
        }
      }
      line += line.empty() ? "" : ", ";
      line += figure;
    }
    if (setupNet >= 0 && engine > 0) overheads.push_back((setupNet - engine) / engine);
    fprintf(stderr, "[%s] round %u: %s\n", label.c_str(), round + 1, line.c_str());
  }
  removeTree(out);
  clearSetAside();
  result.ours = median(result.engineRounds);
  result.wall = median(walls);
  result.open = median(opens);
  result.run = median(runs);
  result.flush = median(flushes);
  result.close = median(closes);
  result.pairedOverhead = median(overheads);
  if (s.displaySkip.empty()) measureWindows(s, dir, out, package, tarball, result.programs);
  result.inflate = inflateOnly(package);
  result.checksums = checksumsOnly(package);
  return true;
}

}  // namespace bench
