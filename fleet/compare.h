// Two runs compared row by row: did the new one get slower, or is it noise?
#pragma once

#include <limits>
#include <string>
#include <vector>

#include "fleet/run_folder.h"

namespace fpbench {

struct RowComparison {
    std::int32_t n = 0;  // 0: the line stands for a run that has no rows to compare
    bool fp16_accumulate = true;
    double base_median = -1, new_median = -1;
    // NaN where unknown: the change of the median, the two-sided Mann-Whitney
    // p-value over the two sets of trial TFLOPS, the change of the median SM
    // clock and of the FLOP per SM per clock.
    static constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();
    double change_pct = kUnknown, p_value = kUnknown;
    std::int32_t base_clock = -1, new_clock = -1;  // median SM clocks, MHz
    double clock_change_pct = kUnknown, per_clock_change_pct = kUnknown;
    std::vector<double> base_trials, new_trials;
    std::string verdict;  // same, faster, slower, unclear or failed
    std::string note;     // the clock, or why
};

struct Comparison {
    RunFolder base, newer;
    std::vector<std::string> facts;  // same GPU, kernels, settings; differences listed
    std::vector<RowComparison> rows;
    // A row got slower or failed: exit code 2.
    bool Regressed() const;
};

// Both must be readable. Rows are compared per (N, accumulator) present in
// both runs; a run that did not complete, or a row whose check failed, on
// either side makes the rows "failed".
Comparison CompareRuns(const RunFolder& base, const RunFolder& newer);

std::string CompareText(const Comparison& comparison);  // for a terminal
std::string CompareCsv(const Comparison& comparison);   // compare.csv
std::string CompareHtml(const Comparison& comparison);  // compare.html

}  // namespace fpbench
