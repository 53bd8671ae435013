#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace fuzz_support {

namespace {

std::string g_scratch;

void removeScratch() {
  if (!g_scratch.empty()) removeTree(g_scratch);
}

}  // namespace

const std::string& scratch() {
  if (g_scratch.empty()) {
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fuzz.XXXXXX";
    if (mkdtemp(&templ[0]) == nullptr) fail("cannot create a scratch directory under " + templ);
    g_scratch = templ;
    atexit(removeScratch);
  }
  return g_scratch;
}

void writeBytes(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) fail("cannot create " + path);
  if (size != 0 && fwrite(data, 1, size, f) != size) fail("cannot write " + path);
  if (fclose(f) != 0) fail("cannot write " + path);
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

void removeTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

void fail(const std::string& what) {
  fprintf(stderr, "FINDING: %s\n", what.c_str());
  fflush(stderr);
  abort();
}

}  // namespace fuzz_support
