// Benchmark of the installer against tar -xzf.
//
// Its headline is the whole program: 'setup usecwd -S' from spawn to exit,
// less the fixed pause after success, against tar -xzf of the same tree,
// round by round, with the spread of the rounds and the program's peak
// resident memory; and the time from spawning the program (with its
// window) to the window being mapped, for each package and the sample.
// Each round starts from the same state: the trees of earlier rounds are
// deleted and everything is written back.
//
// For each of two synthetic trees (many small files; few large files) it
// builds our package and a tarball of the same tree, then times, side by
// side in one run, (a) opening the package plus one install run into an
// empty directory, in a fresh process, and (b) tar -xzf of the tarball. It
// prints both times, their ratio, the throughput and the peak resident
// memory of the install process, and where our time goes. When a display
// and the setup program are at hand it also times the whole program
// installing the same package silently, to show what the window costs on
// top of the engine.
//
//   bench_install                     full size (about 1.3 GB of data)
//   bench_install --quick             a small run for a smoke test
//   bench_install --setup PATH        the program whose window is timed
//   bench_install --help              every knob
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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
    "  --setup PATH       the setup program timed by 'setup usecwd -S' on the\n"
    "                     same package, for the cost of the window (default:\n"
    "                     the one of this build tree; needs DISPLAY)\n"
    "  --check            exit 1 when a budget is missed (ratio 1.0 for small\n"
    "                     files, 0.8 for large ones, 32 MiB peak memory, 10%\n"
    "                     window overhead)\n"
    "  --keep             keep the scratch directory\n";

#ifdef SETUP_PATH
const char kDefaultSetup[] = SETUP_PATH;
#else
const char kDefaultSetup[] = "";
#endif

// After a successful copy the program waits this long before it ends, so
// that the final page can be read; it is no cost of the window and is
// taken out before comparing.
const double kSuccessPause = 1.0;

// The window may add this share of the engine's own time at most.
const double kWindowBudget = 0.10;

struct Settings {
  unsigned files = 20000, minKib = 1, maxKib = 64;
  unsigned largeFiles = 20, largeMinMib = 10, largeMaxMib = 50;
  unsigned repeat = 5;
  int level = 6;
  std::string scratch;
  bool check = false, keep = false;
  // The program timed for the cost of the window; empty when that is
  // skipped, and then windowSkip says why.
  std::string setup, windowSkip;
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

// Runs the setup program silently on the package in packageDir, with HOME
// and TMPDIR replaced, its output into logFile; no shell in between.
// Returns its exit status (-1 when it could not run or was killed) and its
// wall-clock time in seconds, from before the fork to after the reaping.
int runSetup(const std::string& setup, const std::string& packageDir, const std::string& home,
             const std::string& temp, const std::string& logFile, double& seconds, long& hwmKib) {
  // Everything the child needs is built before the clock starts.
  std::vector<std::string> env = childEnvironment(home, temp);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  std::string arg0 = setup, arg1 = "usecwd", arg2 = "-S";
  char* argv[] = {&arg0[0], &arg1[0], &arg2[0], nullptr};

  double t0 = now();
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      if (fd > 2) close(fd);
    }
    if (chdir(packageDir.c_str()) != 0) _exit(126);
    execve(argv[0], argv, envp.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  seconds = now() - t0;
  hwmKib = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Seconds from spawning the setup program (with its window) on the package
// in packageDir to its first top-level window being mapped, or -1. The
// program is then sent SIGTERM, which outside the copy ends it at once.
double timeToWindow(const std::string& setup, const std::string& packageDir, const std::string& home,
                    const std::string& temp) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return -1;
  Window root = DefaultRootWindow(display);
  XSelectInput(display, root, SubstructureNotifyMask);
  XSync(display, False);
  std::vector<std::string> env = childEnvironment(home, temp);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  std::string arg0 = setup, arg1 = "usecwd";
  char* argv[] = {&arg0[0], &arg1[0], nullptr};
  double t0 = now();
  pid_t pid = fork();
  if (pid < 0) {
    XCloseDisplay(display);
    return -1;
  }
  if (pid == 0) {
    int fd = open("/dev/null", O_WRONLY);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    if (chdir(packageDir.c_str()) != 0) _exit(126);
    execve(argv[0], argv, envp.data());
    _exit(127);
  }
  double seconds = -1;
  int fd = ConnectionNumber(display);
  while (seconds < 0 && now() - t0 < 60) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MapNotify && seconds < 0) seconds = now() - t0;
    }
    if (seconds >= 0 || waitpid(pid, nullptr, WNOHANG) == pid) break;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    struct timeval tick = {0, 2000};
    select(fd + 1, &readable, nullptr, nullptr, &tick);
  }
  kill(pid, SIGTERM);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  XCloseDisplay(display);
  return seconds;
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

struct Round {
  double ours = 0, tar = 0, open = 0, run = 0, close = 0, flush = 0;
  long hwmKib = 0;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
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

struct Result {
  std::string label;
  unsigned long long files = 0, bytes = 0, packageBytes = 0, tarBytes = 0;
  double ours = 0, wall = 0, tar = 0, open = 0, run = 0, close = 0, inflate = 0, checksums = 0;
  double flush = 0;  // of the run: the new files' data made durable before the renames
  long hwmKib = 0;
  double budget = 0;
  // The whole program, pause included (median); windowSkip is set instead
  // when it was not timed.
  double program = 0;
  std::string windowSkip;
  // The median of each round's overhead: the program against the engine of
  // the same round, steadier than the medians when the machine is busy.
  double pairedOverhead = 0;
  // The whole program less its pause, and tar, round by round; the
  // program's peak resident memory; spawn to its window being mapped.
  std::vector<double> programRounds, tarRounds;
  long programHwmKib = 0;
  double window = -1;
};

// One synthetic tree with its package and tarball.
struct TreeSet {
  std::string label;
  unsigned count;
  unsigned long long minBytes, maxBytes;
  unsigned seed;
  double budget;
  std::string dir() const { return scratch + "/" + label; }
  std::string scratch;
};

// Writes the tree, the package and the tarball of set.
bool prepare(const Settings& s, const TreeSet& set, Result& result) {
  const std::string& label = set.label;
  unsigned count = set.count;
  std::string dir = set.dir();
  std::string tree = dir + "/tree", package = dir + "/kxq5.dpk", tarball = dir + "/tree.tar.gz";
  mkdir(dir.c_str(), 0755);
  mkdir((dir + "/tmp").c_str(), 0755);
  result.label = label;
  result.budget = set.budget;

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

// Writes everything back and reads the inputs of both sides in: each round
// starts with nothing pending and its inputs warm. The page cache is not
// dropped: that would also make the program's libraries cold, a cost that
// tar, a small program, hardly pays.
void settle(const std::string& package, const std::string& tarball) {
  sync();
  warm(package);
  warm(tarball);
}

// Times both sides on a prepared set.
bool measure(const Settings& s, const TreeSet& set, Result& result) {
  const std::string& label = set.label;
  std::string dir = set.dir();
  std::string package = dir + "/kxq5.dpk", tarball = dir + "/tree.tar.gz", temp = dir + "/tmp";
  std::vector<double> ours, walls, tar, opens, runs, flushes, closes, programs, overheads;
  std::string self = selfPath();
  result.windowSkip = s.windowSkip;
  for (unsigned round = 0; round < s.repeat; ++round) {
    // Every round starts from the same state: the trees of the round before
    // are deleted (and with them their pages), everything is written back
    // and the package and the tarball are read into the page cache. Trees kept from earlier rounds filled the scratch file system's
    // memory and made later rounds slower. The side that goes first
    // alternates, and the whole program, when it is timed, swaps ends with
    // the engine.
    settle(package, tarball);
    std::string oursOut = dir + "/ours" + std::to_string(round);
    std::string tarOut = dir + "/tar" + std::to_string(round);
    std::string programDir = dir + "/program" + std::to_string(round);
    std::string report = dir + "/report";
    Round r;
    double wall = 0, tarWall = 0, programWall = 0;
    enum Side { kOurs, kTar, kProgram };
    std::vector<Side> order = {kOurs, kTar};
    if (round % 2 != 0) std::reverse(order.begin(), order.end());
    if (result.windowSkip.empty()) {
      if (round % 2 == 0) order.push_back(kProgram);
      else order.insert(order.begin(), kProgram);
    }
    for (Side side : order) {
      sync();  // every side starts from written-back page caches
      if (side == kProgram) {
        // A fresh HOME holds no launcher settings, so the program installs
        // into its default template directory under it.
        std::string home = programDir + "/home", programTemp = programDir + "/tmp";
        std::string log = programDir + "/log", target = home + "/.kxq5/KX/kxq5/tmplts";
        mkdir(programDir.c_str(), 0755);
        mkdir(home.c_str(), 0755);
        mkdir(programTemp.c_str(), 0755);
        long programHwm = 0;
        int code = runSetup(s.setup, dir, home, programTemp, log, programWall, programHwm);
        result.programHwmKib = std::max(result.programHwmKib, programHwm);
        TreeTotals installed = totals(target);
        if (code != 0 || installed.files != result.files || installed.bytes != result.bytes) {
          char why[512];
          if (code != 0) snprintf(why, sizeof why, "%s usecwd -S exited with status %d", s.setup.c_str(), code);
          else snprintf(why, sizeof why, "%s usecwd -S left an incomplete install", s.setup.c_str());
          result.windowSkip = why;
          std::string output = head(log, 2000);
          fprintf(stderr, "bench_install: %s%s%s\n", why, output.empty() ? "" : "; its output:\n",
                  output.c_str());
        }
      } else if (side == kOurs) {
        setenv("TMPDIR", temp.c_str(), 1);
        double t0 = now();
        int code = runProcess({self, "--install-step", package, oursOut}, report);
        wall = now() - t0;
        unsetenv("TMPDIR");
        FILE* f = fopen(report.c_str(), "r");
        unsigned openCode = 1, runCode = 1;
        int got = f ? fscanf(f, "%u %u %lf %lf %lf %ld %lf", &openCode, &runCode, &r.open, &r.run,
                             &r.close, &r.hwmKib, &r.flush)
                    : 0;
        if (f) fclose(f);
        if (got != 7 || code != 0) {
          fprintf(stderr, "bench_install: the install step failed (open %u, run %u)\n", openCode, runCode);
          return false;
        }
      } else {
        mkdir(tarOut.c_str(), 0755);
        double t0 = now();
        if (runProcess(tarCommand(s.level, "-x", tarball, tarOut), "") != 0) {
          fprintf(stderr, "bench_install: tar -x failed\n");
          return false;
        }
        tarWall = now() - t0;
      }
    }
    TreeTotals installed = totals(oursOut);
    if (installed.files != result.files || installed.bytes != result.bytes) {
      fprintf(stderr, "bench_install: the install is incomplete\n");
      return false;
    }
    ours.push_back(r.open + r.run);
    walls.push_back(wall);
    tar.push_back(tarWall);
    opens.push_back(r.open);
    runs.push_back(r.run);
    flushes.push_back(r.flush);
    closes.push_back(r.close);
    result.hwmKib = std::max(result.hwmKib, r.hwmKib);
    removeTree(oursOut);
    removeTree(tarOut);
    removeTree(programDir);
    result.tarRounds.push_back(tarWall);
    if (result.windowSkip.empty()) {
      result.programRounds.push_back(programWall - kSuccessPause);
      programs.push_back(programWall);
      overheads.push_back((programWall - kSuccessPause - (r.open + r.run)) / (r.open + r.run));
      fprintf(stderr, "[%s] round %u: ours %.3f s (process %.3f s), tar %.3f s, setup -S %.3f s\n",
              label.c_str(), round + 1, r.open + r.run, wall, tarWall, programWall);
    } else {
      fprintf(stderr, "[%s] round %u: ours %.3f s (process %.3f s), tar %.3f s\n", label.c_str(), round + 1,
              r.open + r.run, wall, tarWall);
    }
    unlink(report.c_str());
  }
  result.ours = median(ours);
  result.wall = median(walls);
  result.tar = median(tar);
  result.open = median(opens);
  result.run = median(runs);
  result.flush = median(flushes);
  result.close = median(closes);
  result.program = median(programs);
  result.pairedOverhead = median(overheads);
  if (result.windowSkip.empty()) {
    settle(package, tarball);
    std::vector<double> windows;
    for (unsigned round = 0; round < s.repeat; ++round) {
      std::string home = dir + "/window-home", windowTemp = dir + "/window-tmp";
      mkdir(home.c_str(), 0755);
      mkdir(windowTemp.c_str(), 0755);
      double seconds = timeToWindow(s.setup, dir, home, windowTemp);
      removeTree(home);
      removeTree(windowTemp);
      if (seconds >= 0) windows.push_back(seconds);
    }
    if (!windows.empty()) result.window = median(windows);
  }
  result.inflate = inflateOnly(package);
  result.checksums = checksumsOnly(package);
  return true;
}

// What the whole program spends beyond the engine, its fixed pause aside,
// as a share of the engine's time.
double windowOverhead(const Result& r) { return (r.program - kSuccessPause - r.ours) / r.ours; }

void print(const std::vector<Result>& results) {
  const double mb = 1e6;
  printf("\nThe whole program against tar: 'setup usecwd -S', spawn to exit less its fixed %.1f s pause,\n"
         "and tar -xzf, whole process; medians, with the spread (slowest over fastest round):\n",
         kSuccessPause);
  printf("%-11s %6s %8s %7s %9s %9s %7s %8s %9s %10s\n", "tree", "files", "data MB", "rounds", "setup s",
         "tar s", "ratio", "spread", "peak MiB", "window s");
  for (const Result& r : results) {
    if (r.programRounds.empty()) {
      printf("%-11s program not timed: %s\n", r.label.c_str(), r.windowSkip.c_str());
      continue;
    }
    double program = median(r.programRounds), tar = median(r.tarRounds);
    double spreadProgram = *std::max_element(r.programRounds.begin(), r.programRounds.end()) /
                           *std::min_element(r.programRounds.begin(), r.programRounds.end());
    double spreadTar = *std::max_element(r.tarRounds.begin(), r.tarRounds.end()) /
                       *std::min_element(r.tarRounds.begin(), r.tarRounds.end());
    printf("%-11s %6llu %8.1f %7zu %9.3f %9.3f %7.2f %3.2f/%3.2f %9.1f %10.3f\n", r.label.c_str(), r.files,
           r.bytes / mb, r.programRounds.size(), program, tar, program / tar, spreadProgram, spreadTar,
           r.programHwmKib / 1024.0, r.window);
  }
  printf("(spread: program/tar; window s: spawn of 'setup usecwd' to its window being mapped.)\n");
  printf("\nours = open + install run (in its own process); tar = tar -xzf, whole process.\n");
  printf("%-11s %6s %8s %7s %7s %7s %7s %7s %6s %6s %9s %8s\n", "tree", "files", "data MB", "dpk MB",
         "tgz MB", "ours s", "tar s", "proc s", "ratio", "budget", "ours MB/s", "peak MiB");
  for (const Result& r : results) {
    printf("%-11s %6llu %8.1f %7.1f %7.1f %7.3f %7.3f %7.3f %6.2f %6.2f %9.0f %8.1f\n", r.label.c_str(), r.files,
           r.bytes / mb, r.packageBytes / mb, r.tarBytes / mb, r.ours, r.tar, r.wall, r.ours / r.tar, r.budget,
           r.bytes / mb / r.ours, r.hwmKib / 1024.0);
  }
  printf("(proc s: the whole install process, with start, exit and the deletion of the image.)\n");
  printf("\nWhere our time goes (medians):\n");
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
  printf("\nCost of the window: 'setup usecwd -S' on the same package, whole process, against ours\n"
         "(overhead = (program - pause - ours) / ours, medians):\n");
  for (const Result& r : results) {
    if (!r.windowSkip.empty()) {
      printf("  %-11s window cost skipped: %s\n", r.label.c_str(), r.windowSkip.c_str());
      continue;
    }
    double net = r.program - kSuccessPause;
    printf("  %-11s ours %.3f s; program %.3f s; fixed pause %.1f s; program - pause %.3f s; "
           "overhead %+.1f%% (budget %.0f%%; round by round %+.1f%%)\n",
           r.label.c_str(), r.ours, r.program, kSuccessPause, net, windowOverhead(r) * 100,
           kWindowBudget * 100, r.pairedOverhead * 100);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--install-step") == 0) return installStep(argv[2], argv[3]);

  Settings s;
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
      s.files = 2000;
      s.largeFiles = 4;
      s.largeMinMib = 2;
      s.largeMaxMib = 8;
      s.repeat = 1;
    } else if (a == "--check") s.check = true;
    else if (a == "--keep") s.keep = true;
    else if (a == "--setup" && i + 1 < argc) s.setup = argv[++i];
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
  if (s.setup.empty()) s.setup = kDefaultSetup;
  const char* display = getenv("DISPLAY");
  if (s.setup.empty())
    s.windowSkip = "no setup program (this build has none; give --setup PATH)";
  else if (access(s.setup.c_str(), X_OK) != 0)
    s.windowSkip = "no setup program at " + s.setup + " (" + strerror(errno) + ")";
  else if (display == nullptr || *display == '\0')
    s.windowSkip = "no display (DISPLAY is not set)";
  if (s.windowSkip.empty()) {
    // It runs in the package's directory, so a relative path would miss.
    char* absolute = realpath(s.setup.c_str(), nullptr);
    if (absolute != nullptr) s.setup = absolute;
    free(absolute);
  }
  if (!s.windowSkip.empty()) fprintf(stderr, "window cost skipped: %s\n", s.windowSkip.c_str());
  s.scratch += "/bench_install_XXXXXX";
  if (mkdtemp(&s.scratch[0]) == nullptr) {
    fprintf(stderr, "bench_install: cannot create a scratch directory: %s\n", strerror(errno));
    return 1;
  }
  fprintf(stderr, "scratch directory: %s\n", s.scratch.c_str());

  // The large tree goes first: deleting its few files afterwards leaves no
  // crowd of freshly deleted inodes to slow down the next tree's many new
  // files. Each tree's files are all deleted only after it is measured.
  std::vector<TreeSet> sets;
  if (s.largeFiles != 0)
    sets.push_back({"few-large", s.largeFiles, s.largeMinMib * (1ull << 20), s.largeMaxMib * (1ull << 20), 2,
                    0.8, s.scratch});
  if (s.files != 0)
    sets.push_back({"many-small", s.files, s.minKib * 1024ull, s.maxKib * 1024ull, 1, 1.0, s.scratch});
  std::vector<Result> results(sets.size());
  bool ok = true;
  for (size_t i = 0; i < sets.size() && ok; ++i) {
    ok = prepare(s, sets[i], results[i]) && measure(s, sets[i], results[i]);
    if (!s.keep) removeTree(sets[i].dir());
  }
  if (!s.keep) removeTree(s.scratch);
  if (!ok) return 1;
  print(results);
  if (s.windowSkip.empty()) {
    // The sample package lies beside the program of this build.
    std::string setupDir = s.setup.substr(0, s.setup.rfind('/'));
    std::string sample = setupDir + "/kxq5.dpk";
    std::vector<double> windows;
    for (unsigned round = 0; round < s.repeat && access(sample.c_str(), R_OK) == 0; ++round) {
      std::string base = s.scratch + "-window";
      std::string home = base + "/home", windowTemp = base + "/tmp";
      mkdir(base.c_str(), 0755);
      mkdir(home.c_str(), 0755);
      mkdir(windowTemp.c_str(), 0755);
      double seconds = timeToWindow(s.setup, setupDir, home, windowTemp);
      removeTree(base);
      if (seconds >= 0) windows.push_back(seconds);
    }
    if (!windows.empty())
      printf("sample package %s: window mapped %.3f s after the spawn (median of %zu)\n", sample.c_str(),
             median(windows), windows.size());
  }

  bool within = true;
  for (const Result& x : results)
    within = within && x.ours / x.tar <= x.budget && x.hwmKib < 32 * 1024 &&
             (!x.windowSkip.empty() || windowOverhead(x) <= kWindowBudget);
  printf("\n%s\n", within ? "within budget" : "OVER BUDGET");
  return s.check && !within ? 1 : 0;
}
