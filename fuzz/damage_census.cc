// What damage gets through each inflater: builds packages from real files
// (a folder of this machine), in both kinds (members with checksums, zlib
// level 9; and without, level 6, as other packers write them), damages
// many copies of each in three places (the bytes that code the package
// header, the headers of dynamic blocks, the bytes that code the members'
// data), and reads every copy as the dry run does, once with zlib's
// inflate and once with the fast one. For each it counts the copies
// refused, those that install what was packed (damage that changed
// nothing used), and those that would install something else: what
// reaches the target.
//
//   damage_census [FOLDER] [COPIES] [SEED]
// FOLDER defaults to /usr/share/X11, COPIES (per package kind) to 3000.
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "install/checksum.h"
#include "install/lz_compressor.h"
#include "install/package_scan.h"
#ifdef SETUP_WITH_ISAL
#include "install/isal_decompressor.h"
#endif
#include "platform/file_system.h"
#include "tools/package_writer.h"

namespace {

struct TreeFile {
  std::string relative;
  std::string bytes;
  time_t mtime;
};

std::string g_root;
std::vector<TreeFile>* g_files = nullptr;

int collect(const char* path, const struct stat* st, int type, struct FTW*) {
  if (type != FTW_F || !S_ISREG(st->st_mode) || st->st_size > (1 << 20)) return 0;
  FILE* in = fopen(path, "rb");
  if (in == nullptr) return 0;
  std::string bytes(static_cast<size_t>(st->st_size), '\0');
  size_t got = fread(&bytes[0], 1, bytes.size(), in);
  fclose(in);
  if (got != bytes.size()) return 0;
  g_files->push_back({std::string(path).substr(g_root.size() + 1), bytes, st->st_mtime});
  return 0;
}

struct Package {
  std::string image;
  size_t headerBytes = 0;
  std::string stream;
  bool checksums = false;
};

// Members of up to about 192 KiB of files, in tree order.
std::vector<Package> buildPackages(const std::vector<TreeFile>& files, bool checksums, size_t most) {
  std::vector<Package> packages;
  size_t next = 0;
  while (next < files.size() && packages.size() < most) {
    std::vector<package_format::MemberRecord> records;
    std::string area;
    while (next < files.size() && area.size() < (192u << 10) && records.size() < 60) {
      const TreeFile& f = files[next++];
      std::string name = f.relative;
      std::replace(name.begin(), name.end(), '/', '\\');
      package_format::MemberRecord r;
      r.name = stdx::u16string(name.begin(), name.end());
      r.lastWriteTime = package_format::fileTimeFromPosix(f.mtime, 0);
      r.offset = static_cast<uint32_t>(area.size());
      r.size = static_cast<uint32_t>(f.bytes.size());
      r.hasChecksum = checksums;
      r.checksum = crc32Update(0, f.bytes.data(), static_cast<unsigned>(f.bytes.size()));
      records.push_back(r);
      area += f.bytes;
    }
    config::ProductInfo product{u"en", u"Kit", u"Maker", u""};
    Package p;
    p.image = package_format::encodeHeader({product}, false, records);
    p.headerBytes = p.image.size();
    p.image += area;
    p.stream = package_format::deflateRaw(p.image, checksums ? 9 : 6);
    p.checksums = checksums;
    packages.push_back(p);
  }
  return packages;
}

// Bit ranges of the stream: every dynamic block's header, and the end of
// the bytes that code the package header.
struct Layout {
  std::vector<std::pair<uint64_t, uint64_t>> dynamicHeaders;  // [from, to) in bits
  uint64_t headerCodedEnd = 0;                                // in bytes
};

Layout layoutOf(const Package& p) {
  Layout layout;
  z_stream s = z_stream();
  inflateInit2(&s, -15);
  std::string out(p.image.size() + 1, '\0');
  s.next_out = reinterpret_cast<Bytef*>(&out[0]);
  s.avail_out = static_cast<uInt>(out.size());
  const Bytef* in = reinterpret_cast<const Bytef*>(p.stream.data());
  uint64_t from = 0;
  // One byte at a time, so that where the header's last byte came out is
  // known to the byte, and Z_TREES stops at each block's start and at the
  // end of its header.
  for (size_t at = 0; at < p.stream.size(); ++at) {
    s.next_in = const_cast<Bytef*>(in + at);
    s.avail_in = 1;
    int z = Z_OK;
    while (s.avail_in != 0 || z == Z_OK) {
      z = inflate(&s, Z_TREES);
      uint64_t bit = static_cast<uint64_t>(s.total_in) * 8 - (s.data_type & 63);
      if (z == Z_OK && (s.data_type & 128) != 0 && (s.data_type & 64) == 0) from = bit;
      if (z == Z_OK && (s.data_type & 256) != 0) {
        unsigned type = (static_cast<unsigned char>(p.stream[from / 8]) >> (from % 8)) & 7;
        if (from % 8 > 5) type |= (static_cast<unsigned char>(p.stream[from / 8 + 1]) << (8 - from % 8)) & 7;
        if ((type >> 1) == 2) layout.dynamicHeaders.push_back({from, bit});
      }
      if (layout.headerCodedEnd == 0 && s.total_out >= p.headerBytes) layout.headerCodedEnd = at + 1;
      if (z != Z_OK || s.avail_in == 0) break;
    }
    if (z == Z_STREAM_END) break;
  }
  inflateEnd(&s);
  return layout;
}

// The reader for one inflater.
struct ZlibReader : LZCompressor {
  ZlibReader() : LZCompressor(&lz_detail::inflateWithZlib) {}
};
#ifdef SETUP_WITH_ISAL
struct FastReader : LZCompressor {
  FastReader() : LZCompressor(&lz_detail::inflateWithIsal) {}
};
#else
typedef ZlibReader FastReader;
#endif

class Collect : public config::MemberBytesSink {
 public:
  explicit Collect(size_t members) : bytes(members) {}
  void memberBytes(size_t index, uint64_t at, const unsigned char* data, size_t count) override {
    std::string& b = bytes[index];
    if (b.size() < at + count) b.resize(static_cast<size_t>(at + count));
    b.replace(static_cast<size_t>(at), count, reinterpret_cast<const char*>(data), count);
  }
  std::vector<std::string> bytes;
};

enum Outcome { kRefused, kSame, kOther };
const char* const kOutcomeNames[] = {"refused", "installs what was packed", "installs other bytes"};

// What the reader of packages with inflater Reader makes of the package
// at path, against what was packed (the undamaged package's reading).
template <class Reader>
Outcome readAs(const std::string& path, const config::PackageScan<LZCompressor, FileSystem>& packed,
               const std::vector<std::string>& packedBytes) {
  config::PackageScan<Reader, FileSystem> scan;
  stdx::u16string where = widen_lib(stdx::string(path.c_str()));
  if (scan.readHeader(where) != 0) return kRefused;
  Collect sink(scan.files.size());
  if (scan.scan(where, &sink) != 0) return kRefused;
  if (scan.files.size() != packed.files.size() || scan.products.size() != packed.products.size())
    return kOther;
  for (size_t i = 0; i < scan.files.size(); ++i) {
    const auto& a = scan.files[i];
    const auto& b = packed.files[i];
    if (a.name != b.name || a.size != b.size || a.lastWriteTime.dwLowDateTime != b.lastWriteTime.dwLowDateTime ||
        a.lastWriteTime.dwHighDateTime != b.lastWriteTime.dwHighDateTime)
      return kOther;
  }
  for (size_t i = 0; i < scan.products.size(); ++i) {
    const auto& a = scan.products[i];
    const auto& b = packed.products[i];
    if (a.language != b.language || a.productName != b.productName || a.providerName != b.providerName ||
        a.readme != b.readme)
      return kOther;
  }
  return sink.bytes == packedBytes ? kSame : kOther;
}

const char* const kPlaces[] = {"package header", "dynamic block headers", "members' data"};

// Counts per package kind, place and inflater.
struct Tally {
  unsigned copies[3] = {0, 0, 0};
  unsigned outcome[3][2][3] = {};  // place, inflater (zlib, fast), outcome
  unsigned fastOnly[3] = {0, 0, 0};  // accepted by the fast inflater alone
  unsigned zlibOnly[3] = {0, 0, 0};  // accepted by zlib alone
  unsigned streamFastOnly[3] = {0, 0, 0};  // the stream alone: refused by zlib, accepted by the fast one
};

// A stream in memory, whole, as an inflater pulls it.
struct MemoryBytes : lz_detail::PackageBytes {
  explicit MemoryBytes(const std::string& s) : stream(s) {}
  const std::string& stream;
  bool given = false;
  FsResult next(const unsigned char*& data, size_t& count) override {
    data = reinterpret_cast<const unsigned char*>(stream.data());
    count = given ? 0 : stream.size();
    given = true;
    return 0;
  }
};

FsResult discard(void*, const void*, unsigned) { return 0; }

// The inflater's own verdict on the stream (0: accepted), before any reader.
unsigned streamVerdict(const std::string& stream, lz_detail::InflateFunction inflate) {
  MemoryBytes bytes(stream);
  return inflate(bytes, &discard, nullptr).code();
}

double inflateSeconds(const std::string& stream, lz_detail::InflateFunction inflate, int rounds) {
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  for (int i = 0; i < rounds; ++i) streamVerdict(stream, inflate);
  clock_gettime(CLOCK_MONOTONIC, &t1);
  return (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  g_root = argc > 1 ? argv[1] : "/usr/share/X11";
  unsigned copies = argc > 2 ? static_cast<unsigned>(atoi(argv[2])) : 3000;
  std::mt19937 random(argc > 3 ? static_cast<unsigned>(atoi(argv[3])) : 20261210);
  std::vector<TreeFile> files;
  g_files = &files;
  if (nftw(g_root.c_str(), collect, 32, FTW_PHYS) != 0 || files.empty()) {
    printf("skipped: no files under %s\n", g_root.c_str());
    return 0;
  }
  std::sort(files.begin(), files.end(), [](const TreeFile& a, const TreeFile& b) { return a.relative < b.relative; });
  const std::string path = fuzz_support::scratch() + "/kxq5.dpk";

  for (bool checksums : {true, false}) {
    std::vector<Package> packages = buildPackages(files, checksums, 24);
    Tally tally;
    double zlibTime = 0, fastTime = 0;
    size_t streamBytes = 0;
    for (size_t k = 0; k < packages.size(); ++k) {
      const Package& p = packages[k];
      streamBytes += p.stream.size();
      zlibTime += inflateSeconds(p.stream, &lz_detail::inflateWithZlib, 20);
      fastTime += inflateSeconds(p.stream, &lz_detail::inflatePackage, 20);
      Layout layout = layoutOf(p);
      fuzz_support::writeBytes(path, reinterpret_cast<const uint8_t*>(p.stream.data()), p.stream.size());
      config::PackageScan<LZCompressor, FileSystem> packed;
      stdx::u16string where = widen_lib(stdx::string(path.c_str()));
      std::vector<std::string> packedBytes;
      {
        Collect sink(0);
        if (packed.readHeader(where) == 0) sink.bytes.resize(packed.files.size());
        if (packed.files.empty() || packed.scan(where, &sink) != 0) {
          printf("a package built here does not read back\n");
          return 1;
        }
        packedBytes = sink.bytes;
      }
      unsigned perPackage = copies / static_cast<unsigned>(packages.size());
      for (unsigned c = 0; c < perPackage; ++c) {
        unsigned place = c % 3;
        std::string bytes = p.stream;
        uint64_t bit = 0;
        if (place == 0) {
          bit = random() % (layout.headerCodedEnd * 8);
        } else if (place == 1) {
          if (layout.dynamicHeaders.empty()) continue;
          auto range = layout.dynamicHeaders[random() % layout.dynamicHeaders.size()];
          bit = range.first + random() % (range.second - range.first);
        } else {
          do {
            bit = layout.headerCodedEnd * 8 + random() % ((bytes.size() - layout.headerCodedEnd) * 8);
          } while (std::any_of(layout.dynamicHeaders.begin(), layout.dynamicHeaders.end(),
                               [bit](const std::pair<uint64_t, uint64_t>& r) { return bit >= r.first && bit < r.second; }));
        }
        // One bit in two of three copies; a whole byte in the third.
        if (c % 9 < 6) bytes[bit / 8] ^= static_cast<char>(1u << (bit % 8));
        else bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 + random() % 255));
        fuzz_support::writeBytes(path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        Outcome z = readAs<ZlibReader>(path, packed, packedBytes);
        Outcome f = readAs<FastReader>(path, packed, packedBytes);
        ++tally.copies[place];
        tally.streamFastOnly[place] += streamVerdict(bytes, &lz_detail::inflateWithZlib) != 0 &&
                                       streamVerdict(bytes, &lz_detail::inflatePackage) == 0;
        ++tally.outcome[place][0][z];
        ++tally.outcome[place][1][f];
        tally.fastOnly[place] += z == kRefused && f != kRefused;
        tally.zlibOnly[place] += z != kRefused && f == kRefused;
      }
    }
    printf("\n%s: %zu packages of %s, %zu bytes of streams\n",
           checksums ? "own (member checksums, level 9)" : "foreign (no checksums, level 6)", packages.size(),
           g_root.c_str(), streamBytes);
    printf("inflate alone, 20 rounds of each: zlib %.3f s, the build's %.3f s\n", zlibTime, fastTime);
    printf("%-22s %6s | %-28s | %-28s | %s\n", "damaged in", "copies", "zlib: refused/same/other",
           "fast: refused/same/other", "fast only / zlib only accepts (streams: fast only)");
    for (unsigned place = 0; place < 3; ++place) {
      char zs[64], fs[64];
      snprintf(zs, sizeof zs, "%u / %u / %u", tally.outcome[place][0][kRefused], tally.outcome[place][0][kSame],
               tally.outcome[place][0][kOther]);
      snprintf(fs, sizeof fs, "%u / %u / %u", tally.outcome[place][1][kRefused], tally.outcome[place][1][kSame],
               tally.outcome[place][1][kOther]);
      printf("%-22s %6u | %-28s | %-28s | %u / %u (%u)\n", kPlaces[place], tally.copies[place], zs, fs,
             tally.fastOnly[place], tally.zlibOnly[place], tally.streamFastOnly[place]);
    }
  }
  printf("\n(outcomes: %s, %s, %s)\n", kOutcomeNames[0], kOutcomeNames[1], kOutcomeNames[2]);
  return 0;
}
