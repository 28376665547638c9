// Two runs compared row by row: did the new one get slower, or is it noise?
#pragma once

#include <limits>
#include <span>
#include <string>
#include <vector>

#include "fleet/figures.h"
#include "fleet/run_folder.h"
#include "fleet/verdicts.h"

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
    std::string base_device, new_device;  // the GPUs' names, as the runs give them
    Change verdict = Change::Failed;
    std::string note;  // the clock, or why
};

// A line of the head: what the two runs share, or how they differ.
struct Fact {
    std::string text;
    bool differs = false;
};

struct Comparison {
    RunFolder base, newer;
    std::vector<Fact> facts;  // GPU, kernels, settings; rows only one run has
    std::vector<RowComparison> rows;
    // A row got slower or failed: exit code 2.
    bool Regressed() const;
};

// Both must be readable. The k-th row of a size and accumulator in the base
// run is compared with the k-th in the new one, each on its own trials; a run
// that did not complete, or a row whose check failed, on either side makes
// the rows "failed". Throws std::runtime_error when both runs completed and
// no row pairs.
Comparison CompareRuns(const RunFolder& base, const RunFolder& newer);

std::string CompareText(const Comparison& comparison);  // for a terminal
std::string CompareCsv(const Comparison& comparison);   // compare.csv
std::string CompareHtml(const Comparison& comparison);  // compare.html

// The figures of a row, from which compare.csv, the terminal's table and
// compare.html's results table are all printed.
std::span<const figures::Figure<RowComparison>> CompareFigures();

}  // namespace fpbench
