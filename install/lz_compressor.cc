#include "install/lz_compressor.h"

#include <stdint.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

#ifdef SETUP_WITH_ISAL
#include "install/isal_decompressor.h"
#endif
#include "platform/file_system.h"
#include "platform/populated_memory.h"

namespace {

// The package read in pieces through one buffer. A read that gives fewer
// bytes than the file had when it was opened means the file shrank: damage.
class ReadBytes : public lz_detail::PackageBytes {
 public:
  ReadBytes(lz_detail::ReadFunction read, void* source, unsigned long long sourceBytes)
      : read_(read),
        source_(source),
        sourceBytes_(sourceBytes),
        readBytes_(0),
        input_(LZCompressor::kInputBytes) {}

  FsResult next(const unsigned char*& data, size_t& count) override {
    data = input_.data();
    count = 0;
    if (readBytes_ >= sourceBytes_) return 0;
    unsigned want = static_cast<unsigned>(
        std::min<unsigned long long>(sourceBytes_ - readBytes_, LZCompressor::kInputBytes));
    unsigned got = 0;
    FsResult code = read_(source_, readBytes_, input_.data(), want, &got);
    if (code != 0) return code;
    if (got != want) return ERROR_INVALID_DATA;
    readBytes_ += got;
    count = got;
    return 0;
  }

 private:
  lz_detail::ReadFunction read_;
  void* source_;
  unsigned long long sourceBytes_;
  unsigned long long readBytes_;
  PopulatedMemory input_;
};

}  // namespace

FsResult lz_detail::inflateWithZlib(PackageBytes& source, WriteFunction write, void* context) {
  z_stream stream;
  memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, -15) != Z_OK) return ERROR_INVALID_DATA;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[LZCompressor::kBufferSize]);
  uint64_t imageBytes = 0;
  uint64_t pieceEnd = 0;  // package offset behind the piece in hand
  bool inputEnded = false;
  FsResult result;
  for (;;) {
    if (stream.avail_in == 0 && !inputEnded) {
      const unsigned char* data = nullptr;
      size_t count = 0;
      result = source.next(data, count);
      if (result != 0) break;
      // A piece never passes 4 GiB: the package stays below it.
      stream.next_in = const_cast<unsigned char*>(data);
      stream.avail_in = static_cast<uInt>(count);
      pieceEnd += count;
      inputEnded = count == 0;
    }
    stream.next_out = buffer.get();
    stream.avail_out = LZCompressor::kBufferSize;
    int z = inflate(&stream, Z_NO_FLUSH);
    unsigned produced = LZCompressor::kBufferSize - stream.avail_out;
    source.consumed(pieceEnd - stream.avail_in);
    imageBytes += produced;
    if (imageBytes > LZCompressor::kMaxImageBytes) {
      result = ERROR_INVALID_DATA;
      break;
    }
    // Reported at once: a bomb must not go on filling the disk.
    if (produced != 0) result = write(context, buffer.get(), produced);
    if (result != 0 || z == Z_STREAM_END) break;
    if (z != Z_OK && z != Z_BUF_ERROR) {
      result = ERROR_INVALID_DATA;
      break;
    }
    // Z_BUF_ERROR: no progress was possible. With input left that is
    // damage; without, more input is wanted.
    if (z == Z_BUF_ERROR && stream.avail_in != 0) {
      result = ERROR_INVALID_DATA;
      break;
    }
    // Output room left means the input is used up: a stream cut short
    // once no more comes.
    if (stream.avail_out != 0 && stream.avail_in == 0 && inputEnded) break;
  }
  inflateEnd(&stream);
  return result;
}

FsResult lz_detail::inflatePackage(PackageBytes& source, WriteFunction write, void* context) {
#ifdef SETUP_WITH_ISAL
  return inflateWithIsal(source, write, context);
#else
  return inflateWithZlib(source, write, context);
#endif
}

FsResult lz_detail::inflateSource(ReadFunction read, void* source, unsigned long long sourceBytes,
                                  WriteFunction write, void* destination, InflateFunction inflate) {
  // An empty package is an empty image.
  if (sourceBytes == 0) return 0;
  ReadBytes bytes(read, source, sourceBytes);
  return inflate(bytes, write, destination);
}

FsResult LZCompressor::unpack(const stdx::u16string& source,
                              const stdx::u16string& destination) const {
  // The source must exist, and be a package we can read, before the
  // destination is touched.
  void* probe = INVALID_HANDLE_VALUE;
  FsResult code = FileSystem::OpenRegularFile(source, probe);
  if (code != 0) return code;
  FileSystem::CloseHandle(probe);
  void* out = INVALID_HANDLE_VALUE;
  code = FileSystem::CreateFile(destination, GENERIC_WRITE, 0, CREATE_ALWAYS, out);
  if (code != 0) return code;
  // CREATE_ALWAYS keeps old bytes: an image must not end in a stale tail.
  code = FileSystem::SetEndOfFile(out);
  if (code == 0) code = unpackInto<FileSystem>(source, out);
  FsResult closed = FileSystem::CloseHandle(out);
  return code != 0 ? code : closed;
}

unsigned LZCompressor::pack(const stdx::u16string&, const stdx::u16string&) const { return 1; }
