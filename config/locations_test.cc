#include "config/locations.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/test_util.h"

namespace {

TEST(Locations, PathsOfBothFamiliesFollowHome) {
  ScopedEnv home("HOME", "/home/u");
  EXPECT_EQ(utf8(get_local_config_file_path()), "/home/u/.KX/kxlaunch/kxlaunch.cfg");
  EXPECT_EQ(utf8(get_local_config_file_path_base()), "/home/u/.KX/kxlauncht/kxlaunch.cfg");
  EXPECT_EQ(utf8(get_allusers_config_file_path()), "/home/u/.kxq5/.KX/kxlaunch/kxlaunch.cfg");
  EXPECT_EQ(utf8(get_allusers_config_file_path_base()), "/home/u/.KX/kxlaunch/kxlaunch.cfg");
  EXPECT_EQ(utf8(q5_app_data_dir(false)), "/home/u/.kxq5/KX/kxq5/");
  EXPECT_EQ(app_data_dir(true), app_data_dir(false));

  // Nothing is cached: a new HOME gives new paths.
  ScopedEnv other("HOME", "/home/\xd0\xb2");
  EXPECT_EQ(utf8(get_local_config_file_dir()), "/home/\xd0\xb2/.KX/kxlaunch");
}

class WriteProbeTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
  ScratchDir tmp_;
};

TEST_F(WriteProbeTest, ProbesGivenDirectoryAndLeavesNothing) {
  ScopedEnv tmpdir("TMPDIR", tmp_.path());
  EXPECT_TRUE(isWritePermitted(u16(dir_.path())));
  EXPECT_TRUE(isWritePermitted(u16(dir_.path() + "/")));
  EXPECT_EQ(listDir(dir_.path()), "");

  // Shapes that fail even for root: a missing directory, and a plain file
  // where the directory should be. TMPDIR must not stand in for them.
  writeBytes(dir_.path() + "/plain", "x");
  EXPECT_FALSE(isWritePermitted(u16(dir_.path() + "/missing")));
  EXPECT_FALSE(isWritePermitted(u16(dir_.path() + "/plain")));
  EXPECT_EQ(listDir(dir_.path()), "plain");
  EXPECT_EQ(listDir(tmp_.path()), "");
}

TEST_F(WriteProbeTest, ReadOnlyDirectoryIsNotWritable) {
  if (rerun_as_ordinary_user()) return;
  ASSERT_EQ(chmod(dir_.path().c_str(), 0555), 0);
  EXPECT_FALSE(isWritePermitted(u16(dir_.path())));
  chmod(dir_.path().c_str(), 0755);
  EXPECT_EQ(listDir(dir_.path()), "");
}

}  // namespace
