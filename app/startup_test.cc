#include "app/startup.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "app/test_support.h"
#include "platform/file_io.h"
#include "platform/resources.h"

namespace {

bool never_writable(const stdx::u16string&) { return false; }
bool writable_if_marked(const stdx::u16string& dir) {
  return dir.find(u"ok") != stdx::u16string::npos;
}

std::string stripped(const std::string& path) {
  stdx::u16string text = u16(path);
  strip_address_schemes(text);
  return utf8(text);
}


TEST(PackageLocationTest, BesideTheExecutableOrInTheCurrentDirectory) {
  stdx::string exe = read_link_target("/proc/self/exe");
  EXPECT_EQ(utf8(directory_of(widen_lib(exe))) + "/kxq5.dpk", utf8(dpk_full_path(false)));

  ScratchDir dir;
  {
    ScopedCwd cwd(dir.path());
    EXPECT_EQ(dir.path() + "/kxq5.dpk", utf8(dpk_full_path(true)));
  }
  // A folder name that is not UTF-8 is kept to the byte, not cut short.
  const std::string latin = dir / "t\xe9l\xe9" "chargements";
  ASSERT_EQ(0, mkdir(latin.c_str(), 0755));
  ScopedCwd cwd(latin);
  EXPECT_EQ(latin + "/kxq5.dpk", utf8(dpk_full_path(true)));
}

TEST(PackageLocationTest, VanishedCurrentDirectoryMeansNoPackage) {
  ScratchDir dir;
  ASSERT_EQ(0, mkdir((dir / "gone").c_str(), 0755));
  ScopedCwd cwd(dir / "gone");
  ASSERT_EQ(0, rmdir((dir / "gone").c_str()));
  EXPECT_TRUE(dpk_full_path(true).empty());
}

TEST(DefaultTargetTest, AddressSchemesAndLineBreaks) {
  EXPECT_EQ("", stripped("http://example.org/t"));
  EXPECT_EQ("", stripped("https://example.org/t"));
  EXPECT_EQ("", stripped("ftp://example.org/t"));
  EXPECT_EQ("", stripped("/home/u/http://x"));  // anywhere in the text
  EXPECT_EQ("/home/u/tmplts", stripped("file:///home/u/tmplts"));
  EXPECT_EQ("/a/file://b", stripped("file:///a/file://b"));  // the first one only
  EXPECT_EQ("/home/u/my tmplts", stripped("/home/u/my\r\n tmplts\n"));
  EXPECT_EQ("HTTP://x", stripped("HTTP://x"));  // the schemes are matched as written
}

// One cleaning for -D, the entry and the launcher's list: no line break
// survives to split a line of the launcher's file, and the path names the
// same folder wherever the launcher runs.
TEST(DefaultTargetTest, TargetDirectoryIsCleanedOnce) {
  ScratchDir dir;
  ScopedCwd cwd(dir.path());
  ScopedEnv home("HOME", "/home/u/");
  const std::string here = dir.path();
  struct { const char* typed; std::string used; } cases[] = {
      {"/x\nDefaultVersion=evil", "/xDefaultVersion=evil"},
      {"C:\\data\r\n\\tmplts\r", here + "/C:/data/tmplts"},
      {"\r\n", ""},
      {"/home/u/t\xe9mplates", "/home/u/t\xe9mplates"},  // bytes of another encoding stay
      {"~", "/home/u"},
      {"~/mytemplates", "/home/u/mytemplates"},
      {"~\\t", "/home/u/t"},
      {"~other/t", here + "/~other/t"},  // only the user's own home is meant
      {"rel/dir", here + "/rel/dir"},
      {" ", here + "/ "},  // blanks are a name
  };
  for (const auto& c : cases) EXPECT_EQ(c.used, utf8(entered_target_dir(u16(c.typed)))) << c.typed;

  // The launcher's list goes through the same cleaning, before an entry is
  // probed.
  EXPECT_EQ("/home/u/t", utf8(default_template_dir({u"~/t\n"}, [](const stdx::u16string& dir) {
    return dir == u"/home/u/t";
  })));
}

TEST(DefaultTargetTest, FirstWritableEntryWinsElseThePlatformFolder) {
  ScratchDir home;
  ScopedEnv env("HOME", home.path().c_str());
  EXPECT_EQ("/b-ok/", utf8(default_template_dir({u"/a", u"/b-ok/", u"/c-ok"}, writable_if_marked)));
  EXPECT_EQ(home.path() + "/.kxq5/KX/kxq5/tmplts/",
            utf8(default_template_dir({u"/a", u"/b"}, never_writable)));
  EXPECT_EQ(home.path() + "/.kxq5/KX/kxq5/tmplts/", utf8(default_template_dir({}, never_writable)));
  // A remote entry that is "writable" leaves no default at all.
  EXPECT_EQ("", utf8(default_template_dir({u"http://ok/t"}, writable_if_marked)));
  EXPECT_EQ("/srv/ok", utf8(default_template_dir({u"file:///srv/ok\n"}, writable_if_marked)));
}

TEST(SpaceCheckTest, ThreeTimesThePackageInSixtyFourBits) {
  EXPECT_FALSE(temp_space_suffices(2000000, 5999999));
  EXPECT_TRUE(temp_space_suffices(2000000, 6000000));
  // 1.5 GB times three passes 32 bits; a 32-bit product would wrap and pass.
  const unsigned long long big = 1500000000ull;
  EXPECT_FALSE(temp_space_suffices(big, 4294967295ull));
  EXPECT_FALSE(temp_space_suffices(big, 3 * big - 1));
  EXPECT_TRUE(temp_space_suffices(big, 3 * big));
  EXPECT_FALSE(temp_space_suffices(~0ull / 2, ~0ull));
  EXPECT_TRUE(temp_space_suffices(0, 0));
}

TEST(SpaceCheckTest, ImageRoomMessageNamesDirectoryNeededAndFreeInEveryLanguage) {
  for (int lang = LANG_RU; lang <= LANG_TR; ++lang) {
    set_resource_lang(static_cast<LangIdType>(lang));
    std::string text = narrow_lib(image_space_message(u"/t/dir/", (3u << 20) + 1, (5u << 20) + 7)).c_str();
    SCOPED_TRACE(text);
    EXPECT_NE(std::string::npos, text.find("/t/dir/"));
    EXPECT_NE(std::string::npos, text.find("4 "));  // rounded up
    EXPECT_NE(std::string::npos, text.find("5 "));  // rounded down
    EXPECT_EQ(std::string::npos, text.find('%'));
  }
  set_resource_lang(LANG_EN);
}

TEST(ReadmeTest, JoinedLikeMembers) {
  EXPECT_EQ("/t/docs/read me.txt", utf8(readme_full_path(u"/t", u"docs\\read me.txt")));
  EXPECT_EQ("/t/r.txt", utf8(readme_full_path(u"/t/", u"r.txt")));
  EXPECT_EQ("C:/t/r.txt", utf8(readme_full_path(u"C:\\t\\", u"r.txt")));
  EXPECT_EQ("r.txt", utf8(readme_full_path(u"", u"r.txt")));
}

TEST(ChooserFolderTest, NearestExistingFolderOfWhatTheEntryHolds) {
  ScratchDir dir;
  const std::string root = dir.path();
  ASSERT_EQ(0, mkdir((dir / "a").c_str(), 0755));
  writeBytes(dir / "a/file", "x");
  ScopedCwd cwd(root);
  const struct {
    std::string entry;
    std::string folder;
  } cases[] = {
      {root + "/a", root + "/a"},
      {root + "/a/", root + "/a"},
      {root + "/a/not/yet/there", root + "/a"},
      {root + "/a/file", root + "/a"},        // a file is no folder to open
      {root + "/a/file/below", root + "/a"},  // nor a way through
      {"a/new", root + "/a"},                 // relative: from the current directory
      {"/nonexistent-top/x", "/"},
      {"", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.folder, nearest_existing_folder(u16(c.entry)).c_str()) << c.entry;
  EXPECT_EQ(root + "/a", nearest_existing_folder(u16(root + "\\a\\new")).c_str());
}

// The launcher's files in a scratch home.
class LauncherTest : public testing::Test {
 protected:
  LauncherTest() : env_("HOME", home_.path().c_str()) {}

  std::string ordinaryFile() const { return home_ / ".KX/kxlaunch/kxlaunch.cfg"; }
  std::string baseFile() const { return home_ / ".KX/kxlauncht/kxlaunch.cfg"; }
  static std::string lines(const std::vector<std::string>& dirs) {
    std::string text;
    for (const std::string& dir : dirs) text += "ConfigurationTemplatesLocation=" + dir + "\n";
    return text;
  }

  ScratchDir home_;
  ScopedEnv env_;
};

struct FamilyRow {
  bool ordinary;
  bool base;
  bool baseListEmpty;
  // expectations
  const char* listed;  // first entry read, "" for none
  bool baseListOnly;
  bool writesOrdinary;
  bool writesBase;
};

TEST_F(LauncherTest, FamiliesReadAndWrittenForEachCombinationOfFiles) {
  const FamilyRow rows[] = {
      {true, true, false, "/ord", false, true, true},
      {true, false, false, "/ord", false, true, false},
      {false, true, false, "/base", true, false, true},
      {false, true, true, "", false, true, true},
      {false, false, false, "", false, true, false},
  };
  for (const FamilyRow& row : rows) {
    SCOPED_TRACE(testing::Message() << "ordinary " << row.ordinary << " base " << row.base
                                    << " empty " << row.baseListEmpty);
    remove(ordinaryFile().c_str());
    remove(baseFile().c_str());
    if (row.ordinary) writeBytes(ordinaryFile(), lines({"/ord"}) + "DefaultVersion=8\n");
    if (row.base) writeBytes(baseFile(), row.baseListEmpty ? "DefaultVersion=9\n" : lines({"/base"}));
    std::string ordinaryBefore = readBytes(ordinaryFile());
    std::string baseBefore = readBytes(baseFile());

    LauncherTemplates found = read_launcher_templates();
    EXPECT_EQ(row.base, found.baseConfigExists);
    EXPECT_EQ(row.baseListOnly, found.baseListOnly);
    EXPECT_EQ(row.listed, found.dirs.empty() ? std::string() : utf8(found.dirs[0]));
    FamiliesToWrite families = families_to_write(found.baseListOnly, found.baseConfigExists);
    EXPECT_EQ(row.writesOrdinary, families.ordinary);
    EXPECT_EQ(row.writesBase, families.base);

    register_template_dir(u"/new/", found.dirs);
    ASSERT_FALSE(found.dirs.empty());
    EXPECT_EQ("/new", utf8(found.dirs[0]));
    if (row.writesOrdinary) {
      EXPECT_EQ(0u, readBytes(ordinaryFile()).find("ConfigurationTemplatesLocation=/new\n"));
    } else {
      EXPECT_EQ(ordinaryBefore, readBytes(ordinaryFile()));
    }
    if (row.writesBase) {
      EXPECT_NE(std::string::npos, readBytes(baseFile()).find("ConfigurationTemplatesLocation=/new\n"));
    } else {
      EXPECT_EQ(baseBefore, readBytes(baseFile()));
    }
  }
}

TEST_F(LauncherTest, RegistrationKeepsOrderAndStripsTrailingSeparators) {
  writeBytes(ordinaryFile(), lines({"/a", "/b"}) + "DefaultVersion=8\n");
  LauncherTemplates found = read_launcher_templates();
  Registration done = register_template_dir(u"/t//", found.dirs);
  EXPECT_FALSE(done.failed);
  EXPECT_EQ(lines({"/t", "/a", "/b"}) + "DefaultVersion=8\n", readBytes(ordinaryFile()));
}

// Runs of this program that register at the same moment, and another
// program that appends its own keys all the while: every registration and
// every appended key is in the file at the end.
TEST_F(LauncherTest, ConcurrentWritersLoseNothing) {
  writeBytes(ordinaryFile(), lines({"/first"}) + "DefaultVersion=8\n");
  const int kRuns = 8, kRegistrationsEach = 5;
  pid_t appender = fork();
  ASSERT_GE(appender, 0);
  if (appender == 0) {
    // Appends one line at a time, as a shell's ">>" would, for a while.
    for (int i = 0; i < 400; ++i) {
      FILE* f = fopen(ordinaryFile().c_str(), "a");
      if (f == nullptr) _exit(1);
      fprintf(f, "Other%d=v\n", i);
      if (fclose(f) != 0) _exit(1);
      usleep(200);
    }
    _exit(0);
  }
  std::vector<pid_t> runs;
  for (int r = 0; r < kRuns; ++r) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kRegistrationsEach; ++i) {
        std::vector<stdx::u16string> dirs;
        Registration done = register_template_dir(u16("/run" + std::to_string(r) + "-" + std::to_string(i)), dirs);
        if (done.failed) _exit(2);
      }
      _exit(0);
    }
    runs.push_back(pid);
  }
  runs.push_back(appender);
  for (pid_t pid : runs) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::string text = readBytes(ordinaryFile());
  for (int r = 0; r < kRuns; ++r)
    for (int i = 0; i < kRegistrationsEach; ++i)
      EXPECT_NE(std::string::npos, text.find("=/run" + std::to_string(r) + "-" + std::to_string(i) + "\n"))
          << r << "-" << i;
  for (int i = 0; i < 400; ++i) EXPECT_NE(std::string::npos, text.find("Other" + std::to_string(i) + "=v\n")) << i;
  EXPECT_NE(std::string::npos, text.find("=/first\n"));
  EXPECT_NE(std::string::npos, text.find("DefaultVersion=8\n"));
}

// A configuration file that cannot be written is reported with its name and
// a reason a user can act on; the list in memory still has the new entry.
TEST(RegistrationTest, FailureNamesTheFileAndTheReason) {
  const char* ordinary = ".KX/kxlaunch/kxlaunch.cfg";
  const char* base = ".KX/kxlauncht/kxlaunch.cfg";
  struct Case {
    const char* what;
    std::function<void(const ScratchDir&)> spoil;
    bool baseExists;
    const char* file;  // the file reported, below home
    const char* reason;  // the key of the reason's text
  } cases[] = {
      {"link to a directory",
       [&](const ScratchDir& home) {
         writeBytes(home / "elsewhere/x", "");
         writeBytes(home / ".KX/kxlaunch/other", "");
         ASSERT_EQ(0, symlink((home / "elsewhere").c_str(), (home / ordinary).c_str()));
       },
       false, ordinary, "IDS_CAUSE_ISDIR"},
      {"link loop",
       [&](const ScratchDir& home) {
         writeBytes(home / ".KX/kxlaunch/other", "");
         ASSERT_EQ(0, symlink("kxlaunch.cfg", (home / ordinary).c_str()));
       },
       false, ordinary, "IDS_CAUSE_LOOP"},
      {"folder that is a file", [&](const ScratchDir& home) { writeBytes(home / ".KX", "x"); },
       false, ordinary, "IDS_CAUSE_NOTDIR"},
      {"base file a directory, ordinary written first",
       [&](const ScratchDir& home) {
         writeBytes(home / ordinary, "ConfigurationTemplatesLocation=/a\n");
         writeBytes(home / (std::string(base) + "/x"), "");
       },
       true, base, "IDS_CAUSE_ISDIR"},
  };
  // The reason is in the interface language, whatever the process locale
  // says: German here, under the tests' C locale.
  for (LangIdType lang : {LANG_EN, LANG_DE}) {
    set_resource_lang(lang);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      ScratchDir home;
      ScopedEnv env("HOME", home.path().c_str());
      c.spoil(home);
      std::vector<stdx::u16string> dirs;
      Registration done = register_template_dir(u"/t", dirs);
      EXPECT_TRUE(done.failed);
      EXPECT_EQ(home / c.file, utf8(done.file));
      std::string reason = resource_text(lang, c.reason);
      EXPECT_EQ(reason, utf8(done.reason));
      ASSERT_FALSE(dirs.empty());
      EXPECT_EQ("/t", utf8(dirs[0]));
      std::string message = utf8(registration_message(done));
      EXPECT_NE(std::string::npos, message.find(home / c.file + " (" + reason + ")"));
      EXPECT_EQ(std::string::npos, message.find('\n'));
    }
  }
  set_resource_lang(LANG_EN);
}

// The reason is the one the failing call gave, in the interface's words.
TEST(RegistrationTest, FullDiskSaysNoSpaceLeftAndKeepsTheFile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
  ScratchDir home;
  ScopedEnv env("HOME", home.path().c_str());
  ASSERT_EQ(0, mkdir((home / ".KX").c_str(), 0755));
  if (mount("tmpfs", (home / ".KX").c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string file = home / ".KX/kxlaunch/kxlaunch.cfg";
  writeBytes(file, "DefaultVersion=8.3\n");
  FILE* fill = fopen((home / ".KX/fill").c_str(), "w");
  std::string block(4096, 'x');
  while (fill != nullptr && fwrite(block.data(), 1, block.size(), fill) == block.size() &&
         fflush(fill) == 0) {
  }
  if (fill != nullptr) fclose(fill);
  std::vector<stdx::u16string> dirs;
  Registration done = register_template_dir(u"/t", dirs);
  std::string after = readBytes(file);
  umount2((home / ".KX").c_str(), MNT_DETACH);
  EXPECT_TRUE(done.failed);
  EXPECT_EQ(ENOSPC, done.errnoValue);
  EXPECT_EQ("no space left on the disk", utf8(done.reason));
  EXPECT_EQ("DefaultVersion=8.3\n", after);
}

// A file that is there but cannot be read is never rewritten: the run must
// say so instead of registering over the keys it could not see.
TEST(RegistrationTest, UnreadableFileIsReportedAndLeftAlone) {
  if (rerun_as_ordinary_user()) return;
  ScratchDir home;
  ScopedEnv env("HOME", home.path().c_str());
  const std::string file = home / ".KX/kxlaunch/kxlaunch.cfg";
  writeBytes(file, "DefaultVersion=8.3\nCommonInfoBases=/b\n");
  ASSERT_EQ(0, chmod(file.c_str(), 0200));
  LauncherTemplates found = read_launcher_templates();
  Registration done = register_template_dir(u"/t", found.dirs);
  EXPECT_TRUE(done.failed);
  EXPECT_EQ(file, utf8(done.file));
  EXPECT_EQ("permission denied", utf8(done.reason));
  ASSERT_EQ(0, chmod(file.c_str(), 0600));
  EXPECT_EQ("DefaultVersion=8.3\nCommonInfoBases=/b\n", readBytes(file));
}

class StartupChecksTest : public LauncherTest {
 protected:
  StartupChecksTest() : tmp_("TMPDIR", tmpDir_.path().c_str()) {}

  ScratchDir tmpDir_;
  ScopedEnv tmp_;
  ScratchDir packageDir_;
};

TEST_F(StartupChecksTest, MissingPackageIsReportedFirst) {
  ScopedCwd cwd(packageDir_.path());
  PackageReader reader;
  StartupInfo info;
  EXPECT_STREQ("IDS_ERROR_NOSOURCE", run_startup_checks(true, reader, info));
}

TEST_F(StartupChecksTest, PackageThatIsNoRegularFileIsMissingAndNotWaitedFor) {
  const std::string package = packageDir_ / "kxq5.dpk";
  std::vector<std::pair<const char*, std::function<void()>>> cases = {
      {"FIFO", [&] { ASSERT_EQ(0, mkfifo(package.c_str(), 0600)); }},
      {"directory", [&] { ASSERT_EQ(0, mkdir(package.c_str(), 0700)); }},
      {"device", [&] { ASSERT_EQ(0, symlink("/dev/zero", package.c_str())); }},
  };
  ScopedCwd cwd(packageDir_.path());
  alarm(20);  // a hang ends the test program instead of the whole run
  for (auto& c : cases) {
    SCOPED_TRACE(c.first);
    c.second();
    PackageReader reader;
    StartupInfo info;
    EXPECT_STREQ("IDS_ERROR_NOSOURCE", run_startup_checks(true, reader, info));
    EXPECT_EQ("", snapshot_tree(tmpDir_.path()));
    remove(package.c_str());
  }
  alarm(0);
}

// A package that is there but cannot be opened is named with the system's
// reason, by the checks of every mode; "not found" is only for one that is
// not there. (A link that leads in a circle fails for root too.)
TEST_F(StartupChecksTest, PackageThatCannotBeOpenedIsNamedWithTheReason) {
  const std::string package = packageDir_ / "kxq5.dpk";
  ScopedCwd cwd(packageDir_.path());
  for (bool loop : {false, true}) {
    SCOPED_TRACE(loop ? "a link to itself" : "missing");
    if (loop) {
      ASSERT_EQ(0, symlink("kxq5.dpk", package.c_str()));
    }
    std::string expected = loop ? package + ": " + utf8(LoadResString("IDS_CAUSE_LOOP"))
                                : utf8(LoadResString("IDS_ERROR_NOSOURCE")) + "\n" +
                                      utf8(LoadResString("IDS_ERROR_SEARCHED")) + " " + packageDir_.path();
    PackageReader reader;
    StartupInfo info;
    const char* key = run_startup_checks(true, reader, info);
    EXPECT_STREQ("IDS_ERROR_NOSOURCE", key);
    if (key != nullptr) {
      EXPECT_EQ(expected, utf8(startup_error_text(key, info, true)));
    }
    StartupInfo readOnly;
    key = run_readonly_checks(true, readOnly);
    EXPECT_STREQ("IDS_ERROR_NOSOURCE", key);
    if (key != nullptr) {
      EXPECT_EQ(expected, utf8(startup_error_text(key, readOnly, true)));
    }
  }
  remove(package.c_str());
}

// An image that the temporary directory will not take for a reason other
// than room (a file-size limit: EFBIG) names the directory and the reason;
// it is no damage of the package.
TEST_F(StartupChecksTest, ImageThatCannotBeWrittenNamesTheTemporaryDirectory) {
  ScratchDir source;
  writeBytes(source / "noise.bin", std::string(4u << 20, 'x'));
  ASSERT_TRUE(make_package(DPKPACK_PATH, source.path(), packageDir_ / "kxq5.dpk", {}));
  ScopedCwd cwd(packageDir_.path());
  PackageReader reader;
  StartupInfo info;
  struct rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
  struct rlimit limited = saved;
  limited.rlim_cur = 1024;  // the image's first piece is larger
  void (*savedSignal)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
  const char* key = run_startup_checks(true, reader, info);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, savedSignal);
  EXPECT_STREQ("IDS_ERROR_TMPDIR", key);
  EXPECT_EQ(tmpDir_.path(), utf8(info.tempDir));
  EXPECT_EQ(EFBIG, info.tempErrno);
}

TEST_F(StartupChecksTest, DamagedPackageIsRefusedAndLeavesNoImage) {
  writeBytes(packageDir_ / "kxq5.dpk", std::string("\x01\x02 not a deflate stream", 24));
  ScopedCwd cwd(packageDir_.path());
  PackageReader reader;
  StartupInfo info;
  EXPECT_STREQ("IDS_ERROR_DAMAGEDSOURCE", run_startup_checks(true, reader, info));
  EXPECT_EQ("", snapshot_tree(tmpDir_.path()));
}

TEST_F(StartupChecksTest, GoodPackageOpensWithTheLaunchersFirstWritableEntry) {
  ScratchDir source;
  writeBytes(source / "a/b.txt", "abc");
  ASSERT_TRUE(make_package(DPKPACK_PATH, source.path(), packageDir_ / "kxq5.dpk",
                           {"-p", "P", "-v", "V"}));
  writeBytes(ordinaryFile(), lines({"/nonexistent/dir", home_ / "tm", "/x"}));
  ASSERT_EQ(0, mkdir((home_ / "tm").c_str(), 0755));

  ScopedCwd cwd(packageDir_.path());
  PackageReader reader;
  StartupInfo info;
  ASSERT_STREQ(nullptr, run_startup_checks(true, reader, info));
  EXPECT_EQ(packageDir_ / "kxq5.dpk", utf8(info.packagePath));
  EXPECT_EQ(home_ / "tm", utf8(info.targetPath));
  EXPECT_EQ(3u, info.launcher.dirs.size());
  ASSERT_EQ(1u, reader.files.size());
  ASSERT_EQ(1u, reader.products.size());
  EXPECT_EQ("P", utf8(reader.products[0].productName));
}

// An image that does not fit the temporary directory, although the
// estimate from the package's size let it start, is no damage.
TEST_F(StartupChecksTest, ImageThatDoesNotFitIsNoRoomNotDamage) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
  if (mount("tmpfs", tmpDir_.path().c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  ScratchDir source;
  writeBytes(source / "zeros.bin", std::string(8u << 20, '\0'));  // a package of a few KiB
  bool made = make_package(DPKPACK_PATH, source.path(), packageDir_ / "kxq5.dpk", {});
  ScopedCwd cwd(packageDir_.path());
  PackageReader reader;
  StartupInfo info;
  const char* key = made ? run_startup_checks(true, reader, info) : "no package";
  // Once the header is read the image's size is known: the checks refuse
  // it before it is written, and say where, how much and how little.
  umount2(tmpDir_.path().c_str(), MNT_DETACH);
  EXPECT_STREQ("IDS_ERROR_NOSPACE", key);
  std::string text = narrow_lib(info.errorText).c_str();
  EXPECT_NE(std::string::npos, text.find(tmpDir_.path())) << text;
  EXPECT_NE(std::string::npos, text.find(" 8 MB needed, 0 MB free")) << text;
}

// A package that the temporary directory cannot hold three times is
// refused before it is opened, in words that name the folder and both sizes,
// by the run that writes and by the one that only looks alike.
TEST_F(StartupChecksTest, TooLittleTempSpaceNamesFolderAndSizes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
  if (mount("tmpfs", tmpDir_.path().c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  writeBytes(packageDir_ / "kxq5.dpk", std::string(400u << 10, 'x'));  // 1.2 MB to hold
  ScopedCwd cwd(packageDir_.path());
  for (bool readOnly : {false, true}) {
    PackageReader reader;
    StartupInfo info;
    const char* key = readOnly ? run_readonly_checks(true, info) : run_startup_checks(true, reader, info);
    EXPECT_STREQ("IDS_ERROR_NOSPACE", key) << readOnly;
    std::string text = narrow_lib(startup_error_text(key, info, true)).c_str();
    EXPECT_NE(std::string::npos, text.find(tmpDir_.path() + " ")) << text;
    EXPECT_NE(std::string::npos, text.find(" 2 MB needed, 0 MB free")) << text;
  }
  umount2(tmpDir_.path().c_str(), MNT_DETACH);
}

}  // namespace
