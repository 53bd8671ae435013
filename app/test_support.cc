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

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void make_parents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
}

void collect(const std::string& root, const std::string& relative, std::vector<std::string>& out) {
  DIR* dir = opendir((root + relative).c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string child = relative + "/" + name;
    struct stat st;
    if (lstat((root + child).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      out.push_back(child + "/");
      collect(root, child, out);
    } else {
      out.push_back(child + " " + std::to_string(st.st_mtime) + " " + read_file(root + child));
    }
  }
  closedir(dir);
}

}  // namespace

ScratchDir::ScratchDir() {
  char pattern[] = "/tmp/setup-app-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  // A test may have left a directory without write or search permission.
  nftw(path_.c_str(), [](const char* p, const struct stat* st, int, struct FTW*) {
    if (S_ISDIR(st->st_mode)) chmod(p, 0755);
    return 0;
  }, 16, FTW_PHYS);
  nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = getenv(name);
  hadOld_ = old != nullptr;
  if (hadOld_) old_ = old;
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (hadOld_) {
    setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

stdx::u16string u16(const std::string& text) { return widen_lib(stdx::string(text.c_str())); }

std::string utf8(const stdx::u16string& text) { return narrow_lib(text).c_str(); }

void write_file(const std::string& path, const std::string& bytes) {
  make_parents(path);
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

std::string read_file(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return "<missing>";
  std::string bytes;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
  fclose(f);
  return bytes;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string snapshot_tree(const std::string& root) {
  std::vector<std::string> lines;
  collect(root, "", lines);
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
