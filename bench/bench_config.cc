// Times reading, merging and writing the launcher's configuration file at
// sizes far beyond what a launcher writes, so that a step that grows faster
// than the file shows at once. Not a test: run it by hand (--help).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/config_file.h"

namespace {

double clockSeconds(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}
double now() { return clockSeconds(CLOCK_MONOTONIC); }
// The processor time of this process: on a machine busy with other work
// it tells the cost of a step better than the wall clock does.
double cpuNow() { return clockSeconds(CLOCK_PROCESS_CPUTIME_ID); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A file of about `bytes` bytes with `keys` distinct keys, one line each,
// every tenth key holding a second value on a later line (so values are
// merged into an earlier item), and a few lines in other spellings of a
// key's case.
std::string makeFile(size_t bytes, size_t keys) {
  std::string text;
  text.reserve(bytes + 256);
  const size_t lineBytes = bytes / keys;
  char head[64];
  for (size_t i = 0; i < keys; ++i) {
    int n = snprintf(head, sizeof head, "%sKey%07zu=", i % 7 == 0 ? "Other" : "", i);
    text.append(head, static_cast<size_t>(n));
    size_t fill = lineBytes > static_cast<size_t>(n) + 1 ? lineBytes - n - 1 : 1;
    for (size_t k = 0; k < fill; ++k) text.push_back(static_cast<char>('a' + (i + k) % 26));
    text.push_back('\n');
    if (i % 10 == 9) {
      n = snprintf(head, sizeof head, "%sKEY%07zu=/second/value\n", (i - 5) % 7 == 0 ? "Other" : "",
                   i - 5);
      text.append(head, static_cast<size_t>(n));
    }
  }
  return text;
}

bool writeFile(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

stdx::u16string wide(const std::string& s) { return widen_lib(stdx::string(s.c_str(), s.size())); }

struct Size {
  const char* label;
  size_t bytes;
  size_t keys;
};

void usage(FILE* out) {
  fprintf(out,
          "usage: bench_config [--rounds N] [--scratch DIR] [--only 1|10]\n"
          "Reads, rewrites and reads again a launcher configuration file of 1 MiB\n"
          "(20,000 keys) and of 10 MiB (200,000 keys); prints the median of N rounds\n"
          "(default 3) in milliseconds, and the processor time of the read. Works in\n"
          "DIR (default $TMPDIR or /tmp).\n");
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  std::string scratch = getenv("TMPDIR") && *getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
  std::string only;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = atoi(argv[++i]);
    } else if (arg == "--scratch" && i + 1 < argc) {
      scratch = argv[++i];
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    } else {
      usage(stderr);
      return 2;
    }
  }
  if (rounds < 1) rounds = 1;

  std::string dir = scratch + "/bench_config.XXXXXX";
  if (mkdtemp(&dir[0]) == nullptr) {
    perror("bench_config: scratch directory");
    return 1;
  }
  const Size sizes[] = {{"1", 1u << 20, 20000}, {"10", 10u << 20, 200000}};
  int status = 0;
  for (const Size& size : sizes) {
    if (!only.empty() && only != size.label) continue;
    const std::string in = dir + "/in.cfg", out = dir + "/out.cfg";
    const std::string text = makeFile(size.bytes, size.keys);
    if (!writeFile(in, text)) {
      perror("bench_config: writing the input");
      status = 1;
      break;
    }
    std::vector<double> reads, readsCpu, writes, rereads;
    size_t items = 0;
    bool same = true;
    for (int r = 0; r < rounds; ++r) {
      ConfigFile config;
      double c0 = cpuNow(), t0 = now();
      read_config_file(wide(in), config);
      double t1 = now(), c1 = cpuNow();
      FileError written = write_config_file(wide(out), config);
      if (written.failed()) {
        fprintf(stderr, "bench_config: writing failed: %s\n", strerror(written.errnoValue));
        status = 1;
        break;
      }
      double t2 = now();
      ConfigFile again;
      read_config_file(wide(out), again);
      double t3 = now();
      reads.push_back((t1 - t0) * 1000);
      readsCpu.push_back((c1 - c0) * 1000);
      writes.push_back((t2 - t1) * 1000);
      rereads.push_back((t3 - t2) * 1000);
      items = config.items.size();
      same = same && again.items.size() == items;
    }
    if (reads.empty()) break;
    printf("%2s MiB, %zu bytes, %zu keys: read %.1f ms (processor %.1f ms), write %.1f ms, "
           "read again %.1f ms%s\n",
           size.label, text.size(), items, median(reads), median(readsCpu), median(writes),
           median(rereads),
           same ? "" : " (MISMATCH: the rewritten file reads differently)");
    fflush(stdout);
    unlink(in.c_str());
    unlink(out.c_str());
  }
  rmdir(dir.c_str());
  return status;
}
