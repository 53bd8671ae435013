#include "fuzz/inflate_oracle.h"

#include <string.h>
#include <zlib.h>

#include <vector>

#include "install/isal_decompressor.h"
#include "install/lz_compressor.h"

namespace inflate_oracle {
namespace {

// The input in pieces of a given size, as a package file would come.
class MemoryBytes : public lz_detail::PackageBytes {
 public:
  MemoryBytes(const uint8_t* data, size_t size, size_t piece)
      : data_(data), size_(size), piece_(piece == 0 ? size : piece) {}
  FsResult next(const unsigned char*& data, size_t& count) override {
    data = data_ + at_;
    count = std::min(piece_, size_ - at_);
    at_ += count;
    return 0;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t piece_;
  size_t at_ = 0;
};

FsResult append(void* context, const void* data, unsigned count) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data), count);
  return 0;
}

// LSB-first bit reader over the stream.
class Bits {
 public:
  Bits(const uint8_t* data, size_t size, uint64_t bit) : data_(data), size_(size), bit_(bit) {}
  bool take(unsigned n, unsigned& value) {
    value = 0;
    for (unsigned i = 0; i < n; ++i) {
      if (bit_ / 8 >= size_) return false;
      value |= ((data_[bit_ / 8] >> (bit_ % 8)) & 1u) << i;
      ++bit_;
    }
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  uint64_t bit_;
};

// Kraft's sum of a set of code lengths: -1 over-subscribed, 1 incomplete,
// 0 complete; max is the longest length.
int kraft(const std::vector<unsigned>& lengths, unsigned& max) {
  unsigned count[16] = {0};
  max = 0;
  for (unsigned l : lengths) {
    ++count[l];
    if (l > max) max = l;
  }
  long left = 1;
  for (int len = 1; len <= 15; ++len) {
    left <<= 1;
    left -= count[len];
    if (left < 0) return -1;
  }
  return left > 0 ? 1 : 0;
}

// Decodes one symbol of the canonical code given by lengths, bit by bit.
bool decode(Bits& bits, const std::vector<unsigned>& lengths, unsigned& symbol) {
  int code = 0, first = 0;
  for (unsigned len = 1; len <= 15; ++len) {
    unsigned bit = 0;
    if (!bits.take(1, bit)) return false;
    code |= static_cast<int>(bit);
    int count = 0;
    for (unsigned l : lengths) count += l == len;
    if (code - count < first) {
      int k = code - first;
      for (size_t s = 0; s < lengths.size(); ++s) {
        if (lengths[s] != len) continue;
        if (k-- == 0) {
          symbol = static_cast<unsigned>(s);
          return true;
        }
      }
    }
    first += count;
    first <<= 1;
    code <<= 1;
  }
  return false;
}

}  // namespace

Reference zlibReference(const uint8_t* data, size_t size) {
  Reference r;
  z_stream s;
  memset(&s, 0, sizeof s);
  inflateInit2(&s, -15);
  s.next_in = const_cast<uint8_t*>(data);
  s.avail_in = static_cast<uInt>(size);
  std::vector<unsigned char> buffer(LZCompressor::kBufferSize);
  int idle = 0;
  for (;;) {
    s.next_out = buffer.data();
    s.avail_out = static_cast<uInt>(buffer.size());
    uInt before = s.avail_in;
    // Z_BLOCK stops at every block boundary, so that the start of the block
    // a failure lies in is known.
    int z = inflate(&s, Z_BLOCK);
    size_t produced = buffer.size() - s.avail_out;
    r.image.append(reinterpret_cast<char*>(buffer.data()), produced);
    if (z == Z_OK && (s.data_type & 128) != 0)
      r.blockBit = static_cast<uint64_t>(s.total_in) * 8 - (s.data_type & 63);
    if (z == Z_STREAM_END) {
      r.verdict = kEnded;
      break;
    }
    if (z == Z_BUF_ERROR || (z == Z_OK && ++idle > 3)) {
      // No progress possible: damage with input left, else cut short.
      r.verdict = s.avail_in != 0 ? kRefused : kCutShort;
      if (r.verdict == kRefused) r.message = "no progress";
      break;
    }
    if (z != Z_OK) {
      r.verdict = kRefused;
      r.message = s.msg != nullptr ? s.msg : "?";
      break;
    }
    if (produced != 0 || s.avail_in != before) idle = 0;
  }
  inflateEnd(&s);
  return r;
}

std::string headerFault(const uint8_t* data, size_t size, uint64_t bit) {
  Bits bits(data, size, bit);
  unsigned final = 0, type = 0, hlit = 0, hdist = 0, hclen = 0;
  if (!bits.take(1, final) || !bits.take(2, type)) return "cut-short";
  if (type != 2) return "";
  if (!bits.take(5, hlit) || !bits.take(5, hdist) || !bits.take(4, hclen)) return "cut-short";
  hlit += 257;
  hdist += 1;
  hclen += 4;
  if (hlit > 286 || hdist > 30) return "too-many";
  static const unsigned kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  std::vector<unsigned> codeLengths(19, 0);
  for (unsigned i = 0; i < hclen; ++i) {
    if (!bits.take(3, codeLengths[kOrder[i]])) return "cut-short";
  }
  unsigned max = 0;
  int k = kraft(codeLengths, max);
  if (k < 0) return "codes-oversubscribed";
  if (k > 0) return "codes-incomplete";
  std::vector<unsigned> lengths;
  while (lengths.size() < hlit + hdist) {
    unsigned symbol = 0;
    if (!decode(bits, codeLengths, symbol)) return "cut-short";
    if (symbol < 16) {
      lengths.push_back(symbol);
      continue;
    }
    unsigned repeat = 0, value = 0, extra = 0;
    if (symbol == 16) {
      if (lengths.empty()) return "bad-repeat";
      value = lengths.back();
      if (!bits.take(2, extra)) return "cut-short";
      repeat = 3 + extra;
    } else if (symbol == 17) {
      if (!bits.take(3, extra)) return "cut-short";
      repeat = 3 + extra;
    } else {
      if (!bits.take(7, extra)) return "cut-short";
      repeat = 11 + extra;
    }
    if (lengths.size() + repeat > hlit + hdist) return "bad-repeat";
    lengths.insert(lengths.end(), repeat, value);
  }
  if (lengths[256] == 0) return "no-end-of-block";
  std::vector<unsigned> lit(lengths.begin(), lengths.begin() + hlit);
  std::vector<unsigned> dist(lengths.begin() + hlit, lengths.end());
  k = kraft(lit, max);
  if (k < 0) return "lengths-oversubscribed";
  if (k > 0 && max != 1) return "lengths-incomplete";
  k = kraft(dist, max);
  if (k < 0) return "distances-oversubscribed";
  if (k > 0 && max != 1) return "distances-incomplete";
  return "";
}

bool knownDifference(const uint8_t* data, size_t size, const Reference& reference) {
  if (reference.verdict != kRefused) return false;
  std::string fault = headerFault(data, size, reference.blockBit);
  return (fault == "lengths-incomplete" && reference.message == "invalid literal/lengths set") ||
         (fault == "distances-incomplete" && reference.message == "invalid distances set") ||
         (fault == "codes-incomplete" && reference.message == "invalid code lengths set");
}

namespace {

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

const char* verdictName(Verdict v) {
  return v == kEnded ? "ended" : v == kCutShort ? "cut short" : "refused";
}

}  // namespace

std::string compare(const uint8_t* data, size_t size, size_t pieceBytes) {
  Reference z = zlibReference(data, size);
  std::string zSays = std::string("zlib: ") + verdictName(z.verdict) +
                      (z.message.empty() ? "" : " (" + z.message + ")") + "; ";
  bool known = z.verdict == kRefused && knownDifference(data, size, z);

  MemoryBytes bytes(data, size, pieceBytes);
  std::string image;
  lz_detail::IsalRun run = lz_detail::runIsal(bytes, &append, &image);
  if (run.end == lz_detail::kIsalFailed) return zSays + "fast inflater failed: " + std::to_string(run.code.code());
  if (run.handedOut != image.size()) return zSays + "fast inflater miscounted";
  switch (z.verdict) {
    case kEnded:
      if (run.end != lz_detail::kIsalEnded) return zSays + "fast inflater did not end the stream";
      if (image != z.image) return zSays + "fast inflater gave other bytes";
      break;
    case kCutShort:
      // Refusing is allowed: it may read the missing end of a block header
      // as damage. Either way its bytes must be the first of zlib's.
      if (run.end == lz_detail::kIsalEnded) return zSays + "fast inflater ended a stream cut short";
      if (!startsWith(z.image, image)) return zSays + "fast inflater gave other bytes (cut short)";
      break;
    case kRefused:
      if (run.end != lz_detail::kIsalRefused && !(known && startsWith(image, z.image)))
        return zSays + "fast inflater accepted, fault '" + headerFault(data, size, z.blockBit) + "'";
      break;
  }

  // The package inflate is that run's verdict, with the reader's codes.
  MemoryBytes again(data, size, pieceBytes);
  std::string packageImage;
  unsigned code = lz_detail::inflatePackage(again, &append, &packageImage).code();
  bool accepted = run.end == lz_detail::kIsalEnded || run.end == lz_detail::kIsalCutShort;
  if ((code == 0) != accepted) return zSays + "package inflate code " + std::to_string(code);
  if (code == 0 && packageImage != image) return zSays + "package inflate gave other bytes";
  return std::string();
}

}  // namespace inflate_oracle
