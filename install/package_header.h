// The package header: the records it lists, the rules a member name must
// keep, and the parser that reads them from the front of a package image.
//
// Thread safety: the records are plain values. The parser runs on the one
// thread that opens the package (before the install thread starts); it
// reads the image only below the inflate's frontier, waiting for it through
// the image, and shares nothing else with the threads that write the image.
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/file_system.h"
#include "platform/stdx_string.h"

namespace config {

// One product description of the package.
struct ProductInfo {
  stdx::u16string language;  // interface language code: "en", "de", ...
  stdx::u16string productName;
  stdx::u16string providerName;
  stdx::u16string readme;  // readme member, relative to the target directory
};

// One member file. FS is the file-system policy of the reader.
template <class FS>
struct FileData {
  stdx::u16string name;  // as stored: separators "\" or "/"
  FILETIME lastWriteTime;
  unsigned offset;  // after a successful open: absolute offset in the image
  unsigned size;    // in bytes
  // CRC-32 (zlib's crc32) of the member's bytes, when its record carries one.
  bool hasChecksum = false;
  unsigned checksum = 0;
};

// A file record may carry, right behind its four words, a checksum field:
// these four tag bytes, then the CRC-32 of the member's bytes as a
// little-endian word. Readers that know nothing of it skip it with the rest
// of the record; a record whose tail does not begin with the tag has none.
const unsigned char kChecksumTag[4] = {'C', 'R', '3', '2'};
const unsigned kChecksumFieldBytes = 8;

// Smallest records the image can hold: length word plus empty strings (and,
// for a member, its four words). Counts are checked against them before
// anything is allocated or read.
const unsigned kMinProductRecordBytes = 4 + 4 * 4;
const unsigned kMinFileRecordBytes = 4 + 4 + 4 * 4;

// The image is addressed with 32-bit offsets: nothing may lie behind this.
const uint64_t kImageLimit = 0xFFFFFFFFull;

// The header (product part and file list) may take at most this much of the
// image. What the reader keeps of it grows with the records it actually
// reads, a small multiple of their bytes: this bound keeps a hostile header
// from taking more memory than a package's members could ever need
// (about 90,000 members of 30-character names fit).
const uint64_t kMaxHeaderBytes = 8u << 20;

// A product description's texts (language, names shown by the wizard,
// readme path) are short; a longer one is damage, whatever the header
// still has room for.
const unsigned kMaxProductTextUnits = 4096;

// True when path, relative to the target directory, stays inside it: no
// component is ".." (with "\" read as "/"), and the text is clean text
// (converts_cleanly): a zero unit would cut the name short, and a lone
// surrogate would narrow to a raw byte or "?", not to the name the package
// gives. A leading separator is harmless: the path is appended to the
// target directory.
inline bool isContainedPath(const stdx::u16string& path) {
  size_t n = path.size();
  size_t start = 0;
  for (size_t i = 0; i <= n; ++i) {
    if (i < n && path[i] != u'/' && path[i] != u'\\') continue;
    if (i - start == 2 && path[start] == u'.' && path[start + 1] == u'.') return false;
    start = i + 1;
  }
  return converts_cleanly(path);
}

// A member must also name a file: its last component is neither empty nor ".".
inline bool isMemberName(const stdx::u16string& name) {
  size_t n = name.size();
  if (n == 0 || name[n - 1] == u'/' || name[n - 1] == u'\\') return false;
  if (name[n - 1] == u'.' && (n == 1 || name[n - 2] == u'/' || name[n - 2] == u'\\')) return false;
  return isContainedPath(name);
}

// The path a member names, as one key: "\\" read as "/", repeated
// separators and "." components dropped, no leading separator. Two members
// with one key would be one file.
inline stdx::u16string normalizedMemberPath(const stdx::u16string& name) {
  stdx::u16string key;
  size_t n = name.size();
  size_t start = 0;
  for (size_t i = 0; i <= n; ++i) {
    if (i < n && name[i] != u'/' && name[i] != u'\\') continue;
    size_t length = i - start;
    if (length != 0 && !(length == 1 && name[start] == u'.')) {
      if (!key.empty()) key.push_back(u'/');
      key += name.substr(start, length);
    }
    start = i + 1;
  }
  return key;
}

// Reads the header from the front of an image. Image gives
//   unsigned awaitBytes(uint64_t end, int timeoutMs, uint64_t* available)
// (waits until the image holds end bytes, or says why it never will) and
//   void* handle()
// (the image file, read here at explicit offsets only).
template <class FS, class Image>
class HeaderParser {
 public:
  explicit HeaderParser(Image& image) : image_(image), buffer_(new unsigned char[kBufferBytes]) {}

  // Products and files, with each member's offset made absolute. Whether
  // the image holds each member is known only at its end (the member
  // checks); here a member must at least be addressable. 0, the image's
  // failure, the result of a failed read of the image, or
  // ERROR_INVALID_DATA for a header that the image cannot hold.
  // products keeps what was read before a failure.
  FsResult parse(std::vector<ProductInfo>& products, std::vector<FileData<FS>>& files) {
    FsResult code = readProducts(products);
    if (code == 0) code = readFiles(files);
    if (code != 0) return code;
    // The data area begins behind the last record; offsets are relative to it.
    uint64_t dataStart = pos_;
    for (size_t i = 0; i < files.size(); ++i) {
      FileData<FS>& f = files[i];
      uint64_t start = dataStart + f.offset;
      if (start + f.size > kImageLimit) return ERROR_INVALID_DATA;
      f.offset = static_cast<unsigned>(start);
    }
    return 0;
  }

  // The image offset behind the last record: where the data area begins.
  uint64_t end() const { return pos_; }

 private:
  // Header reads pass through a buffer of this size, so that a header of
  // many small records costs few reads.
  static const unsigned kBufferBytes = 0x10000;

  // What the header may still take of the image.
  uint64_t room() const { return pos_ < kMaxHeaderBytes ? kMaxHeaderBytes - pos_ : 0; }

  FsResult fill() {
    uint64_t available = 0;
    FsResult code = image_.awaitBytes(pos_ + 1, -1, &available);
    if (code != 0) return code;
    unsigned want = static_cast<unsigned>(std::min<uint64_t>(available - pos_, kBufferBytes));
    unsigned got = 0;
    code = FS::ReadFileAt(image_.handle(), pos_, buffer_.get(), want, &got);
    if (code != 0) return code;
    if (got != want) return ERROR_INVALID_DATA;  // the image shrank under us
    bufferStart_ = pos_;
    bufferBytes_ = got;
    return 0;
  }

  // The n image bytes from pos_ into dst; ERROR_INVALID_DATA when the
  // image ends before them.
  FsResult readBytes(void* dst, uint64_t n) {
    if (n > kImageLimit - pos_) return ERROR_INVALID_DATA;
    unsigned char* out = static_cast<unsigned char*>(dst);
    while (n != 0) {
      if (pos_ < bufferStart_ || pos_ >= bufferStart_ + bufferBytes_) {
        FsResult code = fill();
        if (code != 0) return code;
      }
      uint64_t take = std::min(bufferStart_ + bufferBytes_ - pos_, n);
      memcpy(out, buffer_.get() + (pos_ - bufferStart_), static_cast<size_t>(take));
      out += take;
      pos_ += take;
      n -= take;
    }
    return 0;
  }

  FsResult readWord(unsigned& value) {
    unsigned char b[4];
    FsResult code = readBytes(b, 4);
    if (code != 0) return code;
    value = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<unsigned>(b[3]) << 24);
    return 0;
  }

  // A count of UTF-16LE units (at most maxUnits) and the units, all before end.
  FsResult readString(uint64_t end, stdx::u16string& s, unsigned maxUnits = 0xFFFFFFFFu) {
    if (end < pos_ || end - pos_ < 4) return ERROR_INVALID_DATA;
    unsigned units = 0;
    FsResult code = readWord(units);
    if (code != 0) return code;
    if (units > maxUnits) return ERROR_INVALID_DATA;
    uint64_t bytes = static_cast<uint64_t>(units) * 2;
    if (bytes > end - pos_) return ERROR_INVALID_DATA;
    // Nothing is allocated for text that the image does not hold.
    code = image_.awaitBytes(pos_ + bytes, -1, nullptr);
    if (code != 0) return code;
    char16_t* text = s.resizeForOverwrite(units);
    code = readBytes(text, bytes);
    if (code != 0) return code;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (unsigned i = 0; i < units; ++i)
      text[i] = static_cast<char16_t>((text[i] >> 8) | (text[i] << 8));
#endif
    return 0;
  }

  // The record length word; on success end is the image offset behind the
  // record's body, which the image is known to hold.
  FsResult readRecordLength(uint64_t& end) {
    unsigned length = 0;
    FsResult code = readWord(length);
    if (code != 0) return code;
    if (length < 4 || length - 4 > room()) return ERROR_INVALID_DATA;
    end = pos_ + (length - 4);
    return image_.awaitBytes(end, -1, nullptr);
  }

  FsResult readProduct(uint64_t end, const stdx::u16string* language, std::vector<ProductInfo>& products) {
    ProductInfo p;
    FsResult code;
    if (language != nullptr) p.language = *language;
    else code = readString(end, p.language, kMaxProductTextUnits);
    if (code == 0) code = readString(end, p.productName, kMaxProductTextUnits);
    if (code == 0) code = readString(end, p.providerName, kMaxProductTextUnits);
    if (code == 0) code = readString(end, p.readme, kMaxProductTextUnits);
    if (code == 0 && !isContainedPath(p.readme)) code = ERROR_INVALID_DATA;
    if (code == 0) products.push_back(p);
    return code;
  }

  FsResult readProducts(std::vector<ProductInfo>& products) {
    unsigned selector = 0;
    FsResult code = readWord(selector);
    if (code != 0) return code;
    if (selector == 0) {
      const stdx::u16string english(u"en");
      return readProduct(kMaxHeaderBytes, &english, products);
    }
    unsigned count = 0;
    code = readWord(count);
    if (code != 0) return code;
    if (count > room() / kMinProductRecordBytes) return ERROR_INVALID_DATA;
    for (unsigned i = 0; i < count; ++i) {
      uint64_t end = 0;
      code = readRecordLength(end);
      if (code == 0) code = readProduct(end, nullptr, products);
      if (code != 0) return code;
      pos_ = end;  // the rest of the record is not ours to read
    }
    return 0;
  }

  FsResult readFile(uint64_t end, std::vector<FileData<FS>>& files) {
    FileData<FS> f;
    FsResult code = readString(end, f.name);
    if (code != 0) return code;
    if (!isMemberName(f.name)) return ERROR_INVALID_DATA;
    if (end - pos_ < 16) return ERROR_INVALID_DATA;
    code = readWord(f.lastWriteTime.dwLowDateTime);
    if (code == 0) code = readWord(f.lastWriteTime.dwHighDateTime);
    if (code == 0) code = readWord(f.offset);
    if (code == 0) code = readWord(f.size);
    if (code == 0 && end - pos_ >= kChecksumFieldBytes) {
      unsigned char tag[4];
      code = readBytes(tag, 4);
      if (code == 0 && memcmp(tag, kChecksumTag, 4) == 0) {
        code = readWord(f.checksum);
        f.hasChecksum = true;
      }
    }
    if (code != 0) return code;
    files.push_back(f);
    return 0;
  }

  FsResult readFiles(std::vector<FileData<FS>>& files) {
    unsigned count = 0;
    FsResult code = readWord(count);
    if (code != 0) return code;
    if (count > room() / kMinFileRecordBytes) return ERROR_INVALID_DATA;
    // The count is only a claim: the vector grows with the records
    // actually read beyond a modest start.
    files.reserve(count < 4096 ? count : 4096);
    for (unsigned i = 0; i < count; ++i) {
      uint64_t end = 0;
      code = readRecordLength(end);
      if (code == 0) code = readFile(end, files);
      if (code != 0) return code;
      pos_ = end;
    }
    return 0;
  }

  Image& image_;
  std::unique_ptr<unsigned char[]> buffer_;
  uint64_t pos_ = 0;          // image offset of the next byte
  uint64_t bufferStart_ = 0;  // image offset of buffer_[0]
  uint64_t bufferBytes_ = 0;
};

}  // namespace config
