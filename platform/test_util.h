// Helpers shared by the test programs: scratch directories, a scoped
// environment and byte-exact file access through the C library, so that
// the checks do not lean on the code under test.
#pragma once

#include <time.h>

#include <map>
#include <string>

#include "platform/stdx_string.h"

// A new, empty directory under /tmp, removed with everything
// in it on destruction, even folders a test left without permissions.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }
  // path() + "/" + relative, as the program's string type.
  stdx::u16string u16(const std::string& relative) const;

 private:
  std::string path_;
};

// Sets (or, with a null value, unsets) an environment variable for the
// scope and restores it after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool hadOld_;
};

stdx::u16string u16(const std::string& utf8Text);
std::string utf8(const stdx::u16string& text);

// The whole file; "<missing>" when it cannot be opened.
std::string readBytes(const std::string& path);
// Creates missing parent directories, then writes the bytes exactly; a
// failure is a test failure.
void writeBytes(const std::string& path, const std::string& bytes);
// Creates path and every missing folder above it (mkdir -p; no check:
// a test that needs it looks at what it made).
void makeDirs(const std::string& path);
// Everything below root (links not followed): kind 'f', 'd' or 'l', the
// content of a file or the target of a link, and a file's modification time.
struct TreeEntry {
  char kind;
  std::string content;
  time_t mtime;
  bool operator==(const TreeEntry& o) const {
    return kind == o.kind && content == o.content && mtime == o.mtime;
  }
};
typedef std::map<std::string, TreeEntry> TreeSnapshot;
TreeSnapshot snapshotTree(const std::string& root);
// Whether anything (a dangling link too) stands at path.
bool exists(const std::string& path);
// The names in dir, sorted and separated by blanks, without "." and "..".
std::string listDir(const std::string& dir);

// Permission tests mean nothing to root, who may read and write anything.
// Run as root, this runs the current test once more in a child process as
// the ordinary user 65534 (through setpriv) and returns true: the caller
// returns at once, and the child's result is this test's. Returns false
// when the test already runs as an ordinary user:
//   if (rerun_as_ordinary_user()) return;
bool rerun_as_ordinary_user();
