#include "install/checksum.h"

#include <limits.h>

#ifdef SETUP_WITH_ISAL
#include <isa-l/crc.h>
#else
#include <zlib.h>
#endif

unsigned crc32Update(unsigned crc, const void* data, size_t count) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  // Both engines take 32-bit lengths.
  while (count != 0) {
    unsigned step = count > UINT_MAX / 2 ? UINT_MAX / 2 : static_cast<unsigned>(count);
#ifdef SETUP_WITH_ISAL
    crc = crc32_gzip_refl(crc, bytes, step);
#else
    crc = static_cast<unsigned>(crc32(crc, bytes, step));
#endif
    bytes += step;
    count -= step;
  }
  return crc;
}
