// Benchmark of the installer against the other unpackers on real trees.
//
// Copies of this machine's own folders (/usr/include, /usr/lib/gcc,
// /usr/share/X11: regular files only, times kept) are packed twice: "own",
// as the vendor tool packs them (member checksums), and "foreign", as other
// packers would (raw DEFLATE level 6, no checksums); and as a gzipped
// tarball and a zip file, for tar -xzf, tar -I igzip, bsdtar -xf, unzip -q
// and 7z x. Each is timed from spawn to exit, as a script that runs it
// waits: 'setup usecwd -S' without a display (the way scripts run it: no
// window, no pause) into a fresh HOME, each unpacker into a fresh folder,
// no shell anywhere. The rounds turn the order of the sides; every side
// starts from the same state (the side before's output out of the way,
// everything written back, the inputs in the page cache). It runs on
// tmpfs, where only the unpacking counts, and on ext4 (a loop image, when
// this runs as root), where setup makes its files durable and the others
// do not; there each output is set aside until the tree's rounds are over,
// so that no side pays for deleting the one before.
//
//   bench_peers             the real trees, tmpfs and ext4, an untimed warm-up
//                           round and 3 timed rounds
//   bench_peers --check     exit 1 when a budget is missed
//   bench_peers --quick     a small generated tree in the scratch folder, 1 round
//   bench_peers --help      every knob

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/peer_verdict.h"
#include "bench/peers.h"
#include "bench/spawn.h"
#include "bench/statistics.h"
#include "bench/tree_copy.h"
#include "bench/trees.h"
#include "tools/package_builder.h"

using namespace bench;

namespace {

const char kUsage[] =
    "Usage: bench_peers [options]\n"
    "  --rounds N     timed rounds per tree and file system; medians (default 3)\n"
    "  --warmups N    untimed rounds before them, each side once per round\n"
    "                 (default 1; 0 with --quick)\n"
    "  --scratch DIR  where the trees' copies, packages and archives go (default\n"
    "                 $TMPDIR or /tmp), and the ext4 image\n"
    "  --tmpfs DIR    the tmpfs to unpack into (default /dev/shm); skipped when it\n"
    "                 is not tmpfs\n"
    "  --no-tmpfs     do not unpack on tmpfs\n"
    "  --no-ext4      do not unpack on ext4 (a loop image, made and mounted only\n"
    "                 when this runs as root and mkfs.ext4 is there)\n"
    "  --setup PATH   the setup program (default: the one of this build tree)\n"
    "  --quick        a small generated tree unpacked in the scratch folder, 1\n"
    "                 round (the options beside it still count)\n"
    "  --check        exit 1 when a budget is missed, naming each miss. On medians\n"
    "                 of rounds that agree within 15%, both package kinds: on\n"
    "                 tmpfs at most 0.8x the fastest unpacker on each tree; on ext4\n"
    "                 headers 1.0x, libs 0.7x, small kit 1.5x; setup's peak\n"
    "                 resident memory 64 MiB\n";

#ifdef SETUP_PATH
const char kDefaultSetup[] = SETUP_PATH;
#else
const char kDefaultSetup[] = "";
#endif

// Where setup installs for a fresh HOME that holds no launcher settings.
const char kTargetBelowHome[] = "/.kxq5/KX/kxq5/tmplts";

struct Options {
  unsigned rounds = 3;
  // A first run pays for what later ones find ready (the programs and
  // their libraries in memory, the file system's first allocations), more
  // for some sides than for others: untimed, it keeps that out of the
  // medians and out of the rounds' spread.
  unsigned warmups = 1;
  std::string scratch, tmpfs = "/dev/shm", setup;
  bool quick = false, check = false, useTmpfs = true, useExt4 = true;
};

struct TreeSource {
  const char* label;
  const char* path;
  TreeKind kind;
};
const TreeSource kRealTrees[] = {
    {"headers", "/usr/include", TreeKind::kHeaders},
    {"libs", "/usr/lib/gcc", TreeKind::kLibs},
    {"small kit", "/usr/share/X11", TreeKind::kSmallKit},
};

// A tree ready to unpack: its packages, its archives and what it holds.
struct PreparedTree {
  std::string label, source, dir;
  TreeKind kind;
  TreeTotals totals;
  std::string packageDir[kPackageKinds];  // each holds kxq5.dpk
  Archives archives;
};

// A file system the trees are unpacked into.
struct Target {
  std::string label, dir;
  FsKind kind;
  bool setAside;  // outputs set aside until the tree's rounds are over
};

std::string thousands(unsigned long long n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string loadAverage() {
  std::string text = head("/proc/loadavg", 64);
  size_t cut = 0;
  for (int fields = 0; cut < text.size() && fields < 3; ++cut) {
    if (text[cut] == ' ') ++fields;
  }
  return text.substr(0, cut > 0 ? cut - 1 : 0);
}

long fileSystemType(const std::string& path) {
  struct statfs fs;
  return statfs(path.c_str(), &fs) == 0 ? static_cast<long>(fs.f_type) : -1;
}

void warm(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  static char buffer[1 << 16];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
  close(fd);
}

bool writePackage(const std::string& tree, const std::string& dir, bool checksums, std::string& error) {
  std::vector<package_builder::SourceFile> files;
  package_builder::Options options;
  options.level = 6;
  options.memberChecksums = checksums;
  options.products.push_back(config::ProductInfo());
  options.products.back().language = u"en";
  options.products.back().productName = u"Benchmark";
  mkdir(dir.c_str(), 0755);
  return package_builder::collectFiles(tree, files, error) &&
         package_builder::writePackage(dir + "/kxq5.dpk", options, files, error);
}

// Packs the copy at dir/tree both ways and archives it; the copy itself
// goes afterwards. False, with error, when a package cannot be made.
bool prepareInputs(PreparedTree& t, std::string& error) {
  std::string tree = t.dir + "/tree";
  t.totals = totals(tree);
  t.packageDir[kOwn] = t.dir + "/own";
  t.packageDir[kForeign] = t.dir + "/foreign";
  if (!writePackage(tree, t.packageDir[kOwn], true, error) || !writePackage(tree, t.packageDir[kForeign], false, error))
    return false;
  t.archives = makeArchives(tree, t.dir + "/tree.tar.gz", t.dir + "/tree.zip");
  removeTree(tree);
  return true;
}

class Rounds {
 public:
  Rounds(const Options& o, const PreparedTree& t, const Target& target) : o_(o), t_(t), target_(target) {}

  // Times every side of the tree on the target; the row of the table.
  // False when a side failed (as opposed to being absent).
  bool run(PeerRow& row) {
    row.fs = target_.label;
    row.fsKind = target_.kind;
    row.tree = t_.label;
    row.treeKind = t_.kind;
    char text[256];
    double mb = t_.totals.bytes / 1e6;
    snprintf(text, sizeof text, "%s: `%s`, %s files, %.*f MB", t_.label.c_str(), t_.source.c_str(),
             thousands(t_.totals.files).c_str(), mb < 10 ? 1 : 0, mb);
    row.description = text;
    for (int k = 0; k < kPackageKinds; ++k) {
      row.setup[k].name = std::string("setup ") + kPackageKindNames[k];
      if (o_.setup.empty()) row.setup[k].skip = "no setup program";
    }
    std::vector<std::string> programs;
    for (const Peer& p : peers()) {
      SideRuns side;
      side.name = p.name;
      std::string program = findProgram(p.program);
      if (program.empty()) side.skip = std::string(p.program) + " is not installed";
      else if (p.helper != nullptr && findProgram(p.helper).empty())
        side.skip = std::string(p.helper) + " is not installed";
      else side.skip = t_.archives.skip(p.archive);
      row.peers.push_back(side);
      programs.push_back(program);
    }

    out_ = target_.dir + "/out";
    bool ok = true;
    size_t sides = kPackageKinds + row.peers.size();
    for (unsigned round = 0; round < o_.warmups + o_.rounds; ++round) {
      const bool warmup = round < o_.warmups;
      std::string line;
      for (size_t n = 0; n < sides; ++n) {
        size_t i = (n + round) % sides;
        SideRuns& side = i < kPackageKinds ? row.setup[i] : row.peers[i - kPackageKinds];
        if (!side.skip.empty()) continue;
        freshState();
        bool timed = i < kPackageKinds ? timeSetup(static_cast<int>(i), side)
                                       : timePeer(peers()[i - kPackageKinds], programs[i - kPackageKinds], side);
        ok = ok && timed;
        if (timed) snprintf(text, sizeof text, "%s%s %.3f s", line.empty() ? "" : ", ", side.name.c_str(), side.rounds.back());
        else snprintf(text, sizeof text, "%s%s failed", line.empty() ? "" : ", ", side.name.c_str());
        line += text;
        if (timed && warmup) {
          side.rounds.pop_back();
          side.cpu.pop_back();
        }
      }
      if (warmup)
        fprintf(stderr, "[%s, %s] warm-up %u (untimed): %s\n", target_.label.c_str(), t_.label.c_str(), round + 1, line.c_str());
      else
        fprintf(stderr, "[%s, %s] round %u: %s\n", target_.label.c_str(), t_.label.c_str(), round - o_.warmups + 1,
                line.c_str());
    }
    removeTree(out_);
    for (const std::string& dir : aside_) removeTree(dir);
    aside_.clear();
    return ok;
  }

 private:
  void freshState() {
    std::string aside = target_.dir + "/aside" + std::to_string(aside_.size());
    if (target_.setAside && access(out_.c_str(), F_OK) == 0 && rename(out_.c_str(), aside.c_str()) == 0)
      aside_.push_back(aside);
    else removeTree(out_);
    sync();
    for (const std::string& dir : t_.packageDir) warm(dir + "/kxq5.dpk");
    warm(t_.archives.tarGz);
    warm(t_.archives.zip);
    mkdir(out_.c_str(), 0755);
  }

  // Whether what landed in dir is the whole tree; else says so in side.
  bool complete(const std::string& dir, SideRuns& side, const std::string& log) {
    TreeTotals got = totals(dir);
    if (got.files == t_.totals.files && got.bytes == t_.totals.bytes) return true;
    char why[256];
    snprintf(why, sizeof why, "left %llu of %llu files, %llu of %llu bytes", got.files, t_.totals.files, got.bytes,
             t_.totals.bytes);
    fail(side, why, log);
    return false;
  }

  void fail(SideRuns& side, const std::string& why, const std::string& log) {
    side.skip = why;
    std::string output = head(log, 2000);
    fprintf(stderr, "bench_peers: %s on %s, %s: %s%s%s\n", side.name.c_str(), t_.label.c_str(),
            target_.label.c_str(), why.c_str(), output.empty() ? "" : "; its output:\n", output.c_str());
  }

  bool timeSetup(int kind, SideRuns& side) {
    std::string home = out_ + "/home", temp = out_ + "/tmp", log = out_ + "/log";
    mkdir(home.c_str(), 0755);
    mkdir(temp.c_str(), 0755);
    std::vector<std::string> env = scriptEnvironment(home, temp);
    TimedRun r = runTimed({o_.setup, "usecwd", "-S"}, &env, t_.packageDir[kind], log);
    if (r.status != 0) {
      fail(side, "'setup usecwd -S' exited with status " + std::to_string(r.status), log);
      return false;
    }
    if (!complete(home + kTargetBelowHome, side, log)) return false;
    side.rounds.push_back(r.seconds);
    side.cpu.push_back(r.cpuSeconds);
    side.hwmKib = std::max(side.hwmKib, r.hwmKib);
    return true;
  }

  bool timePeer(const Peer& peer, const std::string& program, SideRuns& side) {
    std::string x = out_ + "/x", log = out_ + "/log";
    mkdir(x.c_str(), 0755);
    TimedRun r = runTimed(peerCommand(peer, program, t_.archives.path(peer.archive), x), nullptr, "", log);
    if (r.status != 0) {
      fail(side, "exited with status " + std::to_string(r.status), log);
      return false;
    }
    if (!complete(x, side, log)) return false;
    side.rounds.push_back(r.seconds);
    side.cpu.push_back(r.cpuSeconds);
    side.hwmKib = std::max(side.hwmKib, r.hwmKib);
    return true;
  }

  const Options& o_;
  const PreparedTree& t_;
  const Target& target_;
  std::string out_;
  std::vector<std::string> aside_;
};

std::string cell(const SideRuns& s, bool cpu = false) {
  if (!s.timed()) return "-";
  char text[32];
  snprintf(text, sizeof text, "%.3f", median(cpu ? s.cpu : s.rounds));
  return text;
}

// The table of one file system, as the README shows it, then what stands
// behind each row.
void printTable(const std::string& title, const std::vector<const PeerRow*>& rows) {
  if (rows.empty()) return;
  printf("\n| %s | setup foreign | setup own |", title.c_str());
  for (const SideRuns& p : rows[0]->peers) printf(" %s |", p.name.c_str());
  printf(" setup ÷ fastest |\n|---|---|---|");
  for (size_t i = 0; i < rows[0]->peers.size(); ++i) printf("---|");
  printf("---|\n");
  for (const PeerRow* r : rows) {
    RowVerdict v = judgeRow(*r);
    printf("| %s | %s | %s |", r->description.c_str(), cell(r->setup[kForeign]).c_str(), cell(r->setup[kOwn]).c_str());
    for (const SideRuns& p : r->peers) printf(" %s |", cell(p).c_str());
    printf(" %s |\n", ratioCell(v).c_str());
  }
  printf("\n| processor s (user + system), same rounds | setup foreign | setup own |");
  for (const SideRuns& p : rows[0]->peers) printf(" %s |", p.name.c_str());
  printf("\n|---|---|---|");
  for (size_t i = 0; i < rows[0]->peers.size(); ++i) printf("---|");
  printf("\n");
  for (const PeerRow* r : rows) {
    printf("| %s | %s | %s |", r->tree.c_str(), cell(r->setup[kForeign], true).c_str(),
           cell(r->setup[kOwn], true).c_str());
    for (const SideRuns& p : r->peers) printf(" %s |", cell(p, true).c_str());
    printf("\n");
  }
  printf("\n");
  for (const PeerRow* r : rows) {
    RowVerdict v = judgeRow(*r);
    printf("  %s: fastest unpacker %s; ", r->tree.c_str(), v.fastest < 0 ? "none" : r->peers[v.fastest].name.c_str());
    if (r->setup[kOwn].rounds.size() < 2) {
      printf("a single round, nothing to agree");
    } else if (v.disagreeing.empty()) {
      printf("the rounds agree within %s", percent(kAgreeShare).c_str());
    } else {
      printf("the rounds do NOT agree within %s:", percent(kAgreeShare).c_str());
      for (size_t i = 0; i < v.disagreeing.size(); ++i) printf("%s %s", i ? "," : "", v.disagreeing[i].c_str());
    }
    printf("; setup's peak memory %.1f / %.1f MiB (foreign / own)\n", r->setup[kForeign].hwmKib / 1024.0,
           r->setup[kOwn].hwmKib / 1024.0);
    for (const SideRuns* s : {&r->setup[kForeign], &r->setup[kOwn]})
      if (!s->skip.empty()) printf("    %s not timed: %s\n", s->name.c_str(), s->skip.c_str());
    for (const SideRuns& p : r->peers)
      if (!p.skip.empty()) printf("    %s not timed: %s\n", p.name.c_str(), p.skip.c_str());
  }
}

void printRounds(const std::vector<PeerRow>& rows) {
  printf("\nRound by round, in seconds, spawn to exit:\n");
  for (const PeerRow& r : rows) {
    std::vector<const SideRuns*> sides = {&r.setup[kForeign], &r.setup[kOwn]};
    for (const SideRuns& p : r.peers) sides.push_back(&p);
    for (const SideRuns* s : sides) {
      if (s->rounds.empty()) continue;
      printf("  %-6s %-10s %-14s", r.fs.c_str(), r.tree.c_str(), s->name.c_str());
      for (double x : s->rounds) printf(" %7.3f", x);
      printf("   median %.3f, spread %s\n", median(s->rounds), percent(spread(s->rounds)).c_str());
    }
  }
}

// False, having said so, when the image stays mounted.
bool unmount(const std::string& point) {
  std::string umount = findProgram("umount");
  if (!umount.empty() && runTimed({umount, point}, nullptr, "", "").status == 0) return true;
  fprintf(stderr, "bench_peers: could not unmount %s; unmount it by hand\n", point.c_str());
  return false;
}

// Makes, formats and mounts an ext4 image of bytes under dir. Empty, with
// why, when it cannot.
std::string mountExt4(const std::string& dir, unsigned long long bytes, std::string& why) {
  if (geteuid() != 0) {
    why = "this does not run as root, so no loop image can be mounted";
    return "";
  }
  std::string mkfs = findProgram("mkfs.ext4"), mount = findProgram("mount");
  if (mkfs.empty()) mkfs = findProgram("/sbin/mkfs.ext4");
  if (mkfs.empty() || mount.empty()) {
    why = mkfs.empty() ? "mkfs.ext4 is not installed" : "mount is not installed";
    return "";
  }
  std::string image = dir + "/ext4.img", point = dir + "/ext4";
  int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool sized = fd >= 0 && ftruncate(fd, static_cast<off_t>(bytes)) == 0;
  if (fd >= 0) close(fd);
  if (!sized) {
    why = "cannot make the image " + image + ": " + strerror(errno);
    return "";
  }
  mkdir(point.c_str(), 0755);
  if (runTimed({mkfs, "-q", "-F", image}, nullptr, "", "").status != 0) {
    why = "mkfs.ext4 failed on " + image;
    return "";
  }
  if (runTimed({mount, "-o", "loop", image, point}, nullptr, "", "").status != 0) {
    why = "the image " + image + " could not be mounted";
    return "";
  }
  if (fileSystemType(point) != EXT4_SUPER_MAGIC) {
    why = "the image " + image + " was mounted, but not as ext4";
    unmount(point);
    return "";
  }
  return point;
}


}  // namespace

int main(int argc, char** argv) {
  Options o;
  bool noSetup = false, roundsGiven = false, warmupsGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool more = i + 1 < argc;
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--rounds" && more) {
      o.rounds = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
      roundsGiven = true;
    } else if (a == "--warmups" && more) {
      o.warmups = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
      warmupsGiven = true;
    }
    else if (a == "--scratch" && more) o.scratch = argv[++i];
    else if (a == "--tmpfs" && more) o.tmpfs = argv[++i];
    else if (a == "--setup" && more) o.setup = argv[++i];
    else if (a == "--no-tmpfs") o.useTmpfs = false;
    else if (a == "--no-ext4") o.useExt4 = false;
    else if (a == "--quick") o.quick = true;
    else if (a == "--check") o.check = true;
    else {
      fprintf(stderr, "bench_peers: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  if (o.quick && !roundsGiven) o.rounds = 1;
  if (o.quick && !warmupsGiven) o.warmups = 0;
  if (o.rounds == 0) {
    fprintf(stderr, "bench_peers: --rounds needs a number above 0\n");
    return 2;
  }
  if (o.setup.empty()) o.setup = kDefaultSetup;
  if (o.setup.empty()) {
    fprintf(stderr, "setup is not timed: this build has none (give --setup PATH)\n");
    noSetup = true;
  } else {
    char* absolute = realpath(o.setup.c_str(), nullptr);
    if (absolute == nullptr || access(absolute, X_OK) != 0) {
      fprintf(stderr, "bench_peers: no setup program at %s\n", o.setup.c_str());
      free(absolute);
      return 2;
    }
    o.setup = absolute;
    free(absolute);
  }
  if (o.scratch.empty()) {
    const char* t = getenv("TMPDIR");
    o.scratch = t && *t ? t : "/tmp";
  }
  std::string work = o.scratch + "/bench_peers_XXXXXX";
  if (mkdtemp(&work[0]) == nullptr) {
    fprintf(stderr, "bench_peers: cannot create a scratch directory under %s: %s\n", o.scratch.c_str(),
            strerror(errno));
    return 1;
  }
  std::string loadBefore = loadAverage();
  fprintf(stderr, "load average before: %s\n", loadBefore.c_str());

  // The trees, copied and packed.
  std::vector<PreparedTree> trees;
  std::vector<std::string> skipped;
  bool ok = true;
  if (o.quick) {
    PreparedTree t;
    t.label = "generated";
    t.source = "generated";
    t.kind = TreeKind::kGenerated;
    t.dir = work + "/generated";
    mkdir(t.dir.c_str(), 0755);
    makeTree(t.dir + "/tree", 300, 1024, 16 * 1024, 3);
    trees.push_back(t);
  } else {
    for (const TreeSource& source : kRealTrees) {
      struct stat st;
      if (lstat(source.path, &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::string line = std::string(source.label) + " skipped: " + source.path + " is not a folder here";
        fprintf(stderr, "%s\n", line.c_str());
        skipped.push_back(line);
        continue;
      }
      PreparedTree t;
      t.label = source.label;
      t.source = source.path;
      t.kind = source.kind;
      t.dir = work + "/" + std::to_string(trees.size());
      mkdir(t.dir.c_str(), 0755);
      CopyCount count;
      std::string error;
      fprintf(stderr, "[%s] copying %s...\n", t.label.c_str(), source.path);
      if (!copyRegularFiles(source.path, t.dir + "/tree", count, error)) {
        fprintf(stderr, "bench_peers: %s\n", error.c_str());
        ok = false;
        break;
      }
      fprintf(stderr, "[%s] %s files, %.1f MB; %s entries left out (links, special files, unreadable)\n",
              t.label.c_str(), thousands(count.files).c_str(), count.bytes / 1e6, thousands(count.skipped).c_str());
      trees.push_back(t);
    }
  }
  for (size_t i = 0; ok && i < trees.size(); ++i) {
    fprintf(stderr, "[%s] packing and archiving...\n", trees[i].label.c_str());
    std::string error;
    if (!prepareInputs(trees[i], error)) {
      fprintf(stderr, "bench_peers: %s: %s\n", trees[i].label.c_str(), error.c_str());
      ok = false;
    }
  }

  // The file systems.
  std::vector<Target> targets;
  std::string ext4Point;
  if (ok && o.quick) {
    long type = fileSystemType(work);
    FsKind kind = type == TMPFS_MAGIC ? FsKind::kTmpfs : type == EXT4_SUPER_MAGIC ? FsKind::kExt4 : FsKind::kOther;
    std::string dir = work + "/unpack";
    mkdir(dir.c_str(), 0755);
    targets.push_back({"scratch", dir, kind, kind != FsKind::kTmpfs});
  } else if (ok) {
    if (!o.useTmpfs) {
      skipped.push_back("tmpfs skipped: --no-tmpfs");
    } else if (fileSystemType(o.tmpfs) != TMPFS_MAGIC) {
      skipped.push_back("tmpfs skipped: " + o.tmpfs + " is not tmpfs (give --tmpfs DIR)");
    } else {
      std::string dir = o.tmpfs + "/bench_peers_XXXXXX";
      if (mkdtemp(&dir[0]) != nullptr) targets.push_back({"tmpfs", dir, FsKind::kTmpfs, false});
      else skipped.push_back("tmpfs skipped: cannot make a folder in " + o.tmpfs + ": " + strerror(errno));
    }
    if (!o.useExt4) {
      skipped.push_back("ext4 skipped: --no-ext4");
    } else {
      // Room for every output of a tree set aside at once, each file
      // taking at least a block, and the images setup keeps while it runs.
      unsigned long long need = 0;
      for (const PreparedTree& t : trees)
        need = std::max(need, (t.totals.bytes + t.totals.files * 4096) * (2 + peers().size()) * (o.rounds + o.warmups));
      std::string why;
      ext4Point = mountExt4(work, need + need / 4 + (1ull << 30), why);
      if (ext4Point.empty()) skipped.push_back("ext4 skipped: " + why);
      else targets.push_back({"ext4", ext4Point, FsKind::kExt4, true});
    }
  }
  for (const std::string& line : skipped) fprintf(stderr, "%s\n", line.c_str());

  std::vector<PeerRow> rows;
  for (const Target& target : targets) {
    for (const PreparedTree& t : trees) {
      if (!ok) break;
      rows.emplace_back();
      ok = Rounds(o, t, target).run(rows.back());
    }
  }
  // A tree removed below a mount that is still there would reach into it.
  bool unmounted = ext4Point.empty() || unmount(ext4Point);
  for (const Target& target : targets)
    if (target.kind == FsKind::kTmpfs && !o.quick) removeTree(target.dir);
  if (unmounted) removeTree(work);
  else fprintf(stderr, "bench_peers: %s is left in place\n", work.c_str());
  std::string loadAfter = loadAverage();

  printf("Setup against the other unpackers, seconds from spawn to exit, medians of %u round%s%s\n"
         "after %u untimed warm-up round%s;\n"
         "'setup usecwd -S' without a display; own = packed with member checksums, foreign = without\n"
         "(raw DEFLATE level 6); the last column is setup's median over the fastest unpacker's\n"
         "(foreign / own). Load average before %s, after %s.\n",
         o.rounds, o.rounds == 1 ? "" : "s", o.rounds > 1 ? " in turning order" : "", o.warmups,
         o.warmups == 1 ? "" : "s", loadBefore.c_str(),
         loadAfter.c_str());
  for (const Target& target : targets) {
    std::vector<const PeerRow*> mine;
    for (const PeerRow& r : rows)
      if (r.fs == target.label) mine.push_back(&r);
    std::string title = target.label == "ext4" ? "ext4, outputs set aside (setup flushes, the others do not)"
                                               : target.label + ", no display";
    printTable(title, mine);
  }
  for (const std::string& line : skipped) printf("%s\n", line.c_str());
  printRounds(rows);

  std::vector<std::string> misses;
  for (const PeerRow& r : rows) {
    RowVerdict v = judgeRow(r);
    misses.insert(misses.end(), v.misses.begin(), v.misses.end());
  }
  if (!o.quick && rows.empty()) misses.push_back("nothing was measured");
  printf("\nBudgets (medians of rounds that agree within %s; tmpfs %.1fx the fastest unpacker; ext4 headers %.1fx,\n"
         "libs %.1fx, small kit %.1fx; peak memory %.0f MiB):\n",
         percent(kAgreeShare).c_str(), ratioBudget(FsKind::kTmpfs, TreeKind::kHeaders),
         ratioBudget(FsKind::kExt4, TreeKind::kHeaders), ratioBudget(FsKind::kExt4, TreeKind::kLibs),
         ratioBudget(FsKind::kExt4, TreeKind::kSmallKit), kPeerPeakBudgetMib);
  for (const std::string& m : misses) printf("  MISS %s\n", m.c_str());
  printf("%s\n", misses.empty() ? "within budget" : "OVER BUDGET or not measured");
  if (!ok) return 1;
  if (noSetup) return 0;
  return o.check && !misses.empty() ? 1 : 0;
}
