// The decompressor policy of the package reader: turns a package file, one
// raw DEFLATE stream, into the uncompressed package image.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/file_system.h"
#include "platform/stdx_string.h"

namespace lz_detail {
// Takes count bytes of data for the image; 0 to go on, else what ends the
// inflate (the failing write's result, errno and all, or ERROR_CANCELLED).
typedef FsResult (*WriteFunction)(void* context, const void* data, unsigned count);

template <class FS>
FsResult writeThrough(void* handle, const void* data, unsigned count) {
  unsigned written = 0;
  return FS::WriteFile(handle, data, count, &written, nullptr);
}

// Reads up to count bytes of source from offset into buffer; got says how
// many there were (fewer only at the file's end). 0 or the failing read's result.
typedef FsResult (*ReadFunction)(void* source, unsigned long long offset, void* buffer,
                                 unsigned count, unsigned* got);

template <class FS>
FsResult readThrough(void* handle, unsigned long long offset, void* buffer, unsigned count,
                     unsigned* got) {
  return FS::ReadFileAt(handle, offset, buffer, count, got);
}


// Whether the package is still what it was when its reading began: the
// same file at path, of the same size and time. A package that is
// replaced, cut or extended while it is read is damaged: what was read
// may be a mix of two packages.
inline bool sameFile(const FileInformation& a, const FileInformation& b) {
  return a.volume == b.volume && a.index == b.index && a.sizeBytes == b.sizeBytes &&
         a.lastWriteTime.dwLowDateTime == b.lastWriteTime.dwLowDateTime &&
         a.lastWriteTime.dwHighDateTime == b.lastWriteTime.dwHighDateTime;
}

// The package's bytes as an inflater pulls them, in order.
class PackageBytes {
 public:
  virtual ~PackageBytes() {}
  // The next bytes of the package in data and count (count 0: no more).
  // 0, or the result of the failed read.
  virtual FsResult next(const unsigned char*& data, size_t& count) = 0;
  // The first bytes of the package will not be needed again.
  virtual void consumed(uint64_t bytes) { (void)bytes; }
};

// An inflate of the whole source, handing each piece of the image to
// write; the codes of LZCompressor::unpack.
typedef FsResult (*InflateFunction)(PackageBytes& source, WriteFunction write, void* context);

// zlib's inflate.
FsResult inflateWithZlib(PackageBytes& source, WriteFunction write, void* context);

// The inflate this build uses for every package: the fast one where it is
// built in, else zlib's (see docs/package-format.md for why one serves
// packages with and without member checksums alike).
FsResult inflatePackage(PackageBytes& source, WriteFunction write, void* context);

// Inflates the sourceBytes of source with inflate, read in pieces through
// one buffer. The codes of unpack below; a read that ends before
// sourceBytes (the file shrank) is damage.
FsResult inflateSource(ReadFunction read, void* source, unsigned long long sourceBytes,
                       WriteFunction write, void* destination, InflateFunction inflate = &inflatePackage);
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
  // The package's offsets are 32-bit too: a larger file is no package.
  static const unsigned long long kMaxPackageBytes = 0xFFFFFFFFull;
  // The package is read in pieces of this size through one buffer.
  static const unsigned kInputBytes = 262144;

  LZCompressor() = default;
  // A reader of packages with another inflate (to compare inflaters).
  explicit LZCompressor(lz_detail::InflateFunction inflate) : inflate_(inflate) {}

  // Inflates the whole of source into destination (created, or overwritten
  // from its start). Returns 0 on success, also for a stream that is cut
  // short (the reader finds the image too short); the result of CreateFile
  // when a file cannot be opened; the result of WriteFile when the image
  // cannot be written (a full temporary directory); ERROR_INVALID_DATA for
  // a corrupt stream, a package of 4 GiB or more, an image that would pass
  // kMaxImageBytes, or a package that changes while it is read. Bytes
  // behind the end of the stream are ignored. On failure the destination
  // keeps what was written: the caller deletes it.
  //
  // Every failure is the failing call's own result: with an errno where the
  // system refused the call, so a caller can tell the sides apart. A
  // failure with an errno that the writer did not return is the package
  // file's (its open, a read, its examination); one without an errno (but
  // ERROR_CANCELLED from the writer) means the package's bytes are bad.
  FsResult unpack(const stdx::u16string& source, const stdx::u16string& destination) const;

  // The same into destination, a file open for writing at the point where
  // the image is to begin; every file call goes through the policy FS.
  template <class FS>
  FsResult unpackInto(const stdx::u16string& source, void* destination) const {
    return unpackTo<FS>(source, &lz_detail::writeThrough<FS>, destination);
  }

  // The same, handing each piece of the image to write(context, ...) as it
  // is produced, in order; a code from write ends the inflate and is
  // returned. The package is read, never mapped: one that shrinks, grows
  // or is replaced while it is read is ERROR_INVALID_DATA, not a crash.
  template <class FS>
  FsResult unpackTo(const stdx::u16string& source, lz_detail::WriteFunction write,
                    void* context) const {
    void* in = INVALID_HANDLE_VALUE;
    // Only a regular file: a FIFO or a device would hang the open or the
    // reads, and a directory is no package.
    FsResult code = FS::OpenRegularFile(source, in);
    if (code != 0) return code;
    FileInformation opened, now;
    code = FS::GetFileInformationByHandle(in, opened);
    if (code == 0 && opened.sizeBytes > kMaxPackageBytes) code = ERROR_INVALID_DATA;
    if (code == 0) {
      code = lz_detail::inflateSource(&lz_detail::readThrough<FS>, in, opened.sizeBytes, write, context,
                                      inflate_);
    }
    // What was read must be the whole of one package: still the same file
    // by handle and by name, neither cut nor extended.
    if (code == 0) {
      code = FS::GetFileInformationByHandle(in, now);
      if (code == 0 && !lz_detail::sameFile(opened, now)) code = ERROR_INVALID_DATA;
    }
    if (code == 0) {
      FsResult found = FS::GetFileInformation(source, true, now);
      if (found == ERROR_FILE_NOT_FOUND || (found == 0 && !lz_detail::sameFile(opened, now)))
        code = ERROR_INVALID_DATA;
      else if (found != 0) code = found;
    }
    FsResult closed = FS::CloseHandle(in);
    return code != 0 ? code : closed;
  }

  // The same for a writer whose failures carry no errno (one that keeps
  // what it is given in memory).
  template <class FS>
  FsResult unpackTo(const stdx::u16string& source, unsigned (*write)(void*, const void*, unsigned),
                    void* context) const {
    struct PlainWriter {
      unsigned (*write)(void*, const void*, unsigned);
      void* context;
      static FsResult take(void* self, const void* data, unsigned count) {
        PlainWriter* writer = static_cast<PlainWriter*>(self);
        return writer->write(writer->context, data, count);
      }
    } writer{write, context};
    return unpackTo<FS>(source, &PlainWriter::take, &writer);
  }

  // Compression is not offered here (packages come from the vendor tool):
  // always 1, and nothing is touched.
  unsigned pack(const stdx::u16string& source, const stdx::u16string& destination) const;

 private:
  lz_detail::InflateFunction inflate_ = &lz_detail::inflatePackage;
};
