// Helpers for the application's tests: scratch directories, a scoped
// environment, byte-exact files through the C library (so that checks do
// not lean on the code under test) and packages made with the vendor tool.
#pragma once

#include <string>
#include <vector>

#include "platform/stdx_string.h"

// A new, empty directory under /tmp, removed with its contents on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Sets (or with a null value, unsets) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
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

// Creates missing parent directories, then writes the bytes exactly.
void write_file(const std::string& path, const std::string& bytes);
// The whole file; "<missing>" when it cannot be opened.
std::string read_file(const std::string& path);
bool path_exists(const std::string& path);
// Every file and directory below root with the files' contents, one line
// each, sorted: equal snapshots mean an unchanged tree.
std::string snapshot_tree(const std::string& root);

// Runs the vendor tool dpkpack at toolPath on sourceDir with extra options,
// writing output. True on success.
bool make_package(const std::string& toolPath, const std::string& sourceDir,
                  const std::string& output, const std::vector<std::string>& options);
