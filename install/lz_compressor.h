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

// Maps the first sourceBytes (not 0) of the open source and inflates them,
// handing each piece of output to write. The codes of unpack below.
unsigned inflateMapped(void* source, unsigned sourceBytes, WriteFunction write, void* destination);
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
    else if (low != 0) code = lz_detail::inflateMapped(in, low, write, context);
    unsigned closed = FS::CloseHandle(in);
    return code != 0 ? code : closed;
  }

  // Compression is not offered here (packages come from the vendor tool):
  // always 1, and nothing is touched.
  unsigned pack(const stdx::u16string& source, const stdx::u16string& destination) const;
};
