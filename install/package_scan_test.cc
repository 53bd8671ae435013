#include "install/package_scan.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <map>

#include "install/install_data.h"
#include "install/lz_compressor.h"
#include "install/test_support.h"

using namespace test_support;

namespace {

typedef config::PackageScan<LZCompressor, FileSystem> Scan;
typedef config::InstallData<LZCompressor, FileSystem> Reader;

const unsigned kDamaged = ERROR_INVALID_DATA;

// Every member's bytes as the scan handed them over, in order, and the
// order in which members were begun.
struct Collector : config::MemberBytesSink {
  std::map<size_t, std::string> bytes;
  std::vector<size_t> began;
  void memberBytes(size_t index, uint64_t at, const unsigned char* data, size_t count) override {
    std::string& got = bytes[index];
    EXPECT_EQ(got.size(), at) << index;
    if (at == 0) began.push_back(index);
    got.append(reinterpret_cast<const char*>(data), count);
  }
};

// Members with their checksums; data laid out at the offsets given (or
// one behind the other where offset is -1).
struct Part {
  std::string name;
  std::string data;
  long offset = -1;
  bool checked = true;
};
std::string checkedImage(const std::vector<Part>& parts, std::string area = std::string()) {
  std::vector<package_format::MemberRecord> records;
  for (const Part& p : parts) {
    package_format::MemberRecord r;
    r.name = u16(p.name);
    r.lastWriteTime = fileTime(1);
    if (p.offset < 0) {
      r.offset = static_cast<uint32_t>(area.size());
      area += p.data;
    } else {
      r.offset = static_cast<uint32_t>(p.offset);
    }
    r.size = static_cast<uint32_t>(p.data.size());
    r.hasChecksum = p.checked;
    r.checksum = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(p.data.data()), static_cast<uInt>(p.data.size())));
    records.push_back(r);
  }
  return package_format::encodeHeader({}, false, records) + area;
}

class PackageScanTest : public ScratchTest {};

// The scan must judge every package as the reader does, which stores an
// image: a package the dry run calls sound is one the install takes.
TEST_F(PackageScanTest, JudgesPackagesAsTheReaderDoes) {
  const std::string big = pseudoRandomBytes(700000, 5);
  const std::string sound = checkedImage({{"a", "alpha"}, {"d/big", big}, {"z", ""}});
  std::string flipped = sound;
  flipped[flipped.size() - 1000] ^= 1;
  const struct {
    const char* what;
    std::string image;
    bool sound;
  } cases[] = {
      {"sound", sound, true},
      {"flipped byte in a member", flipped, false},
      {"cut inside the last member", sound.substr(0, sound.size() - 10), false},
      {"cut inside the header", sound.substr(0, 20), false},
      {"two members name one file", checkedImage({{"a/f", "1"}, {"a//f", "2"}}), false},
      {"tail within the bound", sound + std::string(1u << 20, '\0'), true},
      {"tail beyond the bound", sound + std::string((64u << 20) + (1u << 20), '\0'), false},
      {"member that leaves the target", checkedImage({{"../x", "1"}}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string package = writePackage(c.image);
    Reader reader;
    FsResult expected = reader.open(u16(package));
    EXPECT_EQ(c.sound, expected == 0);
    Scan scan;
    FsResult code = scan.readHeader(u16(package));
    if (code == 0) code = scan.scan(u16(package), nullptr);
    EXPECT_EQ(expected, code);
  }
}

// Two members that the install would write to one entry of the target
// directory make the package damaged, for both readers alike, at the
// header, and the refusal names both as the package gives them.
TEST_F(PackageScanTest, MembersThatWouldBeOneEntryAreRefusedByBothReaders) {
  const struct {
    std::vector<std::string> names;
    const char* first;  // the clash expected; none when null
    const char* second;
  } cases[] = {
      {{"a", "a\\b"}, "a", "a\\b"},
      {{"a\\b", "z", "a"}, "a", "a\\b"},  // the file that is a folder comes first
      {{"a", "a.txt", "a-b", "a/b"}, "a", "a/b"},  // not neighbours when sorted
      {{"d/a/deep/f", "d/a!", "d/a.txt", "d\\a"}, "d\\a", "d/a/deep/f"},
      {{"t\\.\\a", "t/a/b"}, "t\\.\\a", "t/a/b"},
      {{"a/f.txt", "other", "a\\f.txt"}, "a/f.txt", "a\\f.txt"},
      {{"a/f.txt", "a//f.txt"}, "a/f.txt", "a//f.txt"},
      {{"./a/./f.txt", "a/f.txt"}, "./a/./f.txt", "a/f.txt"},
      {{"f", "/f"}, "f", "/f"},
      {{"d\\\\e", "d/e"}, "d\\\\e", "d/e"},
      // A folder shared is no clash, nor are names that only begin alike.
      {{"a/b", "a\\c", "a.txt", "ab", "a b/c"}, nullptr, nullptr},
      {{"a", "ab/c", "a-b/c", "a.d/e"}, nullptr, nullptr},
      {{"x/y", "x/yz/w", "x/y.z/w"}, nullptr, nullptr},
      // Case is part of a name here: these are two files.
      {{"A/f", "a/f", "a/F"}, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    std::vector<Part> parts;
    std::string trace;
    for (const std::string& name : c.names) {
      parts.push_back({name, name});
      trace += " [" + name + "]";
    }
    SCOPED_TRACE(trace);
    std::string package = writePackage(checkedImage(parts));
    const unsigned expected = c.first == nullptr ? 0u : kDamaged;
    Reader whole, streaming;
    Scan scan;
    const struct {
      const char* reader;
      FsResult code;
      const config::MemberClash& clash;
    } verdicts[] = {
        {"whole image", whole.open(u16(package)), whole.memberClash()},
        {"header first", streaming.openHeader(u16(package)), streaming.memberClash()},
        {"no image", scan.readHeader(u16(package)), scan.memberClash()},
    };
    for (const auto& v : verdicts) {
      SCOPED_TRACE(v.reader);
      EXPECT_EQ(expected, v.code);
      EXPECT_EQ(c.first != nullptr, v.clash.found());
      if (c.first == nullptr) continue;
      EXPECT_EQ(c.first, u8(v.clash.first));
      EXPECT_EQ(c.second, u8(v.clash.second));
    }
    EXPECT_EQ(c.first == nullptr, !scan.files.empty());
    EXPECT_EQ(c.first == nullptr, !streaming.files.empty());
    // The install looks members up in the reader's paths: they stay sorted.
    const std::vector<stdx::u16string>& paths = streaming.memberPaths();
    EXPECT_TRUE(std::is_sorted(paths.begin(), paths.end()));
    if (expected == 0u) {
      EXPECT_EQ(0u, streaming.awaitImage(-1));
    }
  }
}

// Each member's bytes reach the sink whole and in order, across the
// inflate's pieces, also where members overlap or lie out of order.
TEST_F(PackageScanTest, HandsEveryMemberItsOwnBytes) {
  const std::string area = pseudoRandomBytes(400000, 9);
  std::vector<Part> parts = {
      {"late", area.substr(300000, 100000), 300000},
      {"whole", area, 0},
      {"middle", area.substr(1000, 250000), 1000},
      {"empty", "", 5},
      {"unchecked", area.substr(7, 3), 7, false},
  };
  std::string package = writePackage(checkedImage(parts, area));
  Scan scan;
  ASSERT_EQ(0u, scan.readHeader(u16(package)));
  ASSERT_EQ(parts.size(), scan.files.size());
  Collector sink;
  ASSERT_EQ(0u, scan.scan(u16(package), &sink));
  for (size_t i = 0; i < parts.size(); ++i) {
    SCOPED_TRACE(parts[i].name);
    EXPECT_TRUE(sink.bytes[i] == parts[i].data);
  }
  // Begun in the order their bytes begin (an empty one has none): a run
  // that writes them as they come, and its dry run, meet them alike.
  EXPECT_EQ((std::vector<size_t>{1, 4, 2, 0}), sink.began);
}

// Small members that begin and end within one piece of the inflate come
// in the package's order too, and the ones after them as well.
TEST_F(PackageScanTest, SmallMembersComeInTheirOrder) {
  std::vector<Part> parts;
  for (int i = 0; i < 6; ++i) parts.push_back({"m" + std::to_string(i), std::string(3 + i, 'a' + i)});
  parts.push_back({"big", pseudoRandomBytes(200000, 3)});
  std::string package = writePackage(checkedImage(parts));
  Scan scan;
  ASSERT_EQ(0u, scan.readHeader(u16(package)));
  Collector sink;
  ASSERT_EQ(0u, scan.scan(u16(package), &sink));
  EXPECT_EQ((std::vector<size_t>{0, 1, 2, 3, 4, 5, 6}), sink.began);
}

}  // namespace
