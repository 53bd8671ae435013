// The decompressor policy of the package reader: turns a package file, one
// raw DEFLATE stream, into the uncompressed package image.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "platform/file_system.h"
#include "platform/stdx_string.h"

namespace lz_detail {
// Takes count bytes of data for the image; 0 to go on, else the code that
// ends the inflate (the failing write's, or ERROR_CANCELLED).
typedef unsigned (*WriteFunction)(void* context, const void* data, unsigned count);

template <class FS>
unsigned writeThrough(void* handle, const void* data, unsigned count) {
  unsigned written = 0;
  if (FS::WriteFile(handle, data, count, &written, nullptr) != 0) return FS::GetLastError();
  return 0;
}

// The package's bytes as an inflater pulls them: in order, and once more
// from the first byte after rewind().
class PackageBytes {
 public:
  virtual ~PackageBytes() {}
  // The next bytes of the package in data and count (count 0: no more).
  // 0, or the code of a failed read.
  virtual unsigned next(const unsigned char*& data, size_t& count) = 0;
  // The first bytes of the package will not be needed again (until a rewind).
  virtual void consumed(uint64_t bytes) { (void)bytes; }
  // Starts over at the first byte; 0 or the code of the failure.
  virtual unsigned rewind() = 0;
};

// How much of the image the checks behind the inflate will compare, as the
// reader learns it from the header. Only where every member that is used
// carries a checksum may the fast inflater's verdict stand (see
// inflateWithIsal); everywhere else zlib's strict one decides.
enum Coverage { kCoverageUnknown = 0, kCoveragePartial = 1, kCoverageWhole = 2 };

// zlib's inflate of the whole source, handing each piece of the image to
// write. The first skipBytes of the image have been handed out already (by
// another inflater): they are not handed out again, and must come out with
// the CRC-32 skipCrc, else the result is ERROR_INVALID_DATA. The codes of
// LZCompressor::unpack.
unsigned inflateWithZlib(PackageBytes& source, WriteFunction write, void* context,
                         uint64_t skipBytes = 0, unsigned skipCrc = 0);

// The inflate this build uses: the fast one where it is built in, else
// zlib's. coverage is read as the inflate goes on.
unsigned inflatePackage(PackageBytes& source, WriteFunction write, void* context,
                        const std::atomic<int>& coverage);

// Maps the first sourceBytes (not 0) of the open source and inflates them
// with inflatePackage. The codes of unpack below.
unsigned inflateMapped(void* source, unsigned sourceBytes, WriteFunction write, void* destination,
                       const std::atomic<int>& coverage);
}  // namespace lz_detail

class LZCompressor {
 public:
  // Size of the one output buffer that each inflate step fills: large
  // enough that the writes and the hand-overs to the reader cost little,
  // small enough to stay in the processor's cache.
  static const unsigned kBufferSize = 131072;
  // The image is addressed with 32-bit offsets; anything longer is damage
  // (or a decompression bomb), whatever space the disk still has.
  static const unsigned long long kMaxImageBytes = 0xFFFFFFFFull;

  // Tells the inflate (also one that is running) how much of the image
  // will be checked: set before it starts, and again once the header is
  // read. Until it is kCoverageWhole, the stream is held to zlib's verdict.
  void setCoverage(lz_detail::Coverage coverage) const { coverage_.store(coverage); }

  // Inflates the whole of source into destination (created, or overwritten
  // from its start). Returns 0 on success, also for a stream that is cut
  // short (the reader finds the image too short); the code of CreateFile
  // when a file cannot be opened; the code of WriteFile when the image
  // cannot be written (a full temporary directory); ERROR_INVALID_DATA for
  // a corrupt stream, a package of 4 GiB or more, an image that would pass
  // kMaxImageBytes, or a source that cannot be mapped. Bytes behind the end
  // of the stream are ignored. On failure the destination keeps what was
  // written: the caller deletes it.
  unsigned unpack(const stdx::u16string& source, const stdx::u16string& destination) const;

  // The same into destination, a file open for writing at the point where
  // the image is to begin; every file call goes through the policy FS.
  template <class FS>
  unsigned unpackInto(const stdx::u16string& source, void* destination) const {
    return unpackTo<FS>(source, &lz_detail::writeThrough<FS>, destination);
  }

  // The same, handing each piece of the image to write(context, ...) as it
  // is produced, in order; a code from write ends the inflate and is
  // returned.
  template <class FS>
  unsigned unpackTo(const stdx::u16string& source, lz_detail::WriteFunction write,
                    void* context) const {
    void* in = INVALID_HANDLE_VALUE;
    // Only a regular file: a FIFO or a device would hang the open or the
    // mapping, and a directory is no package.
    unsigned code = FS::OpenRegularFile(source, in);
    if (code != 0) return code;
    long high = 0;
    unsigned low = FS::SetFilePointer(in, 0, &high, FILE_END);
    if (low == INVALID_SET_FILE_POINTER && FS::GetLastError() != 0) code = FS::GetLastError();
    else if (high != 0) code = ERROR_INVALID_DATA;
    // An empty package is an empty image; a mapping cannot be empty.
    else if (low != 0) code = lz_detail::inflateMapped(in, low, write, context, coverage_);
    unsigned closed = FS::CloseHandle(in);
    return code != 0 ? code : closed;
  }

  // Compression is not offered here (packages come from the vendor tool):
  // always 1, and nothing is touched.
  unsigned pack(const stdx::u16string& source, const stdx::u16string& destination) const;

 private:
  // Written by the reader's thread, read by the inflating one.
  mutable std::atomic<int> coverage_{lz_detail::kCoverageUnknown};
};
