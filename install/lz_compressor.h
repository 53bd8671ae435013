// The decompressor policy of the package reader: turns a package file, one
// raw DEFLATE stream, into the uncompressed package image.
#pragma once

#include "platform/stdx_string.h"

class LZCompressor {
 public:
  // Size of the one output buffer that each inflate step fills.
  static const unsigned kBufferSize = 32768;
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

  // Compression is not offered here (packages come from the vendor tool):
  // always 1, and nothing is touched.
  unsigned pack(const stdx::u16string& source, const stdx::u16string& destination) const;
};
