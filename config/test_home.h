// Test helpers for the configuration tests: a scratch directory inside the
// build tree, a scoped HOME, and byte-exact file access through the C
// library, so that the checks do not depend on the code under test.
#pragma once

#include <string>

#include "platform/stdx_string.h"

// A new, empty directory, removed with everything in it on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative, as the program's string type.
  stdx::u16string u16(const std::string& relative) const;

 private:
  std::string path_;
};

// Sets an environment variable for the scope and restores it after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool hadOld_;
};

stdx::u16string u16(const std::string& utf8);
std::string utf8(const stdx::u16string& text);

// The whole file; "<missing>" when it cannot be opened.
std::string readBytes(const std::string& path);
// Creates missing parent directories, then writes the bytes exactly.
void writeBytes(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);
// The names in dir, sorted, without "." and "..".
std::string listDir(const std::string& dir);
