#include "install/lz_compressor.h"

#include <stdint.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

#include "platform/file_system.h"

namespace {

// Runs the inflater over the whole source, read piece by piece through one
// buffer, and writes what it produces.
unsigned inflateAll(lz_detail::ReadFunction read, void* source, unsigned long long sourceBytes,
                    lz_detail::WriteFunction write, void* destination) {
  z_stream stream;
  memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, -15) != Z_OK) return ERROR_INVALID_DATA;
  std::unique_ptr<unsigned char[]> input(new unsigned char[LZCompressor::kInputBytes]);
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[LZCompressor::kBufferSize]);
  unsigned long long readBytes = 0;
  unsigned long long imageBytes = 0;
  unsigned result = 0;
  for (;;) {
    if (stream.avail_in == 0 && readBytes < sourceBytes) {
      unsigned want = static_cast<unsigned>(
          std::min<unsigned long long>(sourceBytes - readBytes, LZCompressor::kInputBytes));
      unsigned got = 0;
      result = read(source, readBytes, input.get(), want, &got);
      // Fewer bytes than the file had when it was opened: it shrank.
      if (result == 0 && got != want) result = ERROR_INVALID_DATA;
      if (result != 0) break;
      readBytes += got;
      stream.next_in = input.get();
      stream.avail_in = got;
    }
    stream.next_out = buffer.get();
    stream.avail_out = LZCompressor::kBufferSize;
    int z = inflate(&stream, Z_NO_FLUSH);
    unsigned produced = LZCompressor::kBufferSize - stream.avail_out;
    if (produced != 0) {
      imageBytes += produced;
      if (imageBytes > LZCompressor::kMaxImageBytes) {
        result = ERROR_INVALID_DATA;
        break;
      }
      unsigned code = write(destination, buffer.get(), produced);
      if (code != 0) {
        // Reported at once: a bomb must not go on filling the disk.
        result = code;
        break;
      }
    }
    bool inputLeft = stream.avail_in != 0 || readBytes < sourceBytes;
    if (z == Z_BUF_ERROR) {
      // No progress was possible: the piece is used up, or the whole input
      // (a stream cut short); with input at hand, the stream is corrupt.
      if (stream.avail_in == 0 && inputLeft) continue;
      result = stream.avail_in != 0 ? static_cast<unsigned>(ERROR_INVALID_DATA) : 0u;
      break;
    }
    if (z != Z_OK) {
      result = z == Z_STREAM_END ? 0u : static_cast<unsigned>(ERROR_INVALID_DATA);
      break;
    }
    if (stream.avail_out != 0 && !inputLeft) break;  // input used up: a stream cut short
  }
  inflateEnd(&stream);
  return result;
}

}  // namespace

unsigned lz_detail::inflateSource(ReadFunction read, void* source, unsigned long long sourceBytes,
                                  WriteFunction write, void* destination) {
  // An empty package is an empty image.
  if (sourceBytes == 0) return 0;
  return inflateAll(read, source, sourceBytes, write, destination);
}

unsigned LZCompressor::unpack(const stdx::u16string& source,
                              const stdx::u16string& destination) const {
  // The source must exist, and be a package we can read, before the
  // destination is touched.
  void* probe = INVALID_HANDLE_VALUE;
  unsigned code = FileSystem::OpenRegularFile(source, probe);
  if (code != 0) return code;
  FileSystem::CloseHandle(probe);
  void* out = INVALID_HANDLE_VALUE;
  code = FileSystem::CreateFile(destination, GENERIC_WRITE, 0, CREATE_ALWAYS, out);
  if (code != 0) return code;
  // CREATE_ALWAYS keeps old bytes: an image must not end in a stale tail.
  if (FileSystem::SetEndOfFile(out) != 0) code = FileSystem::GetLastError();
  if (code == 0) code = unpackInto<FileSystem>(source, out);
  unsigned closed = FileSystem::CloseHandle(out);
  return code != 0 ? code : closed;
}

unsigned LZCompressor::pack(const stdx::u16string&, const stdx::u16string&) const { return 1; }
