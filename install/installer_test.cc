#include "install/installer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <thread>

#include "install/test_support.h"
#include "tools/package_builder.h"

using namespace test_support;

namespace {

// The whole image of a package, inflated with zlib; empty when it is not
// one raw DEFLATE stream.
std::string inflatedImage(const std::string& package) {
  std::string packed = readBytes(package), image;
  z_stream z = {};
  if (inflateInit2(&z, -15) != Z_OK) return image;
  z.next_in = reinterpret_cast<Bytef*>(&packed[0]);
  z.avail_in = static_cast<uInt>(packed.size());
  char out[1 << 16];
  int code = Z_OK;
  while (code == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = sizeof out;
    code = inflate(&z, Z_NO_FLUSH);
    image.append(out, sizeof out - z.avail_out);
  }
  inflateEnd(&z);
  return code == Z_STREAM_END ? image : std::string();
}

class InstallerTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    target = path("target");
  }

  // Packs the tree at source/ with the vendor tool's code, or with gzip as
  // a second encoder over the same image; or by the builder without member
  // checksums, as other packers lay packages out.
  enum Packer { kBuilder, kBuilderWithoutChecksums, kSecondEncoder };
  std::string packTree(Packer packer) {
    std::vector<package_builder::SourceFile> files;
    std::string error;
    EXPECT_TRUE(package_builder::collectFiles(path("source"), files, error)) << error;
    package_builder::Options options;
    options.products.push_back(product("en", "P", "V", ""));
    options.memberChecksums = packer != kBuilderWithoutChecksums;
    std::string package = path("tree.dpk");
    if (packer != kSecondEncoder) {
      EXPECT_TRUE(package_builder::writePackage(package, options, files, error)) << error;
      return package;
    }
    std::vector<TestMember> members;
    for (size_t i = 0; i < files.size(); ++i)
      members.push_back({u8(files[i].name), readBytes(files[i].path), files[i].lastWriteTime});
    writeBytes(package, gzipRawDeflate(makeImage(options.products, false, members)));
    return package;
  }

  FsResult install(PackageReader& reader, const std::string& directory) {
    data.init(&reader, u16(directory));
    Installer installer(0);
    FsResult code = installer.run(&data);
    copied = installer.copiedFiles();
    upToDate = installer.upToDateFiles();
    return code;
  }

  FsResult installImage(const std::string& image) {
    PackageReader reader;
    FsResult code = reader.open(u16(writePackage(image)));
    if (code != 0) return 1000000 + code.code();
    return install(reader, target);
  }

  // causeLine: what follows the text on a line of its own; none when null.
  void expectState(unsigned state, const char* textKey, int percent,
                   const char* causeLine = nullptr) {
    unsigned s;
    stdx::u16string text;
    int p;
    data.getInstallState(s, text, p);
    EXPECT_EQ(state, s);
    stdx::u16string expected = resourceText(textKey);
    if (causeLine != nullptr) expected += u"\n" + u16(causeLine);
    EXPECT_TRUE(text == expected) << u8(text);
    EXPECT_EQ(percent, p);
  }

  // Seconds and nanoseconds as the file's modification time.
  void setTimeWithFraction(const std::string& file, time_t seconds, long nanoseconds) {
    struct timespec t[2];
    t[0].tv_sec = t[1].tv_sec = seconds;
    t[0].tv_nsec = t[1].tv_nsec = nanoseconds;
    ASSERT_EQ(0, utimensat(AT_FDCWD, file.c_str(), t, 0));
  }

  std::string target;
  InstallProcessData data;
  unsigned long copied = 0, upToDate = 0;  // counts of the last install()
};

TEST_F(InstallerTest, InstallsATreeAndARerunCopiesNothing) {
  makeDirs(path("source/docs/deep/er"));
  writeBytes(path("source/readme.txt"), "hello\n");
  writeBytes(path("source/empty"), "");
  writeBytes(path("source/docs/big.bin"), pseudoRandomBytes(3 * 1024 * 1024 + 5, 9));
  writeBytes(path("source/docs/deep/er/leaf.txt"), "leaf");
  // Every member time has a fraction of a second.
  setTimeWithFraction(path("source/readme.txt"), 1500000000, 999999999);
  setTimeWithFraction(path("source/empty"), 1500000001, 1);
  setTimeWithFraction(path("source/docs/big.bin"), 1500000002, 500000000);
  setTimeWithFraction(path("source/docs/deep/er/leaf.txt"), 1500000003, 100);

  const struct {
    Packer packer;
    const char* name;
    bool checksums;
  } packers[] = {{kBuilder, "builder", true},
                 {kBuilderWithoutChecksums, "builder without checksums", false},
                 {kSecondEncoder, "gzip", false}};
  for (const auto& p : packers) {
    SCOPED_TRACE(p.name);
    bool secondEncoder = p.packer == kSecondEncoder;
    std::string package = packTree(p.packer);
    if (secondEncoder && (readBytes(package).empty() || readBytes(package) == "<missing>")) GTEST_SKIP() << "gzip not available";
    // The checksum field's tag is in the image exactly when the members carry one.
    std::string image = inflatedImage(package);
    EXPECT_EQ(p.checksums, image.find("CR32") != std::string::npos);
    ASSERT_EQ(0, system(("rm -rf '" + target + "'").c_str()));
    PackageReader reader;
    ASSERT_EQ(0u, reader.open(u16(package)));

    // Into a directory that does not exist yet, given without a separator.
    ASSERT_EQ(0u, install(reader, target + "/inner"));
    expectState(0, "IDS_INSTALL_FINISH", 100);
    TreeSnapshot source = snapshotTree(path("source"));
    EXPECT_TRUE(snapshotTree(target + "/inner") == source);

    // Mark every installed file: a re-run that copied anything would undo it.
    TreeSnapshot installed = snapshotTree(target + "/inner");
    for (TreeSnapshot::iterator it = installed.begin(); it != installed.end(); ++it) {
      if (it->second.kind != 'f') continue;
      std::string file = target + "/inner/" + it->first;
      writeBytes(file, "kept");
      setModificationTime(file, it->second.mtime);
    }
    TreeSnapshot marked = snapshotTree(target + "/inner");
    ASSERT_EQ(0u, install(reader, target + "/inner/"));
    EXPECT_TRUE(snapshotTree(target + "/inner") == marked);
  }
}

TEST_F(InstallerTest, ReplacesOnlyOlderFiles) {
  makeDirs(target);
  for (const char* name : {"older", "same", "newer"}) writeBytes(target + "/" + name, "installed");
  setModificationTime(target + "/older", 1999);
  setModificationTime(target + "/same", 2000);
  setModificationTime(target + "/newer", 2001);
  std::vector<TestMember> members = {{"older", "package", fileTime(2000, 5)},
                                     {"same", "package", fileTime(2000, 9999999)},
                                     {"newer", "package", fileTime(2000)},
                                     {"fresh", "package", fileTime(2000)}};
  ASSERT_EQ(0u, installImage(makeImage({}, false, members)));
  // What a silent run reports: scripts tell "changed" from these counts.
  EXPECT_EQ(2u, copied);
  EXPECT_EQ(2u, upToDate);
  EXPECT_EQ("package", readBytes(target + "/older"));
  EXPECT_EQ(2000, modificationTime(target + "/older"));
  EXPECT_EQ("installed", readBytes(target + "/same"));
  EXPECT_EQ("installed", readBytes(target + "/newer"));
  EXPECT_EQ(2001, modificationTime(target + "/newer"));
  EXPECT_EQ("package", readBytes(target + "/fresh"));
}

TEST_F(InstallerTest, BackslashNamesBecomeNestedDirectories) {
  ASSERT_EQ(0u, installImage(makeImage({}, false,
                                       {{"a\\b\\c.txt", "c", fileTime(100)},
                                        {"\\lead\\d.txt", "d", fileTime(100)},
                                        {"a/mixed\\e.txt", "e", fileTime(100)}})));
  EXPECT_EQ("c", readBytes(target + "/a/b/c.txt"));
  EXPECT_EQ("d", readBytes(target + "/lead/d.txt"));
  EXPECT_EQ("e", readBytes(target + "/a/mixed/e.txt"));
}

TEST_F(InstallerTest, FailureInTheMiddleLeavesTheTargetAsItWas) {
  makeDirs(target + "/keep");
  writeBytes(target + "/x1", "old x1");
  writeBytes(target + "/keep/x2", "old x2");
  writeBytes(target + "/blocker", "a file where a directory must go");
  writeBytes(target + "/keep/other", "other");
  setModificationTime(target + "/x1", 1000);
  setModificationTime(target + "/keep/x2", 1000);
  TreeSnapshot before = snapshotTree(target);

  std::vector<TestMember> members = {{"x1", "new x1", fileTime(5000)},
                                     {"new\\deep\\f", "f", fileTime(5000)},
                                     {"blocker\\inner.txt", "never", fileTime(5000)},
                                     {"keep\\x2", "new x2", fileTime(5000)}};
  unsigned code = installImage(makeImage({}, false, members)).code();
  EXPECT_NE(0u, code);
  EXPECT_LT(code, 1000000u);  // the run failed, not the open
  // The file in the way is named, not the member that could not go below it.
  // The third of four members: the copy's share of the bar is 90 percent.
  expectState(code, "IDS_INSTALL_ERROR", 45,
              (target + "/blocker: a file stands where a directory is needed").c_str());
  EXPECT_TRUE(snapshotTree(target) == before);
}

TEST_F(InstallerTest, ExistingDirectoryAtAMemberPathIsLeftWhole) {
  makeDirs(target + "/dir/sub");
  writeBytes(target + "/dir/sub/precious", "precious");
  writeBytes(target + "/first", "old");
  setModificationTime(target + "/first", 1000);
  TreeSnapshot before = snapshotTree(target);
  unsigned code = installImage(makeImage(
      {}, false, {{"first", "new", fileTime(5000)}, {"dir", "file over a directory", fileTime(2000000000)}})).code();
  EXPECT_EQ(kErrorRefusedTarget, code);
  EXPECT_TRUE(snapshotTree(target) == before);
}

// The failure names what the user must mend, as the failing call found it:
// the file that stands where a folder must go, the folder at a member's
// path, the folder that refused something new.
TEST_F(InstallerTest, FailureNamesWhatStandsInTheWayOrTheFolderThatRefused) {
  if (rerun_as_ordinary_user()) return;  // root writes into any folder
  writeBytes(path("plain"), "a file where a folder must go");
  makeDirs(target + "/dir");
  makeDirs(target + "/locked/old");
  makeDirs(path("lockedparent"));
  const struct {
    std::string into;
    std::string member;
    std::string named;
    int cause;
  } cases[] = {
      {path("plain/sub"), "a.cfg", path("plain"), ENOTDIR},
      {target, "dir", target + "/dir", EISDIR},
      {target, "locked\\new\\a.cfg", target + "/locked", EACCES},
      {target, "locked\\a.cfg", target + "/locked", EACCES},
      {target, "locked\\old\\a.cfg", target + "/locked/old", EACCES},
      {path("lockedparent/t"), "a.cfg", path("lockedparent"), EACCES},
  };
  ASSERT_EQ(0, chmod((target + "/locked/old").c_str(), 0555));
  ASSERT_EQ(0, chmod((target + "/locked").c_str(), 0555));
  ASSERT_EQ(0, chmod(path("lockedparent").c_str(), 0555));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.member + " into " + c.into);
    PackageReader reader;
    ASSERT_EQ(0u, reader.open(u16(writePackage(makeImage({}, false, {{c.member, "x", fileTime(5000)}})))));
    data.init(&reader, u16(c.into));
    Installer installer(0);
    EXPECT_NE(0u, installer.run(&data));
    EXPECT_EQ(c.named, u8(installer.failure().path));
    EXPECT_EQ(c.cause, installer.failure().errnoValue);
  }
  chmod((target + "/locked").c_str(), 0755);
  chmod((target + "/locked/old").c_str(), 0755);
  chmod(path("lockedparent").c_str(), 0755);
}

// A link where a folder of a member's path should be stops the run before
// anything is written, naming the link; a link at a member's own path is
// replaced like a file, never written through.
TEST_F(InstallerTest, NeverWritesThroughSymbolicLinks) {
  makeDirs(path("outside"));
  writeBytes(path("outside/file"), "outside");
  makeDirs(target + "/real");
  ASSERT_EQ(0, symlink(path("outside").c_str(), (target + "/linkdir").c_str()));
  ASSERT_EQ(0, symlink(path("outside").c_str(), (target + "/real/inner").c_str()));
  ASSERT_EQ(0, symlink(path("outside/file").c_str(), (target + "/linkfile").c_str()));
  TreeSnapshot outside = snapshotTree(path("outside"));
  TreeSnapshot before = snapshotTree(target);

  const char* ways[][2] = {{"linkdir\\planted.txt", "linkdir"},
                           {"linkdir\\new\\planted.txt", "linkdir"},
                           {"real\\inner\\deeper\\planted.txt", "real/inner"}};
  for (auto& way : ways) {
    SCOPED_TRACE(way[0]);
    EXPECT_EQ(static_cast<unsigned>(ERROR_STOPPED_ON_SYMLINK),
              installImage(makeImage({}, false, {{"ok.txt", "ok", fileTime(1)}, {way[0], "evil", fileTime(2000000000)}})));
    expectState(ERROR_STOPPED_ON_SYMLINK, "IDS_INSTALL_ERROR", 0,
                (target + "/" + way[1] + ": " + u8(resourceText("IDS_CAUSE_SYMLINK"))).c_str());
    EXPECT_TRUE(snapshotTree(path("outside")) == outside);
    EXPECT_TRUE(snapshotTree(target) == before);
  }

  EXPECT_EQ(0u, installImage(makeImage({}, false, {{"linkfile", "member", fileTime(1000)}})));
  struct stat st;
  ASSERT_EQ(0, lstat((target + "/linkfile").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ("member", readBytes(target + "/linkfile"));
  EXPECT_TRUE(snapshotTree(path("outside")) == outside);
}

TEST_F(InstallerTest, CancelUndoesTheRunWithoutAFinalState) {
  makeDirs(target);
  writeBytes(target + "/a", "old");
  setModificationTime(target + "/a", 1000);
  TreeSnapshot before = snapshotTree(target);
  PackageReader reader;
  ASSERT_EQ(0u, reader.open(u16(writePackage(makeImage(
                    {}, false, {{"a", "new", fileTime(5000)}, {"b", "b", fileTime(5000)}})))));
  data.init(&reader, u16(target));
  data.setCancel(true);
  Installer installer(0);
  EXPECT_EQ(static_cast<unsigned>(ERROR_CANCELLED), installer.run(&data));
  EXPECT_TRUE(snapshotTree(target) == before);
  unsigned state;
  stdx::u16string text;
  int percent;
  data.getInstallState(state, text, percent);
  EXPECT_EQ(0u, state);
  EXPECT_EQ(target + "/a", u8(text));  // the progress post of the first member
  EXPECT_EQ(0, percent);
}

TEST_F(InstallerTest, EmptyPackageSucceedsAtOnce) {
  EXPECT_EQ(0u, installImage(makeImage({product("en", "P", "V", "")}, false, {})));
  expectState(0, "IDS_INSTALL_FINISH", 100);
}

TEST_F(InstallerTest, InitEndsTheTargetWithASeparator) {
  PackageReader* reader = nullptr;
  stdx::u16string directory;
  const char* cases[][2] = {{"/t/dir", "/t/dir/"}, {"/t/dir/", "/t/dir/"}, {"c:\\dir\\", "c:\\dir\\"}, {"", ""}};
  for (auto& c : cases) {
    data.init(nullptr, u16(c[0]));
    data.get(reader, directory);
    EXPECT_EQ(c[1], u8(directory));
  }
}

// A waiter for the outcome wakes when it is posted, whenever that is: as it
// waits, just before it waits, or before it ever looks. A lost wake-up
// would keep the program waiting for its full time (here an hour, which
// the test's own time limit cuts short as a failure).
TEST_F(InstallerTest, AnOutcomeWaiterWakesAtThePost) {
  const int kHour = 3600 * 1000;
  InstallOutcome seen;
  EXPECT_FALSE(data.awaitOutcome(seen, 0));
  EXPECT_FALSE(data.awaitOutcome(seen, 1));
  for (int delayUs : {0, 50, 2000, -1}) {
    data.init(nullptr, u16("/t"));
    InstallOutcome posted;
    posted.kind = InstallOutcome::kCancelled;
    posted.copied = static_cast<unsigned long>(delayUs + 7);
    if (delayUs < 0) data.postOutcome(posted);
    std::thread worker([&] {
      if (delayUs < 0) return;
      if (delayUs > 0) usleep(static_cast<useconds_t>(delayUs));
      data.postOutcome(posted);
    });
    InstallOutcome got;
    EXPECT_TRUE(data.awaitOutcome(got, kHour)) << delayUs;
    worker.join();
    EXPECT_EQ(InstallOutcome::kCancelled, got.kind) << delayUs;
    EXPECT_EQ(posted.copied, got.copied) << delayUs;
  }
}

}  // namespace

namespace {

// The one rule that the run, its space check, the dry run and the verify
// share: times count to the second, whatever fraction either side has.
TEST(InstalledCopyTest, DecidesByKindThenByWholeSeconds) {
  using config::InstalledCopy;
  const FILETIME member = fileTime(2000, 5);
  const struct {
    unsigned lookup;
    unsigned attributes;
    FILETIME installed;
    InstalledCopy expected;
  } cases[] = {
      {ERROR_FILE_NOT_FOUND, 0, fileTime(0), InstalledCopy::kMissing},
      {0, FILE_ATTRIBUTE_REPARSE_POINT, fileTime(3000), InstalledCopy::kLink},
      {0, FILE_ATTRIBUTE_DIRECTORY, fileTime(3000), InstalledCopy::kRefused},
      {0, FILE_ATTRIBUTE_DEVICE, fileTime(1000), InstalledCopy::kRefused},
      {0, FILE_ATTRIBUTE_NORMAL, fileTime(1999, 9999999), InstalledCopy::kOlder},
      {0, FILE_ATTRIBUTE_NORMAL, fileTime(2000), InstalledCopy::kCurrent},  // fraction lost by the copy
      {0, FILE_ATTRIBUTE_NORMAL, fileTime(2001), InstalledCopy::kCurrent},
  };
  for (const auto& c : cases) {
    FileInformation info{};
    info.attributes = c.attributes;
    info.lastWriteTime = c.installed;
    EXPECT_EQ(c.expected, config::installed_copy(c.lookup, info, member)) << c.attributes;
  }
  EXPECT_FALSE(config::is_copied(InstalledCopy::kCurrent));
  EXPECT_FALSE(config::is_copied(InstalledCopy::kRefused));
}

}  // namespace
