#include "install/lz_compressor.h"

#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <memory>

#include "platform/file_system.h"

namespace {

// Consumed input is handed back to the kernel in steps of this size, so
// the resident part of the mapping stays small however large the package.
const size_t kReleaseStep = 4u << 20;

int fdOf(void* handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

// The package is inflated straight from a read-only mapping: the file layer
// has no mapping call, so this is the one place where the engine touches
// the OS itself, through the descriptor behind the layer's handle.
class SourceMapping {
 public:
  SourceMapping() : base_(nullptr), size_(0), released_(0) {}
  ~SourceMapping() {
    if (base_ != nullptr) munmap(base_, size_);
  }
  SourceMapping(const SourceMapping&) = delete;
  SourceMapping& operator=(const SourceMapping&) = delete;

  bool map(void* handle, size_t size) {
    void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fdOf(handle), 0);
    if (p == MAP_FAILED) return false;
    base_ = static_cast<unsigned char*>(p);
    size_ = size;
    madvise(base_, size_, MADV_SEQUENTIAL);
    return true;
  }
  unsigned char* data() const { return base_; }

  // Drops the pages wholly before consumed; they are never read again.
  void release(size_t consumed) {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t end = consumed / page * page;
    if (end < released_ + kReleaseStep) return;
    madvise(base_ + released_, end - released_, MADV_DONTNEED);
    released_ = end;
  }

 private:
  unsigned char* base_;
  size_t size_;
  size_t released_;
};

// Runs the inflater over the whole input and writes what it produces.
unsigned inflateAll(SourceMapping& source, size_t sourceSize, lz_detail::WriteFunction write,
                    void* destination) {
  z_stream stream;
  memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, -15) != Z_OK) return ERROR_INVALID_DATA;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[LZCompressor::kBufferSize]);
  stream.next_in = source.data();
  stream.avail_in = static_cast<uInt>(sourceSize);

  unsigned long long imageBytes = 0;
  unsigned result = 0;
  for (;;) {
    stream.next_out = buffer.get();
    stream.avail_out = LZCompressor::kBufferSize;
    int z = inflate(&stream, Z_NO_FLUSH);
    unsigned produced = LZCompressor::kBufferSize - stream.avail_out;
    if (sourceSize != 0) source.release(sourceSize - stream.avail_in);
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
    if (z == Z_BUF_ERROR) {
      // No progress was possible: fine when the input is used up (a
      // stream cut short), corrupt when input is left.
      result = stream.avail_in != 0 ? static_cast<unsigned>(ERROR_INVALID_DATA) : 0u;
      break;
    }
    if (z != Z_OK) {
      result = z == Z_STREAM_END ? 0u : static_cast<unsigned>(ERROR_INVALID_DATA);
      break;
    }
    if (stream.avail_out != 0) break;  // input used up
  }
  inflateEnd(&stream);
  return result;
}

}  // namespace

unsigned lz_detail::inflateMapped(void* source, unsigned sourceBytes, WriteFunction write,
                                  void* destination) {
  SourceMapping mapping;
  if (!mapping.map(source, sourceBytes)) return ERROR_INVALID_DATA;
  return inflateAll(mapping, sourceBytes, write, destination);
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
