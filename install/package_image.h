// The package image: the package inflated into a temporary file without a
// name, which goes with its handle, and with the process however the
// process ends. The image is usable while it grows: readers wait for the
// bytes they need at the frontiers.
//
// Three threads meet here, and they share only the frontiers:
// - the inflate thread runs the decompressor and hands its pieces to the
//   feed thread through a small ring (ringMutex_: head, tail, fill count,
//   the close and failure codes; a slot's bytes belong to the side that
//   holds it). It owns queued_, the bytes the decompressor produced; it
//   waits at the gate (feedMutex_: wanted_, storeEnd_) until the header
//   is read, and drops what lies behind the image's end;
// - the feed thread writes each piece at the end of the image (or, for a
//   member whose file the installer made before its bytes came, into that
//   file: see member_delivery.h), checks the members on the way (it owns
//   written_, imageAt_, verifying_ and, once the members are posted,
//   verifier_), and moves the frontiers (feedMutex_: inflated_, checked_,
//   imageBytes_, feedEnded_, membersPosted_, feedCode_);
// - the readers (the thread that parses the header, then the install
//   thread) wait at the frontiers and read the image at explicit offsets
//   only; the install thread alone gives storage back (released_). The
//   header's reader moves the gate: what it asked for (wanted_), then the
//   image's end once the header is known (limitTo).
// stopInflating() and the await calls may be called from any thread.
#pragma once

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "install/failure_words.h"
#include "install/lz_compressor.h"
#include "install/member_delivery.h"
#include "install/member_verifier.h"
#include "install/package_header.h"
#include "install/signed_reads.h"
#include "platform/file_system.h"
#include "platform/populated_memory.h"
#include "platform/stdx_string.h"

namespace config {

// What the await calls return while the bytes asked for are still to come.
const unsigned kErrorPending = ERROR_IO_PENDING;

// The stream may run on behind the image's end by no more than the image
// itself (and at least 64 MiB): no packer writes such a tail, and a longer
// one is a bomb, refused at once rather than after gigabytes.
inline uint64_t max_tail_bytes(uint64_t imageEnd) { return std::max<uint64_t>(imageEnd, 64u << 20); }


template <class Compressor, class FS>
class PackageImage {
 public:
  PackageImage() = default;
  // Stops the inflate and closes the image, which takes it away.
  ~PackageImage() { discard(); }
  PackageImage(const PackageImage&) = delete;
  PackageImage& operator=(const PackageImage&) = delete;

  // Creates a new unnamed image in the temporary directory and starts
  // inflating packagePath into it. gated: the image holds no more than
  // kLookAheadBytes beyond what the header's reader asked for, until
  // limitTo() names its end; else the whole stream is stored. 0, or the
  // result of the temporary file's creation, or ERROR_NOT_ENOUGH_MEMORY
  // when the thread could not start.
  FsResult start(const stdx::u16string& packagePath, bool gated = false);

  // Stops the decompression, waits for the feed thread, and closes the image.
  void discard();

  // The package's reads feed check (may be null) from the next start(); a
  // signature that does not verify fails the image as damage would.
  void checkSignature(SignatureCheck* check) { signatureCheck_ = check; }

  // The image, open for reading and writing; INVALID_HANDLE_VALUE when none.
  void* handle() const { return tempFile_; }

  // Asks the inflate to stop at its next piece, without waiting for it; the
  // image is then reported as ERROR_CANCELLED. Safe from any thread.
  void stopInflating();

  // The image ends at end: bytes behind it are inflated (the stream must
  // still be sound to its end) but not stored, and the gate opens. From
  // the header's reader, once.
  // What the image stored behind end before end was known goes again.
  // 0 or the result of the failing file call.
  FsResult limitTo(uint64_t end);

  // Bytes of the image written so far.
  uint64_t inflatedBytes();

  // Waits until the image holds end bytes (checked: bytes that the
  // members' checks have gone over, which is what a copy may use). 0,
  // kErrorPending when timeoutMs (-1: no limit) ran out, the image's
  // failure (for checked bytes even when they are there), or
  // ERROR_INVALID_DATA when it ended shorter; available gets how many bytes
  // it holds.
  FsResult awaitBytes(uint64_t end, int timeoutMs, uint64_t* available, bool checked = false);

  // Waits for the feed thread's end; its result.
  FsResult awaitInflater();

  // Waits at most timeoutMs (-1: as long as it takes) until the whole
  // image is inflated and checked. 0 when it is sound; kErrorPending when
  // the time ran out; else why it cannot be used (failureOf tells where).
  FsResult awaitImage(int timeoutMs);

  // Hands the members to the checks: to the feed thread while it runs,
  // else they are checked here over the finished image. Once, from the
  // thread that parsed the header.
  FsResult postMembers(std::vector<MemberVerifier::Member> members);

  // Gives the image's storage before offset back to the file system, once
  // nothing will be copied from there again: the image then never holds
  // much more than what is still to be copied, and its pages serve the
  // copies. Works in steps of kReleaseStep. Install thread only.
  void releaseBefore(uint64_t offset);

  // The image below this offset is gone. Install thread only.
  uint64_t released() const { return released_; }

  // Where the feed thread writes members straight into their files (see
  // MemberDelivery); set up with the members' checks.
  MemberDelivery<FS>& delivery() { return delivery_; }

  // A reader could not read the image back: from now on that is the
  // image's failure, as a failed write would be. Any thread.
  void readFailed(FsResult code);

  // Where code, a failure that this image or a reader of it returned, lies.
  // A code with an errno is the temporary directory's (the image's
  // creation, a write, a read back, a cut), unless the inflate found the
  // package file itself unreadable; one without is damage of the package's
  // bytes. ERROR_CANCELLED lies nowhere.
  ImageFailure failureOf(FsResult code);

 private:
  // Checks read back from the image pass through a buffer of this size.
  static const unsigned kCatchUpBytes = 0x40000;
  // The image's storage is given back in steps of this size.
  static const uint64_t kReleaseStep = 4u << 20;
  // Pieces of the image on their way from the inflate to the feed thread,
  // each as large as the decompressor's output buffer.
  static const size_t kRingSlots = 8;
  static const unsigned kSlotBytes = 0x20000;
  // Before the header is read, the image may run this far ahead of it.
  static const uint64_t kLookAheadBytes = 4u << 20;
  static const uint64_t kNoEnd = ~static_cast<uint64_t>(0);

  // The feed thread. The inflate runs on a thread of its own and hands its
  // pieces over through a small ring; this thread writes them into the
  // image, checks the members on the way and offers the bytes to the
  // readers. The inflate is the slowest step of an install: split off, it
  // has a core to itself, and the writing shares the other with the copy.
  void feedImage(const stdx::u16string& packagePath) {
    ringHead_ = ringTail_ = ringFilled_ = 0;
    ringClosed_ = false;
    ringCode_ = ringFailed_ = FsResult();
    queueFailed_ = false;
    FsResult code;
    std::thread inflate;
    try {
      inflate = std::thread([this, packagePath] {
        // The signature, when one is checked, is hashed from these reads.
        SignatureCheckScope hashing(signatureCheck_);
        FsResult code = compressor_.template unpackTo<SignedReads<FS>>(packagePath, &PackageImage::queuePiece, this);
        // Damage is judged too: under a pinned key, a changed package is told as such.
        if (signatureCheck_ != nullptr && (code == 0 || code == ERROR_INVALID_DATA)) {
          FsResult signature = finish_signature_check<FS>(*signatureCheck_, packagePath);
          if (code == 0) code = signature;
        }
        closeRing(code);
      });
    } catch (const std::system_error&) {
      code = ERROR_NOT_ENOUGH_MEMORY;
    }
    bool packageFile = false;
    if (code == 0) {
      code = drainRing(packageFile);
      inflate.join();
    }
    {
      std::lock_guard<std::mutex> hold(feedMutex_);
      if (code != 0 && feedCode_ == 0) packageFileFailed_ = packageFile;
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

  static FsResult queuePiece(void* context, const void* data, unsigned count) {
    PackageImage* image = static_cast<PackageImage*>(context);
    FsResult code = image->queuePiece(static_cast<const unsigned char*>(data), count);
    if (code != 0) image->queueFailed_ = true;
    return code;
  }

  // The inflate's side of the ring: waits at the gate, then for a free
  // slot, and fills it. A failure of the writing side ends the inflate
  // with its result.
  FsResult queuePiece(const unsigned char* data, unsigned count) {
    if (stopInflating_.load()) return ERROR_CANCELLED;
    uint64_t end = kNoEnd;
    {
      std::unique_lock<std::mutex> lock(feedMutex_);
      gateChanged_.wait(lock, [this] {
        return stopInflating_.load() || !gated_ || storeEnd_ != kNoEnd ||
               queued_ < wanted_ + kLookAheadBytes;
      });
      end = storeEnd_;
    }
    if (stopInflating_.load()) return ERROR_CANCELLED;
    uint64_t at = queued_;
    queued_ += count;
    // Bytes behind the last member are nobody's: not stored.
    if (at >= end) return queued_ - end > max_tail_bytes(end) ? FsResult(ERROR_INVALID_DATA) : FsResult();
    if (at + count > end) count = static_cast<unsigned>(end - at);
    size_t slot = 0;
    {
      std::unique_lock<std::mutex> lock(ringMutex_);
      ringChanged_.wait(lock, [this] { return ringFilled_ < kRingSlots || ringFailed_ != 0; });
      if (ringFailed_ != 0) return ringFailed_;
      slot = ringHead_;
    }
    // The slots share one block, mapped whole at the first piece; a piece
    // larger than a slot (no decompressor here hands out one) gets memory
    // of its own.
    if (!ringBlock_) ringBlock_.reset(new PopulatedMemory(kRingSlots * kSlotBytes));
    Slot& s = ring_[slot];
    if (count <= kSlotBytes) {
      s.data = ringBlock_->data() + slot * kSlotBytes;
    } else {
      if (s.spill.size() < count) s.spill.resize(count);
      s.data = s.spill.data();
    }
    memcpy(s.data, data, count);
    s.count = count;
    {
      std::lock_guard<std::mutex> hold(ringMutex_);
      ringHead_ = (slot + 1) % kRingSlots;
      ++ringFilled_;
    }
    ringChanged_.notify_all();
    return 0;
  }

  // The inflate's last word: code, or 0 at the end of the stream. A
  // failure with an errno that the ring did not give it is the package
  // file's.
  void closeRing(FsResult code) {
    {
      std::lock_guard<std::mutex> hold(ringMutex_);
      ringClosed_ = true;
      ringCode_ = code;
      ringPackageFile_ = code.errnoValue() != 0 && !queueFailed_;
    }
    ringChanged_.notify_all();
  }

  // The feed thread's side of the ring: takes every piece in turn until the
  // inflate has ended and the ring is empty. The inflate's result
  // (packageFile: a failure of the package file), or the first failure of
  // the writing.
  FsResult drainRing(bool& packageFile) {
    packageFile = false;
    for (;;) {
      size_t slot = 0;
      {
        std::unique_lock<std::mutex> lock(ringMutex_);
        ringChanged_.wait(lock, [this] { return ringFilled_ != 0 || ringClosed_; });
        if (ringFilled_ == 0) {
          packageFile = ringPackageFile_;
          return ringCode_;
        }
        slot = ringTail_;
      }
      FsResult code = takePiece(ring_[slot].data, ring_[slot].count);
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

  // The image ends at end: the file is cut there. The thread that writes
  // the image (or, once it has ended, the header's reader).
  FsResult cutImage(uint64_t end) {
    FsResult code = seekImage(end);
    if (code == 0) code = FS::SetEndOfFile(tempFile_);
    if (code != 0) return code;
    written_ = end;
    return 0;
  }

  // The feed thread: once the image's end is known, cuts what the
  // look-ahead stored behind it.
  FsResult cutBehindEnd() {
    uint64_t end = kNoEnd;
    {
      std::lock_guard<std::mutex> hold(feedMutex_);
      end = storeEnd_;
    }
    if (written_ <= end) return 0;
    FsResult code = cutImage(end);
    if (code != 0) return code;
    std::lock_guard<std::mutex> hold(feedMutex_);
    inflated_ = std::min(inflated_, end);
    checked_ = std::min(checked_, end);
    return 0;
  }

  // Lock held. The feed thread's last word.
  void endFeed(FsResult code) {
    // The image's end may have come to be known since the last piece.
    if (code == 0 && written_ > storeEnd_) {
      code = cutImage(storeEnd_);
      inflated_ = std::min(inflated_, written_);
      checked_ = std::min(checked_, written_);
    }
    feedEnded_ = true;
    imageBytes_ = written_;
    if (feedCode_ == 0) feedCode_ = code;
    feedChanged_.notify_all();
  }

  // One piece of the stream, in order: written into the image (or, for a
  // member whose file is ready, into that file), checked against the
  // members it covers, then offered to the readers.
  FsResult takePiece(const unsigned char* data, unsigned count) {
    if (stopInflating_.load()) return ERROR_CANCELLED;
    FsResult code = cutBehindEnd();
    if (code != 0) return code;
    const uint64_t at = written_;
    if (!verifying_) {
      bool posted = false;
      {
        std::lock_guard<std::mutex> hold(feedMutex_);
        posted = membersPosted_;
      }
      if (posted) {
        // What went by before the members were known is read back once.
        code = catchUp(at);
        if (code != 0) return code;
        verifying_ = true;
        delivery_.startAt(at);
      }
    }
    auto toImage = [this](uint64_t pos, const unsigned char* bytes, unsigned n) { return writeImage(pos, bytes, n); };
    if (verifying_ && delivery_.possible()) code = delivery_.route(at, data, count, toImage);
    else code = writeImage(at, data, count);
    if (code != 0) return code;
    written_ = at + count;
    if (verifying_) {
      code = verifier_.consume(at, data, count);
      if (code != 0) return code;
    }
    std::lock_guard<std::mutex> hold(feedMutex_);
    inflated_ = written_;
    if (verifying_) checked_ = written_;
    feedChanged_.notify_all();
    return 0;
  }

  // Writes count bytes at pos of the image. Bytes that went into members'
  // files leave holes: the image's position is moved past them.
  FsResult writeImage(uint64_t pos, const unsigned char* data, unsigned count) {
    if (pos != imageAt_) {
      FsResult code = seekImage(pos);
      if (code != 0) return code;
    }
    unsigned written = 0;
    FsResult code = FS::WriteFile(tempFile_, data, count, &written, nullptr);
    if (code != 0) return code;
    imageAt_ = pos + count;
    return 0;
  }

  // Moves the image's file position to pos.
  FsResult seekImage(uint64_t pos) {
    // The seek gives a position, not a result: its failure is told by the
    // errno it leaves, taken at once (a position of all ones is no failure).
    long high = static_cast<long>(pos >> 32);
    errno = 0;
    if (FS::SetFilePointer(tempFile_, static_cast<long>(pos & 0xFFFFFFFFu), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        errno != 0) {
      int err = errno;
      return FsResult(error_code_for_errno(err), err);
    }
    imageAt_ = pos;
    return 0;
  }

  // Hands the image bytes from the verifier's position up to end to it,
  // read back from the image.
  FsResult catchUp(uint64_t end) {
    if (verifier_.position() >= end) return 0;
    // Filled at once: it is made while the installer waits for its first
    // members, and a page fault per page would hold the run back.
    PopulatedMemory buffer(static_cast<size_t>(std::min<uint64_t>(end - verifier_.position(), kCatchUpBytes)));
    while (verifier_.position() < end) {
      uint64_t at = verifier_.position();
      unsigned want = static_cast<unsigned>(std::min<uint64_t>(end - at, buffer.size()));
      unsigned got = 0;
      FsResult code = FS::ReadFileAt(tempFile_, at, buffer.data(), want, &got);
      if (code != 0) return code;
      if (got != want) return ERROR_INVALID_DATA;  // the image shrank under us
      code = verifier_.consume(at, buffer.data(), got);
      if (code != 0) return code;
    }
    return 0;
  }

  template <class Ready>
  bool waitFeed(std::unique_lock<std::mutex>& lock, int timeoutMs, Ready ready) {
    if (timeoutMs < 0) {
      feedChanged_.wait(lock, ready);
      return true;
    }
    return feedChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
  }

  void* tempFile_ = INVALID_HANDLE_VALUE;  // the image, open for reading and writing
  Compressor compressor_;

  // The frontiers: shared by the feed thread and the image's readers, under feedMutex_.
  std::mutex feedMutex_;
  std::condition_variable feedChanged_;
  std::condition_variable gateChanged_;
  bool gated_ = false;
  uint64_t wanted_ = 0;         // the farthest byte the header's reader asked for
  uint64_t storeEnd_ = kNoEnd;  // the image's end, once the header named it
  uint64_t inflated_ = 0;       // bytes of the image written so far
  uint64_t checked_ = 0;        // of them, the bytes the members' checks went over
  uint64_t imageBytes_ = 0;     // the whole image, once the feed thread has ended
  bool feedEnded_ = false;
  bool membersPosted_ = false;  // the members' checks are under way or done
  FsResult feedCode_;           // the first reason the image cannot be used
  bool packageFileFailed_ = false;  // feedCode_ is the package file's, not the image's
  std::atomic<bool> stopInflating_{false};

  // The ring between the inflate and the feed thread, under ringMutex_.
  struct Slot {
    unsigned char* data = nullptr;  // in ringBlock_, or spill's
    unsigned count = 0;
    std::vector<unsigned char> spill;
  };
  std::mutex ringMutex_;
  std::condition_variable ringChanged_;
  Slot ring_[kRingSlots];
  std::unique_ptr<PopulatedMemory> ringBlock_;  // the inflate thread's to make
  size_t ringHead_ = 0;    // the slot the inflate fills next
  size_t ringTail_ = 0;    // the slot the feed thread writes next
  size_t ringFilled_ = 0;  // slots holding a piece
  bool ringClosed_ = false;
  FsResult ringCode_;            // the inflate's result once closed
  bool ringPackageFile_ = false;  // ringCode_ is a failure of the package file
  FsResult ringFailed_;          // the feed thread's failure: the inflate stops

  // The inflate thread's: bytes the decompressor produced, and whether the
  // ring refused a piece.
  uint64_t queued_ = 0;
  bool queueFailed_ = false;

  // Set by start() before the threads: what is read, and where the image lies.
  stdx::u16string packagePath_;
  stdx::u16string tempDir_;

  // The feed thread's own: how far the stream came, where the image's file
  // position is, and whether it checks members.
  uint64_t written_ = 0;
  uint64_t imageAt_ = 0;
  bool verifying_ = false;
  MemberVerifier verifier_;  // the feed thread's once posted; before, the header's reader's
  MemberDelivery<FS> delivery_;  // set up with verifier_

  // The install thread's: the image below released_ is gone.
  uint64_t released_ = 0;
  SignatureCheck* signatureCheck_ = nullptr;
  std::thread feedThread_;  // last: joined before anything above goes
};

}  // namespace config

#include "install/package_image_impl.h"
