#include "tools/package_writer.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#ifdef SETUP_WITH_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace package_format {

namespace {

const size_t kOutputChunk = 1 << 16;

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
  if (seconds < -kFileTimeEpochOffsetSeconds) return FILETIME{0, 0};
  return FileTimeFromTicks(static_cast<uint64_t>(seconds + kFileTimeEpochOffsetSeconds) *
                               kFileTimeTicksPerSecond +
                           static_cast<uint64_t>(nanoseconds / 100));
}

std::string deflateRaw(const std::string& bytes, int level, int strategy, int windowBits) {
  z_stream s;
  memset(&s, 0, sizeof s);
  deflateInit2(&s, level, Z_DEFLATED, -windowBits, 8, strategy);
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

#ifdef SETUP_WITH_ISAL
struct RawDeflateFile::FastState {
  isal_zstream stream;
  std::vector<uint8_t> levelBuffer;
};
#else
struct RawDeflateFile::FastState {};
#endif

bool RawDeflateFile::hasFastEncoder() {
#ifdef SETUP_WITH_ISAL
  return true;
#else
  return false;
#endif
}

RawDeflateFile::RawDeflateFile() : stream_(nullptr), fast_(nullptr), file_(nullptr) {}

RawDeflateFile::~RawDeflateFile() {
  if (stream_ != nullptr) {
    deflateEnd(stream_);
    delete stream_;
  }
  delete fast_;
  if (file_ != nullptr) {
    fclose(file_);
    unlink(path_.c_str());
  }
}

bool RawDeflateFile::open(const std::string& path, int level, std::string& error, Encoder encoder) {
  if (encoder == kFast && !hasFastEncoder()) {
    error = "this build has no fast compressor (ISA-L)";
    return false;
  }
  int maxLevel = encoder == kFast ? 3 : 9;
  if (level < 0 || level > maxLevel) {
    error = "compression level must be 0 to " + std::to_string(maxLevel);
    return false;
  }
  file_ = fopen(path.c_str(), "wbe");
  if (file_ == nullptr) {
    error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  path_ = path;
  out_.resize(kOutputChunk);
#ifdef SETUP_WITH_ISAL
  if (encoder == kFast) {
    static const uint32_t kLevelBuffer[4] = {ISAL_DEF_LVL0_DEFAULT, ISAL_DEF_LVL1_DEFAULT,
                                             ISAL_DEF_LVL2_DEFAULT, ISAL_DEF_LVL3_DEFAULT};
    fast_ = new FastState;
    isal_deflate_init(&fast_->stream);
    fast_->levelBuffer.resize(kLevelBuffer[level] != 0 ? kLevelBuffer[level] : 1);
    fast_->stream.level = static_cast<uint32_t>(level);
    fast_->stream.level_buf = fast_->levelBuffer.data();
    fast_->stream.level_buf_size = kLevelBuffer[level];
    fast_->stream.gzip_flag = IGZIP_DEFLATE;
    fast_->stream.flush = NO_FLUSH;
    return true;
  }
#endif
  stream_ = new z_stream;
  memset(stream_, 0, sizeof *stream_);
  if (deflateInit2(stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    delete stream_;
    stream_ = nullptr;
    error = "cannot start the compressor";
    return false;
  }
  return true;
}

bool RawDeflateFile::emit(size_t produced, std::string& error) {
  if (produced != 0 && fwrite(out_.data(), 1, produced, file_) != produced) {
    error = "cannot write " + path_ + ": " + strerror(errno);
    return false;
  }
  return true;
}

// Runs the fast compressor until the input in hand is taken (and, at the
// end, until the stream is closed).
bool RawDeflateFile::pumpFast(bool end, std::string& error) {
#ifdef SETUP_WITH_ISAL
  isal_zstream& s = fast_->stream;
  s.end_of_stream = end ? 1 : 0;
  for (;;) {
    s.next_out = out_.data();
    s.avail_out = static_cast<uint32_t>(out_.size());
    if (isal_deflate(&s) != COMP_OK) {
      error = "compressor failed";
      return false;
    }
    if (!emit(out_.size() - s.avail_out, error)) return false;
    bool done = end ? s.internal_state.state == ZSTATE_END : s.avail_in == 0 && s.avail_out != 0;
    if (done) return true;
  }
#else
  (void)end;
  error = "this build has no fast compressor (ISA-L)";
  return false;
#endif
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
    if (!emit(out_.size() - stream_->avail_out, error)) return false;
    if (flush == Z_FINISH ? z == Z_STREAM_END : stream_->avail_out != 0) return true;
  }
}

bool RawDeflateFile::write(const void* data, size_t size, std::string& error) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (size != 0) {
    size_t piece = size < (1u << 30) ? size : (1u << 30);
#ifdef SETUP_WITH_ISAL
    if (fast_ != nullptr) {
      fast_->stream.next_in = const_cast<unsigned char*>(p);
      fast_->stream.avail_in = static_cast<uint32_t>(piece);
      if (!pumpFast(false, error)) return false;
      p += piece;
      size -= piece;
      continue;
    }
#endif
    stream_->next_in = const_cast<unsigned char*>(p);
    stream_->avail_in = static_cast<uInt>(piece);
    if (!pump(Z_NO_FLUSH, error)) return false;
    p += piece;
    size -= piece;
  }
  return true;
}

bool RawDeflateFile::finish(std::string& error) {
  bool ok;
  if (fast_ != nullptr) {
    ok = pumpFast(true, error);
    delete fast_;
    fast_ = nullptr;
  } else {
    stream_->next_in = nullptr;
    stream_->avail_in = 0;
    ok = pump(Z_FINISH, error);
    deflateEnd(stream_);
    delete stream_;
    stream_ = nullptr;
  }
  if (fclose(file_) != 0 && ok) {
    error = "cannot write " + path_ + ": " + strerror(errno);
    ok = false;
  }
  file_ = nullptr;
  if (!ok) unlink(path_.c_str());
  return ok;
}

}  // namespace package_format
