#include "install/lz_compressor.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include "install/test_support.h"

using namespace test_support;

namespace {

class LZCompressorTest : public ScratchTest {
 protected:
  FsResult unpack(const std::string& compressed, std::string& image) {
    writeBytes(path("in"), compressed);
    FsResult code = LZCompressor().unpack(u16(path("in")), u16(path("out")));
    image = readBytes(path("out"));
    return code;
  }
};

TEST_F(LZCompressorTest, InflatesStreamsOfBothEncodersByteForByte) {
  // Several output buffers, the last one partial; text and random bytes.
  std::string image = pseudoRandomBytes(3 * LZCompressor::kBufferSize + 1234, 7);
  for (int i = 0; i < 5000; ++i) image += "line " + std::to_string(i) + " of some text\n";
  std::string out;
  for (int level : {0, 1, 9}) {
    ASSERT_EQ(0u, unpack(package_format::deflateRaw(image, level), out)) << level;
    EXPECT_TRUE(out == image) << level;
  }
  std::string gz = gzipRawDeflate(image);
  if (gz.empty()) GTEST_SKIP() << "gzip not available";
  ASSERT_EQ(0u, unpack(gz, out));
  EXPECT_TRUE(out == image);
}

TEST_F(LZCompressorTest, OverwritesALongerDestinationWhole) {
  writeBytes(path("out"), std::string(100000, 'x'));
  writeBytes(path("in"), package_format::deflateRaw("short", 6));
  ASSERT_EQ(0u, LZCompressor().unpack(u16(path("in")), u16(path("out"))));
  EXPECT_EQ("short", readBytes(path("out")));
}

TEST_F(LZCompressorTest, RejectsGzipAndCorruptStreams) {
  std::string out;
  std::string gz = gzipFile("some text to pack");
  if (!gz.empty()) {
    EXPECT_EQ(static_cast<unsigned>(ERROR_INVALID_DATA), unpack(gz, out));
  }
  // A block of the reserved type, with input left behind it.
  EXPECT_EQ(static_cast<unsigned>(ERROR_INVALID_DATA), unpack(std::string("\xFF\xFF\xFF\xFF", 4), out));
}

TEST_F(LZCompressorTest, StreamCutShortOrFollowedByJunkIsNotAnError) {
  std::string image = pseudoRandomBytes(200000, 11);
  std::string stream = package_format::deflateRaw(image, 6);
  std::string out;
  ASSERT_EQ(0u, unpack(stream.substr(0, stream.size() / 2), out));
  EXPECT_LT(out.size(), image.size());
  EXPECT_EQ(image.substr(0, out.size()), out);

  ASSERT_EQ(0u, unpack(stream + "trailing junk", out));
  EXPECT_TRUE(out == image);
}

// What happens to the package at the first piece of output, while most of
// it is still to be read.
struct Change {
  std::string path;
  int kind;  // 0 nothing, 1 cut to half, 2 extended, 3 replaced by rename
  bool done = false;
  std::string image;  // what the inflate handed out
};

unsigned changePackage(void* context, const void* data, unsigned count) {
  Change& c = *static_cast<Change*>(context);
  c.image.append(static_cast<const char*>(data), count);
  if (c.done) return 0;
  c.done = true;
  std::string bytes = readBytes(c.path);
  if (c.kind == 1) {
    EXPECT_EQ(0, truncate(c.path.c_str(), static_cast<off_t>(bytes.size() / 2)));
  }
  if (c.kind == 2) writeBytes(c.path, bytes + "more");
  if (c.kind == 3) {
    writeBytes(c.path + ".new", bytes);
    EXPECT_EQ(0, rename((c.path + ".new").c_str(), c.path.c_str()));
  }
  return 0;
}

// Whichever inflater reads it: the build's, and zlib's.
TEST_F(LZCompressorTest, PackageThatChangesWhileItIsReadIsDamaged) {
  // Stored blocks: the stream is several input pieces long.
  std::string image = pseudoRandomBytes(4 * LZCompressor::kInputBytes, 5);
  std::string stream = package_format::deflateRaw(image, 0);
  const char* names[] = {"untouched", "cut to half", "extended", "replaced"};
  struct Inflater {
    const char* name;
    lz_detail::InflateFunction inflate;
  } inflaters[] = {{"the build's", &lz_detail::inflatePackage}, {"zlib", &lz_detail::inflateWithZlib}};
  for (const Inflater& inflater : inflaters) {
    for (int kind = 0; kind < 4; ++kind) {
      SCOPED_TRACE(std::string(names[kind]) + ", " + inflater.name);
      writeBytes(path("in"), stream);
      Change change{path("in"), kind, false, std::string()};
      LZCompressor compressor(inflater.inflate);
      FsResult code = compressor.unpackTo<FileSystem>(u16(path("in")), &changePackage, &change);
      EXPECT_EQ(kind == 0 ? 0u : static_cast<unsigned>(ERROR_INVALID_DATA), code);
      if (kind == 0) {
        EXPECT_TRUE(change.image == image);
      }
    }
  }
}

TEST_F(LZCompressorTest, EmptySourceGivesEmptyImage) {
  std::string out = "x";
  EXPECT_EQ(0u, unpack(std::string(), out));
  EXPECT_TRUE(exists(path("out")));
  EXPECT_EQ("", out);
}

TEST_F(LZCompressorTest, MissingSourceLeavesDestinationAlone) {
  EXPECT_EQ(static_cast<unsigned>(ERROR_FILE_NOT_FOUND),
            LZCompressor().unpack(u16(path("missing")), u16(path("out"))));
  EXPECT_FALSE(exists(path("out")));
}

TEST_F(LZCompressorTest, PackTouchesNothing) {
  writeBytes(path("in"), "data");
  EXPECT_EQ(1u, LZCompressor().pack(u16(path("in")), u16(path("out"))));
  EXPECT_FALSE(exists(path("out")));
  EXPECT_EQ("data", readBytes(path("in")));
}

}  // namespace
