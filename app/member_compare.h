// How the files a package installed compare with the package: the
// verify's reading of the plan, which the remove and the repair act on.
// Each member's bytes, as the package is inflated, are compared with the
// installed file at the same offsets, from the plan's handle on the target,
// never through a link.
#pragma once

#include <string.h>

#include <memory>
#include <vector>

#include "install/package_scan.h"
#include "install/run_plan.h"
#include "platform/file_system.h"

// The verify's findings on a member the plan found up to date.
struct Check {
  bool differs = false;  // other bytes than the package's
  int errnoValue = 0;    // the installed file could not be read
};

// What stands at a member's path, as the verify words it.
enum class Installed {
  kOk,        // the package's bytes (a file newer by its time included)
  kMissing,   // nothing there, or no way to it (a link or a file on the way)
  kOutdated,  // an older file, or a link: what an install replaces
  kModified,  // other bytes, a folder or a special file, or not readable
};

inline Installed installed_state(const MemberPlan& m, const Check& check) {
  switch (m.fate) {
    case MemberFate::kNew:
    case MemberFate::kLinkOnWay:
    case MemberFate::kFileOnWay: return Installed::kMissing;
    case MemberFate::kOlder:
    case MemberFate::kLink: return Installed::kOutdated;
    case MemberFate::kCurrent: return check.differs ? Installed::kModified : Installed::kOk;
    case MemberFate::kRefused:
    case MemberFate::kUnknown: break;
  }
  return Installed::kModified;
}

// The verify's comparison: each member's bytes, as they are inflated,
// against the installed file at the same offsets. A file is read no further
// than its first difference; the package goes on to its end regardless.
class ByteComparer : public config::MemberBytesSink {
  typedef FileSystem FS;

 public:
  ByteComparer(RunPlan& plan, std::vector<Check>& checks)
      : plan_(plan), checks_(checks), buffer_(new unsigned char[kBufferBytes]) {}
  ~ByteComparer() override { closeOpen(); }

  void memberBytes(size_t index, uint64_t at, const unsigned char* data, size_t count) override {
    Check& c = checks_[index];
    if (plan_.member(index).fate != MemberFate::kCurrent || c.differs) return;
    if (openIndex_ != index) {
      closeOpen();
      FsResult code = plan_.openInstalled(index, open_);
      if (code != 0) {
        // Changed since it was looked at, or unreadable: not the package's
        // bytes as far as anyone can tell, and an unreadable file is said so.
        c.differs = true;
        if (code != ERROR_FILE_NOT_FOUND) c.errnoValue = code.errnoValue();
        return;
      }
      openIndex_ = index;
    }
    while (count != 0) {
      unsigned want = static_cast<unsigned>(count < kBufferBytes ? count : kBufferBytes);
      unsigned got = 0;
      FsResult code = FS::ReadFileAt(open_, at, buffer_.get(), want, &got);
      if (code != 0 || got != want || memcmp(buffer_.get(), data, want) != 0) {
        c.differs = true;
        if (code != 0) c.errnoValue = code.errnoValue();
        closeOpen();
        return;
      }
      at += want;
      data += want;
      count -= want;
    }
  }

  // The package is read to its end: the last file compared is let go, so
  // that nothing of ours holds a file the run may take away.
  void finished() { closeOpen(); }

 private:
  static const unsigned kBufferBytes = 1u << 16;
  void closeOpen() {
    if (open_ != INVALID_HANDLE_VALUE) FS::CloseHandle(open_);  // only read
    open_ = INVALID_HANDLE_VALUE;
    openIndex_ = static_cast<size_t>(-1);
  }

  RunPlan& plan_;
  std::vector<Check>& checks_;
  std::unique_ptr<unsigned char[]> buffer_;
  void* open_ = INVALID_HANDLE_VALUE;
  size_t openIndex_ = static_cast<size_t>(-1);
};
