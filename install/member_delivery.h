// Members written once: while the package is inflated, the bytes of a
// member whose file is already made go straight from the stream into that
// file, instead of into the package image and out of it again. The image
// keeps what no file is ready for (the stream came first), what overlaps
// or comes out of order, and the header.
//
// Two threads meet here:
// - the installer's threads give a member's file (deliverTo) once it is
//   made, and take it back (takeBack) before they close it, whichever way
//   the run goes: after that, the feed thread never touches the file
//   again, and takeBack tells whether the file holds the member, the
//   write into it failed, or the member is to be copied from the image;
// - the feed thread routes each piece of the stream (route): at a
//   member's first byte it decides, once, where the whole member goes:
//   into the file it was given, or, without one, into the image. It never
//   waits for a file: the inflate is the slowest step of a run of large
//   members, and holding it back for the file costs more than the second
//   write saves.
// Each member's state is one atomic, handed over by compare-and-swap: the
// file is written only while the feed thread holds it busy, and a member
// taken back is never written again.
//
// Checksums are compared as the bytes go by, as for the image: a member's
// file is complete and checked when the image's checked frontier passes
// the member's end, and nothing is exposed before the whole package is.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "install/member_verifier.h"
#include "platform/file_system.h"

namespace config {

template <class FS>
class MemberDelivery {
 public:
  // How a member ended, for the installer (takeBack).
  enum class Outcome {
    kInImage,    // its bytes are in the image: copy them from there
    kDelivered,  // its file holds all of its bytes
    kFailed,     // writing its file failed (failure tells why)
    kCutOff,     // taken back before its last byte was written
    kGone,       // told before: its bytes are in no image
  };

  MemberDelivery() = default;
  MemberDelivery(const MemberDelivery&) = delete;
  MemberDelivery& operator=(const MemberDelivery&) = delete;

  // The members, in package order, before the feed thread sees them (the
  // image hands them over with the members' checks). Delivery is possible
  // only when every member with bytes lies behind the one before it:
  // otherwise the image keeps them all.
  void reset(const std::vector<MemberVerifier::Member>& members) {
    spans_.clear();
    states_.reset();
    cursor_ = 0;
    routing_ = kNone;
    startAt_ = 0;
    uint64_t end = 0;
    for (const MemberVerifier::Member& m : members) {
      if (m.end > m.start && m.start < end) return;  // out of order or overlapping
      if (m.end > m.start) end = m.end;
    }
    spans_.reserve(members.size());
    for (const MemberVerifier::Member& m : members) spans_.push_back(Span{m.start, m.end});
    states_.reset(new Slot[spans_.size()]);
  }

  // Whether members may be delivered at all (see reset).
  bool possible() const { return states_ != nullptr; }

  // Installer: member index's bytes go into out, a new file open for
  // writing at its start, unless the stream has reached the member already.
  void deliverTo(size_t index, void* out) {
    if (!possible() || index >= spans_.size()) return;
    Slot& slot = states_[index];
    int expected = kUndecided;
    if (slot.state.load() != kUndecided) return;
    slot.out = out;
    slot.state.compare_exchange_strong(expected, kOffered);
  }

  // Installer, before member index's file is closed: ends its delivery,
  // waiting while the feed thread writes into the file. Once the member's
  // bytes are checked, the outcome is kDelivered, kFailed or kInImage;
  // earlier it may be kCutOff. A member delivered is told so once: after
  // that it is kGone.
  Outcome takeBack(size_t index, FsResult& failure) {
    if (!possible() || index >= spans_.size()) return Outcome::kInImage;
    Slot& slot = states_[index];
    for (;;) {
      int state = slot.state.load();
      switch (state) {
        case kWritten:
          if (!slot.state.compare_exchange_strong(state, kTold)) continue;
          return Outcome::kDelivered;
        case kFailed:
          if (!slot.state.compare_exchange_strong(state, kTold)) continue;
          failure = slot.failure;
          return Outcome::kFailed;
        case kTold:
          return Outcome::kGone;
        case kBusy:
          std::this_thread::yield();  // one write at most
          continue;
        case kOffered:
          if (slot.state.compare_exchange_strong(state, kReturned)) return Outcome::kInImage;
          continue;
        case kTaken:
          if (slot.state.compare_exchange_strong(state, kWithdrawn)) return Outcome::kCutOff;
          continue;
        case kWithdrawn:
          return Outcome::kCutOff;
        default:
          return Outcome::kInImage;
      }
    }
  }

  // Installer: whether the feed thread took member index into its file.
  // Told once the member's first byte is checked.
  bool taken(size_t index) const {
    if (!possible() || index >= spans_.size()) return false;
    int state = states_[index].state.load();
    return state == kTaken || state == kBusy || state == kWritten || state == kFailed || state == kTold;
  }

  // Whether a file for member index waits for the stream to reach it.
  bool awaitsStream(size_t index) const {
    return possible() && index < spans_.size() && states_[index].state.load() == kOffered;
  }

  // Feed thread: the stream's bytes before at went to the image before
  // delivery could begin; a member that begins there stays in it.
  void startAt(uint64_t at) { startAt_ = at; }

  // Feed thread: routes the stream's bytes [at, at + count), in order.
  // toImage(at, data, count) stores what the image keeps, in as few calls
  // as the members allow; its failure is returned. A failed write into a
  // member's file is that member's (takeBack tells it), not the stream's.
  template <class ToImage>
  FsResult route(uint64_t at, const unsigned char* data, unsigned count, ToImage toImage) {
    const uint64_t end = at + count;
    uint64_t pos = at;
    uint64_t imageFrom = at;  // the bytes from here to pos go to the image in one write
    auto flushImage = [&]() -> FsResult {
      FsResult code;
      if (pos > imageFrom) code = toImage(imageFrom, data + (imageFrom - at), static_cast<unsigned>(pos - imageFrom));
      imageFrom = pos;
      return code;
    };
    while (pos < end) {
      while (cursor_ < spans_.size() &&
             (spans_[cursor_].end <= pos || spans_[cursor_].end == spans_[cursor_].start))
        ++cursor_;
      if (cursor_ == spans_.size()) {
        pos = end;
        break;
      }
      const Span& span = spans_[cursor_];
      if (pos < span.start) {
        pos = std::min(span.start, end);
        continue;
      }
      Slot& slot = states_[cursor_];
      if (routing_ != cursor_) {
        routing_ = cursor_;
        // A member that began before delivery did is the image's.
        decide(slot, span.start >= startAt_);
      }
      uint64_t until = std::min(span.end, end);
      int state = slot.state.load();
      if (state == kInImage || state == kReturned) {
        pos = until;
        continue;
      }
      FsResult code = flushImage();
      if (code != 0) return code;
      write(slot, data + (pos - at), static_cast<unsigned>(until - pos), until == span.end);
      pos = imageFrom = until;
    }
    return flushImage();
  }

 private:
  enum State {
    kUndecided,  // no file yet, the stream not there
    kOffered,    // a file is given; the stream not there yet
    kInImage,    // the image keeps it
    kTaken,      // the feed thread writes it into its file
    kBusy,       // ... and is inside a write right now
    kWritten,    // its file holds all of it
    kFailed,     // a write into its file failed
    kReturned,   // taken back before the stream came: the image has it
    kWithdrawn,  // taken back halfway: its file is no more to be touched
    kTold,       // written (or failed), and told so
  };
  static const size_t kNone = ~static_cast<size_t>(0);

  struct Span {
    uint64_t start;
    uint64_t end;
  };
  struct Slot {
    std::atomic<int> state{kUndecided};
    void* out = INVALID_HANDLE_VALUE;  // set before kOffered
    FsResult failure;                  // set before kFailed
  };

  // Feed thread, where the stream meets a member: takes it if a file was
  // given and its first byte is still to come (whole), else leaves it to
  // the image for good.
  void decide(Slot& slot, bool whole) {
    int state = slot.state.load();
    for (;;) {
      if (state == kOffered && whole) {
        if (slot.state.compare_exchange_weak(state, kTaken)) return;
        continue;
      }
      if (state == kUndecided || state == kOffered) {
        if (slot.state.compare_exchange_weak(state, kInImage)) return;
        continue;
      }
      return;  // taken back before
    }
  }

  // Feed thread: writes count bytes of the member in slot, taken, into its
  // file; last: these are its last bytes. A member taken back (or failed)
  // is left alone: nobody wants the rest of its bytes.
  void write(Slot& slot, const unsigned char* data, unsigned count, bool last) {
    int state = kTaken;
    if (!slot.state.compare_exchange_strong(state, kBusy)) return;
    unsigned written = 0;
    FsResult code = FS::WriteFile(slot.out, data, count, &written, nullptr);
    if (code != 0) {
      slot.failure = code;
      slot.state.store(kFailed);
    } else {
      slot.state.store(last ? kWritten : kTaken);
    }
  }

  std::vector<Span> spans_;         // each member's bytes, in package order
  std::unique_ptr<Slot[]> states_;  // null when no member can be delivered

  // The feed thread's own.
  size_t cursor_ = 0;       // the first member not wholly behind the stream
  size_t routing_ = kNone;  // the member whose first byte was seen last
  uint64_t startAt_ = 0;    // where delivery began
};

}  // namespace config
