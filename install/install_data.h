// The package reader. A package is one raw DEFLATE stream; inflated, it is
// the package image: a header that lists product descriptions and member
// files, then the data area with the members' bytes, uncompressed. The
// reader inflates the package once into a temporary image, parses the
// header, keeps the image open and copies single members out of it. The
// image has no name: it goes with its handle, and with the process however
// the process ends.
//
// The inflate runs on a thread of its own and the image is usable while it
// grows: openHeader() returns once the header is parsed, a member can be
// copied as soon as its bytes are in the image (awaitMember), and
// awaitImage() tells whether the whole image turned out sound. Every
// member's checksum is compared as its bytes go by, on the thread that
// writes the image.
//
// Thread safety: open(), openHeader() and the reads of the lists run on one
// thread before the install thread starts; copy() runs on the install
// thread alone, and the lists do not change after the open. The await
// calls and stopInflating() may be called from any thread. The image is
// written at the feed thread's file position and read only at explicit
// offsets.
#pragma once

#include <stdint.h>
#include <string.h>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "install/checksum.h"
#include "install/lz_compressor.h"
#include "install/member_verifier.h"
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

// What the await calls return while the bytes asked for are still to come.
const unsigned kErrorPending = ERROR_IO_PENDING;

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
        copyBuffer(new unsigned char[kCopyBufferSize]) {}
  // Stops the inflate and closes the image, which takes it away.
  ~InstallData() { discardImage(); }
  InstallData(const InstallData&) = delete;
  InstallData& operator=(const InstallData&) = delete;

  // Inflates the whole package into a new unnamed image in the temporary
  // directory, then parses its header into products and files and checks
  // every member. Returns 0 on success; the code of the temporary file,
  // decompressor or file layer on failure (ERROR_DISK_FULL when the image
  // does not fit); ERROR_INVALID_DATA (13) for a damaged package: a corrupt
  // stream, a header that the image cannot hold (short strings, record
  // lengths below 4 or past the image, counts too large, members past the
  // end of the image), a member name that would leave the target
  // directory, two members that name one file, or a member whose bytes do
  // not match its checksum. On failure the image is gone and files is
  // empty; products keeps what was read before the failure. checkMembers
  // false skips the checksums (for a tool that reports them one by one with
  // memberChecksums). Every file call happens on the calling thread or
  // before the feed thread ends, in one order: the image is inflated first.
  unsigned open(const stdx::u16string& packagePath, bool checkMembers = true) {
    return openImage(packagePath, checkMembers, true);
  }

  // Starts inflating the package and returns as soon as the header is
  // parsed; the rest of the image follows in the background. The codes of
  // open() for what the header shows; damage behind it, or a temporary
  // directory that fills up later, is reported by the await calls.
  unsigned openHeader(const stdx::u16string& packagePath, bool checkMembers = true) {
    return openImage(packagePath, checkMembers, false);
  }

  // Waits at most timeoutMs (-1: as long as it takes) until the bytes of
  // member index are in the image (whole false: its first bytes, enough
  // for copyTo to begin with). 0 when they are; kErrorPending when the time
  // ran out; the failure of the image (see awaitImage) as soon as there is
  // one; ERROR_INVALID_DATA when the image ended before them.
  unsigned awaitMember(uint64_t index, int timeoutMs, bool whole = true) {
    if (index >= files.size()) return ERROR_INVALID_PARAMETER;
    const FileData<FS>& member = files[static_cast<size_t>(index)];
    uint64_t end = static_cast<uint64_t>(member.offset) + member.size;
    if (!whole) end = std::min<uint64_t>(end, static_cast<uint64_t>(member.offset) + 1);
    return awaitBytes(end, timeoutMs, nullptr, true);
  }

  // Waits at most timeoutMs (-1: as long as it takes) until the whole
  // image is inflated and checked. 0 when it is sound; kErrorPending when
  // the time ran out; else why it cannot be used: the codes of open(), or
  // ERROR_CANCELLED after stopInflating(). Only after a successful open.
  unsigned awaitImage(int timeoutMs) {
    std::unique_lock<std::mutex> lock(feedMutex_);
    auto settled = [this] { return feedCode_ != 0 || (feedEnded_ && membersPosted_); };
    if (!waitFeed(lock, timeoutMs, settled)) return kErrorPending;
    return feedCode_;
  }

  // Asks the inflate to stop at its next piece, without waiting for it; the
  // image is then reported as ERROR_CANCELLED. Safe from any thread.
  void stopInflating() { stopInflating_.store(true); }

  // Gives the image's storage before offset back to the file system, once
  // nothing will be copied from there again: the image then never holds
  // much more than what is still to be copied, and its pages serve the
  // copies. Works in steps of kReleaseStep; a member that lies in released
  // bytes can no longer be copied. Install thread only.
  void releaseBefore(uint64_t offset) {
    uint64_t checked = 0;
    {
      std::lock_guard<std::mutex> hold(feedMutex_);
      checked = checked_;
    }
    uint64_t end = std::min(offset, checked);
    if (end >= kImageLimit) end = checked;  // everything there is
    else end -= end % kReleaseStep;
    if (end <= released_ || tempFile == INVALID_HANDLE_VALUE) return;
    // Only a saving: where holes cannot be made the image keeps its bytes.
    if (FS::ReleaseFileRange(tempFile, released_, end - released_) == 0) released_ = end;
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
  // it. Only after a successful open; copies the member's bytes as they
  // come, waiting for the rest as awaitMember does. Returns 0;
  // ERROR_INVALID_PARAMETER for an index out
  // of range; the code of the first failing file call; the image's failure
  // or ERROR_INVALID_DATA when the image ends before the member does.
  // Allocates nothing: all bytes pass through the one copy buffer. Install
  // thread only.
  unsigned copyTo(uint64_t index, void* out) {
    if (index >= files.size()) return ERROR_INVALID_PARAMETER;
    if (tempFile == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    const FileData<FS>& member = files[static_cast<size_t>(index)];
    if (member.offset < released_ && member.size != 0) return ERROR_INVALID_PARAMETER;
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
  // order, in one pass over the image. Only after a successful open() (the
  // whole image). 0 or the code of a failing read.
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
  // Checks read back from the image pass through a buffer of this size.
  static const unsigned kCatchUpBytes = 0x40000;
  // The image's storage is given back in steps of this size.
  static const uint64_t kReleaseStep = 4u << 20;
  // Pieces of the image on their way from the inflate to the feed thread.
  static const size_t kRingSlots = 8;

  unsigned openImage(const stdx::u16string& packagePath, bool checkMembers, bool wholeFirst) {
    discardImage();
    products.clear();
    files.clear();
    memberPaths_.clear();
    stdx::u16string dir;
    unsigned code = FS::GetTempPath(dir);
    if (code == 0) code = FS::CreateTempFile(dir, tempFile);
    // The fast inflater's verdict may stand only where the members' checks
    // cover every byte used: unknown until the header is read (and not
    // worth waiting for when the whole image comes first).
    compressor.setCoverage(wholeFirst ? lz_detail::kCoveragePartial : lz_detail::kCoverageUnknown);
    if (code == 0) code = startInflating(packagePath);
    if (code == 0 && wholeFirst) code = awaitInflater();
    if (code == 0) code = parseImage();
    if (code == 0) {
      bool whole = checkMembers && std::all_of(files.begin(), files.end(),
                                               [](const FileData<FS>& f) { return f.hasChecksum; });
      compressor.setCoverage(whole ? lz_detail::kCoverageWhole : lz_detail::kCoveragePartial);
    }
    if (code == 0) code = collectMemberPaths();
    if (code == 0) code = postMembers(checkMembers);
    if (code == 0 && wholeFirst) code = awaitImage(-1);
    if (code != 0) {
      files.clear();
      memberPaths_.clear();
      discardImage();
    }
    return code;
  }

  // --- the inflating thread --------------------------------------------------

  unsigned startInflating(const stdx::u16string& packagePath) {
    stopInflating_.store(false);
    inflated_ = 0;
    checked_ = 0;
    released_ = 0;
    copyRangeWorks_ = true;
    imageBytes_ = 0;
    feedEnded_ = false;
    membersPosted_ = false;
    feedCode_ = 0;
    written_ = 0;
    verifying_ = false;
    try {
      feedThread_ = std::thread([this, packagePath] { feedImage(packagePath); });
    } catch (const std::system_error&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    return 0;
  }

  // The feed thread. The inflate runs on a thread of its own and hands its
  // pieces over through a small ring; this thread writes them into the
  // image, checks the members on the way and offers the bytes to the
  // readers. The inflate is the slowest step of an install: split off, it
  // has a core to itself, and the writing shares the other with the copy.
  void feedImage(const stdx::u16string& packagePath) {
    ringHead_ = ringTail_ = ringFilled_ = 0;
    ringClosed_ = false;
    ringCode_ = ringFailed_ = 0;
    unsigned code = 0;
    std::thread inflate;
    try {
      inflate = std::thread([this, packagePath] {
        closeRing(compressor.template unpackTo<FS>(packagePath, &InstallData::queuePiece, this));
      });
    } catch (const std::system_error&) {
      code = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (code == 0) {
      code = drainRing();
      inflate.join();
    }
    {
      std::lock_guard<std::mutex> hold(feedMutex_);
      if (code != 0 || !membersPosted_) {
        // The header's reader checks the members itself once it sees the end.
        endFeed(code);
        return;
      }
    }
    // The members were handed over: finish their checks here.
    if (!verifying_) code = catchUp(written_);
    if (code == 0) code = verifier_.finish(written_);
    std::lock_guard<std::mutex> hold(feedMutex_);
    if (code == 0) checked_ = written_;
    endFeed(code);
  }

  static unsigned queuePiece(void* context, const void* data, unsigned count) {
    return static_cast<InstallData*>(context)->queuePiece(static_cast<const unsigned char*>(data), count);
  }

  // The inflate's side of the ring: waits for a free slot and fills it. A
  // failure of the writing side ends the inflate with its code.
  unsigned queuePiece(const unsigned char* data, unsigned count) {
    if (stopInflating_.load()) return ERROR_CANCELLED;
    size_t slot = 0;
    {
      std::unique_lock<std::mutex> lock(ringMutex_);
      ringChanged_.wait(lock, [this] { return ringFilled_ < kRingSlots || ringFailed_ != 0; });
      if (ringFailed_ != 0) return ringFailed_;
      slot = ringHead_;
    }
    std::vector<unsigned char>& bytes = ring_[slot].bytes;
    if (bytes.size() < count) bytes.resize(count);
    memcpy(bytes.data(), data, count);
    ring_[slot].count = count;
    {
      std::lock_guard<std::mutex> hold(ringMutex_);
      ringHead_ = (slot + 1) % kRingSlots;
      ++ringFilled_;
    }
    ringChanged_.notify_all();
    return 0;
  }

  // The inflate's last word: code, or 0 at the end of the stream.
  void closeRing(unsigned code) {
    {
      std::lock_guard<std::mutex> hold(ringMutex_);
      ringClosed_ = true;
      ringCode_ = code;
    }
    ringChanged_.notify_all();
  }

  // The feed thread's side of the ring: takes every piece in turn until the
  // inflate has ended and the ring is empty. The inflate's code, or the
  // first failure of the writing.
  unsigned drainRing() {
    for (;;) {
      size_t slot = 0;
      {
        std::unique_lock<std::mutex> lock(ringMutex_);
        ringChanged_.wait(lock, [this] { return ringFilled_ != 0 || ringClosed_; });
        if (ringFilled_ == 0) return ringCode_;
        slot = ringTail_;
      }
      unsigned code = takePiece(ring_[slot].bytes.data(), ring_[slot].count);
      {
        std::lock_guard<std::mutex> hold(ringMutex_);
        ringTail_ = (slot + 1) % kRingSlots;
        --ringFilled_;
        if (code != 0) ringFailed_ = code;
      }
      ringChanged_.notify_all();
      if (code != 0) return code;
    }
  }

  // Lock held. The feed thread's last word.
  void endFeed(unsigned code) {
    feedEnded_ = true;
    imageBytes_ = written_;
    if (feedCode_ == 0) feedCode_ = code;
    feedChanged_.notify_all();
  }

  // One piece of the image, in order: written, checked against the members
  // it covers, then offered to the readers.
  unsigned takePiece(const unsigned char* data, unsigned count) {
    if (stopInflating_.load()) return ERROR_CANCELLED;
    unsigned written = 0;
    if (FS::WriteFile(tempFile, data, count, &written, nullptr) != 0) return FS::GetLastError();
    uint64_t at = written_;
    written_ += count;
    if (!verifying_) {
      bool posted = false;
      {
        std::lock_guard<std::mutex> hold(feedMutex_);
        posted = membersPosted_;
      }
      if (posted) {
        // What went by before the members were known is read back once.
        unsigned code = catchUp(at);
        if (code != 0) return code;
        verifying_ = true;
      }
    }
    if (verifying_) {
      unsigned code = verifier_.consume(at, data, count);
      if (code != 0) return code;
    }
    std::lock_guard<std::mutex> hold(feedMutex_);
    inflated_ = written_;
    if (verifying_) checked_ = written_;
    feedChanged_.notify_all();
    return 0;
  }

  // Hands the image bytes from the verifier's position up to end to it,
  // read back from the image.
  unsigned catchUp(uint64_t end) {
    std::unique_ptr<unsigned char[]> buffer;
    while (verifier_.position() < end) {
      if (!buffer) buffer.reset(new unsigned char[kCatchUpBytes]);
      uint64_t at = verifier_.position();
      unsigned want = static_cast<unsigned>(std::min<uint64_t>(end - at, kCatchUpBytes));
      unsigned got = 0;
      if (FS::ReadFileAt(tempFile, at, buffer.get(), want, &got) != 0) return FS::GetLastError();
      if (got != want) return ERROR_INVALID_DATA;  // the image shrank under us
      unsigned code = verifier_.consume(at, buffer.get(), got);
      if (code != 0) return code;
    }
    return 0;
  }

  // Hands the parsed members to the checks: to the feed thread while it runs,
  // else they are checked here over the finished image.
  unsigned postMembers(bool checkMembers) {
    std::vector<MemberVerifier::Member> members;
    members.reserve(files.size());
    for (const FileData<FS>& f : files) {
      members.push_back(MemberVerifier::Member{f.offset, static_cast<uint64_t>(f.offset) + f.size,
                                               checkMembers && f.hasChecksum, f.checksum});
    }
    verifier_.reset(std::move(members));
    uint64_t imageBytes = 0;
    {
      std::lock_guard<std::mutex> hold(feedMutex_);
      if (!feedEnded_) {
        membersPosted_ = true;
        return 0;
      }
      if (feedCode_ != 0) return feedCode_;
      imageBytes = imageBytes_;
    }
    unsigned code = catchUp(imageBytes);
    if (code == 0) code = verifier_.finish(imageBytes);
    std::lock_guard<std::mutex> hold(feedMutex_);
    membersPosted_ = true;
    if (feedCode_ == 0) feedCode_ = code;
    if (code == 0) checked_ = imageBytes;
    feedChanged_.notify_all();
    return code;
  }

  // Waits for the feed thread's end; its code.
  unsigned awaitInflater() {
    std::unique_lock<std::mutex> lock(feedMutex_);
    feedChanged_.wait(lock, [this] { return feedEnded_; });
    return feedCode_;
  }

  template <class Ready>
  bool waitFeed(std::unique_lock<std::mutex>& lock, int timeoutMs, Ready ready) {
    if (timeoutMs < 0) {
      feedChanged_.wait(lock, ready);
      return true;
    }
    return feedChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
  }

  // Waits until the image holds end bytes (checked: bytes that the
  // members' checks have gone over, which is what a copy may use). 0,
  // kErrorPending, the image's failure, or ERROR_INVALID_DATA when it ended
  // shorter; available gets how many bytes it holds.
  unsigned awaitBytes(uint64_t end, int timeoutMs, uint64_t* available, bool checked = false) {
    std::unique_lock<std::mutex> lock(feedMutex_);
    const uint64_t& frontier = checked ? checked_ : inflated_;
    auto ready = [this, end, &frontier] {
      return feedCode_ != 0 || frontier >= end || feedEnded_;
    };
    if (!waitFeed(lock, timeoutMs, ready)) return kErrorPending;
    if (available != nullptr) *available = frontier;
    if (feedCode_ != 0) return feedCode_;
    return frontier >= end ? 0u : static_cast<unsigned>(ERROR_INVALID_DATA);
  }

  // --- the header ---------------------------------------------------------------

  // Sequential reads of the header through the copy buffer (idle until the
  // install starts), so that a header of many small records costs few
  // reads. Each read waits for the bytes it needs.
  struct Cursor {
    uint64_t pos = 0;          // image offset of the next byte
    uint64_t bufferStart = 0;  // image offset of copyBuffer[0]
    uint64_t bufferBytes = 0;
  };

  unsigned fill(Cursor& c) {
    uint64_t available = 0;
    unsigned code = awaitBytes(c.pos + 1, -1, &available);
    if (code != 0) return code;
    unsigned want = static_cast<unsigned>(std::min<uint64_t>(available - c.pos, copyBufferSize));
    unsigned got = 0;
    if (FS::ReadFileAt(tempFile, c.pos, copyBuffer.get(), want, &got) != 0) return FS::GetLastError();
    if (got != want) return ERROR_INVALID_DATA;  // the image shrank under us
    c.bufferStart = c.pos;
    c.bufferBytes = got;
    return 0;
  }

  // Hands the n image bytes from c.pos to use(bytes, count) in the pieces
  // that the buffer holds, refilling it as needed; ERROR_INVALID_DATA when
  // the image ends before them.
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
    if (n > kImageLimit - c.pos) return ERROR_INVALID_DATA;
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
    uint64_t bytes = static_cast<uint64_t>(units) * 2;
    if (bytes > end - c.pos) return ERROR_INVALID_DATA;
    // Nothing is allocated for text that the image does not hold.
    code = awaitBytes(c.pos + bytes, -1, nullptr);
    if (code != 0) return code;
    char16_t* text = s.resizeForOverwrite(units);
    code = readBytes(c, text, bytes);
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
    if (length < 4 || length - 4 > kImageLimit - c.pos) return ERROR_INVALID_DATA;
    end = c.pos + (length - 4);
    return awaitBytes(end, -1, nullptr);
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
      return readProduct(c, kImageLimit, &english);
    }
    unsigned count = 0;
    code = readWord(c, count);
    if (code != 0) return code;
    if (count > (kImageLimit - c.pos) / kMinProductRecordBytes) return ERROR_INVALID_DATA;
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
    if (count > (kImageLimit - c.pos) / kMinFileRecordBytes) return ERROR_INVALID_DATA;
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
    unsigned value = 0;
    c.pos = member.offset;
    unsigned code = eachPiece(c, member.size, [&value](const unsigned char* bytes, size_t count) {
      value = crc32Update(value, bytes, count);
    });
    if (code != 0) return code;
    crc = value;
    return 0;
  }

  // Products and files, with each member's offset made absolute. Whether
  // the image holds each member is known only at its end (the checks of
  // postMembers); here a member must at least be addressable.
  unsigned parseImage() {
    Cursor c;
    unsigned code = readProducts(c);
    if (code == 0) code = readFiles(c);
    if (code != 0) return code;
    // The data area begins behind the last record; offsets are relative to it.
    uint64_t dataStart = c.pos;
    for (size_t i = 0; i < files.size(); ++i) {
      FileData<FS>& f = files[i];
      uint64_t start = dataStart + f.offset;
      if (start + f.size > kImageLimit) return ERROR_INVALID_DATA;
      f.offset = static_cast<unsigned>(start);
    }
    return 0;
  }

  // Copies the member as its bytes come: a large member is mostly copied
  // by the time its last byte is inflated.
  unsigned copyBytes(const FileData<FS>& member, void* out) {
    uint64_t at = member.offset;
    const uint64_t end = at + member.size;
    while (at < end) {
      uint64_t available = 0;
      unsigned code = awaitBytes(at + 1, -1, &available, true);
      if (code != 0) return code;
      uint64_t until = std::min(available, end);
      code = copyRange(at, static_cast<unsigned>(until - at), out);
      if (code != 0) return code;
      at = until;
    }
    return 0;
  }

  // Copies count image bytes from at, which the image holds, to out.
  unsigned copyRange(uint64_t at, unsigned count, void* out) {
    unsigned remaining = count;
    // Inside the kernel where the two files allow it: one copy of the
    // bytes instead of two, and no trip through this process's memory.
    while (remaining != 0 && copyRangeWorks_) {
      unsigned copied = 0;
      unsigned code = FS::CopyFileRange(tempFile, at, out, remaining, &copied);
      if (code == ERROR_NOT_SUPPORTED) {
        copyRangeWorks_ = false;
        break;
      }
      if (code != 0) return code;
      if (copied == 0) return ERROR_INVALID_DATA;  // the image shrank under us
      at += copied;
      remaining -= copied;
    }
    while (remaining != 0) {
      // Ask for no more than the range holds: a small member must not
      // drag a whole buffer's worth of the image through memory.
      unsigned want = remaining < copyBufferSize ? remaining : copyBufferSize;
      unsigned got = 0;
      if (FS::ReadFileAt(tempFile, at, copyBuffer.get(), want, &got) != 0) return FS::GetLastError();
      if (got == 0) return ERROR_INVALID_DATA;  // the image shrank under us
      unsigned written = 0;
      if (FS::WriteFile(out, copyBuffer.get(), got, &written, nullptr) != 0)
        return FS::GetLastError();
      at += got;
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

  // Stops the decompression, waits for the feed thread, and closes the image.
  void discardImage() {
    stopInflating_.store(true);
    if (feedThread_.joinable()) feedThread_.join();
    if (tempFile != INVALID_HANDLE_VALUE) {
      FS::CloseHandle(tempFile);  // an unnamed image goes with its handle
      tempFile = INVALID_HANDLE_VALUE;
    }
  }

  void* tempFile;  // the image, open for reading and writing, or INVALID_HANDLE_VALUE
  Compressor compressor;
  const unsigned copyBufferSize;
  std::unique_ptr<unsigned char[]> copyBuffer;
  std::vector<stdx::u16string> memberPaths_;

  // Shared by the feed thread and the image's readers, under feedMutex_.
  std::mutex feedMutex_;
  std::condition_variable feedChanged_;
  uint64_t inflated_ = 0;       // bytes of the image written so far
  uint64_t checked_ = 0;        // of them, the bytes the members' checks went over
  uint64_t imageBytes_ = 0;     // the whole image, once the feed thread has ended
  bool feedEnded_ = false;
  bool membersPosted_ = false;  // the members' checks are under way or done
  unsigned feedCode_ = 0;       // the first reason the image cannot be used
  std::atomic<bool> stopInflating_{false};

  // The ring between the inflate and the feed thread, under ringMutex_;
  // a slot's bytes belong to the side that holds it.
  struct Slot {
    std::vector<unsigned char> bytes;
    unsigned count = 0;
  };
  std::mutex ringMutex_;
  std::condition_variable ringChanged_;
  Slot ring_[kRingSlots];
  size_t ringHead_ = 0;    // the slot the inflate fills next
  size_t ringTail_ = 0;    // the slot the feed thread writes next
  size_t ringFilled_ = 0;  // slots holding a piece
  bool ringClosed_ = false;
  unsigned ringCode_ = 0;    // the inflate's code once closed
  unsigned ringFailed_ = 0;  // the feed thread's failure: the inflate stops

  // The feed thread's own: how much it wrote, and whether it checks members.
  uint64_t written_ = 0;
  bool verifying_ = false;
  MemberVerifier verifier_;  // the feed thread's once posted; before, the header's reader's

  // The install thread's: the image below released_ is gone, and whether
  // the kernel can copy from the image to the targets.
  uint64_t released_ = 0;
  bool copyRangeWorks_ = true;
  std::thread feedThread_;  // last: joined before anything above goes
};

}  // namespace config
