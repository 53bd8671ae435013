#include "bench/engine_step.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "bench/bench_common.h"
#include "install/installer.h"

namespace bench {
namespace {

long peakResidentKib() {
  FILE* f = fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, "VmHWM:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
  }
  fclose(f);
  return kib;
}

}  // namespace

int installStep(const char* package, const char* target) {
  double t0 = now();
  unsigned openCode, runCode = 0;
  double t1, t2, flush = 0;
  long hwm;
  {
    PackageReader reader;
    // As the program opens it (the header first, which picks the inflate),
    // then waits for the whole image: the open's figure is the whole inflate.
    openCode = reader.openHeader(widen_lib(stdx::string(package))).code();
    if (openCode == 0) openCode = reader.awaitImage(-1).code();
    t1 = now();
    if (openCode == 0) {
      InstallProcessData data;
      data.init(&reader, widen_lib(stdx::string(target)));
      Installer installer(0);
      runCode = installer.run(&data).code();
      flush = installer.flushSeconds();
    }
    t2 = now();
    hwm = peakResidentKib();
  }
  double t3 = now();
  printf("%u %u %.6f %.6f %.6f %ld %.6f\n", openCode, runCode, t1 - t0, t2 - t1, t3 - t2, hwm, flush);
  return openCode != 0 || runCode != 0;
}

double inflateOnly(const std::string& package) {
  LZCompressor compressor;
  auto discard = [](void*, const void*, unsigned) -> unsigned { return 0; };
  double t0 = now();
  compressor.unpackTo<FileSystem>(widen_lib(stdx::string(package.c_str())), discard, nullptr);
  return now() - t0;
}

// The check of every member's checksum, the open's share of them: the
// package is opened without it, then the same pass is timed alone.
double checksumsOnly(const std::string& package) {
  PackageReader reader;
  if (reader.open(widen_lib(stdx::string(package.c_str())), false) != 0) return 0;
  std::vector<unsigned> crcs;
  double t0 = now();
  reader.memberChecksums(crcs);
  return now() - t0;
}

}  // namespace bench
