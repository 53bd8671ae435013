// The fast inflater: the vectorised one of the ISA-L library, with zlib's
// inflate as the judge of every stream it cannot vouch for.
//
// The two disagree in one known way: the fast one decodes blocks whose
// Huffman codes are incomplete, which zlib refuses ("invalid literal/lengths
// set", "invalid distances set"). Its output for such a stream is a
// decoding, but of a damaged package. So its verdict stands only when it
// ended the stream cleanly and every member of the image is compared with
// its checksum (coverage kCoverageWhole, set by the reader once the header
// is read): then damage cannot reach a file unnoticed. In every other case
// (it refuses the stream, the stream is cut short, ends before the coverage
// is known, or the coverage turns out partial) zlib inflates from the
// start, hands out only what comes past what was handed out already, and
// compares the rest by its CRC-32: what zlib installs installs identically,
// and what zlib refuses is refused.
#pragma once

#include <stdint.h>

#include <atomic>

#include "install/lz_compressor.h"

namespace lz_detail {

// How a run of the fast inflater alone ended.
enum IsalEnd {
  kIsalEnded,     // the final block ended
  kIsalCutShort,  // the input ran out first
  kIsalRefused,   // the inflater found the stream corrupt
  kIsalStopped,   // the coverage became partial (only with a coverage)
  kIsalFailed,    // write refused a piece, or the image grew too large: code
};

struct IsalRun {
  IsalEnd end = kIsalEnded;
  FsResult code;           // with kIsalFailed: the failing read's or write's, errno and all
  uint64_t handedOut = 0;  // bytes of the image given to write
  unsigned crc = 0;        // their CRC-32
};

// The fast inflater alone over source; stops early (kIsalStopped) once
// *coverage is kCoveragePartial, when coverage is given.
IsalRun runIsal(PackageBytes& source, WriteFunction write, void* context,
                const std::atomic<int>* coverage);

// The inflate of the package as described above; the codes of
// LZCompressor::unpack.
FsResult inflateWithIsal(PackageBytes& source, WriteFunction write, void* context,
                         const std::atomic<int>& coverage);

}  // namespace lz_detail
