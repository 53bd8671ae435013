// Drives the vendor tool as a vendor would, then reads what it made.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "install/installer.h"
#include "install/test_support.h"

using namespace test_support;

namespace {

class DpkpackTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    makeDirs(path("src/docs"));
    writeBytes(path("src/readme.txt"), "read me");
    writeBytes(path("src/docs/liesmich.txt"), "lies mich");
    writeBytes(path("src/data.bin"), pseudoRandomBytes(70000, 5));
  }

  // Runs dpkpack with args (in the scratch directory); returns its exit
  // status and its standard output and error together in output.
  // before: shell words run first, in the same shell (a ulimit).
  int dpkpack(const std::string& args, const std::string& before = "true") {
    std::string log = path("log");
    std::string command =
        "cd '" + scratch + "' && " + before + " && '" DPKPACK_PATH "' " + args + " >'" + log + "' 2>&1";
    int status = system(command.c_str());
    output = readBytes(log);
    unlink(log.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string output;
};

TEST_F(DpkpackTest, BuildsAPackageThatInstallsTheTree) {
  ASSERT_EQ(0, dpkpack("-l en -p 'My Product' -v 'My Vendor' -r readme.txt "
                       "--language de --product Produkt --provider Anbieter --readme docs/liesmich.txt "
                       "--level 1 src")) << output;
  PackageReader reader;
  ASSERT_EQ(0u, reader.open(u16(path("kxq5.dpk"))));
  ASSERT_EQ(2u, reader.products.size());
  EXPECT_EQ("My Product", u8(reader.products[0].productName));
  EXPECT_EQ("Anbieter", u8(reader.products[1].providerName));
  EXPECT_EQ("docs/liesmich.txt", u8(reader.getReadme(u"de")));
  ASSERT_EQ(3u, reader.files.size());
  EXPECT_EQ("data.bin", u8(reader.files[0].name));
  EXPECT_EQ("docs\\liesmich.txt", u8(reader.files[1].name));

  InstallProcessData data;
  data.init(&reader, u16(path("target")));
  Installer installer(0);
  ASSERT_EQ(0u, installer.run(&data));
  EXPECT_TRUE(snapshotTree(path("target")) == snapshotTree(path("src")));

  ASSERT_EQ(0, dpkpack("--list kxq5.dpk")) << output;
  EXPECT_NE(std::string::npos, output.find("[de] product \"Produkt\", provider \"Anbieter\""));
  EXPECT_NE(std::string::npos, output.find("docs\\liesmich.txt"));
  EXPECT_NE(std::string::npos, output.find("Members: 3"));
}

// Every level of the fast compressor writes a package that installs the
// tree byte for byte, through the header-first open the program uses.
TEST_F(DpkpackTest, FastLevelsWriteAPackageThatInstallsTheTree) {
  if (!package_format::RawDeflateFile::hasFastEncoder()) {
    EXPECT_NE(0, dpkpack("-F 1 src"));
    GTEST_SKIP() << "built without the fast compressor";
  }
  EXPECT_NE(0, dpkpack("-F 4 src"));
  for (const char* level : {"0", "1", "2", "3"}) {
    ASSERT_EQ(0, dpkpack(std::string("--fast ") + level + " -o fast.dpk src")) << output;
    PackageReader reader;
    ASSERT_EQ(0u, reader.openHeader(u16(path("fast.dpk"))));
    ASSERT_EQ(0u, reader.awaitImage(-1));
    InstallProcessData data;
    data.init(&reader, u16(path("target") + level));
    Installer installer(0);
    ASSERT_EQ(0u, installer.run(&data));
    EXPECT_TRUE(snapshotTree(path("target") + level) == snapshotTree(path("src"))) << level;
  }
}

TEST_F(DpkpackTest, SingleLanguageLayoutOnRequest) {
  ASSERT_EQ(0, dpkpack("--single-language -p Solo -v Maker -o solo.dpk src")) << output;
  ASSERT_EQ(0u, LZCompressor().unpack(u16(path("solo.dpk")), u16(path("image"))));
  EXPECT_EQ(std::string(4, '\0'), readBytes(path("image")).substr(0, 4));
  PackageReader reader;
  ASSERT_EQ(0u, reader.open(u16(path("solo.dpk"))));
  ASSERT_EQ(1u, reader.products.size());
  EXPECT_EQ("en", u8(reader.products[0].language));
  EXPECT_EQ("Solo", u8(reader.products[0].productName));
}

TEST_F(DpkpackTest, ExplainsMistakes) {
  EXPECT_EQ(0, dpkpack("--help"));
  EXPECT_NE(std::string::npos, output.find("Usage: dpkpack"));

  // A description text one unit longer than the installer reads.
  const std::string longName = "-p " + std::string(config::kMaxProductTextUnits + 1, 'P') + " src";
  mkfifo(path("pipe.dpk").c_str(), 0600);
  struct Case {
    std::string args;
    int status;
    const char* message;
  } cases[] = {
      {"", 2, "no source directory"},
      {"--bogus src", 2, "unknown option --bogus"},
      {"-r missing.txt src", 2, "readme missing.txt is not a file of the package"},
      {"-l en -p A -p B src", 2, "given twice"},
      {"-l english -p A src", 2, "unknown language code english"},
      {"-l xx -p A src", 2, "unknown language code xx"},
      {"--single-language -l en -p A -l de -p B src", 2, "exactly one product description"},
      {"--level 12 src", 2, "0 to 9"},
      {"-o src/inside.dpk src", 2, "must not lie inside the source directory"},
      {"nowhere", 1, "nowhere: No such file or directory"},
      {"src/readme.txt", 1, "src/readme.txt is not a directory"},
      {longName, 2, "is 4097 UTF-16 units long; the installer reads at most 4096"},
      {"--list src/readme.txt", 1, "src/readme.txt: damaged or not a package"},
      // The system's own words, not the file layer's code for them.
      {"--list none.dpk", 1, "none.dpk: No such file or directory"},
      {"--list src", 1, "src: Is a directory"},
      {"--list pipe.dpk", 1, "pipe.dpk: not a regular file"},
      {"--kit kit -o x.dpk src", 2, "leave out -o"},
      {"--setup /bin/true src", 2, "--setup is for --kit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.substr(0, 60));
    EXPECT_EQ(c.status, dpkpack(c.args));
    EXPECT_NE(std::string::npos, output.find(c.message)) << output;
    EXPECT_EQ(std::string::npos, output.find("(error")) << output;
  }
  EXPECT_FALSE(exists(path("kxq5.dpk")));

  ASSERT_EQ(0, symlink("/etc", path("src/link").c_str()));
  EXPECT_EQ(1, dpkpack("src"));
  EXPECT_NE(std::string::npos, output.find("only regular files and directories")) << output;
  EXPECT_FALSE(exists(path("kxq5.dpk")));

  ASSERT_EQ(0, unlink(path("src/link").c_str()));
  // A file-size limit below the package: told, and no cut package left.
  EXPECT_EQ(1, dpkpack("-o big.dpk src", "ulimit -f 40"));
  EXPECT_NE(std::string::npos, output.find("big.dpk: File too large")) << output;
  EXPECT_FALSE(exists(path("big.dpk")));

  // A name that is not text would make a package that every reader refuses.
  writeBytes(path("src/t\xe9.txt"), "x");
  EXPECT_EQ(1, dpkpack("src"));
  EXPECT_NE(std::string::npos, output.find("not valid text")) << output;
  EXPECT_FALSE(exists(path("kxq5.dpk")));
}

TEST_F(DpkpackTest, EveryMemberCarriesAChecksumThatListAndInstallerCheck) {
  writeBytes(path("src/data.bin"), "0123456789 marker 0123456789");
  // Stored, not compressed: the member's bytes stand in the package as they are.
  ASSERT_EQ(0, dpkpack("--level 0 src")) << output;
  PackageReader reader;
  ASSERT_EQ(0u, reader.open(u16(path("kxq5.dpk"))));
  for (const auto& f : reader.files) EXPECT_TRUE(f.hasChecksum) << u8(f.name);
  ASSERT_EQ(0, dpkpack("--list kxq5.dpk")) << output;
  EXPECT_NE(std::string::npos, output.find("Checksums: 3 of 3 members carry one; 0 do not match"))
      << output;

  std::string package = readBytes(path("kxq5.dpk"));
  size_t at = package.find("marker");
  ASSERT_NE(std::string::npos, at);
  package[at] ^= 0x20;
  writeBytes(path("kxq5.dpk"), package);
  PackageReader damaged;
  EXPECT_EQ(static_cast<unsigned>(ERROR_INVALID_DATA), damaged.open(u16(path("kxq5.dpk"))));
  EXPECT_EQ(1, dpkpack("--list kxq5.dpk"));
  EXPECT_NE(std::string::npos, output.find("BAD, the bytes give")) << output;
  EXPECT_NE(std::string::npos, output.find("1 member(s) do not match")) << output;
}

// The header may take as much as the installer reads, and not a byte more:
// at the bound the package is written and opens; past it dpkpack refuses,
// naming both sizes, and writes nothing. Long names (deep folders) reach
// the bound with about a thousand files; a product name fills the rest.
TEST_F(DpkpackTest, HeaderUpToTheReadersBoundAndNoFurther) {
  std::string dir = "deep";
  for (int i = 0; i < 14; ++i) dir += "/" + std::string(240, static_cast<char>('a' + i));
  makeDirs(path(dir));
  const size_t kNameUnits = dir.size() - 5 + 1 + 40;  // relative to deep, with "\\" separators
  const uint64_t record = 4 + 4 + 2 * kNameUnits + 16 + config::kChecksumFieldBytes;
  // Selector, one description ("en", the product name, two empty texts), file count.
  const uint64_t fixed = 4 + 4 + (4 + 4 + 4 + 4 + 4 + 4) + 4;
  const uint64_t files = (config::kMaxHeaderBytes - fixed - 2) / record;
  const uint64_t productUnits = (config::kMaxHeaderBytes - fixed - files * record) / 2;
  ASSERT_LE(productUnits, config::kMaxProductTextUnits);
  for (uint64_t i = 0; i < files; ++i) {
    std::string name = std::to_string(i);
    writeBytes(path(dir + "/" + name + std::string(40 - name.size(), 'f')), "");
  }

  struct Case {
    uint64_t productUnits;
    int status;
  } cases[] = {{productUnits, 0}, {productUnits + 1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.productUnits);
    ASSERT_EQ(c.status, dpkpack("-p " + std::string(c.productUnits, 'P') + " deep")) << output;
    if (c.status == 0) {
      PackageReader reader;
      EXPECT_EQ(0u, reader.open(u16(path("kxq5.dpk"))));
      EXPECT_EQ(files, reader.files.size());
      ASSERT_EQ(0, unlink(path("kxq5.dpk").c_str()));
    } else {
      std::string size = std::to_string(config::kMaxHeaderBytes + 2);
      EXPECT_NE(std::string::npos, output.find("header would take " + size + " bytes, more than the " +
                                               std::to_string(config::kMaxHeaderBytes) + " bytes"))
          << output;
      EXPECT_FALSE(exists(path("kxq5.dpk")));
    }
  }
}

// A kit is what a vendor ships: the installer with the package beside it,
// under the names the installer looks for.
TEST_F(DpkpackTest, KitPutsTheInstallerBesideThePackage) {
  writeBytes(path("fake-setup"), "#!/bin/sh\necho fake\n");
  ASSERT_EQ(0, dpkpack("--kit out/kit --setup fake-setup -p P src")) << output;
  EXPECT_EQ("#!/bin/sh\necho fake\n", readBytes(path("out/kit/setup")));
  struct stat st;
  ASSERT_EQ(0, stat(path("out/kit/setup").c_str(), &st));
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  PackageReader reader;
  ASSERT_EQ(0u, reader.open(u16(path("out/kit/kxq5.dpk"))));
  EXPECT_EQ(3u, reader.files.size());
  EXPECT_FALSE(exists(path("out/kit/setup.new")));

  // A kit folder inside the tree would pack itself next time.
  EXPECT_EQ(2, dpkpack("--kit src/kit --setup fake-setup src"));
  EXPECT_NE(std::string::npos, output.find("must not lie inside the source directory")) << output;
  EXPECT_FALSE(exists(path("src/kit")));
}

}  // namespace
