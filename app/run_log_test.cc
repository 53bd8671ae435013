#include "app/run_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/test_support.h"

namespace {

TEST(RunLogTest, InsideTheTargetAsTheFileSystemResolvesIt) {
  ScratchDir dir;
  ASSERT_EQ(0, mkdir((dir / "t").c_str(), 0755));
  ASSERT_EQ(0, mkdir((dir / "t/sub").c_str(), 0755));
  ASSERT_EQ(0, mkdir((dir / "tx").c_str(), 0755));
  ASSERT_EQ(0, mkdir((dir / "a").c_str(), 0755));
  ASSERT_EQ(0, symlink((dir / "t").c_str(), (dir / "link").c_str()));
  ASSERT_EQ(0, symlink((dir / "t/sub").c_str(), (dir / "a/into").c_str()));
  struct Case {
    const char* path;    // below the scratch folder
    const char* target;  // likewise
    bool inside;
  } cases[] = {
      {"t/log", "t", true},
      {"t", "t", true},
      {"t/sub/new/deeper/log", "t", true},  // folders the run has not made yet
      {"link/log", "t", true},              // through a link to the target
      {"t/log", "link", true},              // the target named through the link
      {"a/into/log", "t", true},            // a link into the target from elsewhere
      {"a/../t/log", "t", true},
      {"t/./sub/../log", "t", true},
      {"missing/log", "missing", true},     // neither exists yet
      {"missing/../t/log", "t", true},
      {"tx/log", "t", false},               // a sibling whose name begins alike
      {"t.log", "t", false},
      {"a/log", "t", false},
      {"t/../a/log", "t", false},
      {"log", "t/sub", false},
      {"t/log", "t/sub", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.inside, path_inside((dir / c.path).c_str(), (dir / c.target).c_str())) << c.path << " in " << c.target;
  // Relative paths resolve from the current directory.
  ScopedCwd here(dir / "t");
  EXPECT_TRUE(path_inside("log", (dir / "t").c_str()));
  EXPECT_TRUE(path_inside("../link/x", (dir / "t").c_str()));
  EXPECT_FALSE(path_inside("../tx/log", (dir / "t").c_str()));
}

TEST(RunLogTest, MembersAreToldByWhatTheRunDidOrWouldHaveDone) {
  struct Case {
    MemberFate fate;
    const char* done;     // the run went through
    const char* undone;   // it stopped or only looked
  } cases[] = {
      {MemberFate::kNew, "copied", "would copy"},
      {MemberFate::kOlder, "replaced", "would replace"},
      {MemberFate::kLink, "replaced", "would replace"},
      {MemberFate::kCurrent, "kept", "kept"},
      {MemberFate::kRefused, "stops at", "stops at"},
      {MemberFate::kLinkOnWay, "stops at", "stops at"},
      {MemberFate::kFileOnWay, "stops at", "stops at"},
      {MemberFate::kUnknown, "stops at", "stops at"},
  };
  std::vector<MemberPlan> plan;
  for (const Case& c : cases) {
    MemberPlan m;
    m.relative = u"d/f";
    m.fate = c.fate;
    plan.push_back(m);
  }
  std::vector<LoggedMember> done = logged_members(plan, u"/t/", true);
  std::vector<LoggedMember> undone = logged_members(plan, u"/t", false);
  ASSERT_EQ(plan.size(), done.size());
  for (size_t i = 0; i < plan.size(); ++i) {
    EXPECT_STREQ(cases[i].done, done[i].verb) << i;
    EXPECT_STREQ(cases[i].undone, undone[i].verb) << i;
    EXPECT_STRNE("", done[i].why) << i;
    EXPECT_EQ(u16("/t/d/f"), done[i].path);
    EXPECT_EQ(u16("/t/d/f"), undone[i].path);
  }
  // Every fate has a reason of its own but those that stop for one cause.
  EXPECT_STRNE(done[1].why, done[2].why);
  EXPECT_STRNE(done[0].why, done[3].why);
}

TEST(RunLogTest, NoNameOrReasonCanForgeALine) {
  RunSummary summary;
  summary.result = RunResult::kFailed;
  summary.target = u16("/t\nsetup: result=installed");
  LoggedMember m;
  m.path = u16("/t/a\nsetup: outcome: installed\r");
  m.verb = "would copy";
  m.why = "new";
  summary.members.push_back(m);
  summary.why = u16("Installation error\n/t/b\x01: gone\n");
  std::string text = format_run_log(summary, "install", "now").c_str();
  std::vector<std::string> lines;
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
  }
  std::vector<std::string> expected = {
      "setup: log of a run: install, ended now",
      "setup: would copy /t/a\\nsetup: outcome: installed\\r (new)",
      "setup: outcome: failed-rolled-back",
      "setup: why: Installation error",
      "setup: why: /t/b\\x01: gone",
      "setup: result=failed-rolled-back copied=0 up-to-date=0 signature=none target=/t\\nsetup: result=installed",
      "",
  };
  EXPECT_EQ(expected, lines);
}

TEST(RunLogTest, LogOptionTakesTheNextArgumentOnly) {
  struct Case {
    std::vector<const char*> args;
    bool hasLog;
    const char* path;
    const char* language;
  } cases[] = {
      {{"-l", "/var/log/x"}, true, "/var/log/x", ""},
      {{"-Lde", "-l", "run.log"}, true, "run.log", "de"},  // counts after the language too
      {{"-l", "-S"}, true, "-S", ""},                      // whatever the file is called
      {{"-lru"}, false, "", "ru"},                         // still a language
      {{"-l"}, true, "", ""},                              // no file: refused by the program
      {{"/l", "x"}, false, "", ""},
  };
  for (const Case& c : cases) {
    std::vector<const char*> args = c.args;
    args.insert(args.begin(), "setup");
    CommandLine line = scan_command_line(static_cast<int>(args.size()), const_cast<char**>(args.data()));
    EXPECT_EQ(c.hasLog, line.hasLog) << c.args[0];
    EXPECT_EQ(stdx::string(c.path), line.logPath) << c.args[0];
    EXPECT_EQ(stdx::string(c.language), line.languageCode) << c.args[0];
  }
  std::vector<const char*> args = {"setup", "-l", "-S"};
  EXPECT_FALSE(scan_command_line(3, const_cast<char**>(args.data())).silent);
}

}  // namespace
