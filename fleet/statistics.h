// The statistics that judge a number: a rank test between two runs' trials
// and the robust spread of a cohort of GPUs.
#pragma once

#include <span>

namespace fpbench {

// The two-sided p-value of the Mann-Whitney U test of two samples, from the
// exact permutation distribution of the rank sum (ties take mid-ranks and
// stay exact). 1 when either sample is empty.
double MannWhitneyP(std::span<const double> a, std::span<const double> b);

// Median of the absolute deviations from the median; -1 for no values.
double MedianAbsoluteDeviation(std::span<const double> values);

}  // namespace fpbench
