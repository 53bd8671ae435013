#include "platform/utils.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>
#include <wchar.h>

#include <filesystem>
#include <string>

namespace {

std::u16string std16(const stdx::u16string& s) { return std::u16string(s.data(), s.size()); }
std::u16string ascii16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class UtilsTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    dir_ = std::string(tmp && *tmp && std::filesystem::is_directory(tmp) ? tmp : "/tmp") +
           "/platform_utils_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(&dir_[0]));
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string dir_;
};

TEST(UtilsFreeTest, DiskRootIsOnlyTheSingleSlash) {
  EXPECT_TRUE(isDiskRoot(u"/"));
  for (const char16_t* other : {u"/tmp", u"//", u"", u"/.", u"."}) EXPECT_FALSE(isDiskRoot(other));
}

TEST(UtilsFreeTest, SleepZeroReturnsAtOnce) { EXPECT_EQ(0, Sleep(0)); }

TEST_F(UtilsTest, RunProgramPassesArgumentsWithoutAShell) {
  const char* exitFive[] = {"sh", "-c", "exit 5", nullptr};
  const char* missing[] = {"/nonexistent/program", nullptr};
  const char* none[] = {nullptr};
  EXPECT_EQ(5, run_program(exitFive));
  EXPECT_EQ(127, run_program(missing));
  EXPECT_EQ(-1, run_program(none));
  std::string literal = dir_ + "/$(touch PWNED) `touch PWNED`";
  const char* touch[] = {"touch", literal.c_str(), nullptr};
  EXPECT_EQ(0, run_program(touch));
  EXPECT_EQ(0, access(literal.c_str(), F_OK));
  EXPECT_NE(0, access((dir_ + "/PWNED").c_str(), F_OK));
  EXPECT_NE(0, access("PWNED", F_OK));
}

TEST_F(UtilsTest, HomeDirFollowsHome) {
  const char* old = getenv("HOME");
  std::string saved = old ? old : "", home = dir_ + "/with space";
  setenv("HOME", home.c_str(), 1);
  stdx::u16string got = home_dir();
  old ? setenv("HOME", saved.c_str(), 1) : unsetenv("HOME");
  EXPECT_EQ(ascii16(home), std16(got));
}

}  // namespace
