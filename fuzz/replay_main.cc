// Runs a fuzz target over files, without the fuzzer: every file named on
// the command line, and every file in a directory named there. This is how
// the seed corpora and the inputs of past findings run in the ordinary
// test suite (and under the ordinary sanitizers).
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

bool runFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  size_t ran = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      fprintf(stderr, "no such file or directory: %s\n", argv[i]);
      return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
      if (!runFile(argv[i])) return 1;
      ++ran;
      continue;
    }
    std::vector<std::string> names;
    if (DIR* d = opendir(argv[i])) {
      while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      }
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (!runFile(std::string(argv[i]) + "/" + name)) return 1;
      ++ran;
    }
  }
  printf("%zu inputs ran\n", ran);
  return ran == 0 ? 1 : 0;
}
