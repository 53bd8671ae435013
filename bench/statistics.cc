#include "bench/statistics.h"

#include <stdio.h>

#include <algorithm>

namespace bench {

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// How far the rounds disagree: (slowest - fastest) / median; 0 for fewer
// than two rounds.
double spread(const std::vector<double>& v) {
  if (v.size() < 2) return 0;
  double m = median(v);
  auto range = std::minmax_element(v.begin(), v.end());
  return m > 0 ? (*range.second - *range.first) / m : 0;
}

std::string percent(double share) {
  char text[32];
  snprintf(text, sizeof text, "%.0f%%", share * 100);
  return text;
}

}  // namespace bench
