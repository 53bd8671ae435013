// The parts of the benchmark against the other unpackers whose faults
// would make its figures lie: the verdicts, the agreement of rounds, and
// the copies of real trees.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/peer_verdict.h"
#include "bench/spawn.h"
#include "bench/tree_copy.h"
#include "bench/trees.h"

using namespace bench;

namespace {

SideRuns side(const std::string& name, std::vector<double> rounds, const std::string& skip = "", long hwmKib = 0) {
  SideRuns s;
  s.name = name;
  s.rounds = rounds;
  s.skip = skip;
  s.hwmKib = hwmKib;
  return s;
}

PeerRow row(FsKind fs, TreeKind tree, SideRuns foreign, SideRuns own, std::vector<SideRuns> others) {
  PeerRow r;
  r.fs = fs == FsKind::kTmpfs ? "tmpfs" : fs == FsKind::kExt4 ? "ext4" : "scratch";
  r.tree = "t";
  r.fsKind = fs;
  r.treeKind = tree;
  r.setup[kForeign] = foreign;
  r.setup[kOwn] = own;
  r.peers = others;
  return r;
}

bool anyContains(const std::vector<std::string>& lines, const std::string& part) {
  for (const std::string& l : lines)
    if (l.find(part) != std::string::npos) return true;
  return false;
}

TEST(PeerVerdict, RatiosFastestPeerAndMisses) {
  const std::vector<double> one = {1.0, 1.0, 1.0};
  struct Case {
    const char* name;
    PeerRow row;
    int fastest;
    const char* cell;
    std::vector<std::string> misses;  // a part of each miss, in order
  } cases[] = {
      {"foreign over the tmpfs budget, own within",
       row(FsKind::kTmpfs, TreeKind::kHeaders, side("setup foreign", {0.6, 0.6, 0.6}), side("setup own", {0.5, 0.5, 0.5}),
           {side("tar -xzf", one), side("tar -I igzip", {0.7, 0.7, 0.7}), side("bsdtar -xf", {}, "bsdtar is not installed")}),
       1, "0.86 / 0.71", {"tmpfs t foreign: 0.86x the fastest unpacker (tar -I igzip), budget 0.80x"}},
      {"the fastest is chosen by median, not by the first round",
       row(FsKind::kExt4, TreeKind::kLibs, side("setup foreign", {0.7, 0.7, 0.7}), side("setup own", {0.6, 0.6, 0.6}),
           {side("a", {0.5, 1.1, 1.1}), side("b", {1.0, 1.0, 1.0})}),
       1, "0.70 / 0.60", {}},
      {"a peer that stopped being timed is no yardstick, however fast its rounds",
       row(FsKind::kTmpfs, TreeKind::kSmallKit, side("setup foreign", {0.7, 0.7, 0.7}), side("setup own", {0.7, 0.7, 0.7}),
           {side("failed", {0.1, 0.1}, "exited with status 2"), side("b", one)}),
       1, "0.70 / 0.70", {}},
      {"no peer at all: unmeasured where a budget applies",
       row(FsKind::kExt4, TreeKind::kSmallKit, side("setup foreign", one), side("setup own", one),
           {side("a", {}, "a is not installed")}),
       -1, "- / -", {"foreign: no other unpacker", "own: no other unpacker"}},
      {"setup not timed is a miss, the other kind still judged",
       row(FsKind::kExt4, TreeKind::kHeaders, side("setup foreign", {}, "exited with status 2"),
           side("setup own", {1.2, 1.2, 1.2}), {side("a", one)}),
       0, "- / 1.20", {"foreign: setup not timed: exited with status 2", "own: 1.20x the fastest unpacker (a), budget 1.00x"}},
      {"within budget on rounds that disagree is not kept",
       row(FsKind::kTmpfs, TreeKind::kLibs, side("setup foreign", {0.5, 0.5, 0.5}), side("setup own", {0.4, 0.5, 0.6}),
           {side("a", one)}),
       0, "0.50 / 0.50", {"own: 0.50x within budget 0.80x, but the rounds disagree (setup 40%, a 0%)"}},
      {"the fastest peer's rounds disagreeing spoil both kinds",
       row(FsKind::kTmpfs, TreeKind::kLibs, side("setup foreign", {0.5, 0.5, 0.5}), side("setup own", {0.5, 0.5, 0.5}),
           {side("a", {0.8, 1.0, 1.3}), side("b", {2.0, 2.0, 2.0})}),
       0, "0.50 / 0.50", {"foreign: 0.50x within budget", "own: 0.50x within budget"}},
      {"peak memory over 64 MiB",
       row(FsKind::kTmpfs, TreeKind::kHeaders, side("setup foreign", {0.5, 0.5, 0.5}, "", 70 * 1024),
           side("setup own", {0.5, 0.5, 0.5}, "", 60 * 1024), {side("a", one)}),
       0, "0.50 / 0.50", {"foreign: peak memory 70.0 MiB, budget 64 MiB"}},
      {"a generated tree is shown, never judged against a ratio",
       row(FsKind::kTmpfs, TreeKind::kGenerated, side("setup foreign", {3.0}), side("setup own", {3.0}), {side("a", {1.0})}),
       0, "3.00 / 3.00", {}},
      {"exactly at the budget is kept",
       row(FsKind::kExt4, TreeKind::kSmallKit, side("setup foreign", {1.5, 1.5, 1.5}), side("setup own", {1.5, 1.5, 1.5}),
           {side("a", one)}),
       0, "1.50 / 1.50", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RowVerdict v = judgeRow(c.row);
    EXPECT_EQ(c.fastest, v.fastest);
    EXPECT_EQ(c.cell, ratioCell(v));
    ASSERT_EQ(c.misses.size(), v.misses.size()) << (v.misses.empty() ? "" : v.misses[0]);
    for (size_t i = 0; i < c.misses.size(); ++i)
      EXPECT_NE(std::string::npos, v.misses[i].find(c.misses[i])) << v.misses[i];
  }
}

TEST(PeerVerdict, DisagreeingSidesAreNamedEvenWhenNotJudged) {
  PeerRow r = row(FsKind::kTmpfs, TreeKind::kHeaders, side("setup foreign", {0.5, 0.5, 0.5}),
                  side("setup own", {0.5, 0.5, 0.5}), {side("fast", {1.0, 1.0, 1.0}), side("slow", {2.0, 3.0, 2.5})});
  RowVerdict v = judgeRow(r);
  EXPECT_TRUE(v.misses.empty());
  ASSERT_EQ(1u, v.disagreeing.size());
  EXPECT_TRUE(anyContains(v.disagreeing, "slow (spread 40%)"));
}

TEST(PeerVerdict, RoundsAgreeWithinFifteenPercentOfTheMedian) {
  struct Case {
    std::vector<double> rounds;
    bool agree;
  } cases[] = {
      {{}, true},
      {{4.0}, true},
      {{1.0, 1.0, 1.0}, true},
      {{1.0, 1.15, 1.0}, true},    // exactly 15% of the median
      {{1.0, 1.16, 1.0}, false},
      {{0.9, 1.0, 1.1}, false},    // 20% of the middle one
      {{1.0, 1.07, 1.14}, true},   // 14 / 1.07
      {{1.14, 1.0, 1.07}, true},   // the order does not matter
      {{0.1, 1.0, 1.0}, false},    // one fast outlier
  };
  for (const Case& c : cases) {
    std::ostringstream name;
    for (double r : c.rounds) name << r << " ";
    SCOPED_TRACE(name.str());
    EXPECT_EQ(c.agree, roundsAgree(c.rounds));
  }
}

class BenchScratch : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tree_copy_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    root = dir;
  }
  void TearDown() override { removeTree(root); }

  void write(const std::string& path, const std::string& bytes, time_t seconds, long nanoseconds) {
    std::ofstream(root + "/" + path, std::ios::binary) << bytes;
    struct timespec times[2] = {{seconds - 100, nanoseconds / 2}, {seconds, nanoseconds}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (root + "/" + path).c_str(), times, AT_SYMLINK_NOFOLLOW));
  }
  std::string read(const std::string& path) {
    std::ifstream in(root + "/" + path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string root;
};

TEST_F(BenchScratch, TreeCopyTakesRegularFilesOnlyWithTheirTimes) {
  ASSERT_EQ(0, mkdir((root + "/src").c_str(), 0755));
  ASSERT_EQ(0, mkdir((root + "/src/a").c_str(), 0755));
  ASSERT_EQ(0, mkdir((root + "/src/a/b").c_str(), 0755));
  ASSERT_EQ(0, mkdir((root + "/elsewhere").c_str(), 0755));
  std::string big(3 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 4093) big[i] = static_cast<char>(i);
  struct File {
    const char* path;
    std::string bytes;
    time_t seconds;
    long nanoseconds;
  } files[] = {
      {"src/top.h", "#define TOP 1\n", 1500000000, 999999999},
      {"src/empty", "", 1400000000, 1},
      {"src/a/b/deep.bin", big, 1600000000, 123456789},
  };
  for (const File& f : files) write(f.path, f.bytes, f.seconds, f.nanoseconds);
  write("elsewhere/secret", "not below the source", 1000, 0);
  ASSERT_EQ(0, symlink("top.h", (root + "/src/link.h").c_str()));
  ASSERT_EQ(0, symlink("../elsewhere", (root + "/src/linked-dir").c_str()));
  ASSERT_EQ(0, mkfifo((root + "/src/a/pipe").c_str(), 0644));

  CopyCount count;
  std::string error;
  ASSERT_TRUE(copyRegularFiles(root + "/src", root + "/copy", count, error)) << error;
  EXPECT_EQ(3u, count.files);
  EXPECT_EQ(14u + big.size(), count.bytes);
  EXPECT_EQ(3u, count.skipped);  // two links and the pipe
  for (const File& f : files) {
    std::string copy = std::string("copy") + (f.path + 3);
    SCOPED_TRACE(copy);
    // The times first: reading the copy may move its access time.
    struct stat st;
    ASSERT_EQ(0, lstat((root + "/" + copy).c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(f.seconds, st.st_mtim.tv_sec);
    EXPECT_EQ(f.nanoseconds, st.st_mtim.tv_nsec);
    EXPECT_EQ(f.seconds - 100, st.st_atim.tv_sec);
    EXPECT_EQ(f.nanoseconds / 2, st.st_atim.tv_nsec);
    EXPECT_EQ(f.bytes, read(copy));
  }
  TreeTotals t = totals(root + "/copy");
  EXPECT_EQ(3u, t.files);
  struct stat st;
  for (const char* absent : {"copy/link.h", "copy/linked-dir", "copy/a/pipe"}) {
    SCOPED_TRACE(absent);
    EXPECT_NE(0, lstat((root + "/" + absent).c_str(), &st));
  }
}

TEST_F(BenchScratch, TreeCopyRefusesWhatItCannotCopyCleanly) {
  ASSERT_EQ(0, mkdir((root + "/src").c_str(), 0755));
  write("src/f", "f", 1000, 0);
  ASSERT_EQ(0, mkdir((root + "/taken").c_str(), 0755));
  ASSERT_EQ(0, symlink("src", (root + "/src-link").c_str()));
  struct Case {
    const char* name;
    std::string source, target;
  } cases[] = {
      {"no source", root + "/missing", root + "/out1"},
      {"a file as the source", root + "/src/f", root + "/out2"},
      {"a link to the source is not followed", root + "/src-link", root + "/out3"},
      {"a target that is already there", root + "/src", root + "/taken"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CopyCount count;
    std::string error;
    EXPECT_FALSE(copyRegularFiles(c.source, c.target, count, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(0u, count.files);
  }
  struct stat st;
  EXPECT_NE(0, lstat((root + "/taken/f").c_str(), &st));
}

// A display left in setup's environment would show its window and pause:
// the figure would no longer be the one scripts wait for.
TEST(Spawn, ScriptEnvironmentHasNoDisplayAndItsOwnHomeAndTemp) {
  setenv("DISPLAY", ":9", 1);
  setenv("WAYLAND_DISPLAY", "wayland-9", 1);
  setenv("HOME", "/home/elsewhere", 1);
  setenv("TMPDIR", "/tmp/elsewhere", 1);
  setenv("XDISPLAY_NOTE", "kept", 1);
  std::vector<std::string> env = scriptEnvironment("/fresh/home", "/fresh/tmp");
  struct Case {
    const char* name;
    const char* value;  // null: absent
  } cases[] = {
      {"DISPLAY", nullptr},          {"WAYLAND_DISPLAY", nullptr}, {"HOME", "/fresh/home"},
      {"TMPDIR", "/fresh/tmp"},      {"XDISPLAY_NOTE", "kept"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> found;
    for (const std::string& e : env)
      if (e.compare(0, strlen(c.name) + 1, std::string(c.name) + "=") == 0) found.push_back(e.substr(strlen(c.name) + 1));
    if (c.value == nullptr) {
      EXPECT_TRUE(found.empty());
    } else {
      ASSERT_EQ(1u, found.size());
      EXPECT_EQ(c.value, found[0]);
    }
  }
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("XDISPLAY_NOTE");
}

TEST_F(BenchScratch, FindProgramTakesOnlyExecutableFiles) {
  ASSERT_EQ(0, mkdir((root + "/bin").c_str(), 0755));
  ASSERT_EQ(0, mkdir((root + "/bin/folder").c_str(), 0755));
  write("bin/plain", "data", 1000, 0);
  write("bin/tool", "#!/bin/sh\n", 1000, 0);
  ASSERT_EQ(0, chmod((root + "/bin/tool").c_str(), 0755));
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", ("relative:" + root + "/bin").c_str(), 1);
  struct Case {
    const char* program;
    std::string found;
  } cases[] = {
      {"tool", root + "/bin/tool"},
      {"plain", ""},     // not executable: it would fail inside the timing
      {"folder", ""},
      {"missing", ""},
      {"/bin/sh", "/bin/sh"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    EXPECT_EQ(c.found, findProgram(c.program));
  }
  setenv("PATH", path.c_str(), 1);
}

}  // namespace
