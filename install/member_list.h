// What both package readers make of a parsed member list before they take
// a byte of the data area: the members' target paths, sorted, with the
// refusal of two members that would be one entry of the target directory;
// where the stored image ends; whether the checksums cover every member;
// and the members as the checksum verifier takes them. The reader that
// stores an image (install_data.h) and the one that stores nothing
// (package_scan.h) draw it from here, so that both refuse the same
// packages.
//
// Thread safety: plain functions over values; no shared state.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <vector>

#include "install/member_verifier.h"
#include "install/package_header.h"
#include "platform/stdx_string.h"

namespace config {

// Two members that the install would write to one entry of the target
// directory, by the names the package gives them. A member name is never
// empty, so an empty second means there is none.
struct MemberClash {
  stdx::u16string first;  // stands where second needs a folder, or comes first of two with one path
  stdx::u16string second;
  bool found() const { return !second.empty(); }
};

// Finds two keys of paths (normalizedMemberPath keys, sorted by code unit)
// that name one entry: equal keys, or a key that is a folder on another's
// path ("a" and "a/b"). True with their indexes in first < second.
//
// Sorted by code unit, the keys that a key is a prefix of follow it in one
// run, but not always next to it: "a", "a.txt", "a/b" sort in that order.
// So the pass keeps the earlier keys that are prefixes of the current one
// (each a prefix of the next): a clash is one of them followed by "/" in the
// current key, or equal to it. The kept keys are never more than the
// current key has units, so the pass costs the keys' units, no more.
inline bool findClashingPaths(const std::vector<stdx::u16string>& paths, size_t& first, size_t& second) {
  std::vector<size_t> prefixes;
  for (size_t i = 0; i < paths.size(); ++i) {
    const stdx::u16string& key = paths[i];
    while (!prefixes.empty()) {
      if (key.starts_with(paths[prefixes.back()])) break;
      prefixes.pop_back();
    }
    for (size_t p : prefixes) {
      size_t n = paths[p].size();
      if (n == key.size() || key[n] == u'/') {
        first = p;
        second = i;
        return true;
      }
    }
    prefixes.push_back(i);
  }
  return false;
}

// The keys of members (nameOf(member) gives a member's name as stored),
// sorted by code unit, into paths. When two of them clash, clash names
// them (the folder or the earlier in package order first) and the result
// is false.
template <class Member, class NameOf>
bool sortMemberPaths(const std::vector<Member>& members, NameOf nameOf, std::vector<stdx::u16string>& paths,
                     MemberClash& clash) {
  clash = MemberClash();
  paths.clear();
  paths.reserve(members.size());
  for (const Member& m : members) paths.push_back(normalizedMemberPath(nameOf(m)));
  std::sort(paths.begin(), paths.end(),
            [](const stdx::u16string& a, const stdx::u16string& b) { return a.compare(b) < 0; });
  size_t a = 0, b = 0;
  if (!findClashingPaths(paths, a, b)) return true;
  // Only a refused package comes here: one more pass finds the names.
  const stdx::u16string& firstKey = paths[a];
  const stdx::u16string& secondKey = paths[b];
  for (const Member& m : members) {
    const stdx::u16string& name = nameOf(m);
    stdx::u16string key = normalizedMemberPath(name);
    if (clash.first.empty() && key == firstKey) clash.first = name;
    else if (clash.second.empty() && key == secondKey) clash.second = name;
    if (clash.found() && !clash.first.empty()) break;
  }
  return false;
}

// What a reader keeps of its member list besides the records.
struct MemberList {
  std::vector<stdx::u16string> paths;  // every member's normalizedMemberPath, sorted by code unit
  uint64_t imageEnd = 0;               // behind the header and the member that reaches farthest
  bool allChecked = true;              // every member carries a checksum
  MemberClash clash;                   // why the list was refused, when two members clash
};

// The post-processing of a parsed header (headerEnd: the offset behind its
// last record). 0, or ERROR_INVALID_DATA when two members would be one
// entry of the target directory (list.clash names them).
template <class FS>
unsigned readMemberList(const std::vector<FileData<FS>>& files, uint64_t headerEnd, MemberList& list) {
  list.imageEnd = headerEnd;
  list.allChecked = true;
  for (const FileData<FS>& f : files) {
    list.imageEnd = std::max<uint64_t>(list.imageEnd, static_cast<uint64_t>(f.offset) + f.size);
    list.allChecked = list.allChecked && f.hasChecksum;
  }
  auto nameOf = [](const FileData<FS>& f) -> const stdx::u16string& { return f.name; };
  return sortMemberPaths(files, nameOf, list.paths, list.clash) ? 0u : static_cast<unsigned>(ERROR_INVALID_DATA);
}

// The members as the verifier checks them, in file order; checkMembers
// false checks none.
template <class FS>
std::vector<MemberVerifier::Member> verifierMembers(const std::vector<FileData<FS>>& files, bool checkMembers) {
  std::vector<MemberVerifier::Member> members;
  members.reserve(files.size());
  for (const FileData<FS>& f : files) {
    members.push_back(MemberVerifier::Member{f.offset, static_cast<uint64_t>(f.offset) + f.size,
                                             checkMembers && f.hasChecksum, f.checksum});
  }
  return members;
}

}  // namespace config
