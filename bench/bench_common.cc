#include "bench/bench_common.h"

#include <time.h>

namespace bench {

double now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

}  // namespace bench
