// The fast inflater: the vectorised one of the ISA-L library, used for
// every package where it is built in.
//
// It and zlib's inflate give the same image for every sound stream, and
// refuse the same damaged ones but for one kind: blocks whose Huffman codes
// are incomplete (code lengths that leave codes unused), which zlib refuses
// at the block's header and this one decodes, failing only where a missing
// code is met. docs/package-format.md gives the measurements on damaged
// packages behind taking its verdict as it is; fuzz/inflate_oracle.h
// describes how the two are held to it.
#pragma once

#include <stdint.h>

#include "install/lz_compressor.h"

namespace lz_detail {

// How a run of the fast inflater ended.
enum IsalEnd {
  kIsalEnded,     // the final block ended
  kIsalCutShort,  // the input ran out first
  kIsalRefused,   // the inflater found the stream corrupt
  kIsalFailed,    // write refused a piece, or the image grew too large: code
};

struct IsalRun {
  IsalEnd end = kIsalEnded;
  FsResult code;           // with kIsalFailed: the failing read's or write's, errno and all
  uint64_t handedOut = 0;  // bytes of the image given to write
};

// The fast inflater over source, telling how it ended.
IsalRun runIsal(PackageBytes& source, WriteFunction write, void* context);

// The same with the codes of LZCompressor::unpack: a stream cut short is
// accepted with what came (the reader judges the shorter image), a
// corrupt one is ERROR_INVALID_DATA.
FsResult inflateWithIsal(PackageBytes& source, WriteFunction write, void* context);

}  // namespace lz_detail
