// The package's reads, hashed for its signature check as they happen: a
// file system policy that hands every read of the thread's package to the
// thread's SignatureCheck, so that the check costs no second read.
#pragma once

#include <stdint.h>

#include <memory>

#include "install/package_signature.h"
#include "platform/file_system.h"
#include "platform/stdx_string.h"

template <class FS>
struct SignedReads : FS {
  static FsResult ReadFileAt(void* handle, unsigned long long offset, void* buffer, unsigned count,
                             unsigned* got) {
    FsResult code = FS::ReadFileAt(handle, offset, buffer, count, got);
    SignatureCheck* check = current_signature_check();
    if (code == 0 && check != nullptr && got != nullptr) check->feed(offset, buffer, *got);
    return code;
  }
};

// Makes check the one that this thread's package reads feed, for as long
// as the scope lasts.
class SignatureCheckScope {
 public:
  explicit SignatureCheckScope(SignatureCheck* check) : saved_(current_signature_check()) {
    current_signature_check() = check;
  }
  ~SignatureCheckScope() { current_signature_check() = saved_; }
  SignatureCheckScope(const SignatureCheckScope&) = delete;
  SignatureCheckScope& operator=(const SignatureCheckScope&) = delete;

 private:
  SignatureCheck* saved_;
};

// Decides check once the package was read: whatever its reader left
// unread (a stream that ended before the file did) is hashed from the file
// now. 0 when the signature verified; ERROR_INVALID_DATA when it did not
// (decided() then says why); the result of a failed read of the rest.
template <class FS>
FsResult finish_signature_check(SignatureCheck& check, const stdx::u16string& packagePath) {
  void* in = INVALID_HANDLE_VALUE;
  FsResult code = FS::OpenRegularFile(packagePath, in);
  if (code != 0) return code;
  FileInformation info;
  code = FS::GetFileInformationByHandle(in, info);
  const unsigned kBufferBytes = 1u << 16;
  std::unique_ptr<unsigned char[]> buffer;
  for (uint64_t at = check.hashedBytes(); code == 0 && at < info.sizeBytes;) {
    if (!buffer) buffer.reset(new unsigned char[kBufferBytes]);
    unsigned got = 0;
    code = FS::ReadFileAt(in, at, buffer.get(), kBufferBytes, &got);
    if (code != 0 || got == 0) break;
    check.feed(at, buffer.get(), got);
    at += got;
  }
  FS::CloseHandle(in);  // only read
  if (code != 0) return code;
  return check.finish() == SignatureVerdict::kVerified ? FsResult() : FsResult(ERROR_INVALID_DATA);
}
