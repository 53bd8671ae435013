// The image parser fed directly: the bytes are a package image, handed to
// the reader through a decompressor that copies instead of inflating. When
// the header parses, every member must lie inside the image, carry a name
// that stays inside the target, copy out with exactly its size, and match
// its checksum when it has one. A streaming open (header first) must come
// to the same verdict and serve the same members.
#include <stdio.h>
#include <sys/stat.h>

#include "fuzz/fuzz_support.h"
#include "install/install_data.h"
#include "install/lz_compressor.h"

using namespace fuzz_support;

namespace {

// A decompressor policy whose "package" is already the image.
struct CopyingDecompressor {
  template <class FS>
  FsResult unpackTo(const stdx::u16string& source, lz_detail::WriteFunction write,
                    void* context) const {
    std::string from = narrow_lib(source).c_str();
    FILE* in = fopen(from.c_str(), "rb");
    if (in == nullptr) return ERROR_FILE_NOT_FOUND;
    char buffer[1 << 16];
    size_t n;
    FsResult code;
    while (code == 0 && (n = fread(buffer, 1, sizeof buffer, in)) != 0) {
      code = write(context, buffer, static_cast<unsigned>(n));
    }
    fclose(in);
    return code;
  }
};

typedef config::InstallData<CopyingDecompressor, FileSystem> ImageReader;

std::string g_image, g_member;

stdx::u16string wide(const std::string& s) { return widen_lib(stdx::string(s.c_str())); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TMPDIR", scratch().c_str(), 1);
  g_image = scratch() + "/image";
  g_member = scratch() + "/member";
  return 0;
}

static int wholeOpen(size_t size);
static int streamingAgrees(size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  writeBytes(g_image, data, size);
  wholeOpen(size);
  return streamingAgrees(size);
}

static int wholeOpen(size_t size) {
  ImageReader reader;
  // Without the checksum check, so that members with wrong checksums get
  // copied too; the check itself runs through memberChecksums.
  if (reader.open(wide(g_image), false) != 0) {
    check(reader.files.empty() && reader.imageHandle() == INVALID_HANDLE_VALUE, "a failed open left members or its image");
    return 0;
  }
  for (size_t i = 0; i < reader.files.size(); ++i) {
    const config::FileData<FileSystem>& f = reader.files[i];
    check(config::isMemberName(f.name), "accepted a member name that leaves the target");
    check(static_cast<uint64_t>(f.offset) + f.size <= size, "a member reaches past the image");
    check(reader.copy(i, wide(g_member)) == 0, "copying an accepted member failed");
    struct stat st;
    check(stat(g_member.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == f.size,
          "a copied member has the wrong size");
  }
  std::vector<unsigned> crcs;
  check(reader.memberChecksums(crcs) == 0, "the checksums of accepted members cannot be read");
  return 0;
}

// The wizard's way in: the header first, the image stored only up to the
// last member's end, the rest checked in the background. It must come to
// the verdict of a whole open, and serve the same members.
static FsResult openStreaming(ImageReader& reader) {
  FsResult code = reader.openHeader(wide(g_image), false);
  if (code == 0) code = reader.awaitImage(-1);
  return code;
}

static int streamingAgrees(size_t size) {
  ImageReader whole, streaming;
  unsigned wholeCode = whole.open(wide(g_image), false).code();
  unsigned streamingCode = openStreaming(streaming).code();
  check((wholeCode == 0) == (streamingCode == 0), "a streaming open and a whole open disagree");
  if (streamingCode != 0) return 0;
  for (size_t i = 0; i < streaming.files.size(); ++i) {
    const config::FileData<FileSystem>& f = streaming.files[i];
    check(static_cast<uint64_t>(f.offset) + f.size <= size, "a member reaches past the image");
    check(streaming.copy(i, wide(g_member)) == 0, "copying a member of a streaming open failed");
    struct stat st;
    check(stat(g_member.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == f.size,
          "a member of a streaming open has the wrong size");
  }
  return 0;
}
