// The package inflate of this build against zlib's, stream by stream (see
// fuzz/inflate_oracle.h for what must agree): the fuzz corpora and past
// findings, packages made by every encoder at hand, and many randomly
// damaged copies of the small ones, whole and in small input pieces.
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/inflate_oracle.h"
#include "install/test_support.h"
#include "tools/package_writer.h"

using namespace test_support;

namespace {

struct Stream {
  std::string origin;
  std::string bytes;
};

std::string isalRaw(const std::string& image, unsigned level) {
  isal_zstream s;
  isal_deflate_init(&s);
  std::vector<uint8_t> levelBuffer(ISAL_DEF_LVL3_DEFAULT);
  s.level = level;
  s.level_buf = levelBuffer.data();
  s.level_buf_size = static_cast<uint32_t>(levelBuffer.size());
  s.end_of_stream = 1;
  s.flush = NO_FLUSH;
  std::string out(image.size() + image.size() / 8 + 1024, '\0');
  s.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(image.data()));
  s.avail_in = static_cast<uint32_t>(image.size());
  s.next_out = reinterpret_cast<uint8_t*>(&out[0]);
  s.avail_out = static_cast<uint32_t>(out.size());
  if (isal_deflate(&s) != COMP_OK || s.internal_state.state != ZSTATE_END) return std::string();
  out.resize(s.total_out);
  return out;
}

std::vector<std::string> sampleImages() {
  std::vector<std::string> images;
  std::string text;
  for (int i = 0; i < 900; ++i) text += "member " + std::to_string(i * 7919 % 1000) + " of the kit\n";
  images.push_back(text);
  images.push_back(pseudoRandomBytes(9000, 3));
  images.push_back(text.substr(0, 5000) + pseudoRandomBytes(5000, 4) + std::string(6000, '\0'));
  images.push_back("x");
  images.push_back(std::string());
  // Several output buffers of the inflaters, the last one partial.
  std::string large = pseudoRandomBytes(300000, 5);
  for (int i = 0; i < 20000; ++i) large += "line " + std::to_string(i) + "\n";
  images.push_back(large);
  for (const std::string& dir : {std::string(SOURCE_DIR "/fuzz/corpus/image")}) {
    for (const std::string& name : fuzz_support::entries(dir)) images.push_back(readBytes(dir + "/" + name));
  }
  return images;
}

std::vector<Stream> encodedStreams(std::string* programs = nullptr) {
  std::vector<Stream> streams;
  std::vector<std::string> images = sampleImages();
  for (size_t i = 0; i < images.size(); ++i) {
    const std::string& image = images[i];
    std::string tag = "image " + std::to_string(i) + ", ";
    for (int level = 0; level <= 9; ++level)
      streams.push_back({tag + "zlib " + std::to_string(level), package_format::deflateRaw(image, level, Z_DEFAULT_STRATEGY, 15)});
    for (int strategy : {Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED})
      streams.push_back({tag + "zlib strategy " + std::to_string(strategy), package_format::deflateRaw(image, 6, strategy, 15)});
    streams.push_back({tag + "zlib small window", package_format::deflateRaw(image, 9, Z_DEFAULT_STRATEGY, 9)});
    for (unsigned level = 0; level <= 3; ++level)
      streams.push_back({tag + "ISA-L " + std::to_string(level), isalRaw(image, level)});
    struct Tool {
      const char* name;
      std::vector<const char*> argv;
      bool gzip;
    };
    const Tool tools[] = {
        {"gzip -1", {"gzip", "-1", "-c", nullptr}, true},
        {"gzip -9", {"gzip", "-9", "-c", nullptr}, true},
        {"python zlib",
         {"python3", "-c",
          "import sys,zlib\nc=zlib.compressobj(9,zlib.DEFLATED,-15)\n"
          "sys.stdout.buffer.write(c.compress(sys.stdin.buffer.read())+c.flush())",
          nullptr},
         false},
        {"zopfli", {"zopfli", "--deflate", "-c", "/dev/stdin", nullptr}, false},
        {"7z", {"7z", "a", "-tgzip", "-mx=9", "-si", "-so", "-bd", "dummy", nullptr}, true},
    };
    for (const Tool& tool : tools) {
      std::string out;
      if (!runFilter(tool.argv.data(), image, out)) continue;
      if (tool.gzip) out = stripGzip(out);
      if (out.empty()) continue;
      streams.push_back({tag + tool.name, out});
      if (programs != nullptr && i == 0) *programs += std::string(" ") + tool.name + ",";
    }
  }
  return streams;
}

std::vector<Stream> corpusStreams() {
  std::vector<Stream> streams;
  for (const char* dir : {SOURCE_DIR "/fuzz/corpus/package", SOURCE_DIR "/fuzz/findings/package",
                          SOURCE_DIR "/fuzz/corpus/inflate", SOURCE_DIR "/fuzz/findings/inflate"}) {
    for (const std::string& name : fuzz_support::entries(dir))
      streams.push_back({std::string(dir) + "/" + name, readBytes(std::string(dir) + "/" + name)});
  }
  return streams;
}

void expectAgreement(const Stream& s) {
  const uint8_t* data = reinterpret_cast<const uint8_t*>(s.bytes.data());
  EXPECT_EQ("", inflate_oracle::compare(data, s.bytes.size())) << s.origin;
  EXPECT_EQ("", inflate_oracle::compare(data, s.bytes.size(), 100)) << s.origin << " in pieces";
}

TEST(InflateDifferential, CorporaAndEveryEncoderAgreeWithZlib) {
  std::vector<Stream> streams = corpusStreams();
  ASSERT_FALSE(streams.empty());
  std::string programs;
  std::vector<Stream> encoded = encodedStreams(&programs);
  printf("streams of zlib, ISA-L and these programs:%s\n", programs.c_str());
  streams.insert(streams.end(), encoded.begin(), encoded.end());
  for (const Stream& s : streams) expectAgreement(s);
  // Cut short at several points: accepted with what came so far.
  for (const Stream& s : encoded) {
    for (size_t cut : {s.bytes.size() / 3, s.bytes.size() - 1})
      expectAgreement({s.origin + " cut at " + std::to_string(cut), s.bytes.substr(0, cut)});
  }
}

TEST(InflateDifferential, DamagedStreamsAgreeWithZlibOrAreTheKnownCase) {
  std::vector<Stream> bases = corpusStreams();
  for (const Stream& s : encodedStreams()) {
    if (s.bytes.size() > 2 && s.bytes.size() < 20000) bases.push_back(s);
  }
  std::mt19937 random(20261209);
  size_t damaged = 0, known = 0;
  for (const Stream& base : bases) {
    if (base.bytes.empty()) continue;
    for (int round = 0; round < 40; ++round) {
      std::string bytes = base.bytes;
      size_t at = random() % bytes.size();
      switch (round % 4) {
        case 0: bytes[at] ^= static_cast<char>(1u << (random() % 8)); break;
        case 1: bytes[at] = static_cast<char>(random()); break;
        case 2:
          for (int k = 0; k < 3; ++k) bytes[random() % bytes.size()] ^= static_cast<char>(1u << (random() % 8));
          break;
        case 3: bytes.erase(at, 1 + random() % 4); break;
      }
      const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
      inflate_oracle::Reference z = inflate_oracle::zlibReference(data, bytes.size());
      known += inflate_oracle::knownDifference(data, bytes.size(), z);
      ++damaged;
      expectAgreement({base.origin + " damaged, round " + std::to_string(round), bytes});
    }
  }
  // How often the known case comes up (it is allowed, not required).
  printf("%zu damaged streams, %zu refused by zlib for an incomplete Huffman code\n", damaged, known);
}

}  // namespace
