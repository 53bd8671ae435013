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
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <linux/magic.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <X11/Xlib.h>

extern char** environ;

#include <algorithm>
#include <string>
#include <vector>

#include "install/installer.h"
#include "tools/package_builder.h"

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
    "                     could not be measured. On medians: at most 0.45x tar\n"
    "                     for the few-large tree and 0.6x for the many-small one\n"
    "                     when the scratch directory is on tmpfs, 0.6x and 0.9x\n"
    "                     otherwise; peak resident memory 64 MiB; the window\n"
    "                     mapped within 0.2 s of the spawn for the few-large\n"
    "                     package and the sample\n"
    "  --keep             keep the scratch directory\n";

#ifdef SETUP_PATH
const char kDefaultSetup[] = SETUP_PATH;
#else
const char kDefaultSetup[] = "";
#endif

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

double now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// --- synthetic data ------------------------------------------------------------

struct Random {
  unsigned long long state;
  explicit Random(unsigned long long seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
  unsigned long long next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};

// Prose-like text from a fixed vocabulary: compresses about as well as
// configuration templates and documents do.
void fillText(Random& r, std::string& out, size_t size) {
  static std::vector<std::string> words;
  if (words.empty()) {
    const char* syllables[] = {"ka", "lo", "mi", "ter", "on", "val", "ue", "set", "ing", "re",
                               "con", "fig", "tem", "plate", "da", "ta", "name", "path", "id", "x"};
    Random w(42);
    for (int i = 0; i < 600; ++i) {
      std::string word;
      for (unsigned n = 1 + w.below(4); n > 0; --n) word += syllables[w.below(20)];
      words.push_back(word);
    }
  }
  out.clear();
  out.reserve(size);
  while (out.size() < size) {
    unsigned line = 4 + r.below(12);
    for (unsigned i = 0; i < line && out.size() < size; ++i) {
      out += words[r.below(static_cast<unsigned>(words.size()))];
      out += i + 1 < line ? ' ' : '\n';
    }
  }
  out.resize(size);
}

// Half-random binary: runs of random bytes (compressed pictures, say)
// between runs of structured data (counters, small tables), each up to 64
// KiB, so that about half of it compresses.
void fillBinary(Random& r, std::string& out, size_t size) {
  out.resize(size);
  size_t i = 0;
  unsigned counter = r.below(1000);
  bool random = r.below(2) == 0;
  while (i < size) {
    size_t block = std::min<size_t>(4096 + r.below(61440), size - i);
    if (random) {
      for (size_t j = 0; j < block; j += 8) {
        unsigned long long v = r.next();
        memcpy(&out[i + j], &v, std::min<size_t>(8, block - j));
      }
    } else {
      for (size_t j = 0; j < block; j += 4) {
        unsigned v = (counter++ & 0xFFF) * 16;
        memcpy(&out[i + j], &v, std::min<size_t>(4, block - j));
      }
    }
    random = !random;
    i += block;
  }
}

bool writeWhole(const std::string& path, const std::string& data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  return close(fd) == 0 && ok;
}

// Writes count files of minBytes..maxBytes, half text and half binary, 100
// to a directory, two levels deep. Returns the bytes written.
unsigned long long makeTree(const std::string& root, unsigned count, unsigned long long minBytes,
                            unsigned long long maxBytes, unsigned seed) {
  Random r(seed);
  std::string data;
  unsigned long long total = 0;
  mkdir(root.c_str(), 0755);
  for (unsigned i = 0; i < count; ++i) {
    char dir[64], name[96];
    snprintf(dir, sizeof dir, "%s/g%02u", root.c_str(), i / 10000);
    mkdir(dir, 0755);
    snprintf(dir + strlen(dir), sizeof dir - strlen(dir), "/d%03u", (i / 100) % 100);
    mkdir(dir, 0755);
    bool text = i % 2 == 0;
    snprintf(name, sizeof name, "%s/f%05u.%s", dir, i, text ? "txt" : "bin");
    size_t size = static_cast<size_t>(minBytes + r.next() % (maxBytes - minBytes + 1));
    if (text) fillText(r, data, size);
    else fillBinary(r, data, size);
    if (!writeWhole(name, data)) {
      fprintf(stderr, "bench_install: cannot write %s: %s\n", name, strerror(errno));
      exit(1);
    }
    total += size;
  }
  return total;
}

// --- processes and trees -------------------------------------------------------

int removeEntry(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_DP) rmdir(path);
  else unlink(path);
  return 0;
}

void removeTree(const std::string& path) { nftw(path.c_str(), removeEntry, 32, FTW_DEPTH | FTW_PHYS); }

// Runs argv, its standard output into outFile when given; returns the exit
// status (-1 when it could not run).
int runProcess(const std::vector<std::string>& args, const std::string& outFile) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (!outFile.empty()) {
      int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) dup2(fd, 1);
    }
    std::vector<char*> argv;
    for (size_t i = 0; i < args.size(); ++i) argv.push_back(const_cast<char*>(args[i].c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// This process's environment with HOME and TMPDIR replaced, for a child.
std::vector<std::string> childEnvironment(const std::string& home, const std::string& temp) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, "HOME=", 5) != 0 && strncmp(*e, "TMPDIR=", 7) != 0) env.push_back(*e);
  }
  env.push_back("HOME=" + home);
  env.push_back("TMPDIR=" + temp);
  return env;
}

// A spawn of the setup program, made ready before the clock starts: its
// environment (HOME and TMPDIR replaced) and its arguments.
struct SetupSpawn {
  std::vector<std::string> env;
  std::vector<char*> envp;
  std::vector<std::string> args;
  std::vector<char*> argv;

  SetupSpawn(const std::string& setup, bool silent, const std::string& home, const std::string& temp)
      : env(childEnvironment(home, temp)), args{setup, "usecwd"} {
    if (silent) args.push_back("-S");
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
  }

  // Forks and runs the program in packageDir, its output into logFile; no
  // shell in between. The child's pid, or -1.
  pid_t start(const std::string& packageDir, const std::string& logFile) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      if (fd > 2) close(fd);
    }
    if (chdir(packageDir.c_str()) != 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
};

// Runs the setup program silently on the package in packageDir, with HOME
// and TMPDIR replaced, its output into logFile. Returns its exit status (-1
// when it could not run or was killed) and its wall-clock time in seconds,
// from before the fork to after the reaping.
int runSetup(const std::string& setup, const std::string& packageDir, const std::string& home,
             const std::string& temp, const std::string& logFile, double& seconds, long& hwmKib) {
  SetupSpawn spawn(setup, true, home, temp);
  double t0 = now();
  pid_t pid = spawn.start(packageDir, logFile);
  if (pid < 0) return -1;
  int status = 0;
  struct rusage usage = {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  seconds = now() - t0;
  hwmKib = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What timeToWindow measures, in seconds; -1 where it could not.
struct WindowTiming {
  double mapped = -1;  // from the spawn to the first top-level window mapped
  double ended = -1;   // from the SIGTERM sent then to the program's end
  bool killed = false; // it outlived the SIGTERM and was killed
  bool endedFirst = false;  // it ended before any window was mapped,
  int status = 0;           // with this exit status (-1: by a signal)
};

// Spawns the setup program (with its window) on the package in packageDir
// and waits for its first top-level window to be mapped, then sends it
// SIGTERM, which outside the copy ends it at once.
WindowTiming timeToWindow(const std::string& setup, const std::string& packageDir, const std::string& home,
                          const std::string& temp, const std::string& logFile) {
  WindowTiming timing;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return timing;
  Window root = DefaultRootWindow(display);
  XSelectInput(display, root, SubstructureNotifyMask);
  XSync(display, False);
  SetupSpawn spawn(setup, false, home, temp);
  double t0 = now();
  pid_t pid = spawn.start(packageDir, logFile);
  if (pid < 0) {
    XCloseDisplay(display);
    return timing;
  }
  bool reaped = false;
  int status = 0;
  int fd = ConnectionNumber(display);
  while (timing.mapped < 0 && now() - t0 < 60) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MapNotify && timing.mapped < 0) timing.mapped = now() - t0;
    }
    if (timing.mapped >= 0) break;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      reaped = true;
      timing.endedFirst = true;
      timing.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    struct timeval tick = {0, 2000};
    select(fd + 1, &readable, nullptr, nullptr, &tick);
  }
  if (!reaped) {
    // A program that outlives the signal must not hang the benchmark.
    double t1 = now();
    kill(pid, SIGTERM);
    for (;;) {
      pid_t r = waitpid(pid, nullptr, WNOHANG);
      if (r == pid) {
        timing.ended = now() - t1;
        break;
      }
      if (r < 0 && errno != EINTR) break;
      if (now() - t1 > 10) {
        timing.killed = true;
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        break;
      }
      usleep(1000);
    }
  }
  XCloseDisplay(display);
  return timing;
}

// The start of a file, for a failure report.
std::string head(const std::string& path, size_t limit) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return std::string();
  std::string text(limit, '\0');
  text.resize(fread(&text[0], 1, limit, f));
  fclose(f);
  return text;
}

// tar -czf / -xzf, or with gzip at another level than its default 6.
std::vector<std::string> tarCommand(int level, const char* mode, const std::string& tarball,
                                    const std::string& dir) {
  std::vector<std::string> args = {"tar", std::string(mode) + "f", tarball, "-C", dir};
  if (level == 6) args[1] = std::string(mode) + "zf";
  else args.insert(args.begin() + 1, "--use-compress-program=gzip -" + std::to_string(level));
  if (mode[1] == 'c') args.push_back(".");
  return args;
}

std::string selfPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("bench_install");
}

struct TreeTotals {
  unsigned long long files = 0, bytes = 0;
};
TreeTotals g_totals;
int addEntry(const char*, const struct stat* st, int type, struct FTW*) {
  if (type == FTW_F) {
    ++g_totals.files;
    g_totals.bytes += static_cast<unsigned long long>(st->st_size);
  }
  return 0;
}
TreeTotals totals(const std::string& root) {
  g_totals = TreeTotals();
  nftw(root.c_str(), addEntry, 32, FTW_PHYS);
  return g_totals;
}

// --- the install step, in a process of its own -------------------------------

long peakResidentKib() {
  FILE* f = fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, "VmHWM:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
  }
  fclose(f);
  return kib;
}

// Opens the package and installs it into target; prints its timings and
// its peak resident memory (VmHWM: this process only, nothing inherited).
int installStep(const char* package, const char* target) {
  double t0 = now();
  unsigned openCode, runCode = 0;
  double t1, t2, flush = 0;
  long hwm;
  {
    PackageReader reader;
    openCode = reader.open(widen_lib(stdx::string(package)));
    t1 = now();
    if (openCode == 0) {
      InstallProcessData data;
      data.init(&reader, widen_lib(stdx::string(target)));
      Installer installer(0);
      runCode = installer.run(&data);
      flush = installer.flushSeconds();
    }
    t2 = now();
    hwm = peakResidentKib();
  }
  double t3 = now();
  printf("%u %u %.6f %.6f %.6f %ld %.6f\n", openCode, runCode, t1 - t0, t2 - t1, t3 - t2, hwm, flush);
  return openCode != 0 || runCode != 0;
}

// --- measurement ------------------------------------------------------------------

// The engine's own figures of one round, as its process reports them.
struct EngineRound {
  double open = 0, run = 0, close = 0, flush = 0;
  long hwmKib = 0;
};

// The middle of the rounds (the mean of the two middle ones for an even
// count); 0 for none.
double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// How far the rounds disagree: (slowest - fastest) / median; 0 for fewer
// than two rounds.
double spread(const std::vector<double>& v) {
  if (v.size() < 2) return 0;
  double m = median(v);
  auto range = std::minmax_element(v.begin(), v.end());
  return m > 0 ? (*range.second - *range.first) / m : 0;
}

// Inflates the package into memory that is thrown away: the inflater's
// share of the open.
double inflateOnly(const std::string& package) {
  FILE* f = fopen(package.c_str(), "rb");
  if (f == nullptr) return 0;
  std::vector<unsigned char> in(1 << 20), out(LZCompressor::kBufferSize);
  z_stream s;
  memset(&s, 0, sizeof s);
  inflateInit2(&s, -15);
  double t0 = now();
  int z = Z_OK;
  while (z == Z_OK) {
    if (s.avail_in == 0) {
      size_t n = fread(in.data(), 1, in.size(), f);
      if (n == 0) break;
      s.next_in = in.data();
      s.avail_in = static_cast<uInt>(n);
    }
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    z = inflate(&s, Z_NO_FLUSH);
  }
  double t = now() - t0;
  inflateEnd(&s);
  fclose(f);
  return t;
}

// The check of every member's checksum, the open's share of them: the
// package is opened without it, then the same pass is timed alone.
double checksumsOnly(const std::string& package) {
  PackageReader reader;
  if (reader.open(widen_lib(stdx::string(package.c_str())), false) != 0) return 0;
  std::vector<unsigned> crcs;
  double t0 = now();
  reader.memberChecksums(crcs);
  return now() - t0;
}

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
const RatioBudgets kTmpfsBudgets = {"tmpfs", 0.45, 0.6};
const RatioBudgets kDiskBudgets = {"a file system other than tmpfs", 0.6, 0.9};
const double kPeakBudgetMib = 64;
const double kWindowBudgetSeconds = 0.2;
// Rounds whose spread is wider than this get a warning: their median says
// little.
const double kSpreadWarning = 0.25;

// One program's figures on one package.
struct ProgramRuns {
  std::vector<double> rounds;   // 'usecwd -S', spawn to exit less the pause
  std::vector<double> windows;  // 'usecwd', spawn to its window being mapped
  std::vector<double> ends;     // then SIGTERM to its end
  long hwmKib = 0;              // the highest peak resident memory of the rounds
  // Why it was not timed (or stopped being timed): empty when it was.
  std::string failure, windowFailure;
};

struct Result {
  std::string label;
  unsigned long long files = 0, bytes = 0, packageBytes = 0, tarBytes = 0;
  // The engine alone, medians, and where its time goes.
  double ours = 0, wall = 0, open = 0, run = 0, close = 0, inflate = 0, checksums = 0;
  double flush = 0;  // of the run: the new files' data made durable before the renames
  long hwmKib = 0;
  std::vector<double> engineRounds, tarRounds;
  // The median of each round's overhead of the whole program over the
  // engine of the same round: steadier than the medians on a busy machine.
  double pairedOverhead = 0;
  double ratioBudget = 0;     // 0 when the ratio is not judged
  bool windowJudged = false;  // the window's budget applies
  ProgramRuns programs[kProgramCount];
};

// One synthetic tree with its package and tarball.
struct TreeSet {
  std::string label;
  unsigned count;
  unsigned long long minBytes, maxBytes;
  unsigned seed;
  double ratioBudget;
  bool windowJudged;
  std::string scratch;
  std::string dir() const { return scratch + "/" + label; }
};

// Writes the tree, the package and the tarball of set.
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

// Times the window of each program on the package in packageDir, round by
// round, the program that goes first alternating; each from a fresh state
// with an empty HOME and TMPDIR under out.
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

// Times every side on a prepared set: tar, the engine alone, the program
// under test and the baseline, in an order that turns round by round.
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

// --- the report -------------------------------------------------------------------

std::string percent(double share) {
  char text[32];
  snprintf(text, sizeof text, "%.0f%%", share * 100);
  return text;
}

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

// Prints each budget of the program under test with its verdict. Returns
// true when every one was measured and holds; a budget that could not be
// measured is never taken as kept.
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
  const char* display = getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    s.displaySkip = "no display (DISPLAY is not set)";
  } else if (Display* x = XOpenDisplay(nullptr)) {
    XCloseDisplay(x);
  } else {
    s.displaySkip = std::string("cannot open the display ") + display;
  }
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
  g_setAsideOutputs = !tmpfs;
  fprintf(stderr, "scratch directory: %s; budgets for %s\n", s.scratchFileSystem.c_str(), s.budgets->name);

  // The large tree goes first: deleting its few files afterwards leaves no
  // crowd of freshly deleted inodes to slow down the next tree's many new
  // files. Each tree's files are all deleted only after it is measured.
  std::vector<TreeSet> sets;
  if (s.largeFiles != 0)
    sets.push_back({"few-large", s.largeFiles, s.largeMinMib * (1ull << 20), s.largeMaxMib * (1ull << 20), 2,
                    s.budgets->large, true, s.scratch});
  if (s.files != 0)
    sets.push_back({"many-small", s.files, s.minKib * 1024ull, s.maxKib * 1024ull, 1, s.budgets->small, false,
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
