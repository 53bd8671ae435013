#include "install/member_verifier.h"

#include <algorithm>

#include "install/checksum.h"
#include "platform/file_system.h"

void MemberVerifier::reset(std::vector<Member> members) {
  // Only a member with a checksum costs a pass over its bytes; for the
  // others it is enough that the image reaches their end.
  requiredEnd_ = 0;
  for (const Member& m : members) requiredEnd_ = std::max(requiredEnd_, m.end);
  members.erase(std::remove_if(members.begin(), members.end(), [](const Member& m) { return !m.checked; }),
                members.end());
  members_ = std::move(members);
  std::stable_sort(members_.begin(), members_.end(),
                   [](const Member& a, const Member& b) { return a.start < b.start; });
  next_ = 0;
  open_.clear();
  position_ = members_.empty() ? kNothingWanted : members_[0].start;
}

bool MemberVerifier::close(const Open& open) const {
  const Member& m = members_[open.index];
  return !m.checked || static_cast<unsigned>(open.crc) == m.expected;
}

unsigned MemberVerifier::consume(uint64_t at, const unsigned char* data, size_t count) {
  if (at < position_) {
    uint64_t skip = position_ - at;
    if (skip >= count) return 0;
    data += skip;
    count -= static_cast<size_t>(skip);
    at = position_;
  }
  uint64_t end = at + count;
  // A member that starts at end has no byte here: unless it is empty, it
  // begins with the next piece.
  while (next_ < members_.size() &&
         (members_[next_].start < end ||
          (members_[next_].start == end && members_[next_].end == end))) {
    open_.push_back(Open{next_, 0u});
    ++next_;
  }
  for (size_t i = 0; i < open_.size();) {
    Open& o = open_[i];
    const Member& m = members_[o.index];
    uint64_t from = std::max(m.start, at), to = std::min(m.end, end);
    if (to > from) o.crc = crc32Update(o.crc, data + (from - at), static_cast<size_t>(to - from));
    if (m.end > end) {
      ++i;
      continue;
    }
    if (!close(o)) return ERROR_INVALID_DATA;
    o = open_.back();
    open_.pop_back();
  }
  position_ = next_ == members_.size() && open_.empty() ? kNothingWanted : end;
  return 0;
}

unsigned MemberVerifier::finish(uint64_t imageBytes) {
  if (requiredEnd_ > imageBytes) return ERROR_INVALID_DATA;
  // Whatever is still open or not begun ends behind the image, unless it is
  // empty and sits right at its end.
  for (const Open& o : open_) {
    if (members_[o.index].end > imageBytes || !close(o)) return ERROR_INVALID_DATA;
  }
  for (size_t i = next_; i < members_.size(); ++i) {
    const Member& m = members_[i];
    if (m.end > imageBytes || m.start != m.end) return ERROR_INVALID_DATA;
    if (!close(Open{i, 0u})) return ERROR_INVALID_DATA;
  }
  open_.clear();
  next_ = members_.size();
  return 0;
}
