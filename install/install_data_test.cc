#include "install/install_data.h"

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
#include <zlib.h>

#include <functional>

#include "install/checksum.h"
#include "install/faulty_file_system.h"
#include "install/install_data_fixture.h"
#include "install/lz_compressor.h"
#include "install/test_support.h"

using namespace install_data_test;

namespace {

TEST_F(InstallDataTest, ReadsBothLayoutsFromBothEncoders) {
  std::vector<TestMember> members = {
      {"readme.txt", "read me\n", fileTime(1500000000, 1234567)},
      {"a\\b\\c.bin", pseudoRandomBytes(5000, 1), fileTime(1600000000)},
  };
  std::vector<config::ProductInfo> products = {product("en", "Product", "Vendor", "readme.txt"),
                                               product("de", "Produkt", "Anbieter", "")};
  for (bool secondEncoder : {false, true}) {
    SCOPED_TRACE(secondEncoder ? "gzip" : "zlib");
    if (secondEncoder && gzipRawDeflate("x").empty()) GTEST_SKIP() << "gzip not available";
    {
      Reader reader;
      ASSERT_EQ(0u, openImage(reader, makeImage(products, false, members), secondEncoder));
      ASSERT_EQ(2u, reader.products.size());
      EXPECT_TRUE(reader.products[1].language == u"de");
      EXPECT_TRUE(reader.products[1].productName == u"Produkt");
      EXPECT_TRUE(reader.products[1].providerName == u"Anbieter");
      ASSERT_EQ(2u, reader.files.size());
      EXPECT_TRUE(reader.files[1].name == u"a\\b\\c.bin");
      EXPECT_EQ(1234567u + fileTime(1500000000).dwLowDateTime, reader.files[0].lastWriteTime.dwLowDateTime);
      EXPECT_EQ(members[0].data, copyOut(reader, 0));
      EXPECT_EQ(members[1].data, copyOut(reader, 1));
    }
    {
      Reader reader;
      ASSERT_EQ(0u, openImage(reader, makeImage({product("", "P", "V", "readme.txt")}, true, members),
                              secondEncoder));
      ASSERT_EQ(1u, reader.products.size());
      EXPECT_TRUE(reader.products[0].language == u"en");
      EXPECT_TRUE(reader.products[0].productName == u"P");
      EXPECT_TRUE(reader.products[0].readme == u"readme.txt");
      ASSERT_EQ(2u, reader.files.size());
      EXPECT_EQ(members[1].data, copyOut(reader, 1));
    }
  }
}

TEST_F(InstallDataTest, SkipsExtraBytesAndFollowsOffsetsOutOfOrder) {
  // Records longer than their fields; members listed in another order
  // than their data, with gaps between them.
  std::string image;
  package_format::putWord(image, 7);  // any selector but 0: multi-language
  package_format::putWord(image, 2);
  package_format::putProductRecord(image, product("en", "P", "V", "r.txt"), 13);
  package_format::putProductRecord(image, product("ru", "П", "В", ""), 1);
  package_format::putWord(image, 2);
  package_format::putFileRecord(image, {u"second", fileTime(1), 10, 4}, 9);
  package_format::putFileRecord(image, {u"first", fileTime(2), 2, 3}, 0);
  image += "..AAA.....BBBB..";

  Reader reader;
  ASSERT_EQ(0u, openImage(reader, image));
  ASSERT_EQ(2u, reader.products.size());
  EXPECT_TRUE(reader.products[0].readme == u"r.txt");
  EXPECT_TRUE(reader.products[1].language == u"ru");
  ASSERT_EQ(2u, reader.files.size());
  EXPECT_TRUE(reader.files[0].name == u"second");
  EXPECT_EQ("BBBB", copyOut(reader, 0));
  EXPECT_EQ("AAA", copyOut(reader, 1));
}

TEST_F(InstallDataTest, CopiesMembersOfEverySizeExactly) {
  const size_t mib = Reader::kCopyBufferSize;
  std::vector<TestMember> members = {
      {"empty", "", fileTime(1000000000)},
      {"big", pseudoRandomBytes(2 * mib + mib / 2, 2), fileTime(1000000001)},
      {"just-over", pseudoRandomBytes(mib + 17, 3), fileTime(1000000002)},
      {"exact", pseudoRandomBytes(mib, 4), fileTime(1000000003)},
      {"small", "tail", fileTime(1000000004, 9999999)},
  };
  Reader reader;
  ASSERT_EQ(0u, openImage(reader, makeImage({}, false, members)));
  ASSERT_EQ(members.size(), reader.files.size());
  for (size_t i = 0; i < members.size(); ++i) {
    std::string out = path("out-" + std::to_string(i));
    writeBytes(out, std::string(3 * mib, 'z'));  // a longer file is cut to the member
    ASSERT_EQ(0u, reader.copy(i, u16(out)));
    EXPECT_TRUE(readBytes(out) == members[i].data) << members[i].name;
    // Installed in whole seconds: the fraction of the last member is dropped.
    EXPECT_EQ(static_cast<time_t>(1000000000 + i), modificationTime(out)) << members[i].name;
  }
  EXPECT_EQ(static_cast<unsigned>(ERROR_INVALID_PARAMETER), reader.copy(members.size(), u16(path("x"))));
}

// Pieces of a small multi-language image, to damage one at a time.
struct ImageParts {
  std::string products;  // product count and records
  std::string fileCount;
  std::string fileRecords;
  std::string data;
  std::string join() const {
    std::string image;
    package_format::putWord(image, 1);
    return image + products + fileCount + fileRecords + data;
  }
};

ImageParts validParts() {
  ImageParts p;
  package_format::putWord(p.products, 1);
  package_format::putProductRecord(p.products, product("en", "P", "V", "r.txt"));
  package_format::putWord(p.fileCount, 1);
  package_format::putFileRecord(p.fileRecords, {u"a.txt", fileTime(5), 0, 3});
  p.data = "abc";
  return p;
}

void setWord(std::string& bytes, size_t at, uint32_t value) {
  std::string w;
  package_format::putWord(w, value);
  bytes.replace(at, 4, w);
}

TEST_F(InstallDataTest, RefusesHeadersThatTheImageCannotHold) {
  {
    Reader reader;
    ASSERT_EQ(0u, openImage(reader, validParts().join()));
  }
  std::vector<std::pair<std::string, std::string>> cases;
  ImageParts p;
  p = validParts(); setWord(p.products, 4, 3);
  cases.push_back({"product record length below 4", p.join()});
  p = validParts(); setWord(p.products, 4, 0x7FFFFFFF);
  cases.push_back({"product record past the image", p.join()});
  p = validParts(); setWord(p.products, 0, 0xFFFFFFFF);
  cases.push_back({"product count of 4 billion", p.join()});
  p = validParts(); setWord(p.products, 8, 100);
  cases.push_back({"string past its record", p.join()});
  p = validParts(); setWord(p.fileCount, 0, 0xFFFFFFFF);
  cases.push_back({"file count of 4 billion", p.join()});
  p = validParts(); setWord(p.fileRecords, 0, 4 + 14 + 12);
  cases.push_back({"file record too short for its words", p.join()});
  p = validParts(); setWord(p.fileRecords, 0, 0xFFFFFFFF);
  cases.push_back({"file record length of 4 GiB", p.join()});
  p = validParts(); setWord(p.fileRecords, 30, 4);
  cases.push_back({"member past the end of the image", p.join()});
  p = validParts(); setWord(p.fileRecords, 26, 0xFFFFFFFF);
  cases.push_back({"member offset wrapping around", p.join()});
  cases.push_back({"image cut inside a file record", validParts().join().substr(0, 60)});
  cases.push_back({"image cut inside the selector", std::string("\1\0", 2)});
  cases.push_back({"empty image", std::string()});

  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].first);
    Reader reader;
    EXPECT_EQ(kDamaged, openImage(reader, cases[i].second));
    EXPECT_TRUE(reader.files.empty());
    EXPECT_TRUE(reader.imageHandle() == INVALID_HANDLE_VALUE);
    EXPECT_TRUE(tempEntries().empty());
    Reader streaming;
    EXPECT_EQ(kDamaged, openStreaming(streaming, cases[i].second));
  }
}

TEST_F(InstallDataTest, RefusesNamesThatLeaveTheTargetDirectory) {
  const char16_t nulName[] = {u'.', u'.', 0, u'x', u'/', u'f', 0};
  const char16_t surrogateName[] = {u'.', u'.', 0xD800, u'/', u'f', 0};
  // Would narrow to the raw byte 0xE9: not the name the package gives.
  const char16_t escapedByteName[] = {u't', 0xDCE9, u'x', 0};
  std::vector<stdx::u16string> hostile = {
      u"..\\evil", u"a/../../evil", u"a\\..\\..\\evil", u"..", u"a/..",
      stdx::u16string(nulName, 6), stdx::u16string(surrogateName, 5), stdx::u16string(escapedByteName),
      u"", u"dir\\", u"dir/.",
  };
  for (size_t i = 0; i < hostile.size(); ++i) {
    SCOPED_TRACE(i);
    std::string image;
    package_format::putWord(image, 1);
    package_format::putWord(image, 0);
    package_format::putWord(image, 2);
    package_format::putFileRecord(image, {u"fine.txt", fileTime(5), 0, 1});
    package_format::putFileRecord(image, {hostile[i], fileTime(5), 0, 1});
    image += "x";
    Reader reader;
    EXPECT_EQ(kDamaged, openImage(reader, image));
    EXPECT_TRUE(reader.files.empty());
  }
  // A readme that climbs out is refused too: the wizard opens it.
  Reader reader;
  EXPECT_EQ(kDamaged, openImage(reader, makeImage({product("en", "P", "V", "..\\..\\etc\\passwd")},
                                                  false, {})));

  // Names that only look alike, and a leading separator, are fine.
  Reader fine;
  ASSERT_EQ(0u, openImage(fine, makeImage({}, false,
                                          {{"\\lead\\x", "1", fileTime(1)},
                                           {"/lead2", "2", fileTime(1)},
                                           {"a..b/...", "3", fileTime(1)},
                                           {"./dot", "4", fileTime(1)}})));
  EXPECT_EQ(4u, fine.files.size());
}

// An inflate that hands the image on in pieces of the sizes given, in
// turn: smaller and larger than the ring's slots.
struct PiecewiseInflate {
  static std::vector<size_t> sizes;
  template <class FS>
  FsResult unpackTo(const stdx::u16string& source, lz_detail::WriteFunction write, void* context) const {
    std::string image;
    FsResult code = LZCompressor().unpackTo<FS>(
        source,
        [](void* out, const void* data, unsigned count) -> FsResult {
          static_cast<std::string*>(out)->append(static_cast<const char*>(data), count);
          return FsResult();
        },
        &image);
    for (size_t at = 0, i = 0; code == 0 && at < image.size(); ++i) {
      size_t n = std::min(sizes[i % sizes.size()], image.size() - at);
      code = write(context, image.data() + at, static_cast<unsigned>(n));
      at += n;
    }
    return code;
  }
};
std::vector<size_t> PiecewiseInflate::sizes;

// However the decompressor cuts the image, the reader stores the same one:
// pieces larger than the ring's slots pass too.
TEST_F(InstallDataTest, PiecesOfAnySizeGiveTheSameMembers) {
  std::vector<TestMember> members = {{"big", pseudoRandomBytes(900000, 4), fileTime(1)},
                                     {"small", "s", fileTime(1)},
                                     {"mid", pseudoRandomBytes(140000, 5), fileTime(1)}};
  std::string package = writePackage(makeImage({}, false, members));
  const std::vector<std::vector<size_t>> cuts = {
      {131072}, {131073, 1}, {300000, 7, 131072}, {1, 2, 3, 70000}};
  for (const auto& cut : cuts) {
    PiecewiseInflate::sizes = cut;
    for (bool headerFirst : {false, true}) {
      SCOPED_TRACE(std::to_string(cut.front()) + (headerFirst ? ", header first" : ", whole image"));
      config::InstallData<PiecewiseInflate, FileSystem> reader;
      ASSERT_EQ(0u, headerFirst ? reader.openHeader(u16(package)) : reader.open(u16(package)));
      ASSERT_EQ(0u, reader.awaitImage(-1));
      for (size_t i = 0; i < members.size(); ++i) {
        std::string out = path("out-" + std::to_string(i));
        ASSERT_EQ(0u, reader.copy(i, u16(out)));
        EXPECT_TRUE(readBytes(out) == members[i].data) << members[i].name;
      }
    }
  }
}

// The inflate policy that counts its runs; it inflates as the build's does.
struct CountingInflate {
  static int runs;
  template <class FS>
  FsResult unpackTo(const stdx::u16string& source, lz_detail::WriteFunction write, void* context) const {
    ++runs;
    return LZCompressor().unpackTo<FS>(source, write, context);
  }
};
int CountingInflate::runs = 0;

// One inflater runs once from the first byte, whatever the header says of
// the members' checksums and whichever open reads the package: a package
// inflated twice costs the time of a second inflate, and two inflaters
// could give two images.
TEST_F(InstallDataTest, InflatesEachPackageOnceWhateverItsChecksums) {
  auto image = [](bool tagSecond) {
    std::string out;
    package_format::putWord(out, 1);
    package_format::putWord(out, 0);
    package_format::putWord(out, 2);
    package_format::MemberRecord a = {u"a", fileTime(1), 0, 3};
    a.hasChecksum = true;
    a.checksum = crc32Update(0, "aaa", 3);
    package_format::MemberRecord b = {u"b", fileTime(1), 3, 3};
    b.hasChecksum = tagSecond;
    b.checksum = crc32Update(0, "bbb", 3);
    package_format::putFileRecord(out, a);
    package_format::putFileRecord(out, b);
    return out + "aaabbb";
  };
  struct Case {
    const char* what;
    bool tagSecond, headerFirst, checkMembers;
  } cases[] = {
      {"every member checked", true, true, true},
      {"one member without a checksum", false, true, true},
      {"checksums not compared", true, true, false},
      {"whole image first", true, false, true},
      {"whole image first, one member without a checksum", false, false, true},
  };
  for (const Case& c : cases) {
    for (int round = 0; round < 20; ++round) {
      config::InstallData<CountingInflate, FileSystem> reader;
      CountingInflate::runs = 0;
      std::string package = writePackage(image(c.tagSecond));
      FsResult code = c.headerFirst ? reader.openHeader(u16(package), c.checkMembers)
                                    : reader.open(u16(package), c.checkMembers);
      ASSERT_EQ(0u, code) << c.what;
      if (c.headerFirst) {
        ASSERT_EQ(0u, reader.awaitImage(-1)) << c.what;
      }
      ASSERT_EQ(0u, reader.copy(1, u16(path("copy")))) << c.what;
      EXPECT_EQ("bbb", readBytes(path("copy"))) << c.what;
      EXPECT_EQ(1, CountingInflate::runs) << c.what << ", round " << round;
    }
  }
}

// Members with and without the checksum field, in one image: big enough
// that the check crosses copy-buffer boundaries, laid out out of order.
TEST_F(InstallDataTest, ChecksumsRefuseAFlippedByteAndLeaveUntaggedMembersAlone) {
  const std::string big = pseudoRandomBytes(Reader::kCopyBufferSize + 4321, 7);
  const std::string small = "small member";
  const uint32_t bigCrc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(big.data()),
                                                      static_cast<uInt>(big.size())));
  const uint32_t smallCrc = static_cast<uint32_t>(crc32(
      0, reinterpret_cast<const Bytef*>(small.data()), static_cast<uInt>(small.size())));
  // data: small at 0, big behind it; the records list big first.
  auto image = [&](bool tagBig, bool tagSmall, uint32_t fillerAfter) {
    std::string out;
    package_format::putWord(out, 1);
    package_format::putWord(out, 0);
    package_format::putWord(out, 2);
    package_format::MemberRecord b = {u"big", fileTime(1), static_cast<uint32_t>(small.size()),
                                      static_cast<uint32_t>(big.size())};
    b.hasChecksum = tagBig;
    b.checksum = bigCrc;
    package_format::MemberRecord m = {u"dir/small", fileTime(2), 0, static_cast<uint32_t>(small.size())};
    m.hasChecksum = tagSmall;
    m.checksum = smallCrc;
    package_format::putFileRecord(out, b, fillerAfter);
    package_format::putFileRecord(out, m, fillerAfter);
    return out + small + big;
  };
  const size_t dataStart = image(true, true, 0).size() - small.size() - big.size();
  auto flip = [](std::string bytes, size_t at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    return bytes;
  };
  struct Case {
    const char* what;
    std::string image;
    unsigned code;
  } cases[] = {
      {"both tagged, intact", image(true, true, 0), 0},
      {"tagged, filler behind the field", image(true, true, 5), 0},
      {"flip in the big member's last byte", flip(image(true, true, 0), dataStart + small.size() + big.size() - 1), kDamaged},
      {"flip in the small member", flip(image(true, false, 3), dataStart + 3), 0},
      {"flip in the small member, tagged", flip(image(false, true, 0), dataStart + 3), kDamaged},
      {"flip in a stored checksum", flip(image(true, true, 0), dataStart - 1), kDamaged},
      {"no tags: a flip goes unnoticed, as before", flip(image(false, false, 9), dataStart + 3), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      Reader streaming;
      EXPECT_EQ(c.code, openStreaming(streaming, c.image));
    }
    Reader reader;
    ASSERT_EQ(c.code, openImage(reader, c.image));
    if (c.code != 0) {
      EXPECT_TRUE(reader.files.empty());
      EXPECT_TRUE(tempEntries().empty());
      continue;
    }
    ASSERT_EQ(2u, reader.files.size());
    std::vector<unsigned> crcs;
    ASSERT_EQ(0u, reader.memberChecksums(crcs));
    EXPECT_EQ(bigCrc, crcs[0]);
    EXPECT_TRUE(big == copyOut(reader, 0));
  }
  // A damaged package is reported, but a tool may still open it to say
  // which member is bad.
  Reader reader;
  ASSERT_EQ(0u, reader.open(u16(writePackage(flip(image(true, true, 0), dataStart + 1))), false));
  std::vector<unsigned> crcs;
  ASSERT_EQ(0u, reader.memberChecksums(crcs));
  EXPECT_EQ(bigCrc, crcs[0]);
  EXPECT_NE(smallCrc, crcs[1]);
}

TEST_F(InstallDataTest, GzipFileIsRefusedWithoutLeavingAnImage) {
  std::string gz = gzipFile(makeImage({}, false, {{"a", "b", fileTime(1)}}));
  if (gz.empty()) GTEST_SKIP() << "gzip not available";
  writeBytes(path("kxq5.dpk"), gz);
  Reader reader;
  EXPECT_EQ(kDamaged, reader.open(u16(path("kxq5.dpk"))));
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(InstallDataTest, MissingPackageReportsNotFound) {
  Reader reader;
  EXPECT_EQ(static_cast<unsigned>(ERROR_FILE_NOT_FOUND), reader.open(u16(path("nothing.dpk"))));
  EXPECT_TRUE(tempEntries().empty());
}

TEST_F(InstallDataTest, ImageHasNoNameWhileTheReaderHoldsIt) {
  std::string image = makeImage({}, false, {{"a", "b", fileTime(1)}});
  Reader reader;
  ASSERT_EQ(0u, openImage(reader, image));
  // Not even a kill could leave it behind: it has no name to leave.
  EXPECT_TRUE(tempEntries().empty());
  long high = 0;
  EXPECT_EQ(image.size(), FileSystem::SetFilePointer(reader.imageHandle(), 0, &high, FILE_END));
  EXPECT_EQ("b", copyOut(reader, 0));
}

TEST_F(InstallDataTest, MembersThatNameOneFileMakeThePackageDamaged) {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"a\\f.txt", "a/f.txt"}, {"a/f.txt", "a//f.txt"}, {"a/f.txt", "./a/./f.txt"},
      {"f", "/f"}, {"d\\\\e", "d/e"},
  };
  for (const auto& pair : pairs) {
    SCOPED_TRACE(pair.first + " and " + pair.second);
    Reader reader;
    EXPECT_EQ(kDamaged, openImage(reader, makeImage({}, false,
                                                    {{pair.first, "1", fileTime(1)},
                                                     {"other", "2", fileTime(1)},
                                                     {pair.second, "3", fileTime(1)}})));
    EXPECT_TRUE(reader.files.empty());
  }
  // Case is part of a name: these are two files.
  Reader reader;
  EXPECT_EQ(0u, openImage(reader, makeImage({}, false,
                                            {{"A/f", "1", fileTime(1)}, {"a/f", "2", fileTime(1)}})));
}

TEST_F(InstallDataTest, CopyFailsWhenTheImageEndsInsideTheMember) {
  Reader reader;
  ASSERT_EQ(0u, openImage(reader, makeImage({}, false, {{"a", pseudoRandomBytes(5000, 1), fileTime(1)}})));
  ASSERT_EQ(2000u, FileSystem::SetFilePointer(reader.imageHandle(), 2000, nullptr, FILE_BEGIN));
  ASSERT_EQ(0u, FileSystem::SetEndOfFile(reader.imageHandle()));
  EXPECT_EQ(kDamaged, reader.copy(0, u16(path("out"))));
}

TEST_F(InstallDataTest, ReadmeFallsBackToEnglish) {
  Reader reader;
  ASSERT_EQ(0u, openImage(reader, makeImage({product("de", "P", "V", "liesmich.txt"),
                                             product("ru", "P", "V", ""),
                                             product("EN", "P", "V", "readme.txt"),
                                             product("en", "P", "V", "second.txt")},
                                            false, {})));
  EXPECT_TRUE(reader.getReadme(u"DE") == u"liesmich.txt");
  EXPECT_TRUE(reader.getReadme(u"ru") == u"readme.txt");
  EXPECT_TRUE(reader.getReadme(u"tr") == u"readme.txt");

  Reader noEnglish;
  ASSERT_EQ(0u, openImage(noEnglish, makeImage({product("ru", "P", "V", "")}, false, {})));
  EXPECT_TRUE(noEnglish.getReadme(u"ru").empty());
  Reader none;
  EXPECT_TRUE(none.getReadme(u"en").empty());
}

TEST_F(InstallDataTest, FailingCallsReportTheirCodeAndDropTheImage) {
  std::string package = writePackage(makeImage({}, false, {{"a", "bytes", fileTime(1)}}));
  {
    FaultyReader reader;
    FaultyFileSystem::failOn(FaultyFileSystem::kReadFile, 1, EINVAL);
    EXPECT_EQ(static_cast<unsigned>(ERROR_INVALID_PARAMETER), reader.open(u16(package)));
    EXPECT_EQ(1u, FaultyFileSystem::failures());
    EXPECT_TRUE(tempEntries().empty());
  }
  FaultyReader reader;
  FaultyFileSystem::reset();
  ASSERT_EQ(0u, reader.open(u16(package)));
  FaultyFileSystem::failOn(FaultyFileSystem::kWriteFile, 1, EINVAL);
  EXPECT_EQ(static_cast<unsigned>(ERROR_INVALID_PARAMETER), reader.copy(0, u16(path("out"))));
  FaultyFileSystem::failOn(FaultyFileSystem::kSetFileTime, 1, EPERM);
  EXPECT_EQ(static_cast<unsigned>(ERROR_ACCESS_DENIED), reader.copy(0, u16(path("out"))));
  FaultyFileSystem::reset();
  EXPECT_EQ(0u, reader.copy(0, u16(path("out"))));
  EXPECT_EQ("bytes", readBytes(path("out")));
}

}  // namespace
