#include "bench/trees.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace bench {
namespace {

struct Random {
  unsigned long long state;
  explicit Random(unsigned long long seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
  unsigned long long next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};

// Prose-like text from a fixed vocabulary: compresses about as well as
// configuration templates and documents do.
void fillText(Random& r, std::string& out, size_t size) {
  static std::vector<std::string> words;
  if (words.empty()) {
    const char* syllables[] = {"ka", "lo", "mi", "ter", "on", "val", "ue", "set", "ing", "re",
                               "con", "fig", "tem", "plate", "da", "ta", "name", "path", "id", "x"};
    Random w(42);
    for (int i = 0; i < 600; ++i) {
      std::string word;
      for (unsigned n = 1 + w.below(4); n > 0; --n) word += syllables[w.below(20)];
      words.push_back(word);
    }
  }
  out.clear();
  out.reserve(size);
  while (out.size() < size) {
    unsigned line = 4 + r.below(12);
    for (unsigned i = 0; i < line && out.size() < size; ++i) {
      out += words[r.below(static_cast<unsigned>(words.size()))];
      out += i + 1 < line ? ' ' : '\n';
    }
  }
  out.resize(size);
}

// Half-random binary: runs of random bytes (compressed pictures, say)
// between runs of structured data (counters, small tables), each up to 64
// KiB, so that about half of it compresses.
void fillBinary(Random& r, std::string& out, size_t size) {
  out.resize(size);
  size_t i = 0;
  unsigned counter = r.below(1000);
  bool random = r.below(2) == 0;
  while (i < size) {
    size_t block = std::min<size_t>(4096 + r.below(61440), size - i);
    if (random) {
      for (size_t j = 0; j < block; j += 8) {
        unsigned long long v = r.next();
        memcpy(&out[i + j], &v, std::min<size_t>(8, block - j));
      }
    } else {
      for (size_t j = 0; j < block; j += 4) {
        unsigned v = (counter++ & 0xFFF) * 16;
        memcpy(&out[i + j], &v, std::min<size_t>(4, block - j));
      }
    }
    random = !random;
    i += block;
  }
}

bool writeWhole(const std::string& path, const std::string& data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  return close(fd) == 0 && ok;
}

int removeEntry(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_DP) rmdir(path);
  else unlink(path);
  return 0;
}

TreeTotals g_totals;
int addEntry(const char*, const struct stat* st, int type, struct FTW*) {
  if (type == FTW_F) {
    ++g_totals.files;
    g_totals.bytes += static_cast<unsigned long long>(st->st_size);
  }
  return 0;
}

}  // namespace

unsigned long long makeTree(const std::string& root, unsigned count, unsigned long long minBytes,
                            unsigned long long maxBytes, unsigned seed) {
  Random r(seed);
  std::string data;
  unsigned long long total = 0;
  mkdir(root.c_str(), 0755);
  for (unsigned i = 0; i < count; ++i) {
    char dir[64], name[96];
    snprintf(dir, sizeof dir, "%s/g%02u", root.c_str(), i / 10000);
    mkdir(dir, 0755);
    snprintf(dir + strlen(dir), sizeof dir - strlen(dir), "/d%03u", (i / 100) % 100);
    mkdir(dir, 0755);
    bool text = i % 2 == 0;
    snprintf(name, sizeof name, "%s/f%05u.%s", dir, i, text ? "txt" : "bin");
    size_t size = static_cast<size_t>(minBytes + r.next() % (maxBytes - minBytes + 1));
    if (text) fillText(r, data, size);
    else fillBinary(r, data, size);
    if (!writeWhole(name, data)) {
      fprintf(stderr, "bench_install: cannot write %s: %s\n", name, strerror(errno));
      exit(1);
    }
    total += size;
  }
  return total;
}

void removeTree(const std::string& path) { nftw(path.c_str(), removeEntry, 32, FTW_DEPTH | FTW_PHYS); }

TreeTotals totals(const std::string& root) {
  g_totals = TreeTotals();
  nftw(root.c_str(), addEntry, 32, FTW_PHYS);
  return g_totals;
}

}  // namespace bench
