#include "app/command_line.h"

#include "app/startup.h"

#include <gtest/gtest.h>
#include <libintl.h>
#include <locale.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

CommandLine scan(std::vector<const char*> args) {
  args.insert(args.begin(), "setup");
  return scan_command_line(static_cast<int>(args.size()), const_cast<char**>(args.data()));
}

TEST(CommandLineTest, UsecwdCountsOnlyAsTheExactFirstArgument) {
  EXPECT_TRUE(scan({"usecwd"}).useCwd);
  EXPECT_FALSE(scan({"usecwdX"}).useCwd);
  EXPECT_FALSE(scan({"USECWD"}).useCwd);
  CommandLine late = scan({"-S", "-Lde", "usecwd"});
  EXPECT_FALSE(late.useCwd);
  EXPECT_TRUE(late.silent);
  EXPECT_EQ(stdx::string("de"), late.languageCode);
}

TEST(CommandLineTest, FirstLanguageOptionEndsTheScan) {
  CommandLine notSilent = scan({"usecwd", "-Lde", "-S"});
  EXPECT_TRUE(notSilent.useCwd);
  EXPECT_FALSE(notSilent.silent);
  EXPECT_EQ(stdx::string("de"), notSilent.languageCode);

  CommandLine first = scan({"/lru", "-Lde"});
  EXPECT_EQ(stdx::string("ru"), first.languageCode);
}

TEST(CommandLineTest, SilentSwitchForms) {
  EXPECT_TRUE(scan({"/s"}).silent);
  EXPECT_TRUE(scan({"-Silent"}).silent);
  for (const char* noise : {"-x", "word", "--display", "-", "/", "S"}) {
    CommandLine line = scan({noise});
    EXPECT_FALSE(line.silent) << noise;
    EXPECT_FALSE(line.hasLanguage) << noise;
  }
}

TEST(CommandLineTest, TargetOptionTakesTheTextAfterTwoCharacters) {
  struct Case {
    std::vector<const char*> args;
    bool hasTarget;
    const char* text;
  } cases[] = {
      {{"-D/opt/tmplts"}, true, "/opt/tmplts"},
      {{"/D/opt/tmplts"}, true, "/opt/tmplts"},
      {{"/D/opt/my tmplts"}, true, "/opt/my tmplts"},
      {{"-d/opt/tmplts", "/dev/shm/out", "/data"}, false, ""},  // a path is no target switch
      {{"-D", "/dev/shm/out"}, true, ""},               // the directory must follow without a space
      {{"-D"}, true, ""},                               // refused later, not ignored
      {{"-S", "-D/a", "-D/b"}, true, "/b"},             // the last one counts
      {{"usecwd", "-D/a"}, true, "/a"},
      {{"-Lde", "-D/after"}, true, "/after"},           // D counts after the language too
      {{"-D/before", "-Lde", "-D/after"}, true, "/after"},
      {{"--D/x", "D/x", "usecwd"}, false, ""},
  };
  for (const Case& c : cases) {
    CommandLine line = scan(c.args);
    EXPECT_EQ(c.hasTarget, line.hasTarget) << c.args[0];
    EXPECT_EQ(stdx::string(c.text), line.targetText) << c.args[0];
  }
}

// The dry run and the verify: capitals only, counted wherever they stand,
// after the language too; a path argument is no switch.
TEST(CommandLineTest, DryRunAndVerifyCountWhereverTheyStand) {
  struct Case {
    std::vector<const char*> args;
    bool dryRun;
    bool verify;
    bool remove = false;
    bool repair = false;
  } cases[] = {
      {{"-N"}, true, false},
      {{"/V"}, false, true},
      {{"-Lde", "-N", "-D/t"}, true, false},
      {{"-Lde", "/V"}, false, true},
      {{"-N", "-V"}, true, true},
      {{"-n", "-v", "/nfs/x", "/var/t"}, false, false},
      {{"usecwd", "-S", "-N"}, true, false},
      // Remove and repair: the same rules; a lower-case letter or a path
      // that starts with one is neither.
      {{"-U"}, false, false, true, false},
      {{"-Lde", "/R", "-N"}, true, false, false, true},
      {{"-u", "-r", "/usr/share", "/run/t"}, false, false, false, false},
      {{"-U", "-R"}, false, false, true, true},
  };
  for (const Case& c : cases) {
    CommandLine line = scan(c.args);
    EXPECT_EQ(c.dryRun, line.dryRun) << c.args[0];
    EXPECT_EQ(c.verify, line.verify) << c.args[0];
    EXPECT_EQ(c.remove, line.remove) << c.args[0];
    EXPECT_EQ(c.repair, line.repair) << c.args[0];
  }
}

// The key narrows what may be installed: it counts wherever it stands, and
// what follows it is its file, never another option.
TEST(CommandLineTest, KeyOptionNamesItsFileWhereverItStands) {
  struct Case {
    std::vector<const char*> args;
    bool hasKey;
    const char* path;
    bool silent;
  } cases[] = {
      {{"-K", "/etc/vendor.pub", "-S"}, true, "/etc/vendor.pub", true},
      {{"-K/k.pub"}, true, "/k.pub", false},
      {{"-Lde", "-K", "k.pub"}, true, "k.pub", false},           // after the language too
      {{"-K", "-S"}, true, "-S", false},                          // the next argument is the file
      {{"-K", "a.pub", "-K", "b.pub"}, true, "b.pub", false},     // the last one counts
      {{"-K"}, true, "", false},                                  // refused later, not ignored
      {{"/Kits/x", "-k", "x.pub"}, false, "", false},             // a path, and a lower case k
  };
  for (const Case& c : cases) {
    CommandLine line = scan(c.args);
    EXPECT_EQ(c.hasKey, line.hasKey) << c.args[0];
    EXPECT_EQ(stdx::string(c.path), line.keyPath) << c.args[0];
    EXPECT_EQ(c.silent, line.silent) << c.args[0];
  }
}

TEST(CommandLineTest, OnlyTheTargetOptionCountsAfterTheLanguage) {
  CommandLine line = scan({"-Lde", "-S", "-Lru", "-D/t"});
  EXPECT_FALSE(line.silent);
  EXPECT_EQ(stdx::string("de"), line.languageCode);
  EXPECT_EQ(stdx::string("/t"), line.targetText);
}

// The option is cleaned exactly as the directory page's entry is.
TEST(CommandLineTest, TargetOptionIsCleanedAsTheEntryIs) {
  for (const char* text : {"C:\\data\\tmplts\\", "/opt/t\nDefaultVersion=evil", "rel/dir", "~/t", ""})
    EXPECT_TRUE(target_from_option(text) == entered_target_dir(widen_lib(stdx::string(text))))
        << text;
}

// Whatever means nothing is collected, so that it can be named; an option
// of ours where it no longer counts is not unknown, and the toolkit's own
// options are the toolkit's.
TEST(CommandLineTest, IgnoredArgumentsAreCollected) {
  struct Case {
    std::vector<const char*> args;
    const char* ignored;  // joined by blanks
    bool unknown;
    bool help;
  } cases[] = {
      {{"usecwd", "-S", "-D/t"}, "", false, false},
      {{"-S", "-d/x"}, "-d/x", true, false},
      {{"-S", "-n"}, "-n", true, false},
      {{"-N", "extra", "-X"}, "extra -X", true, false},
      {{"-Lde", "-S", "-Len"}, "-S -Len", false, false},
      {{"-Lde", "-q"}, "-q", true, false},
      {{"/home/u"}, "/home/u", true, false},
      {{"-"}, "-", true, false},
      {{"--display=:1", "--sync", "--gtk-module=x", "-S"}, "", false, false},
      {{"--help"}, "", false, true},
      {{"-S", "-h"}, "", false, true},
      {{"-?"}, "", false, true},
  };
  for (const Case& c : cases) {
    CommandLine line = scan(c.args);
    std::string joined;
    for (const stdx::string& arg : line.ignored) joined += (joined.empty() ? "" : " ") + std::string(arg.c_str());
    EXPECT_EQ(c.ignored, joined) << c.args.size() << " " << c.args[0];
    EXPECT_EQ(c.unknown, line.unknownIgnored) << c.args[0];
    EXPECT_EQ(c.help, line.help) << c.args[0];
  }
}

TEST(LanguageChoiceTest, OptionThenLocaleThenEnglish) {
  LanguageChoice ru = choose_language(scan({"-Lru"}), "de_DE.UTF-8");
  EXPECT_EQ(LANG_RU, ru.language);
  EXPECT_TRUE(ru.code == u"ru");

  // Upper-case and empty codes are not in the table: the locale decides.
  for (const char* option : {"-LRU", "-L", "-Lxx"}) {
    LanguageChoice c = choose_language(scan({option}), "de_DE.UTF-8");
    EXPECT_EQ(LANG_DE, c.language) << option;
    EXPECT_TRUE(c.code == u"de") << option;
  }

  LanguageChoice fromLocale = choose_language(scan({}), "ka_GE.UTF-8");
  EXPECT_EQ(LANG_KA, fromLocale.language);
  EXPECT_TRUE(fromLocale.code == u"ka");

  for (const char* locale : {"C", "POSIX", "", "fr_FR.UTF-8"}) {
    LanguageChoice c = choose_language(scan({}), locale);
    EXPECT_EQ(LANG_EN, c.language) << locale;
    EXPECT_TRUE(c.code == u"en") << locale;
  }
  EXPECT_EQ(LANG_EN, choose_language(scan({}), nullptr).language);
}

// The toolkit's stock captions come from its own catalogue ("gtk20"),
// asked the way the toolkit asks it: in UTF-8, with the caption's context.
std::string stock_caption(const char* caption) {
  bind_textdomain_codeset("gtk20", "UTF-8");
  std::string id = std::string("Stock label") + '\004' + caption;
  return dgettext("gtk20", id.c_str());
}

TEST(ToolkitLanguageTest, CataloguesFollowTheCodeEvenUnderTheCLocale) {
  const char* oldLanguage = getenv("LANGUAGE");
  std::string saved = oldLanguage != nullptr ? oldLanguage : "";
  std::string oldMessages = setlocale(LC_MESSAGES, nullptr);
  setlocale(LC_MESSAGES, "C");
  set_toolkit_language("de");
  EXPECT_EQ("_Ja", stock_caption("_Yes"));
  // A second choice replaces the first: nothing cached of the old one.
  set_toolkit_language("ru");
  EXPECT_EQ("_\u0414\u0430", stock_caption("_Yes"));
  EXPECT_STREQ("ru", getenv("LANGUAGE"));
  if (oldLanguage != nullptr) setenv("LANGUAGE", saved.c_str(), 1); else unsetenv("LANGUAGE");
  setlocale(LC_MESSAGES, oldMessages.c_str());
}

}  // namespace
