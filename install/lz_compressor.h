// The decompressor policy of the package reader: turns a package file, one
// raw DEFLATE stream, into the uncompressed package image.
#pragma once

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

// Reads up to count bytes of source from offset into buffer; got says how
// many there were (fewer only at the file's end). 0 or the failing read's code.
typedef unsigned (*ReadFunction)(void* source, unsigned long long offset, void* buffer,
                                 unsigned count, unsigned* got);

template <class FS>
unsigned readThrough(void* handle, unsigned long long offset, void* buffer, unsigned count,
                     unsigned* got) {
  if (FS::ReadFileAt(handle, offset, buffer, count, got) != 0) return FS::GetLastError();
  return 0;
}

// Inflates the sourceBytes of source, read in pieces through one buffer,
// handing each piece of output to write. The codes of unpack below; a read
// that ends before sourceBytes (the file shrank) is damage.
unsigned inflateSource(ReadFunction read, void* source, unsigned long long sourceBytes,
                       WriteFunction write, void* destination);

// Whether the package is still what it was when its reading began: the
// same file at path, of the same size and time. A package that is
// replaced, cut or extended while it is read is damaged: what was read
// may be a mix of two packages.
inline bool sameFile(const FileInformation& a, const FileInformation& b) {
  return a.volume == b.volume && a.index == b.index && a.sizeBytes == b.sizeBytes &&
         a.lastWriteTime.dwLowDateTime == b.lastWriteTime.dwLowDateTime &&
         a.lastWriteTime.dwHighDateTime == b.lastWriteTime.dwHighDateTime;
}
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

  // Inflates the whole of source into destination (created, or overwritten
  // from its start). Returns 0 on success, also for a stream that is cut
  // short (the reader finds the image too short); the code of CreateFile
  // when a file cannot be opened; the code of WriteFile when the image
  // cannot be written (a full temporary directory); ERROR_INVALID_DATA for
  // a corrupt stream, a package of 4 GiB or more, an image that would pass
  // kMaxImageBytes, or a package that changes while it is read. Bytes
  // behind the end of the stream are ignored. On failure the destination
  // keeps what was written: the caller deletes it.
  unsigned unpack(const stdx::u16string& source, const stdx::u16string& destination) const;

  // The same into destination, a file open for writing at the point where
  // the image is to begin; every file call goes through the policy FS.
  template <class FS>
  unsigned unpackInto(const stdx::u16string& source, void* destination) const {
    return unpackTo<FS>(source, &lz_detail::writeThrough<FS>, destination);
  }

  // The same, handing each piece of the image to write(context, ...) as it
  // is produced, in order; a code from write ends the inflate and is
  // returned. The package is read, never mapped: one that shrinks, grows
  // or is replaced while it is read is ERROR_INVALID_DATA, not a crash.
  template <class FS>
  unsigned unpackTo(const stdx::u16string& source, lz_detail::WriteFunction write,
                    void* context) const {
    void* in = INVALID_HANDLE_VALUE;
    // Only a regular file: a FIFO or a device would hang the open or the
    // reads, and a directory is no package.
    unsigned code = FS::OpenRegularFile(source, in);
    if (code != 0) return code;
    FileInformation opened, now;
    if (FS::GetFileInformationByHandle(in, opened) != 0) code = FS::GetLastError();
    else if (opened.sizeBytes > kMaxPackageBytes) code = ERROR_INVALID_DATA;
    if (code == 0) {
      code = lz_detail::inflateSource(&lz_detail::readThrough<FS>, in, opened.sizeBytes, write, context);
    }
    // What was read must be the whole of one package: still the same file
    // by handle and by name, neither cut nor extended.
    if (code == 0) {
      if (FS::GetFileInformationByHandle(in, now) != 0) code = FS::GetLastError();
      else if (!lz_detail::sameFile(opened, now)) code = ERROR_INVALID_DATA;
    }
    if (code == 0) {
      unsigned found = FS::GetFileInformation(source, true, now);
      if (found == ERROR_FILE_NOT_FOUND || (found == 0 && !lz_detail::sameFile(opened, now)))
        code = ERROR_INVALID_DATA;
      else if (found != 0) code = found;
    }
    unsigned closed = FS::CloseHandle(in);
    return code != 0 ? code : closed;
  }

  // Compression is not offered here (packages come from the vendor tool):
  // always 1, and nothing is touched.
  unsigned pack(const stdx::u16string& source, const stdx::u16string& destination) const;
};
