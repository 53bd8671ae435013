// What the plan of an install run says about one member: its path, time
// and size as the plan takes them from the package, what the run will do
// with it (its fate) and why, and the small helpers the plan words and
// counts with. run_plan.h makes these; the install, the dry run and the
// verify read them.
#pragma once

#include <stdint.h>

#include <vector>

#include "install/directory_cursor.h"
#include "install/failure_words.h"
#include "install/member_state.h"
#include "install/package_header.h"
#include "platform/file_io.h"
#include "platform/file_system.h"
#include "platform/stdx_string.h"

namespace run_plan {

// path with its letters in one case, as a file system that does not tell
// case apart compares names: ASCII, Latin-1 and Cyrillic, the letters of
// the installer's languages that have two cases.
inline stdx::u16string foldCase(const stdx::u16string& path) {
  stdx::u16string folded = path;
  for (char16_t& c : folded) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x410 && c <= 0x42F))
      c = static_cast<char16_t>(c + 0x20);
    else if (c >= 0x400 && c <= 0x40F)
      c = static_cast<char16_t>(c + 0x50);
    else if (((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) ? c % 2 == 0
             : ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && c % 2 == 1)
      c = static_cast<char16_t>(c + 1);  // Latin Extended-A: each capital before its small letter
  }
  return folded;
}

}  // namespace run_plan

// One member as the plan needs it.
struct PlanMember {
  stdx::u16string relative;  // normalized, "/"-separated, below the target
  FILETIME lastWriteTime;
  uint64_t size;
  uint64_t offset;  // where its bytes begin in the package's data: the order they come in
};

// The plan's member list of a package's files (the reader's or the scan's).
template <class Files>
std::vector<PlanMember> plan_members(const Files& files) {
  std::vector<PlanMember> members;
  members.reserve(files.size());
  for (const auto& f : files)
    members.push_back(PlanMember{config::normalizedMemberPath(f.name), f.lastWriteTime, f.size, f.offset});
  return members;
}

// What the run does with a member, from what stands on the way to it.
enum class MemberFate {
  kNew,        // nothing at its path (its folders may be missing too): written
  kOlder,      // an older regular file: replaced
  kLink,       // a symbolic link at its path: replaced as the link itself
  kCurrent,    // a regular file as new or newer, to the second: left alone
  kRefused,    // a directory or a special file at its path: the run stops there
  kLinkOnWay,  // a link where a folder on its way should be: stops the run early
  kFileOnWay,  // another file where a folder on its way should be: stops the run there
  kUnknown,    // could not be looked at (stop says why): stops the run early
};

struct MemberPlan {
  stdx::u16string relative;
  MemberFate fate = MemberFate::kNew;
  FileInformation seen{};   // what stands at its path, when anything does
  stdx::u16string blocker;  // kLinkOnWay, kFileOnWay: the component, relative to the target
  FsResult stop;            // kUnknown, kLinkOnWay, kFileOnWay: the look that stopped, with its errno
  // The folder the copy would have to write in (the member's own, or the
  // deepest one there when folders are to be made), relative to the
  // target, and why it refuses (0: it does not, or it was not asked).
  stdx::u16string folder;
  int folderErrno = 0;
  bool makesFolders = false;  // the member's folder is missing: the run makes it

  bool copies() const {
    return fate == MemberFate::kNew || fate == MemberFate::kOlder || fate == MemberFate::kLink;
  }
};

namespace run_plan {

// The line of a link found on the way to a folder.
inline stdx::u16string linkLine(const stdx::u16string& target, const stdx::u16string& link) {
  return symlink_line(join_path(target, link));
}

// The target's space a member takes, as the space check counts it: its
// size rounded up to the unit the file system hands space out in.
inline unsigned long long spaceOf(unsigned long long size, unsigned long long unit) {
  if (unit == 0) unit = 1;
  return (size / unit + (size % unit != 0)) * unit;
}

// The first component of directory, from the root down, that is a link or
// no folder: what stopped a walk down to it. directory itself when none
// is (any more).
template <class FS>
stdx::u16string firstBlocked(void* root, const stdx::u16string& directory) {
  BasicDirectoryCursor<FS> probe;
  probe.reset(root);
  for (size_t slash = directory.find(u'/');; slash = directory.find(u'/', slash + 1)) {
    stdx::u16string prefix = slash == stdx::u16string::npos ? directory : directory.substr(0, slash);
    void* handle = INVALID_HANDLE_VALUE;
    FsResult code = probe.open(prefix, handle);
    if (code == ERROR_STOPPED_ON_SYMLINK || code == ERROR_PATH_NOT_FOUND) return prefix;
    if (slash == stdx::u16string::npos) return directory;
  }
}

}  // namespace run_plan
