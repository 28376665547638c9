// Summary statistics that turn the timed trials of one mode into its Row.
#pragma once

#include <span>
#include <vector>

#include "bench/records.h"

namespace fpbench {

// Median of the values; -1.0 for an empty list (the "unknown" sentinel).
double Median(std::vector<double> values);

// The trial-to-trial spread: the sample standard deviation of the values in
// percent of their mean; -1 (unknown) for fewer than two values or a mean
// that is not positive.
double NoisePercent(std::span<const double> values);

// Fills the statistic fields of `row` from those of `trials` (the trials of
// the row's own occurrence of its size) that have the row's matrix side and
// accumulator, and its noise. Negative telemetry readings are unknown values
// and are left out of the clock, power and temperature figures.
void SummarizeMode(Row& row, std::span<const TrialRecord> trials);

// Each row's own trials, row i -> its trials, in the run's order. A size
// listed twice has a row per occurrence, and each occurrence's trials follow
// one another, trials_per_mode of each accumulator with `repetition` counting
// from 0 again, so the k-th row of a size and accumulator takes the k-th such
// stretch. Trials of an occurrence whose rows were never written (a run
// stopped midway) belong to no row.
std::vector<std::vector<const TrialRecord*>> TrialsByRow(const RunResult& run);

// The figures a row's trials give that the reports do not carry (noise,
// batch time, the launch cap), worked out again for a result read back.
void SetRowFigures(RunResult& result);

ClockDrop FindClockDrop(std::span<const TrialRecord> trials);
bool IsLowClock(const TrialRecord& trial, std::int32_t peak_mhz);
// How many trials each clock reason held back (SetDerivedFigures keeps it).
ReasonTally TallyClockReasons(std::span<const TrialRecord> trials);

}  // namespace fpbench
