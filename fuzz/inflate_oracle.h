// Compares the package inflate of this build with zlib's on the same bytes.
// Shared by the inflate fuzz target and the differential test.
//
// The reference is zlib's inflate (raw DEFLATE) of the whole input, with
// one of three verdicts: the stream ended, it was cut short (input used up
// before the final block ended: accepted with what came so far), or it was
// refused. Against it the fast inflater, which is the package inflate:
//  - where zlib ends the stream, it must end it too with the same bytes;
//  - where zlib finds the stream cut short, it may give fewer of the last
//    bytes (a prefix of zlib's) or refuse it (it may read a block header
//    that the cut leaves incomplete as damage);
//  - where zlib refuses, it must refuse too, except in the known case.
// And the package inflate must accept exactly what the fast inflater
// accepts, with its bytes.
// The known case: zlib refused because the block it was reading declares an
// incomplete Huffman code (code lengths that leave codes unused, which
// zlib allows only for a single code of length 1), as found by an
// independent reading of that block's header; and the accepted bytes begin
// with every byte zlib gave before it stopped.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace inflate_oracle {

enum Verdict { kEnded, kCutShort, kRefused };

struct Reference {
  Verdict verdict = kEnded;
  std::string image;
  std::string message;     // zlib's, when refused
  uint64_t blockBit = 0;   // where the block zlib was in began, in bits
};

// zlib's inflate of data.
Reference zlibReference(const uint8_t* data, size_t size);

// What the header of the block at bit offset bit declares wrong with its
// Huffman codes, in the order zlib checks them: "" when nothing (or it is no
// dynamic block), else a word such as "lengths-incomplete",
// "distances-oversubscribed", "codes-incomplete", "no-end-of-block",
// "bad-repeat", "too-many", "cut-short".
std::string headerFault(const uint8_t* data, size_t size, uint64_t bit);

// True when the refusal of reference is the known case (see above).
bool knownDifference(const uint8_t* data, size_t size, const Reference& reference);

// Every comparison above; "" when all hold, else what differs. pieceBytes
// splits the input into pieces of that size for the inflaters (0: whole).
std::string compare(const uint8_t* data, size_t size, size_t pieceBytes = 0);

}  // namespace inflate_oracle
