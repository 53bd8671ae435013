// Checks the members of a package image while the image is being written:
// every member whose record carries a checksum is compared as soon as the
// last of its bytes has gone by, and at the end every member must lie
// inside the image. Members without a checksum cost nothing but that last
// comparison, however many overlap. Bytes are handed over in image order,
// each once, so the check costs no pass over the image of its own.
//
// Thread safety: none; one thread at a time owns it (the thread that writes
// the image, or the one that parsed the header once that thread has ended).
#pragma once

#include <stdint.h>
#include <stddef.h>

#include <vector>

class MemberVerifier {
 public:
  struct Member {
    uint64_t start;  // absolute offset in the image
    uint64_t end;    // one past its last byte
    bool checked;    // its record carries a checksum
    unsigned expected;
  };

  // The members to follow, in any order (they may overlap).
  void reset(std::vector<Member> members);

  // The image offset from which bytes are wanted next: the start of the
  // first checked member, then the end of what consume() was given;
  // kNothingWanted once no checked member is left.
  uint64_t position() const { return position_; }

  // The image bytes [at, at + count): at must not lie behind position()
  // (earlier bytes are skipped). ERROR_INVALID_DATA (13) as soon as a
  // member ends within them with other bytes than its checksum names.
  unsigned consume(uint64_t at, const unsigned char* data, size_t count);

  // The image ended after imageBytes bytes: 0 when every member lay inside
  // it (and matched), else ERROR_INVALID_DATA.
  unsigned finish(uint64_t imageBytes);

  static const uint64_t kNothingWanted = ~static_cast<uint64_t>(0);

 private:
  struct Open {
    size_t index;
    unsigned crc;
  };
  // Compares a member whose bytes have all gone by; false on a mismatch.
  bool close(const Open& open) const;

  std::vector<Member> members_;  // by start
  size_t next_ = 0;              // first member that no bytes reached yet
  std::vector<Open> open_;       // members begun and not yet ended
  uint64_t position_ = 0;
  uint64_t requiredEnd_ = 0;  // the end of the member that reaches farthest
};
