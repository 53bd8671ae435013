#include "install/failure_cause.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "install/test_support.h"
#include "platform/file_system.h"
#include "platform/resources.h"

namespace {

using namespace test_support;

std::string utf8(const stdx::u16string& s) { return u8(s); }

class FailureCauseTest : public testing::Test {
 protected:
  void TearDown() override { set_resource_lang(LANG_EN); }
};

TEST_F(FailureCauseTest, EachCauseTheUserCanMendHasItsOwnWords) {
  const struct {
    int err;
    const char* english;
  } cases[] = {
      {EACCES, "permission denied"},
      {EPERM, "permission denied"},
      {ENOSPC, "no space left on the disk"},
      {EDQUOT, "no space left on the disk"},
      {EROFS, "the file system is read-only"},
      {ENOTDIR, "a file stands where a directory is needed"},
      {EISDIR, "a directory stands where a file goes"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(std::string("/t/a.cfg: ") + c.english, utf8(failure_cause_line(u"/t/a.cfg", c.err)))
        << c.err;
  }
  // In the interface language, whatever the process locale says.
  set_resource_lang(LANG_DE);
  EXPECT_EQ("/t: das Dateisystem ist schreibgeschützt", utf8(failure_cause_line(u"/t", EROFS)));
}

TEST_F(FailureCauseTest, AnyOtherCauseGivesTheSystemsOwnText) {
  EXPECT_EQ(nullptr, failure_cause_key(EIO));
  EXPECT_EQ(std::string("/t/a: system error (") + strerror(EIO) + ")",
            utf8(failure_cause_line(u"/t/a", EIO)));
  // Without a path the cause stands alone; with nothing known, nothing.
  EXPECT_EQ("permission denied", utf8(failure_cause_line(u"", EACCES)));
  EXPECT_EQ("", utf8(failure_cause_line(u"", 0)));
}

}  // namespace
