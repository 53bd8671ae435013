// A package read without an image: for the dry run and the verify, which
// must write nothing anywhere, the temporary directory included. The
// package is inflated twice as it comes: once as far as the header can
// reach (kMaxHeaderBytes, held in memory), then whole, the members' bytes
// checked as they go by and handed to whoever compares them, then dropped.
// Memory stays bounded by the header's bound and one inflate piece,
// whatever the members weigh. The verdict on the package is the reader's
// (install_data.h): the same header parser, the same member checks, the
// same bound on the stream's tail.
//
// Thread safety: none; one thread runs it (the inflate calls back on it).
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "install/lz_compressor.h"
#include "install/member_list.h"
#include "install/member_verifier.h"
#include "install/package_header.h"
#include "install/package_image.h"
#include "platform/file_system.h"
#include "platform/stdx_string.h"

namespace config {

// Takes the members' bytes as they are inflated, in image order.
class MemberBytesSink {
 public:
  virtual ~MemberBytesSink() = default;
  // Bytes [at, at + count) of member index (offsets within the member).
  virtual void memberBytes(size_t index, uint64_t at, const unsigned char* data, size_t count) = 0;
};

namespace scan_detail {

// The front of the stream, in memory, as the header parser reads an image.
struct HeaderBytes {
  std::vector<unsigned char> bytes;
  unsigned awaitBytes(uint64_t end, int, uint64_t* available) {
    if (available != nullptr) *available = bytes.size();
    return end <= bytes.size() ? 0u : static_cast<unsigned>(ERROR_INVALID_DATA);
  }
  void* handle() { return this; }
};

// The parser's file policy: its reads at offsets come from the memory above.
template <class FS>
struct HeaderFS : FS {
  static unsigned ReadFileAt(void* handle, unsigned long long offset, void* buffer, unsigned count,
                             unsigned* got) {
    const std::vector<unsigned char>& bytes = static_cast<HeaderBytes*>(handle)->bytes;
    uint64_t from = std::min<uint64_t>(offset, bytes.size());
    unsigned n = static_cast<unsigned>(std::min<uint64_t>(count, bytes.size() - from));
    if (n != 0) memcpy(buffer, bytes.data() + from, n);
    *got = n;
    return 0;
  }
};

}  // namespace scan_detail

template <class Compressor, class FS>
class PackageScan {
 public:
  // The header's reads stay below its bound by a word at most.
  static const uint64_t kHeaderWindow = kMaxHeaderBytes + 16;

  // Parses the header of the package at path into products and files (each
  // member's offset absolute, as the reader gives them). 0; the code of the
  // package's file; ERROR_INVALID_DATA for a damaged stream or header, a
  // member name that leaves the target or two members that would be one
  // entry of the target directory (memberClash() names them).
  FsResult readHeader(const stdx::u16string& packagePath) {
    products.clear();
    files.clear();
    members_ = MemberList();
    FsResult code = FS::GetFileInformation(packagePath, true, package_);
    if (code != 0) return code;
    scan_detail::HeaderBytes header;
    window_ = &header.bytes;
    code = compressor_.template unpackTo<FS>(packagePath, &PackageScan::keepHeader, this);
    window_ = nullptr;
    if (code == ERROR_CANCELLED) code = 0;  // the window was full: enough
    if (code != 0) return code;
    std::vector<FileData<scan_detail::HeaderFS<FS>>> parsed;
    HeaderParser<scan_detail::HeaderFS<FS>, scan_detail::HeaderBytes> parser(header);
    code = parser.parse(products, parsed);
    if (code != 0) return code;
    files.reserve(parsed.size());
    for (const auto& f : parsed) {
      FileData<FS> member;
      member.name = f.name;
      member.lastWriteTime = f.lastWriteTime;
      member.offset = f.offset;
      member.size = f.size;
      member.hasChecksum = f.hasChecksum;
      member.checksum = f.checksum;
      files.push_back(member);
    }
    parsed = std::vector<FileData<scan_detail::HeaderFS<FS>>>();
    code = readMemberList(files, parser.end(), members_);
    // Nothing here looks a member up by its path: only the verdict is kept.
    members_.paths = std::vector<stdx::u16string>();
    if (code != 0) files.clear();
    return code;
  }

  // Where the image that an install stores would end: behind the member
  // that reaches farthest. After readHeader.
  uint64_t imageEnd() const { return members_.imageEnd; }

  // The two members that made readHeader refuse the package as one entry
  // of the target directory; none (found() false) otherwise.
  const MemberClash& memberClash() const { return members_.clash; }

  // Inflates the whole package once more, checks every member against its
  // checksum and the stream's tail as the reader does, and hands each
  // member's bytes to sink (may be null). 0 when the package is sound, else
  // the reader's code for it. After a successful readHeader.
  FsResult scan(const stdx::u16string& packagePath, MemberBytesSink* sink) {
    sink_ = sink;
    queued_ = 0;
    order_.clear();
    active_.clear();
    next_ = 0;
    for (size_t i = 0; i < files.size(); ++i) order_.push_back(i);
    std::stable_sort(order_.begin(), order_.end(),
                     [this](size_t a, size_t b) { return files[a].offset < files[b].offset; });
    verifier_.reset(verifierMembers(files, true));
    FsResult code = compressor_.template unpackTo<FS>(packagePath, &PackageScan::takePiece, this);
    if (code == 0) code = verifier_.finish(std::min(queued_, members_.imageEnd));
    // Read twice: both times it must have been the one package.
    FileInformation now;
    if (code == 0 && (FS::GetFileInformation(packagePath, true, now) != 0 ||
                      !lz_detail::sameFile(package_, now)))
      code = ERROR_INVALID_DATA;
    sink_ = nullptr;
    return code;
  }

  std::vector<ProductInfo> products;
  std::vector<FileData<FS>> files;  // in package order

 private:
  static unsigned keepHeader(void* context, const void* data, unsigned count) {
    std::vector<unsigned char>& window = *static_cast<PackageScan*>(context)->window_;
    uint64_t room = kHeaderWindow - window.size();
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    window.insert(window.end(), bytes, bytes + std::min<uint64_t>(room, count));
    return window.size() >= kHeaderWindow ? static_cast<unsigned>(ERROR_CANCELLED) : 0u;
  }

  static unsigned takePiece(void* context, const void* data, unsigned count) {
    return static_cast<PackageScan*>(context)->takePiece(static_cast<const unsigned char*>(data), count);
  }

  unsigned takePiece(const unsigned char* data, unsigned count) {
    uint64_t at = queued_;
    queued_ += count;
    // Bytes behind the last member are nobody's; the stream must still
    // end soundly, and not run on for ever.
    const uint64_t imageEnd = members_.imageEnd;
    if (at >= imageEnd) return queued_ - imageEnd > max_tail_bytes(imageEnd) ? static_cast<unsigned>(ERROR_INVALID_DATA) : 0u;
    if (at + count > imageEnd) count = static_cast<unsigned>(imageEnd - at);
    unsigned code = verifier_.consume(at, data, count);
    if (code != 0 || sink_ == nullptr) return code;
    uint64_t end = at + count;
    while (next_ < order_.size() && files[order_[next_]].offset < end) active_.push_back(order_[next_++]);
    // Members are handed over in the order their bytes begin, whatever
    // the pieces: the ones still open keep their order.
    size_t open = 0;
    for (size_t i = 0; i < active_.size(); ++i) {
      const FileData<FS>& f = files[active_[i]];
      uint64_t start = f.offset, stop = static_cast<uint64_t>(f.offset) + f.size;
      uint64_t from = std::max(start, at), to = std::min(stop, end);
      if (to > from) sink_->memberBytes(active_[i], from - start, data + (from - at), static_cast<size_t>(to - from));
      if (stop > end) active_[open++] = active_[i];
    }
    active_.resize(open);
    return 0;
  }

  Compressor compressor_;
  FileInformation package_{};
  MemberList members_;
  std::vector<unsigned char>* window_ = nullptr;
  MemberVerifier verifier_;
  MemberBytesSink* sink_ = nullptr;
  uint64_t queued_ = 0;
  std::vector<size_t> order_;   // members by offset
  size_t next_ = 0;             // first of order_ no bytes reached yet
  std::vector<size_t> active_;  // members begun and not yet ended
};

}  // namespace config
