// Writing package images and packages: put-style encoders that mirror the
// reader's decoders, and raw DEFLATE compression (no zlib or gzip wrapper).
// Used by the vendor tool, the tests and the benchmark; the installer
// itself only reads.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "install/install_data.h"
#include "platform/file_system.h"
#include "platform/stdx_string.h"

struct z_stream_s;

namespace package_format {

// Value that this writer puts in the layout selector of the multi-language
// layout; the reader accepts any value but 0.
const uint32_t kMultiLanguageSelector = 1;

// One member as the header lists it; offset is relative to the data area.
struct MemberRecord {
  stdx::u16string name;
  FILETIME lastWriteTime;
  uint32_t offset;
  uint32_t size;
  bool hasChecksum = false;  // write the checksum field with checksum
  uint32_t checksum = 0;     // CRC-32 of the member's bytes
};

void putWord(std::string& dst, uint32_t value);
// A count of UTF-16 units, then the units little-endian.
void putString(std::string& dst, const stdx::u16string& s);
// Length word, language, product, provider, readme, then extraBytes of
// filler that the reader must skip.
void putProductRecord(std::string& dst, const config::ProductInfo& product,
                      uint32_t extraBytes = 0);
// Length word, name, time (low, high), offset, size, the checksum field when
// the member has one, then extraBytes of filler.
void putFileRecord(std::string& dst, const MemberRecord& member, uint32_t extraBytes = 0);

// The whole header: the product part and the file list. The single-language
// layout takes the three strings of products[0] (which must exist) and
// drops its language.
std::string encodeHeader(const std::vector<config::ProductInfo>& products, bool singleLanguage,
                         const std::vector<MemberRecord>& members);

// 100-nanosecond ticks since 1601 of a POSIX time; times before 1601 give 0.
FILETIME fileTimeFromPosix(int64_t seconds, long nanoseconds);

// Raw DEFLATE of bytes, in memory (for tests and small images); strategy
// and windowBits as zlib takes them (0: Z_DEFAULT_STRATEGY).
std::string deflateRaw(const std::string& bytes, int level, int strategy = 0, int windowBits = 15);

// Streams a raw DEFLATE compression of everything written into a file.
class RawDeflateFile {
 public:
  RawDeflateFile();
  // Abandons an unfinished stream and deletes its file.
  ~RawDeflateFile();
  RawDeflateFile(const RawDeflateFile&) = delete;
  RawDeflateFile& operator=(const RawDeflateFile&) = delete;

  // Which compressor writes the stream: zlib's (levels 0, stored, to 9), or
  // the fast one of ISA-L (levels 0 to 3: several times faster, somewhat
  // larger), where the build has it. Either writes plain raw DEFLATE.
  enum Encoder { kZlib, kFast };
  // Whether this build has the fast compressor.
  static bool hasFastEncoder();

  // Creates (or truncates) path; level as the encoder takes it. On failure
  // error tells why.
  bool open(const std::string& path, int level, std::string& error, Encoder encoder = kZlib);
  bool write(const void* data, size_t size, std::string& error);
  // Ends the stream and closes the file.
  bool finish(std::string& error);

 private:
  struct FastState;
  bool pump(int flush, std::string& error);
  bool pumpFast(bool end, std::string& error);
  bool emit(size_t produced, std::string& error);

  z_stream_s* stream_;
  FastState* fast_;
  FILE* file_;
  std::string path_;
  std::vector<unsigned char> out_;
};

}  // namespace package_format
