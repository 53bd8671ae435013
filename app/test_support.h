// Helpers for the application's tests: scratch directories, a scoped
// environment, byte-exact files through the C library (so that checks do
// not lean on the code under test) and packages made with the vendor tool.
#pragma once

#include <string>
#include <vector>

#include "platform/stdx_string.h"
#include "platform/test_util.h"

// Every file and directory below root with the files' contents, one line
// each, sorted: equal snapshots mean an unchanged tree.
std::string snapshot_tree(const std::string& root);

// Runs the vendor tool dpkpack at toolPath on sourceDir with extra options,
// writing output. True on success.
bool make_package(const std::string& toolPath, const std::string& sourceDir,
                  const std::string& output, const std::vector<std::string>& options);

// Runs the body in dir and comes back, whatever the body does.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::string old_;
};
