// The report: the tables of the rounds and the budgets' verdicts.
#pragma once

#include <vector>

#include "bench/measurement.h"

namespace bench {

// Prints every table of the results and of the sample's window.
void print(const Settings& s, const std::vector<Result>& results, const Result& sample);

// Prints each budget of the program under test with its verdict. Returns
// true when every one was measured and holds; a budget that could not be
// measured is never taken as kept.
bool judge(const Settings& s, const std::vector<Result>& results, const Result& sample);

}  // namespace bench
