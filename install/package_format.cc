#include "install/package_format.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

namespace package_format {

namespace {

const size_t kOutputChunk = 1 << 16;
const int64_t kEpochDifferenceSeconds = 11644473600LL;

uint32_t stringBytes(const stdx::u16string& s) { return 4 + static_cast<uint32_t>(s.size()) * 2; }

}  // namespace

void putWord(std::string& dst, uint32_t value) {
  char b[4] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
               static_cast<char>((value >> 16) & 0xFF), static_cast<char>((value >> 24) & 0xFF)};
  dst.append(b, 4);
}

void putString(std::string& dst, const stdx::u16string& s) {
  putWord(dst, static_cast<uint32_t>(s.size()));
  for (size_t i = 0; i < s.size(); ++i) {
    char b[2] = {static_cast<char>(s[i] & 0xFF), static_cast<char>((s[i] >> 8) & 0xFF)};
    dst.append(b, 2);
  }
}

void putProductRecord(std::string& dst, const config::ProductInfo& p, uint32_t extraBytes) {
  uint32_t length = 4 + stringBytes(p.language) + stringBytes(p.productName) +
                    stringBytes(p.providerName) + stringBytes(p.readme) + extraBytes;
  putWord(dst, length);
  putString(dst, p.language);
  putString(dst, p.productName);
  putString(dst, p.providerName);
  putString(dst, p.readme);
  dst.append(extraBytes, '\xA5');
}

void putFileRecord(std::string& dst, const MemberRecord& m, uint32_t extraBytes) {
  uint32_t checksumBytes = m.hasChecksum ? config::kChecksumFieldBytes : 0;
  putWord(dst, 4 + stringBytes(m.name) + 16 + checksumBytes + extraBytes);
  putString(dst, m.name);
  putWord(dst, m.lastWriteTime.dwLowDateTime);
  putWord(dst, m.lastWriteTime.dwHighDateTime);
  putWord(dst, m.offset);
  putWord(dst, m.size);
  if (m.hasChecksum) {
    dst.append(reinterpret_cast<const char*>(config::kChecksumTag), 4);
    putWord(dst, m.checksum);
  }
  dst.append(extraBytes, '\x5A');
}

std::string encodeHeader(const std::vector<config::ProductInfo>& products, bool singleLanguage,
                         const std::vector<MemberRecord>& members) {
  std::string out;
  if (singleLanguage) {
    putWord(out, 0);
    putString(out, products[0].productName);
    putString(out, products[0].providerName);
    putString(out, products[0].readme);
  } else {
    putWord(out, kMultiLanguageSelector);
    putWord(out, static_cast<uint32_t>(products.size()));
    for (size_t i = 0; i < products.size(); ++i) putProductRecord(out, products[i]);
  }
  putWord(out, static_cast<uint32_t>(members.size()));
  for (size_t i = 0; i < members.size(); ++i) putFileRecord(out, members[i]);
  return out;
}

FILETIME fileTimeFromPosix(int64_t seconds, long nanoseconds) {
  FILETIME t = {0, 0};
  if (seconds < -kEpochDifferenceSeconds) return t;
  uint64_t ticks = static_cast<uint64_t>(seconds + kEpochDifferenceSeconds) * 10000000ull +
                   static_cast<uint64_t>(nanoseconds / 100);
  t.dwLowDateTime = static_cast<unsigned>(ticks & 0xFFFFFFFFu);
  t.dwHighDateTime = static_cast<unsigned>(ticks >> 32);
  return t;
}

std::string deflateRaw(const std::string& bytes, int level) {
  z_stream s;
  memset(&s, 0, sizeof s);
  deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&s, bytes.size()), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  s.avail_in = static_cast<uInt>(bytes.size());
  s.next_out = reinterpret_cast<Bytef*>(&out[0]);
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

RawDeflateFile::RawDeflateFile() : stream_(nullptr), file_(nullptr) {}

RawDeflateFile::~RawDeflateFile() {
  if (stream_ != nullptr) {
    deflateEnd(stream_);
    delete stream_;
  }
  if (file_ != nullptr) {
    fclose(file_);
    unlink(path_.c_str());
  }
}

bool RawDeflateFile::open(const std::string& path, int level, std::string& error) {
  if (level < 0 || level > 9) {
    error = "compression level must be 0 to 9";
    return false;
  }
  file_ = fopen(path.c_str(), "wbe");
  if (file_ == nullptr) {
    error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  path_ = path;
  stream_ = new z_stream;
  memset(stream_, 0, sizeof *stream_);
  if (deflateInit2(stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    delete stream_;
    stream_ = nullptr;
    error = "cannot start the compressor";
    return false;
  }
  out_.resize(kOutputChunk);
  return true;
}

bool RawDeflateFile::pump(int flush, std::string& error) {
  for (;;) {
    stream_->next_out = out_.data();
    stream_->avail_out = static_cast<uInt>(out_.size());
    int z = deflate(stream_, flush);
    if (z == Z_STREAM_ERROR) {
      error = "compressor failed";
      return false;
    }
    size_t produced = out_.size() - stream_->avail_out;
    if (produced != 0 && fwrite(out_.data(), 1, produced, file_) != produced) {
      error = "cannot write " + path_ + ": " + strerror(errno);
      return false;
    }
    if (flush == Z_FINISH ? z == Z_STREAM_END : stream_->avail_out != 0) return true;
  }
}

bool RawDeflateFile::write(const void* data, size_t size, std::string& error) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (size != 0) {
    size_t piece = size < (1u << 30) ? size : (1u << 30);
    stream_->next_in = const_cast<unsigned char*>(p);
    stream_->avail_in = static_cast<uInt>(piece);
    if (!pump(Z_NO_FLUSH, error)) return false;
    p += piece;
    size -= piece;
  }
  return true;
}

bool RawDeflateFile::finish(std::string& error) {
  stream_->next_in = nullptr;
  stream_->avail_in = 0;
  bool ok = pump(Z_FINISH, error);
  deflateEnd(stream_);
  delete stream_;
  stream_ = nullptr;
  if (fclose(file_) != 0 && ok) {
    error = "cannot write " + path_ + ": " + strerror(errno);
    ok = false;
  }
  file_ = nullptr;
  if (!ok) unlink(path_.c_str());
  return ok;
}

}  // namespace package_format
