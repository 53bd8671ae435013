// The package reader against hostile or oversized packages and a
// temporary directory that cannot take the image: every bound holds, in
// little memory, and a failure names what failed.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "install/install_data_fixture.h"

using namespace install_data_test;

namespace {

class ImageBoundsTest : public InstallDataTest {};

TEST_F(ImageBoundsTest, BombStopsAtTheFirstFailedWrite) {
  // A full temporary directory, played by a file-size limit: writes past
  // it fail (EFBIG) instead of raising the signal.
  std::string package = writePackage(std::string(64u << 20, '\0'));
  struct rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
  sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = 1u << 20;
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
  FsResult code;
  {
    Reader reader;
    code = reader.open(u16(package));
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  EXPECT_NE(0u, code);
  EXPECT_NE(kDamaged, code);  // the write failure itself, not a later image check
  EXPECT_TRUE(tempEntries().empty());
}

// Streams a package whose image is the pieces from make(write), in order,
// without holding the image in memory.
template <class Make>
std::string streamPackage(const std::string& path, Make make) {
  package_format::RawDeflateFile out;
  std::string error;
  EXPECT_TRUE(out.open(path, 1, error)) << error;
  make([&](const std::string& bytes) { EXPECT_TRUE(out.write(bytes.data(), bytes.size(), error)) << error; });
  EXPECT_TRUE(out.finish(error)) << error;
  return path;
}

// A line "name: N kB" of /proc/self/status, in KiB; -1 when missing.
long statusKib(const char* name) {
  std::string status = readBytes("/proc/self/status");
  size_t at = status.find(std::string(name) + ":");
  return at == std::string::npos ? -1 : atol(status.c_str() + at + strlen(name) + 1);
}

// Opens package as the wizard does, in a child process: its code (its exit
// status) and how far its memory grew over what it had from the parent, in
// KiB (-1 when that cannot be told).
unsigned openInChild(const std::string& package, long& growthKib) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return ~0u;
  pid_t child = fork();
  if (child == 0) {
    // The peak starts again from what the child holds now.
    FILE* clear = fopen("/proc/self/clear_refs", "w");
    bool cleared = clear != nullptr && fputs("5", clear) >= 0;
    if (clear != nullptr) cleared = fclose(clear) == 0 && cleared;
    long before = statusKib("VmRSS");
    FsResult code;
    {
      Reader reader;
      code = reader.openHeader(u16(package));
      if (code == 0) code = reader.awaitImage(-1);
    }
    long growth = cleared && before >= 0 ? statusKib("VmHWM") - before : -1;
    ssize_t sent = write(pipeFds[1], &growth, sizeof growth);
    _exit(sent != sizeof growth ? 1 : code == 0 ? 0 : code == kDamaged ? 13 : 1);
  }
  close(pipeFds[1]);
  growthKib = -1;
  if (child < 0 || read(pipeFds[0], &growthKib, sizeof growthKib) != sizeof growthKib) growthKib = -1;
  close(pipeFds[0]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return ~0u;
  return static_cast<unsigned>(WEXITSTATUS(status));
}

TEST_F(ImageBoundsTest, HeaderThatClaimsMoreThanThePackageHoldsIsRefusedInLittleMemory) {
  typedef std::function<void(const std::string&)> Write;
  std::string chunk;
  for (int i = 0; i < (1 << 20); ++i) chunk += std::string("A\0", 2);
  std::vector<std::pair<const char*, std::function<void(Write)>>> cases = {
      {"product name of 40 million units, all there", [&](Write w) {
         std::string head;
         package_format::putWord(head, 0);
         package_format::putWord(head, 40u << 20);
         w(head);
         for (int i = 0; i < 40; ++i) w(chunk);
       }},
      {"member count of 100 million, 10 records there", [&](Write w) {
         std::string head;
         package_format::putWord(head, 1);
         package_format::putWord(head, 0);
         package_format::putWord(head, 100000000);
         for (int i = 0; i < 10; ++i)
           package_format::putFileRecord(head, {u16("f" + std::to_string(i)), fileTime(1), 0, 0});
         w(head);
       }},
      {"member name of 2 billion units", [&](Write w) {
         std::string head;
         package_format::putWord(head, 1);
         package_format::putWord(head, 0);
         package_format::putWord(head, 1);
         package_format::putWord(head, 0x7FFFFFF0);
         package_format::putWord(head, 0x7FFFFFF0);
         w(head);
         for (int i = 0; i < 64; ++i) w(chunk);
       }},
      {"half a million real member records", [&](Write w) {
         std::string head;
         package_format::putWord(head, 1);
         package_format::putWord(head, 0);
         package_format::putWord(head, 500000);
         w(head);
         std::string records;
         for (int i = 0; i < 500000; ++i) {
           package_format::putFileRecord(records, {u16(std::to_string(i)), fileTime(1), 0, 0});
           if (records.size() > (1u << 20)) {
             w(records);
             records.clear();
           }
         }
         w(records);
       }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.first);
    std::string package = streamPackage(path("hostile.dpk"), c.second);
    long growthKib = 0;
    EXPECT_EQ(13u, openInChild(package, growthKib));
    EXPECT_GE(growthKib, 0);
    EXPECT_LT(growthKib, 64L << 10);
  }
}

TEST_F(ImageBoundsTest, BytesBehindTheLastMemberAreInflatedButNotStored) {
  std::string image = makeImage({}, false, {{"a", "abc", fileTime(1)}});
  {
    Reader reader;
    ASSERT_EQ(0u, openStreaming(reader, image + std::string(32u << 20, '\0')));
    struct stat st;
    ASSERT_EQ(0, fstat(static_cast<int>(reinterpret_cast<intptr_t>(reader.imageHandle())), &st));
    EXPECT_EQ(static_cast<off_t>(image.size()), st.st_size);
    EXPECT_EQ("abc", copyOut(reader, 0));
  }
  // The tail must still be a sound stream: damage there is damage. Stored
  // blocks of the image and a tail, then a block of the reserved type.
  std::string stream, bytes = image + pseudoRandomBytes(300000, 3);
  for (size_t at = 0; at < bytes.size(); at += 65535) {
    size_t n = std::min<size_t>(65535, bytes.size() - at);
    stream += '\0';
    stream += static_cast<char>(n & 0xFF);
    stream += static_cast<char>(n >> 8);
    stream += static_cast<char>(~n & 0xFF);
    stream += static_cast<char>((~n >> 8) & 0xFF);
    stream += bytes.substr(at, n);
  }
  writeBytes(path("bad-tail.dpk"), stream + "\x07");
  Reader reader;
  FsResult code = reader.openHeader(u16(path("bad-tail.dpk")));
  if (code == 0) code = reader.awaitImage(-1);
  EXPECT_EQ(kDamaged, code);
}

// A tail longer than the image and 64 MiB is a bomb: both opens refuse it,
// the streaming one without storing it; one just within the bound is fine.
TEST_F(ImageBoundsTest, TailFarLongerThanTheImageIsRefusedByBothOpens) {
  std::string image = makeImage({}, false, {{"a", "abc", fileTime(1)}});
  const struct {
    size_t tail;
    unsigned code;
  } cases[] = {{64u << 20, 0u}, {(64u << 20) + (1u << 20), kDamaged}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail);
    std::string package = writePackage(image + std::string(c.tail, '\0'));
    Reader streaming;
    FsResult code = streaming.openHeader(u16(package));
    if (code == 0) code = streaming.awaitImage(-1);
    EXPECT_EQ(c.code, code);
    Reader whole;
    EXPECT_EQ(c.code, whole.open(u16(package)));
  }
}

TEST_F(ImageBoundsTest, TemporaryDirectoryWithoutRoomForTheImageIsNamedWithTheNumbers) {
  std::string small = path("small");
  makeDirs(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4m") != 0) GTEST_SKIP() << "no tmpfs (needs root)";
  setenv("TMPDIR", small.c_str(), 1);
  std::string package = writePackage(makeImage({}, false, {{"big", std::string(16u << 20, 'x'), fileTime(1)}}));
  FsResult code;
  uint64_t needed, free;
  stdx::u16string directory;
  {
    Reader reader;
    code = reader.openHeader(u16(package));
    needed = reader.imageSpace().neededBytes;
    free = reader.imageSpace().freeBytes;
    directory = reader.imageSpace().directory;
  }
  setenv("TMPDIR", tempDir.c_str(), 1);
  umount2(small.c_str(), MNT_DETACH);
  EXPECT_EQ(static_cast<unsigned>(ERROR_DISK_FULL), code);
  EXPECT_GT(needed, 12u << 20);
  EXPECT_LE(free, 4u << 20);
  EXPECT_EQ(small, u8(directory).substr(0, small.size()));
}

}  // namespace
