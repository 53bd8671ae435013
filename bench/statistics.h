// The statistics of rounds: medians and how far rounds disagree.
#pragma once

#include <string>
#include <vector>

namespace bench {

// The middle of the rounds (the mean of the two middle ones for an even
// count); 0 for none.
double median(std::vector<double> v);

// How far the rounds disagree: (slowest - fastest) / median; 0 for fewer
// than two rounds.
double spread(const std::vector<double>& v);

// A share as a whole percentage, "12%".
std::string percent(double share);

}  // namespace bench
