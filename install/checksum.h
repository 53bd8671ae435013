// CRC-32 (the reflected IEEE polynomial of gzip and zlib) of member bytes.
// One function so that the engine behind it is chosen in one place: the
// vectorised one where the build has it, zlib's otherwise; both give the
// same values.
#pragma once

#include <stddef.h>

// The CRC-32 of data[0, count) continued from crc; 0 starts a new one.
unsigned crc32Update(unsigned crc, const void* data, size_t count);
