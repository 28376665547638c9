// Summary statistics that turn the timed trials of one mode into its Row.
#pragma once

#include <span>
#include <vector>

#include "bench/records.h"

namespace fpbench {

// Median of the values; -1.0 for an empty list (the "unknown" sentinel).
double Median(std::vector<double> values);

// Fills the statistic fields of `row` from those of `trials` (the trials of
// the row's own occurrence of its size) that have the row's matrix side and
// accumulator. Negative telemetry readings are unknown values and are left
// out of the clock, power and temperature figures.
void SummarizeMode(Row& row, std::span<const TrialRecord> trials);

}  // namespace fpbench
