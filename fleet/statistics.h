// The statistics that judge a number: a rank test between two runs' trials
// and the robust spread of a cohort of GPUs.
#pragma once

#include <span>

namespace fpbench {

// The two-sided p-value of the Mann-Whitney U test of two samples; ties take
// mid-ranks. Up to judging::kExactTrials pooled values it is exact: the
// permutation distribution of the rank sum is counted, ties included, so 7
// trials against 7 can reach 0.01 and 2 against 2 cannot. Beyond that it is
// the normal approximation of U with the tie-corrected variance
// m·n/12 · (N + 1 − Σ(t³ − t) / (N·(N − 1))) and a continuity correction of
// 1/2, which costs a sort however many trials there are. 1 when either
// sample is empty or every value is tied; NaN when any value is not finite.
double MannWhitneyP(std::span<const double> a, std::span<const double> b);

// Median of the absolute deviations from the median; -1 for no values.
double MedianAbsoluteDeviation(std::span<const double> values);

// The median Median gives, of values that are not NaN, found by selection
// rather than a sort, for a fleet's cohorts of thousands: the values are
// reordered. -1 for no values.
double SelectMedian(std::span<double> values);

}  // namespace fpbench
