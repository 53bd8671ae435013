#include "platform/file_io.h"

#include <errno.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/test_util.h"

namespace {

TEST(PathHelpers, DirectoryAndTrailingSeparators) {
  struct {
    const char* path;
    const char* directory;
    const char* stripped;
  } cases[] = {
      {"/opt/kx/setup", "/opt/kx", "/opt/kx/setup"},
      {"/setup", "/", "/setup"},
      {"setup", ".", "setup"},
      {"C:\\data\\t\\", "C:\\data\\t", "C:\\data\\t"},
      {"/t//", "/t/", "/t"},
      {"/", "/", "/"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.directory, utf8(directory_of(u16(c.path)))) << c.path;
    EXPECT_EQ(c.stripped, utf8(strip_trailing_separators(u16(c.path)))) << c.path;
  }
}

TEST(PathHelpers, LinksAreReadWholeAndFollowedToTheirEnd) {
  ScratchDir dir;
  std::string longTarget = "/" + std::string(1500, 'x') + "/setup";
  ASSERT_EQ(0, symlink(longTarget.c_str(), (dir / "long").c_str()));
  EXPECT_EQ(longTarget, read_link_target((dir / "long").c_str()).c_str());
  // Exactly the first buffer size: the text must not be taken as cut short.
  std::string exact = "/" + std::string(255, 'y');
  ASSERT_EQ(0, symlink(exact.c_str(), (dir / "exact").c_str()));
  EXPECT_EQ(exact, read_link_target((dir / "exact").c_str()).c_str());
  EXPECT_TRUE(read_link_target((dir / "missing").c_str()).empty());

  // A relative link counts from its own folder; a dangling one names the
  // file to be made; a loop is an error.
  writeBytes(dir / "real/f", "x");
  ASSERT_EQ(0, symlink("real/f", (dir / "a").c_str()));
  ASSERT_EQ(0, symlink("a", (dir / "b").c_str()));
  ASSERT_EQ(0, symlink("made", (dir / "dangling").c_str()));
  ASSERT_EQ(0, symlink("loop", (dir / "loop").c_str()));
  stdx::u16string resolved;
  EXPECT_FALSE(resolve_links(dir.u16("b"), resolved).failed());
  EXPECT_EQ(dir / "real/f", utf8(resolved));
  EXPECT_FALSE(resolve_links(dir.u16("dangling"), resolved).failed());
  EXPECT_EQ(dir / "made", utf8(resolved));
  EXPECT_EQ(ELOOP, resolve_links(dir.u16("loop"), resolved).errnoValue);
  EXPECT_TRUE(file_exists(dir.u16("dangling")));
  EXPECT_FALSE(file_exists(dir.u16("made")));
}

}  // namespace
