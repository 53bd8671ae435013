// Copies members out of the package image into the target's files, and
// reads their checksums back from it: the image's reader on the install
// thread.
//
// Thread safety: one copier belongs to the install thread (or, before it
// starts, to the thread that opened the package). It shares nothing with
// the threads that write the image but the frontiers, which it waits at
// through the image; it reads the image at explicit offsets only, and only
// bytes that the members' checks have gone over.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "install/checksum.h"
#include "install/package_header.h"
#include "platform/file_system.h"

namespace config {

// Image gives awaitBytes(end, timeoutMs, available, checked), handle() and
// readFailed(code) as PackageImage does.
template <class FS, class Image>
class MemberCopier {
 public:
  static const unsigned kCopyBufferSize = 0x100000;

  explicit MemberCopier(Image& image) : image_(image), copyBuffer_(new unsigned char[kCopyBufferSize]) {}
  MemberCopier(const MemberCopier&) = delete;
  MemberCopier& operator=(const MemberCopier&) = delete;

  // Writes member into out, an empty file open for writing at its start
  // (new, so nothing behind the member's bytes needs cutting), and gives
  // it the member's last-write time; the caller closes it.
  // Copies the member's bytes as they come, waiting for the rest. Returns 0;
  // the code of the first failing file call; the image's failure or
  // ERROR_INVALID_DATA when the image ends before the member does.
  // Allocates nothing: all bytes pass through the one copy buffer.
  FsResult copyTo(const FileData<FS>& member, void* out) {
    FsResult code = copyBytes(member, out);
    if (code == 0) code = FS::SetFileTime(out, nullptr, nullptr, &member.lastWriteTime);
    return code;
  }

  // The CRC-32 of every member's bytes as the image holds them, in file
  // order, in one pass over a finished image. 0 or the result of a failing read.
  FsResult memberChecksums(const std::vector<FileData<FS>>& files, std::vector<unsigned>& crcs) {
    crcs.assign(files.size(), 0);
    bufferStart_ = bufferBytes_ = 0;
    for (size_t i = 0; i < files.size(); ++i) {
      FsResult code = checksumOf(files[i], crcs[i]);
      if (code != 0) return code;
    }
    return 0;
  }

 private:
  // The CRC-32 of a member's bytes, read through the copy buffer, which
  // keeps what it holds, so that members laid out in order cost one pass.
  FsResult checksumOf(const FileData<FS>& member, unsigned& crc) {
    unsigned value = 0;
    uint64_t at = member.offset;
    uint64_t n = member.size;
    while (n != 0) {
      if (at < bufferStart_ || at >= bufferStart_ + bufferBytes_) {
        unsigned got = 0;
        FsResult code = FS::ReadFileAt(image_.handle(), at, copyBuffer_.get(), kCopyBufferSize, &got);
        if (code != 0) return imageReadFailed(code);
        if (got == 0) return ERROR_INVALID_DATA;  // the image ends before the member
        bufferStart_ = at;
        bufferBytes_ = got;
      }
      uint64_t take = std::min(bufferStart_ + bufferBytes_ - at, n);
      value = crc32Update(value, copyBuffer_.get() + (at - bufferStart_), static_cast<size_t>(take));
      at += take;
      n -= take;
    }
    crc = value;
    return 0;
  }

  // Copies the member as its bytes come: a large member is mostly copied
  // by the time its last byte is inflated.
  FsResult copyBytes(const FileData<FS>& member, void* out) {
    uint64_t at = member.offset;
    const uint64_t end = at + member.size;
    while (at < end) {
      uint64_t available = 0;
      FsResult code = image_.awaitBytes(at + 1, -1, &available, true);
      if (code != 0) return code;
      uint64_t until = std::min(available, end);
      FsResult copied = copyRange(at, static_cast<unsigned>(until - at), out);
      if (copied != 0) return copied;
      at = until;
    }
    return 0;
  }

  // Copies count image bytes from at, which the image holds, to out.
  FsResult copyRange(uint64_t at, unsigned count, void* out) {
    unsigned remaining = count;
    // Inside the kernel where the two files allow it: one copy of the
    // bytes instead of two, and no trip through this process's memory.
    while (remaining != 0 && copyRangeWorks_) {
      unsigned copied = 0;
      FsResult code = FS::CopyFileRange(image_.handle(), at, out, remaining, &copied);
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
      unsigned want = remaining < kCopyBufferSize ? remaining : kCopyBufferSize;
      unsigned got = 0;
      FsResult code = FS::ReadFileAt(image_.handle(), at, copyBuffer_.get(), want, &got);
      if (code != 0) return imageReadFailed(code);
      if (got == 0) return ERROR_INVALID_DATA;  // the image shrank under us
      unsigned written = 0;
      code = FS::WriteFile(out, copyBuffer_.get(), got, &written, nullptr);
      if (code != 0) return code;
      at += got;
      remaining -= got;
    }
    return 0;
  }

  // A read of the image failed: that is the image's failure (its
  // temporary directory's), not the member's target, and the image says so
  // from now on. (A kernel copy that fails cannot tell its two sides apart:
  // its failure stays the target's.)
  FsResult imageReadFailed(FsResult code) {
    image_.readFailed(code);
    return code;
  }

  Image& image_;
  std::unique_ptr<unsigned char[]> copyBuffer_;
  uint64_t bufferStart_ = 0;  // image offset of what the buffer holds for checksumOf
  uint64_t bufferBytes_ = 0;
  bool copyRangeWorks_ = true;  // whether the kernel copies from the image to the targets
};

}  // namespace config
