// The package reader. A package is one raw DEFLATE stream; inflated, it is
// the package image: a header that lists product descriptions and member
// files, then the data area with the members' bytes, uncompressed. The
// reader inflates the whole package once into a temporary image, parses the
// header, keeps the image open and copies single members out of it. The
// image has no name: it goes with its handle, and with the process however
// the process ends.
//
// Thread safety: none of its own. open() and the reads of the lists run on
// the user-interface thread before the install thread starts; copy() runs
// on the install thread alone, and the lists do not change after open().
#pragma once

#include <stdint.h>
#include <string.h>

#include <zlib.h>

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

template <class Compressor, class FS>
class InstallData {
 public:
  static const unsigned kCopyBufferSize = 0x100000;

  InstallData()
      : tempFile(INVALID_HANDLE_VALUE),
        copyBufferSize(kCopyBufferSize),
        copyBuffer(new unsigned char[kCopyBufferSize]),
        imageBytes(0) {}
  // Closes the image, which takes it away.
  ~InstallData() { discardImage(); }
  InstallData(const InstallData&) = delete;
  InstallData& operator=(const InstallData&) = delete;

  // Inflates the package into a new unnamed image in the temporary
  // directory and parses its header into products and files. Returns 0 on
  // success; the code of the temporary file, decompressor or file layer on
  // failure (ERROR_DISK_FULL when the image does not fit);
  // ERROR_INVALID_DATA (13) for a damaged package: a corrupt stream, a
  // header that the image cannot hold (short strings, record lengths below
  // 4 or past the image, counts too large, members past the end of the
  // image), a member name that would leave the target directory, two
  // members that name one file, or a member whose bytes do not match its
  // checksum. On failure the image is gone and files is empty; products
  // keeps what was read before the failure. checkMembers false skips the
  // checksums (for a tool that reports them one by one with
  // memberChecksums).
  unsigned open(const stdx::u16string& packagePath, bool checkMembers = true) {
    discardImage();
    products.clear();
    files.clear();
    memberPaths_.clear();
    stdx::u16string dir;
    unsigned code = FS::GetTempPath(dir);
    if (code == 0) code = FS::CreateTempFile(dir, tempFile);
    if (code == 0) code = compressor.template unpackInto<FS>(packagePath, tempFile);
    if (code == 0) code = parseImage(checkMembers);
    if (code == 0) code = collectMemberPaths();
    if (code != 0) {
      files.clear();
      memberPaths_.clear();
      discardImage();
    }
    return code;
  }

  // The readme of the first description in language (case-insensitive),
  // else that of the first "en" description (even if empty), else empty.
  stdx::u16string getReadme(const stdx::u16string& language) const {
    for (size_t i = 0; i < products.size(); ++i) {
      if (compare_nocase(products[i].language, language) != 0) continue;
      if (!products[i].readme.empty()) return products[i].readme;
      break;
    }
    for (size_t i = 0; i < products.size(); ++i) {
      if (compare_nocase(products[i].language, u"en") == 0) return products[i].readme;
    }
    return stdx::u16string();
  }

  // Writes member index into out, an empty file open for writing at its
  // start, and gives it the member's last-write time; the caller closes
  // it. Only after a successful open. Returns 0; ERROR_INVALID_PARAMETER
  // for an index out of range; the code of the first failing file call;
  // ERROR_INVALID_DATA when the image ends before the member does.
  // Allocates nothing: all bytes pass through the one copy buffer. Install
  // thread only.
  unsigned copyTo(uint64_t index, void* out) {
    if (index >= files.size()) return ERROR_INVALID_PARAMETER;
    if (tempFile == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    const FileData<FS>& member = files[static_cast<size_t>(index)];
    unsigned code = copyBytes(member, out);
    if (code == 0 && FS::SetEndOfFile(out) != 0) code = FS::GetLastError();
    if (code == 0 && FS::SetFileTime(out, nullptr, nullptr, &member.lastWriteTime) != 0)
      code = FS::GetLastError();
    return code;
  }

  // copyTo into destination, created or replaced.
  unsigned copy(uint64_t index, const stdx::u16string& destination) {
    if (index >= files.size()) return ERROR_INVALID_PARAMETER;
    if (tempFile == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    void* out = INVALID_HANDLE_VALUE;
    unsigned code = FS::CreateFile(destination, GENERIC_WRITE, 0, CREATE_ALWAYS, out);
    if (code != 0) return code;
    code = copyTo(index, out);
    unsigned closed = FS::CloseHandle(out);
    return code != 0 ? code : closed;
  }

  // The CRC-32 of every member's bytes as the image holds them, in file
  // order, in one pass over the image. Only after a successful open. 0 or
  // the code of a failing read.
  unsigned memberChecksums(std::vector<unsigned>& crcs) {
    if (tempFile == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    crcs.assign(files.size(), 0);
    Cursor c;
    for (size_t i = 0; i < files.size(); ++i) {
      unsigned code = checksumOf(c, files[i], crcs[i]);
      if (code != 0) return code;
    }
    return 0;
  }

  // The image, open for reading and writing; INVALID_HANDLE_VALUE before
  // open() and after a failed one. For tests, which reach it only here.
  void* imageHandle() const { return tempFile; }

  // Every member's normalizedMemberPath, sorted; after a successful open.
  const std::vector<stdx::u16string>& memberPaths() const { return memberPaths_; }

  std::vector<ProductInfo> products;  // in package order
  std::vector<FileData<FS>> files;    // in package order; the index is a member's identity

 private:
  // Sequential reads of the header through the copy buffer (idle until the
  // install starts), so that a header of many small records costs few
  // reads. Every length is checked against the image before it is used.
  struct Cursor {
    uint64_t pos = 0;          // image offset of the next byte
    uint64_t bufferStart = 0;  // image offset of copyBuffer[0]
    uint64_t bufferBytes = 0;
  };

  unsigned fill(Cursor& c) {
    uint64_t want = imageBytes - c.pos;
    if (want > copyBufferSize) want = copyBufferSize;
    if (FS::SetFilePointer(tempFile, static_cast<long>(c.pos), nullptr, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        FS::GetLastError() != 0)
      return FS::GetLastError();
    unsigned got = 0;
    if (FS::ReadFile(tempFile, copyBuffer.get(), static_cast<unsigned>(want), &got, nullptr) != 0)
      return FS::GetLastError();
    if (got != want) return ERROR_INVALID_DATA;  // the image shrank under us
    c.bufferStart = c.pos;
    c.bufferBytes = got;
    return 0;
  }

  // Hands the n image bytes from c.pos to use(bytes, count) in the pieces
  // that the buffer holds, refilling it as needed; the caller has checked
  // that they lie inside the image.
  template <class Use>
  unsigned eachPiece(Cursor& c, uint64_t n, Use use) {
    while (n != 0) {
      if (c.pos < c.bufferStart || c.pos >= c.bufferStart + c.bufferBytes) {
        unsigned code = fill(c);
        if (code != 0) return code;
      }
      uint64_t take = c.bufferStart + c.bufferBytes - c.pos;
      if (take > n) take = n;
      use(copyBuffer.get() + (c.pos - c.bufferStart), static_cast<size_t>(take));
      c.pos += take;
      n -= take;
    }
    return 0;
  }

  unsigned readBytes(Cursor& c, void* dst, uint64_t n) {
    if (n > imageBytes - c.pos) return ERROR_INVALID_DATA;
    unsigned char* out = static_cast<unsigned char*>(dst);
    return eachPiece(c, n, [&out](const unsigned char* bytes, size_t count) {
      memcpy(out, bytes, count);
      out += count;
    });
  }

  unsigned readWord(Cursor& c, unsigned& value) {
    unsigned char b[4];
    unsigned code = readBytes(c, b, 4);
    if (code != 0) return code;
    value = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<unsigned>(b[3]) << 24);
    return 0;
  }

  // A count of UTF-16LE units and the units, all before end.
  unsigned readString(Cursor& c, uint64_t end, stdx::u16string& s) {
    if (end - c.pos < 4) return ERROR_INVALID_DATA;
    unsigned units = 0;
    unsigned code = readWord(c, units);
    if (code != 0) return code;
    if (static_cast<uint64_t>(units) * 2 > end - c.pos) return ERROR_INVALID_DATA;
    char16_t* text = s.resizeForOverwrite(units);
    code = readBytes(c, text, static_cast<uint64_t>(units) * 2);
    if (code != 0) return code;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (unsigned i = 0; i < units; ++i)
      text[i] = static_cast<char16_t>((text[i] >> 8) | (text[i] << 8));
#endif
    return 0;
  }

  // The record length word; on success end is the image offset behind the
  // record's body, which the image is known to hold.
  unsigned readRecordLength(Cursor& c, uint64_t& end) {
    unsigned length = 0;
    unsigned code = readWord(c, length);
    if (code != 0) return code;
    if (length < 4 || length - 4 > imageBytes - c.pos) return ERROR_INVALID_DATA;
    end = c.pos + (length - 4);
    return 0;
  }

  unsigned readProduct(Cursor& c, uint64_t end, const stdx::u16string* language) {
    ProductInfo p;
    unsigned code = 0;
    if (language != nullptr) p.language = *language;
    else code = readString(c, end, p.language);
    if (code == 0) code = readString(c, end, p.productName);
    if (code == 0) code = readString(c, end, p.providerName);
    if (code == 0) code = readString(c, end, p.readme);
    if (code == 0 && !isContainedPath(p.readme)) code = ERROR_INVALID_DATA;
    if (code == 0) products.push_back(p);
    return code;
  }

  unsigned readProducts(Cursor& c) {
    unsigned selector = 0;
    unsigned code = readWord(c, selector);
    if (code != 0) return code;
    if (selector == 0) {
      const stdx::u16string english(u"en");
      return readProduct(c, imageBytes, &english);
    }
    unsigned count = 0;
    code = readWord(c, count);
    if (code != 0) return code;
    if (count > (imageBytes - c.pos) / kMinProductRecordBytes) return ERROR_INVALID_DATA;
    for (unsigned i = 0; i < count; ++i) {
      uint64_t end = 0;
      code = readRecordLength(c, end);
      if (code == 0) code = readProduct(c, end, nullptr);
      if (code != 0) return code;
      c.pos = end;  // the rest of the record is not ours to read
    }
    return 0;
  }

  unsigned readFile(Cursor& c, uint64_t end) {
    FileData<FS> f;
    unsigned code = readString(c, end, f.name);
    if (code != 0) return code;
    if (!isMemberName(f.name)) return ERROR_INVALID_DATA;
    if (end - c.pos < 16) return ERROR_INVALID_DATA;
    code = readWord(c, f.lastWriteTime.dwLowDateTime);
    if (code == 0) code = readWord(c, f.lastWriteTime.dwHighDateTime);
    if (code == 0) code = readWord(c, f.offset);
    if (code == 0) code = readWord(c, f.size);
    if (code == 0 && end - c.pos >= kChecksumFieldBytes) {
      unsigned char tag[4];
      code = readBytes(c, tag, 4);
      if (code == 0 && memcmp(tag, kChecksumTag, 4) == 0) {
        code = readWord(c, f.checksum);
        f.hasChecksum = true;
      }
    }
    if (code != 0) return code;
    files.push_back(f);
    return 0;
  }

  unsigned readFiles(Cursor& c) {
    unsigned count = 0;
    unsigned code = readWord(c, count);
    if (code != 0) return code;
    if (count > (imageBytes - c.pos) / kMinFileRecordBytes) return ERROR_INVALID_DATA;
    // The count is bounded by the image, not by anything sensible: let the
    // vector grow with what is actually read beyond a modest start.
    files.reserve(count < 65536 ? count : 65536);
    for (unsigned i = 0; i < count; ++i) {
      uint64_t end = 0;
      code = readRecordLength(c, end);
      if (code == 0) code = readFile(c, end);
      if (code != 0) return code;
      c.pos = end;
    }
    return 0;
  }

  // The CRC-32 of a member's bytes, read through the copy buffer; c keeps
  // what the buffer holds, so members laid out in order cost one pass.
  unsigned checksumOf(Cursor& c, const FileData<FS>& member, unsigned& crc) {
    uLong value = crc32(0L, Z_NULL, 0);
    c.pos = member.offset;
    // Within the image: parseImage checked it.
    unsigned code = eachPiece(c, member.size, [&value](const unsigned char* bytes, size_t count) {
      value = crc32(value, bytes, static_cast<uInt>(count));
    });
    if (code != 0) return code;
    crc = static_cast<unsigned>(value);
    return 0;
  }

  // Every member that carries a checksum must match it before anything is
  // installed: damage that leaves the stream and the header intact shows
  // only here.
  unsigned checkChecksums(Cursor& c) {
    for (size_t i = 0; i < files.size(); ++i) {
      if (!files[i].hasChecksum) continue;
      unsigned crc = 0;
      unsigned code = checksumOf(c, files[i], crc);
      if (code != 0) return code;
      if (crc != files[i].checksum) return ERROR_INVALID_DATA;
    }
    return 0;
  }

  unsigned parseImage(bool checkMembers) {
    long high = 0;
    unsigned low = FS::SetFilePointer(tempFile, 0, &high, FILE_END);
    if (low == INVALID_SET_FILE_POINTER && FS::GetLastError() != 0) return FS::GetLastError();
    if (high != 0) return ERROR_INVALID_DATA;
    imageBytes = low;
    Cursor c;
    unsigned code = readProducts(c);
    if (code == 0) code = readFiles(c);
    if (code != 0) return code;
    // The data area begins behind the last record; offsets are relative to it.
    uint64_t dataStart = c.pos;
    uint64_t dataBytes = imageBytes - dataStart;
    for (size_t i = 0; i < files.size(); ++i) {
      FileData<FS>& f = files[i];
      if (f.offset > dataBytes || f.size > dataBytes - f.offset) return ERROR_INVALID_DATA;
      f.offset = static_cast<unsigned>(f.offset + dataStart);
    }
    return checkMembers ? checkChecksums(c) : 0;
  }

  unsigned copyBytes(const FileData<FS>& member, void* out) {
    if (FS::SetFilePointer(tempFile, static_cast<long>(member.offset), nullptr, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        FS::GetLastError() != 0)
      return FS::GetLastError();
    unsigned remaining = member.size;
    while (remaining != 0) {
      // Ask for no more than the member holds: a small member must not
      // drag a whole buffer's worth of the image through memory.
      unsigned want = remaining < copyBufferSize ? remaining : copyBufferSize;
      unsigned got = 0;
      if (FS::ReadFile(tempFile, copyBuffer.get(), want, &got, nullptr) != 0)
        return FS::GetLastError();
      if (got == 0) return ERROR_INVALID_DATA;  // the image ends inside the member
      unsigned written = 0;
      if (FS::WriteFile(out, copyBuffer.get(), got, &written, nullptr) != 0)
        return FS::GetLastError();
      remaining -= got;
    }
    return 0;
  }

  // Two members that are one file would make the second's backup take the
  // first's place: such a package is damaged.
  unsigned collectMemberPaths() {
    memberPaths_.reserve(files.size());
    for (size_t i = 0; i < files.size(); ++i) memberPaths_.push_back(normalizedMemberPath(files[i].name));
    std::sort(memberPaths_.begin(), memberPaths_.end(),
              [](const stdx::u16string& a, const stdx::u16string& b) { return a.compare(b) < 0; });
    for (size_t i = 1; i < memberPaths_.size(); ++i) {
      if (memberPaths_[i] == memberPaths_[i - 1]) return ERROR_INVALID_DATA;
    }
    return 0;
  }

  void discardImage() {
    if (tempFile != INVALID_HANDLE_VALUE) {
      FS::CloseHandle(tempFile);  // an unnamed image goes with its handle
      tempFile = INVALID_HANDLE_VALUE;
    }
    imageBytes = 0;
  }

  void* tempFile;  // the image, open for reading and writing, or INVALID_HANDLE_VALUE
  Compressor compressor;
  const unsigned copyBufferSize;
  std::unique_ptr<unsigned char[]> copyBuffer;
  uint64_t imageBytes;  // size of the open image; always below 4 GiB
  std::vector<stdx::u16string> memberPaths_;
};

}  // namespace config
