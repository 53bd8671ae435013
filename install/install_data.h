// The package reader. A package is one raw DEFLATE stream; inflated, it is
// the package image: a header that lists product descriptions and member
// files, then the data area with the members' bytes, uncompressed. The
// reader inflates the package once into a temporary image (package_image.h),
// parses the header (package_header.h), keeps the image open and copies
// single members out of it (member_copier.h).
//
// The image is usable while it grows: openHeader() returns once the header
// is parsed, a member can be copied as soon as its bytes are in the image
// (awaitMember), and awaitImage() tells whether the whole image turned out
// sound. Every member's checksum is compared as its bytes go by, on the
// thread that writes the image.
//
// Thread safety: open(), openHeader() and the reads of the lists run on one
// thread before the install thread starts; copy(), copyTo() and
// releaseBefore() run on the install thread alone, and the lists do not
// change after the open. The await calls and stopInflating() may be called
// from any thread.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <vector>

#include "install/member_copier.h"
#include "install/member_list.h"
#include "install/member_verifier.h"
#include "install/package_header.h"
#include "install/package_image.h"
#include "platform/file_system.h"
#include "platform/stdx_string.h"

namespace config {

template <class Compressor, class FS>
class InstallData {
  typedef PackageImage<Compressor, FS> Image;

 public:
  static const unsigned kCopyBufferSize = MemberCopier<FS, Image>::kCopyBufferSize;

  InstallData() : copier_(image_) {}
  InstallData(const InstallData&) = delete;
  InstallData& operator=(const InstallData&) = delete;

  // Inflates the whole package into a new unnamed image in the temporary
  // directory, then parses its header into products and files and checks
  // every member. Returns 0 on success; the code of the temporary file,
  // decompressor or file layer on failure (ERROR_DISK_FULL when the image
  // does not fit); ERROR_INVALID_DATA (13) for a damaged package: a corrupt
  // stream, a header that the image cannot hold (short strings, record
  // lengths below 4 or past the image, counts too large, members past the
  // end of the image), a member name that would leave the target
  // directory, two members that would be one entry of the target directory
  // (one name twice, or a file on another member's path: memberClash()
  // names them), or a member whose bytes do not match its checksum. On
  // failure the image is gone and files is empty; products keeps what was
  // read before the failure. checkMembers false skips the checksums (for a
  // tool that reports them one by one with memberChecksums). Every file call happens on the calling thread or
  // before the feed thread ends, in one order: the image is inflated first.
  FsResult open(const stdx::u16string& packagePath, bool checkMembers = true) {
    return openImage(packagePath, checkMembers, true);
  }

  // Starts inflating the package and returns as soon as the header is
  // parsed; the rest of the image follows in the background. The codes of
  // open() for what the header shows, and ERROR_DISK_FULL when the
  // temporary directory has less room than the image still needs
  // (imageSpace() tells how much); until then, the image holds little more
  // than the header. Damage behind the header, or a temporary directory
  // that fills up later, is reported by the await calls. Only the image up
  // to the end of the last member is stored; the stream behind it must
  // still inflate soundly to its end.
  FsResult openHeader(const stdx::u16string& packagePath, bool checkMembers = true) {
    return openImage(packagePath, checkMembers, false);
  }

  // Waits at most timeoutMs (-1: as long as it takes) until the bytes of
  // member index are in the image (whole false: its first bytes, enough
  // for copyTo to begin with). 0 when they are; kErrorPending when the time
  // ran out; the failure of the image (see awaitImage) as soon as there is
  // one; ERROR_INVALID_DATA when the image ended before them.
  FsResult awaitMember(uint64_t index, int timeoutMs, bool whole = true) {
    if (index >= files.size()) return ERROR_INVALID_PARAMETER;
    const FileData<FS>& member = files[static_cast<size_t>(index)];
    uint64_t end = static_cast<uint64_t>(member.offset) + member.size;
    if (!whole) end = std::min<uint64_t>(end, static_cast<uint64_t>(member.offset) + 1);
    return image_.awaitBytes(end, timeoutMs, nullptr, true);
  }

  // The package's reads feed check from the next open on (see PackageImage).
  void checkSignature(SignatureCheck* check) { image_.checkSignature(check); }

  // Waits at most timeoutMs (-1: as long as it takes) until the whole
  // image is inflated and checked. 0 when it is sound; kErrorPending when
  // the time ran out; else why it cannot be used: the codes of open(), or
  // ERROR_CANCELLED after stopInflating(). Only after a successful open.
  FsResult awaitImage(int timeoutMs) { return image_.awaitImage(timeoutMs); }

  // Where code, a failure that the calls above returned, lies: the
  // package's bytes, the package file, or the image in the temporary
  // directory (with the file to name).
  ImageFailure failureOf(FsResult code) { return image_.failureOf(code); }

  // Asks the inflate to stop at its next piece, without waiting for it; the
  // image is then reported as ERROR_CANCELLED. Safe from any thread.
  void stopInflating() { image_.stopInflating(); }

  // Gives the image's storage before offset back to the file system, once
  // nothing will be copied from there again; a member that lies in
  // released bytes can no longer be copied. Install thread only.
  void releaseBefore(uint64_t offset) { image_.releaseBefore(offset); }

  // The readme of the first description in language (case-insensitive),
  // else that of the first "en" description (even if empty), else empty.
  stdx::u16string getReadme(const stdx::u16string& language) const {
    for (size_t i = 0; i < products.size(); ++i) {
      if (compare_nocase(products[i].language, language) != 0) continue;
      if (!products[i].readme.empty()) return products[i].readme;
      break;
    }
    for (size_t i = 0; i < products.size(); ++i) {
      if (compare_nocase(products[i].language, u"en") == 0) return products[i].readme;
    }
    return stdx::u16string();
  }

  // Writes member index into out, an empty file open for writing at its
  // start, and gives it the member's last-write time; the caller closes
  // it. Only after a successful open; copies the member's bytes as they
  // come, waiting for the rest as awaitMember does. A member that the
  // stream wrote into out itself (see delivery()) only gets its time, once
  // all of its bytes are checked. Returns 0; ERROR_INVALID_PARAMETER for
  // an index out of range or a member whose bytes were given back; the
  // code of the first failing file call (the stream's write into out
  // included); the image's failure or ERROR_INVALID_DATA when the image
  // ends before the member does. Allocates nothing. Install thread only.
  FsResult copyTo(uint64_t index, void* out) {
    if (index >= files.size()) return ERROR_INVALID_PARAMETER;
    if (image_.handle() == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    const FileData<FS>& member = files[static_cast<size_t>(index)];
    FsResult failure;
    if (image_.delivery().taken(static_cast<size_t>(index))) {
      FsResult code = awaitMember(index, -1);
      if (code != 0) {
        image_.delivery().takeBack(static_cast<size_t>(index), failure);  // out is the caller's again
        return code;
      }
    }
    switch (image_.delivery().takeBack(static_cast<size_t>(index), failure)) {
      case MemberDelivery<FS>::Outcome::kDelivered:
        return FS::SetFileTime(out, nullptr, nullptr, &member.lastWriteTime);
      case MemberDelivery<FS>::Outcome::kFailed:
        return failure;
      case MemberDelivery<FS>::Outcome::kCutOff:
        return ERROR_INVALID_DATA;  // the stream ended inside it
      case MemberDelivery<FS>::Outcome::kGone:
        return ERROR_INVALID_PARAMETER;  // its bytes went into another file, not the image
      case MemberDelivery<FS>::Outcome::kInImage:
        break;
    }
    if (member.offset < image_.released() && member.size != 0) return ERROR_INVALID_PARAMETER;
    return copier_.copyTo(member, out);
  }

  // Where the stream writes members straight into the files the installer
  // made for them, instead of through the image (see MemberDelivery): the
  // installer gives its word on each member in order, and takes each
  // member back (copyTo does) before it closes the member's file.
  MemberDelivery<FS>& delivery() { return image_.delivery(); }

  // copyTo into destination, created or replaced.
  FsResult copy(uint64_t index, const stdx::u16string& destination) {
    if (index >= files.size()) return ERROR_INVALID_PARAMETER;
    if (image_.handle() == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    void* out = INVALID_HANDLE_VALUE;
    FsResult code = FS::CreateFile(destination, GENERIC_WRITE, 0, CREATE_ALWAYS, out);
    if (code != 0) return code;
    // CREATE_ALWAYS keeps old bytes: the copy must not end in a stale tail.
    code = FS::SetEndOfFile(out);
    if (code == 0) code = copyTo(index, out);
    FsResult closed = FS::CloseHandle(out);
    return code != 0 ? code : closed;
  }

  // The CRC-32 of every member's bytes as the image holds them, in file
  // order, in one pass over the image. Only after a successful open() (the
  // whole image). 0 or the code of a failing read.
  FsResult memberChecksums(std::vector<unsigned>& crcs) {
    if (image_.handle() == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    return copier_.memberChecksums(files, crcs);
  }

  // Why openHeader() found no room: the temporary directory, the bytes the
  // image still needed and the bytes free there. All empty when it did.
  struct Space {
    stdx::u16string directory;
    uint64_t neededBytes = 0;
    uint64_t freeBytes = 0;
  };
  const Space& imageSpace() const { return space_; }

  // The image, open for reading and writing; INVALID_HANDLE_VALUE before
  // open() and after a failed one. For tests, which reach it only here.
  void* imageHandle() const { return image_.handle(); }

  // Every member's normalizedMemberPath, sorted; after a successful open.
  const std::vector<stdx::u16string>& memberPaths() const { return members_.paths; }

  // The two members that made the last open refuse the package as one
  // entry of the target directory; none (found() false) otherwise.
  const MemberClash& memberClash() const { return members_.clash; }

  std::vector<ProductInfo> products;  // in package order
  std::vector<FileData<FS>> files;    // in package order; the index is a member's identity

 private:
  FsResult openImage(const stdx::u16string& packagePath, bool checkMembers, bool wholeFirst) {
    image_.discard();
    products.clear();
    files.clear();
    members_ = MemberList();
    space_ = Space();
    FsResult code = image_.start(packagePath, !wholeFirst);
    if (code == 0 && wholeFirst) code = image_.awaitInflater();
    if (code == 0) {
      HeaderParser<FS, Image> parser(image_);
      code = parser.parse(products, files);
      // Two members that are one entry would make the second's backup take
      // the first's place, or stop the install at its last step.
      if (code == 0) code = readMemberList(files, parser.end(), members_);
    }
    // The image ends with the member that reaches farthest: nothing behind
    // it is stored, and the temporary directory must hold what is still to
    // come before any more is written.
    const uint64_t end = members_.imageEnd;
    if (code == 0 && !wholeFirst) code = limitImage(end);
    // The whole image is in: its tail is held to the bound the gated
    // inflate keeps, so that both opens give one verdict.
    if (code == 0 && wholeFirst && image_.inflatedBytes() > end &&
        image_.inflatedBytes() - end > max_tail_bytes(end)) {
      code = ERROR_INVALID_DATA;
    }
    if (code == 0) code = image_.postMembers(verifierMembers(files, checkMembers));
    if (code == 0 && wholeFirst) code = image_.awaitImage(-1);
    if (code != 0) {
      files.clear();
      members_.paths.clear();
      image_.discard();
    }
    return code;
  }

  FsResult limitImage(uint64_t end) {
    uint64_t written = image_.inflatedBytes();
    uint64_t needed = end > written ? end - written : 0;
    unsigned long long freeBytes = 0;
    // Where the free space cannot be told, the writes will tell.
    if (needed != 0 && FS::GetFreeSpaceTmpDir64(&freeBytes) == 0 && freeBytes < needed) {
      FS::GetTempPath(space_.directory);
      space_.neededBytes = needed;
      space_.freeBytes = freeBytes;
      return ERROR_DISK_FULL;
    }
    return image_.limitTo(end);
  }

  // The copier reads through the image: built after it, gone before it.
  Image image_;
  MemberCopier<FS, Image> copier_;
  MemberList members_;
  Space space_;
};

}  // namespace config
