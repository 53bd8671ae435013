#include "app/test_support.h"

#include <dirent.h>
#include <errno.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "platform/utils.h"

std::string snapshot_tree(const std::string& root) {
  std::vector<std::string> lines;
  for (const auto& entry : snapshotTree(root)) {
    const TreeEntry& e = entry.second;
    if (e.kind == 'd') lines.push_back("/" + entry.first + "/");
    else if (e.kind == 'l') lines.push_back("/" + entry.first + " -> " + e.content);
    else lines.push_back("/" + entry.first + " " + std::to_string(e.mtime) + " " + e.content);
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

bool make_package(const std::string& toolPath, const std::string& sourceDir,
                  const std::string& output, const std::vector<std::string>& options) {
  std::vector<const char*> argv = {toolPath.c_str(), "-o", output.c_str()};
  for (const std::string& option : options) argv.push_back(option.c_str());
  argv.push_back(sourceDir.c_str());
  argv.push_back(nullptr);
  return run_program(argv.data()) == 0;
}

ScopedCwd::ScopedCwd(const std::string& dir) {
  char* old = getcwd(nullptr, 0);
  old_ = old;
  free(old);
  // A test that runs in the wrong directory could touch anything: stop.
  if (chdir(dir.c_str()) != 0) throw std::runtime_error("cannot enter " + dir);
}

ScopedCwd::~ScopedCwd() {
  if (chdir(old_.c_str()) != 0) abort();
}
