#include "install/run_plan.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <functional>
#include <map>

#include "install/test_support.h"

using namespace test_support;

namespace {

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

// The plan's own decisions: each member's fate, what it needs, and that a
// missing target plans everything new without looking below it.
TEST_F(RunPlanTest, DecidesEachMemberAsTheCopyWill) {
  std::string t = path("t");
  makeDirs(t + "/d");
  writeFileBytes(t + "/a.txt", "old");
  setModificationTime(t + "/a.txt", 1000);
  writeFileBytes(t + "/d/y.txt", "same");
  setModificationTime(t + "/d/y.txt", kMemberTime);
  std::vector<PlanMember> members = {{u"a.txt", fileTime(kMemberTime), 5000},
                                     {u"d/y.txt", fileTime(kMemberTime, 9999999), 1},
                                     {u"d/sub/x.txt", fileTime(kMemberTime), 4097},
                                     {u"d/sub/z/w.txt", fileTime(kMemberTime), 1}};
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

}  // namespace
