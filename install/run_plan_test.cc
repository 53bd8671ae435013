#include "install/run_plan.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <functional>
#include <map>

#include "install/faulty_file_system.h"
#include "install/installer.h"
#include "install/test_support.h"

using namespace test_support;

namespace {

// Every entry below root (links not followed) with its kind, size, mode
// and time; no file is opened, so a pipe is only looked at.
void listInto(const std::string& root, std::map<std::string, std::string>& out) {
  DIR* dir = opendir(root.c_str());
  if (dir == nullptr) return;
  while (struct dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string full = root + "/" + name;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    out[full] = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    if (S_ISDIR(st.st_mode)) listInto(full, out);
  }
  closedir(dir);
}

std::map<std::string, std::string> listing(const std::string& root) {
  std::map<std::string, std::string> out;
  listInto(root, out);
  return out;
}

class RunPlanTest : public ScratchTest {
 public:
  using ScratchTest::path;

 protected:
  void TearDown() override {
    for (size_t i = mounts.size(); i-- > 0;) umount2(mounts[i].c_str(), MNT_DETACH);
    ScratchTest::TearDown();
  }

 public:
  bool mountTmpfs(const std::string& dir, unsigned sizeKib) {
    makeDirs(dir);
    std::string options = "size=" + std::to_string(sizeKib) + "k";
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) return false;
    mounts.push_back(dir);
    return true;
  }
  bool remountReadOnly(const std::string& dir) {
    return mount("tmpfs", dir.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

 protected:
  std::vector<std::string> mounts;
};

const time_t kMemberTime = 5000;

std::vector<TestMember> packageMembers() {
  return {{"a.txt", "new a", fileTime(kMemberTime)},
          {"d/y.txt", "new y", fileTime(kMemberTime)},
          {"d/sub/x.txt", "new x", fileTime(kMemberTime)}};
}

// What a run said: its code, and the words the user would read.
struct Verdict {
  bool fails;
  std::string text;
  unsigned long copies;
};

// The plan as the dry run makes it, and the run itself, on the same target
// made the same way, must come to the same verdict with the same words; and
// the plan writes nothing.
TEST_F(RunPlanTest, PlanAndInstallAgreeOnEveryTarget) {
  std::string package = writePackage(makeImage({}, false, packageMembers()));
  struct Row {
    const char* name;
    const char* target;  // relative to the scratch directory
    bool rootOnly;       // needs mounts
    bool userOnly;       // permissions do not bind root
    std::function<void(RunPlanTest&, const std::string&)> prepare;
    bool fails;
  };
  auto file = [](const std::string& path, time_t t) {
    makeDirs(path.substr(0, path.rfind('/')));
    writeBytes(path, "installed");
    setModificationTime(path, t);
  };
  const Row rows[] = {
      {"missing target", "t", false, false, [](RunPlanTest&, const std::string&) {}, false},
      {"up to date", "t", false, false,
       [&](RunPlanTest&, const std::string& t) {
         file(t + "/a.txt", 6000);
         file(t + "/d/y.txt", kMemberTime);
         file(t + "/d/sub/x.txt", 6000);
       },
       false},
      {"older and a link at members' paths", "t", false, false,
       [&](RunPlanTest&, const std::string& t) {
         file(t + "/a.txt", 1000);
         makeDirs(t + "/d");
         ASSERT_EQ(0, symlink("/nonexistent", (t + "/d/y.txt").c_str()));
       },
       false},
      {"file where a folder goes", "t", false, false,
       [&](RunPlanTest&, const std::string& t) { file(t + "/d", 1000); }, true},
      {"file deeper where a folder goes", "t", false, false,
       [&](RunPlanTest&, const std::string& t) { file(t + "/d/sub", 1000); }, true},
      {"link where a folder goes", "t", false, false,
       [&](RunPlanTest& test, const std::string& t) {
         makeDirs(test.path("elsewhere"));
         makeDirs(t);
         ASSERT_EQ(0, symlink(test.path("elsewhere").c_str(), (t + "/d").c_str()));
       },
       true},
      {"folder at a member's path", "t", false, false,
       [&](RunPlanTest&, const std::string& t) { makeDirs(t + "/d/y.txt"); }, true},
      {"pipe at a member's path", "t", false, false,
       [&](RunPlanTest&, const std::string& t) {
         makeDirs(t + "/d");
         ASSERT_EQ(0, mkfifo((t + "/d/y.txt").c_str(), 0600));
       },
       true},
      {"refused after a member is copied", "t", false, false,
       [&](RunPlanTest&, const std::string& t) {
         file(t + "/a.txt", 1000);
         makeDirs(t + "/d/sub/x.txt");
       },
       true},
      {"target is a file", "t", false, false,
       [&](RunPlanTest& test, const std::string&) { file(test.path("t"), 1000); }, true},
      {"missing target below a file", "f/t", false, false,
       [&](RunPlanTest& test, const std::string&) { file(test.path("f"), 1000); }, true},
      {"missing target in a read-only file system", "ro/t", true, false,
       [](RunPlanTest& test, const std::string&) {
         ASSERT_TRUE(test.mountTmpfs(test.path("ro"), 1024));
         ASSERT_TRUE(test.remountReadOnly(test.path("ro")));
       },
       true},
      {"read-only target, all up to date", "ro/t", true, false,
       [&](RunPlanTest& test, const std::string& t) {
         ASSERT_TRUE(test.mountTmpfs(test.path("ro"), 1024));
         file(t + "/a.txt", 6000);
         file(t + "/d/y.txt", 6000);
         file(t + "/d/sub/x.txt", 6000);
         ASSERT_TRUE(test.remountReadOnly(test.path("ro")));
       },
       false},
      {"read-only target, one member missing", "ro/t", true, false,
       [&](RunPlanTest& test, const std::string& t) {
         ASSERT_TRUE(test.mountTmpfs(test.path("ro"), 1024));
         file(t + "/a.txt", 6000);
         file(t + "/d/y.txt", 6000);
         ASSERT_TRUE(test.remountReadOnly(test.path("ro")));
       },
       true},
      {"no room", "full/t", true, false,
       [](RunPlanTest& test, const std::string&) { ASSERT_TRUE(test.mountTmpfs(test.path("full"), 8)); },
       true},
      {"target that may not be written", "t", false, true,
       [&](RunPlanTest&, const std::string& t) {
         file(t + "/d/y.txt", 6000);
         ASSERT_EQ(0, chmod(t.c_str(), 0555));
       },
       true},
      {"member folder that may not be written", "t", false, true,
       [&](RunPlanTest&, const std::string& t) {
         file(t + "/a.txt", 6000);
         file(t + "/d/y.txt", 1000);
         file(t + "/d/sub/x.txt", 6000);
         ASSERT_EQ(0, chmod((t + "/d").c_str(), 0555));
       },
       true},
      {"folder to make in one that may not be written", "t", false, true,
       [&](RunPlanTest&, const std::string& t) {
         file(t + "/a.txt", 6000);
         file(t + "/d/y.txt", 6000);
         ASSERT_EQ(0, chmod((t + "/d").c_str(), 0555));
       },
       true},
  };
  bool root = geteuid() == 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.rootOnly != root && (row.rootOnly || row.userOnly)) continue;
    std::string left = "'" + scratch + "/t' '" + scratch + "/f' '" + scratch + "/elsewhere'";
    ASSERT_EQ(0, system(("chmod -Rf u+w " + left + "; rm -rf " + left).c_str()));
    for (size_t i = mounts.size(); i-- > 0;) umount2(mounts[i].c_str(), MNT_DETACH);
    mounts.clear();
    std::string target = path(row.target);
    row.prepare(*this, target);

    PackageReader reader;
    ASSERT_EQ(0u, reader.open(u16(package)));
    std::map<std::string, std::string> before = listing(scratch);
    RunPlan plan;
    plan.lookAt(u16(target), plan_members(reader.files), true);
    InstallFailure planned = plan.verdict();
    plan.close();
    EXPECT_TRUE(listing(scratch) == before) << "the plan wrote";
    unsigned long planCopies = 0;
    for (const MemberPlan& m : plan.members()) planCopies += m.copies();

    InstallProcessData data;
    data.init(&reader, u16(target));
    Installer installer(0);
    FsResult code = installer.run(&data);

    EXPECT_EQ(row.fails, planned.code != 0) << u8(failure_text(planned));
    EXPECT_EQ(row.fails, code != 0) << u8(failure_text(installer.failure()));
    if (code != 0 || planned.code != 0)
      EXPECT_EQ(u8(failure_text(installer.failure())), u8(failure_text(planned)));
    else
      EXPECT_EQ(installer.copiedFiles(), planCopies);
  }
}

// The plan's own decisions: each member's fate, what it needs, and that a
// missing target plans everything new without looking below it.
TEST_F(RunPlanTest, DecidesEachMemberAsTheCopyWill) {
  std::string t = path("t");
  makeDirs(t + "/d");
  writeBytes(t + "/a.txt", "old");
  setModificationTime(t + "/a.txt", 1000);
  writeBytes(t + "/d/y.txt", "same");
  setModificationTime(t + "/d/y.txt", kMemberTime);
  std::vector<PlanMember> members = {{u"a.txt", fileTime(kMemberTime), 5000, 0},
                                     {u"d/y.txt", fileTime(kMemberTime, 9999999), 1, 0},
                                     {u"d/sub/x.txt", fileTime(kMemberTime), 4097, 0},
                                     {u"d/sub/z/w.txt", fileTime(kMemberTime), 1, 0}};
  RunPlan plan;
  plan.lookAt(u16(t), members, true);
  ASSERT_EQ(4u, plan.members().size());
  EXPECT_EQ(MemberFate::kOlder, plan.member(0).fate);
  EXPECT_EQ(MemberFate::kCurrent, plan.member(1).fate);  // whole seconds only
  EXPECT_EQ(MemberFate::kNew, plan.member(2).fate);
  EXPECT_TRUE(plan.member(2).makesFolders);
  EXPECT_TRUE(plan.member(2).folder == u"d");
  EXPECT_TRUE(plan.member(3).makesFolders);
  EXPECT_TRUE(plan.member(3).folder == u"d");
  EXPECT_EQ(8192u + 8192u + 4096u, plan.neededBytes());
  EXPECT_EQ(0u, plan.verdict().code);

  RunPlan missing;
  missing.lookAt(u16(path("none/t")), members, true);
  EXPECT_FALSE(missing.targetExists());
  for (const MemberPlan& m : missing.members()) EXPECT_EQ(MemberFate::kNew, m.fate);
  EXPECT_EQ(8192u + 4096u + 8192u + 4096u, missing.neededBytes());
}

// Below the first folder missing on a member's way, every folder is
// missing: siblings there are made from the same deepest folder. A
// sibling of that missing folder is looked at for itself.
TEST_F(RunPlanTest, FoldersBelowAMissingOneAreMissingAndItsSiblingsAreLookedAt) {
  std::string t = path("t");
  makeDirs(t + "/d/other");
  writeBytes(t + "/d/other/z.txt", "same");
  setModificationTime(t + "/d/other/z.txt", kMemberTime);
  struct Case {
    const char16_t* name;
    MemberFate fate;
    bool makesFolders;
    const char16_t* folder;
  } cases[] = {
      {u"d/new/a/x.txt", MemberFate::kNew, true, u"d"},
      {u"d/new/b/c/w.txt", MemberFate::kNew, true, u"d"},
      {u"d/new/b/y.txt", MemberFate::kNew, true, u"d"},
      {u"d/other/sub/v.txt", MemberFate::kNew, true, u"d/other"},
      {u"d/other/z.txt", MemberFate::kCurrent, false, u"d/other"},
      {u"e/f/u.txt", MemberFate::kNew, true, u""},
  };
  std::vector<PlanMember> members;  // sorted, as the reader gives them
  for (const Case& c : cases) members.push_back({c.name, fileTime(kMemberTime), 1, 0});
  RunPlan plan;
  plan.lookAt(u16(t), members, true);
  ASSERT_EQ(members.size(), plan.members().size());
  for (size_t i = 0; i < members.size(); ++i) {
    SCOPED_TRACE(u8(cases[i].name));
    EXPECT_EQ(cases[i].fate, plan.member(i).fate);
    EXPECT_EQ(cases[i].makesFolders, plan.member(i).makesFolders);
    EXPECT_EQ(u8(cases[i].folder), u8(plan.member(i).folder));
  }
}

}  // namespace

namespace {

typedef BasicInstaller<FaultyFileSystem> FoldingInstaller;
typedef BasicRunPlan<FaultyFileSystem> FoldingPlan;

// Names that differ only in letter case are one entry of a target that
// does not tell case apart: the plan (as the dry run and the verify make
// it) and the install refuse such a package alike, naming both members,
// before anything is written. Where case is told apart, or the names are
// only folders on one way, nothing is refused.
TEST_F(RunPlanTest, MembersThatDifferOnlyInCaseAreRefusedWhereTheTargetFoldsCase) {
  struct Row {
    const char* name;
    std::vector<std::string> members;
    bool folds;
    bool targetExists;
    const char* first;   // the member named first, empty when nothing clashes
    const char* second;
  } rows[] = {
      {"same file name", {"Readme.txt", "b", "readme.txt"}, true, true, "Readme.txt", "readme.txt"},
      {"same name, missing target", {"x/A.txt", "x/a.txt"}, true, false, "x/A.txt", "x/a.txt"},
      {"file where the other's folder goes", {"dir", "DIR/inner"}, true, true, "dir", "DIR/inner"},
      {"Cyrillic capitals", {"Файл.txt", "файл.txt"}, true, true, "Файл.txt", "файл.txt"},
      {"Latin-1 and Extended-A capitals", {"Ĺa/É", "ĺa/é"}, true, true, "Ĺa/É", "ĺa/é"},
      {"folders that differ only in case", {"Dir/a", "dir/b"}, true, true, "", ""},
      {"target tells case apart", {"Readme.txt", "readme.txt"}, false, true, "", ""},
      {"no letters differ", {"a_1", "a-1"}, true, true, "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(0, system(("rm -rf '" + scratch + "/t'").c_str()));
    std::string target = path("t");
    if (row.targetExists) makeDirs(target);
    std::vector<TestMember> members;
    for (const std::string& m : row.members) members.push_back({m, "bytes of " + m, fileTime(kMemberTime)});
    std::string package = writePackage(makeImage({}, false, members));
    FaultyFileSystem::reset();
    FaultyFileSystem::foldCase(row.folds);
    bool clash = row.first[0] != '\0';
    std::string expected = clash ? u8(case_clash_line(u16(target + "/" + row.first), u16(target + "/" + row.second)))
                                 : std::string();

    FoldingInstaller::Reader reader;
    ASSERT_EQ(0u, reader.open(u16(package)));
    std::map<std::string, std::string> before = listing(scratch);
    FoldingPlan plan;
    plan.lookAt(u16(target), plan_members(reader.files), true);
    EXPECT_EQ(clash, plan.caseStop().code != 0);
    InstallFailure planned = plan.verdict();
    plan.close();
    EXPECT_EQ(clash, planned.code != 0) << u8(failure_text(planned));
    if (clash) {
      EXPECT_NE(std::string::npos, u8(failure_text(planned)).find(expected)) << u8(failure_text(planned));
    }

    FoldingInstaller::ProcessData data;
    data.init(&reader, u16(target));
    FoldingInstaller installer(0);
    FsResult code = installer.run(&data);
    EXPECT_EQ(clash, code != 0) << u8(failure_text(installer.failure()));
    if (clash) {
      EXPECT_EQ(u8(failure_text(planned)), u8(failure_text(installer.failure())));
      EXPECT_TRUE(listing(scratch) == before) << "the refused run wrote";
    } else {
      EXPECT_EQ(row.members.size(), installer.copiedFiles());
    }
  }
  FaultyFileSystem::reset();
}

// A target whose way of comparing names cannot be asked is not taken for
// one that tells case apart: the plan names the target and the reason.
TEST_F(RunPlanTest, CaseQuestionThatFailsStopsThePlan) {
  makeDirs(path("t"));
  std::string package = writePackage(makeImage({}, false, {{"A", "1", fileTime(kMemberTime)}, {"a", "2", fileTime(kMemberTime)}}));
  FoldingInstaller::Reader reader;
  ASSERT_EQ(0u, reader.open(u16(package)));
  FaultyFileSystem::failOn(FaultyFileSystem::kFoldsCase, 1, EIO);
  FoldingPlan plan;
  plan.lookAt(u16(path("t")), plan_members(reader.files), true);
  InstallFailure stop = plan.verdict();
  FaultyFileSystem::reset();
  EXPECT_EQ(EIO, stop.errnoValue);
  EXPECT_EQ(path("t"), u8(stop.path));
  EXPECT_NE(std::string::npos, u8(failure_text(stop)).find(path("t") + ": " + u8(failure_cause(0, EIO))))
      << u8(failure_text(stop));
}

}  // namespace

namespace {

typedef BasicInstaller<FaultyFileSystem> VolumeInstaller;
typedef BasicRunPlan<FaultyFileSystem> VolumePlan;

// The package opened and target looked at as the install would, on a
// file system that behaves as volume says.
void lookOnVolume(const VolumeTraits& volume, const std::string& package, const std::string& target,
                  VolumeInstaller::Reader& reader, VolumePlan& plan) {
  FaultyFileSystem::reset();
  FaultyFileSystem::playVolume(volume);
  ASSERT_EQ(0u, reader.open(u16(package)));
  plan.lookAt(u16(target), plan_members(reader.files), true);
}

// What the target keeps decides "up to date": a copy whose time the file
// system stored rounded or cut to its range is as new as its member; one
// older by more than that is older. The plan (dry run, verify) and the
// install agree: a second run copies nothing.
TEST_F(RunPlanTest, UpToDateAtThePrecisionAndRangeTheTargetKeeps) {
  const long long k2038 = 2147483647LL, kFat1980 = 315532800LL;
  struct Row {
    const char* name;
    unsigned grain;
    long long oldest, newest;
    long long member, onDisk;
    bool current;
  } rows[] = {
      {"2 s grain, odd member second", 2, INT64_MIN, INT64_MAX, 5001, 5000, true},
      {"2 s grain, older by a grain", 2, INT64_MIN, INT64_MAX, 5003, 5000, false},
      {"whole seconds, older by one", 1, INT64_MIN, INT64_MAX, 5001, 5000, false},
      {"kept up to 2038, member after", 1, INT64_MIN, k2038, 2200000000LL, k2038, true},
      {"kept up to 2038, copy before that", 1, INT64_MIN, k2038, 2200000000LL, 2100000000LL, false},
      {"kept from 1980, member before", 2, kFat1980, INT64_MAX, 1001, kFat1980, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(0, system(("rm -rf '" + scratch + "/t'").c_str()));
    std::string target = path("t");
    makeDirs(target);
    writeBytes(target + "/m.txt", "member");
    setModificationTime(target + "/m.txt", static_cast<time_t>(row.onDisk));
    std::string package = writePackage(makeImage({}, false, {{"m.txt", "member", fileTime(row.member)}}));
    VolumeTraits volume;
    volume.timeGrainSeconds = row.grain;
    volume.oldestSeconds = row.oldest;
    volume.newestSeconds = row.newest;
    VolumeInstaller::Reader reader;
    VolumePlan plan;
    lookOnVolume(volume, package, target, reader, plan);
    EXPECT_EQ(row.current ? MemberFate::kCurrent : MemberFate::kOlder, plan.member(0).fate);
    plan.close();
    VolumeInstaller::ProcessData data;
    data.init(&reader, u16(target));
    VolumeInstaller installer(0);
    ASSERT_EQ(0u, installer.run(&data));
    EXPECT_EQ(row.current ? 0u : 1u, installer.copiedFiles());
  }
  FaultyFileSystem::reset();
}

// The space check counts each member in the target's allocation unit: 20
// small members fill 20 units of 64 KiB, more than a 1 MiB file system
// has, though their bytes would fit 4 KiB units many times over.
TEST_F(RunPlanTest, SpaceIsCountedInTheTargetsAllocationUnit) {
  if (!mountTmpfs(path("small"), 1024)) GTEST_SKIP() << "cannot mount a tmpfs here (not root?)";
  std::string target = path("small/t");
  std::vector<TestMember> members;
  for (int i = 0; i < 20; ++i) members.push_back({"m" + std::to_string(i), std::string(100, 'x'), fileTime(kMemberTime)});
  std::string package = writePackage(makeImage({}, false, members));
  struct Row {
    unsigned long long unit;
    unsigned long long needed;
    bool fits;
  } rows[] = {{4096, 20 * 4096ULL, true}, {65536, 20 * 65536ULL, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE("unit " + std::to_string(row.unit));
    ASSERT_EQ(0, system(("rm -rf '" + target + "'").c_str()));
    VolumeTraits volume;
    volume.allocationUnit = row.unit;
    VolumeInstaller::Reader reader;
    VolumePlan plan;
    lookOnVolume(volume, package, target, reader, plan);
    EXPECT_EQ(row.needed, plan.neededBytes());
    InstallFailure planned = plan.verdict();
    plan.close();
    EXPECT_EQ(row.fits ? 0u : static_cast<unsigned>(ERROR_DISK_FULL), planned.code);
    VolumeInstaller::ProcessData data;
    data.init(&reader, u16(target));
    VolumeInstaller installer(0);
    FsResult code = installer.run(&data);
    EXPECT_EQ(row.fits, code == 0) << code;
    if (!row.fits) {
      EXPECT_EQ(u8(failure_text(planned)), u8(failure_text(installer.failure())));
    }
  }
  FaultyFileSystem::reset();
}

// Real file systems, where they can be made here: what the probe finds,
// whether one journal commits the run's entries, and a member after 2038 at an odd second installed twice: the second
// run finds it up to date.
TEST_F(RunPlanTest, RealFileSystemsKeepWhatTheirDescriptionSays) {
  if (geteuid() != 0) GTEST_SKIP() << "making and mounting file systems needs root";
  struct Row {
    const char* name;
    const char* make;  // the command that formats the image file
    const char* type;
    unsigned grain;
    long long newest;
    unsigned long long unit;
    Durability::Kind durability;  // how the run's files are made durable there
  } rows[] = {
      {"FAT, 2 s and 1980 to 2107", "mkfs.vfat -s 16 -S 512 '%s' >/dev/null 2>&1", "vfat", 2, 4354819198LL, 8192,
       Durability::kPerFile},
      {"ext4 with 128-byte inodes", "mkfs.ext4 -q -F -I 128 -b 4096 '%s' >/dev/null 2>&1", "ext4", 1, 2147483647LL, 4096,
       Durability::kJournal},
      // Reports 1 KiB blocks; each file takes a 64 KiB cluster. Large inodes:
      // times to 2446.
      {"ext4 with 64 KiB clusters", "mkfs.ext4 -q -F -O bigalloc -b 1024 -C 65536 '%s' >/dev/null 2>&1", "ext4", 1,
       15032385535LL, 65536, Durability::kJournal},
      // The magic number of a journaled ext4, but no journal to commit
      // every directory at once.
      {"ext4 without a journal", "mkfs.ext4 -q -F -O ^has_journal -b 4096 -I 256 '%s' >/dev/null 2>&1", "ext4", 1, 15032385535LL,
       4096, Durability::kPerFile},
  };
  int made = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string name = row.type + std::to_string(++made);
    std::string image = path(name + ".img"), dir = path(name);
    makeDirs(dir);
    ASSERT_EQ(0, system(("truncate -s 64M '" + image + "'").c_str()));
    char make[512];
    snprintf(make, sizeof make, row.make, image.c_str());
    if (system(make) != 0 || system(("mount -o loop -t " + std::string(row.type) + " '" + image + "' '" + dir + "' 2>/dev/null").c_str()) != 0) {
      printf("skipped %s: cannot make or mount it here\n", row.name);
      continue;
    }
    mounts.push_back(dir);
    void* handle = INVALID_HANDLE_VALUE;
    ASSERT_EQ(0u, FileSystem::CreateFile(u16(dir), GENERIC_READ, 0, OPEN_EXISTING, handle));
    VolumeTraits volume;
    EXPECT_EQ(0u, FileSystem::DescribeVolumeByHandle(handle, volume));
    EXPECT_EQ(row.durability, FileSystem::GetDurability(handle).kind);
    FileSystem::CloseHandle(handle);
    EXPECT_EQ(row.grain, volume.timeGrainSeconds);
    EXPECT_EQ(row.newest, volume.newestSeconds);
    EXPECT_EQ(row.unit, volume.allocationUnit);

    std::string package = writePackage(makeImage({}, false, {{"late", "after 2038", fileTime(2200000001LL)},
                                                             {"odd", "odd second", fileTime(1600000001LL)}}));
    for (unsigned long expected : {2ul, 0ul}) {
      Installer::Reader reader;
      ASSERT_EQ(0u, reader.open(u16(package)));
      Installer::ProcessData data;
      data.init(&reader, u16(dir + "/t"));
      Installer installer(0);
      ASSERT_EQ(0u, installer.run(&data));
      EXPECT_EQ(expected, installer.copiedFiles());
    }
  }
}

}  // namespace
