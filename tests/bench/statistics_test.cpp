// Summary statistics of one mode's trials.
#include <vector>

#include <gtest/gtest.h>

#include "bench/statistics.h"

namespace fpbench {
namespace {

TrialRecord Trial(int n, bool fp16, double tflops, double ms_per_gemm, int clock = -1, int milliwatts = -1,
                  int temperature = -1) {
    return TrialRecord{.n = n, .fp16_accumulate = fp16, .ms_per_gemm = ms_per_gemm, .tflops = tflops,
                       .sm_clock_mhz = clock, .power_mw = milliwatts, .temperature_c = temperature};
}

Row Summarize(int n, bool fp16, const std::vector<TrialRecord>& trials) {
    Row row;
    row.n = n;
    row.fp16_accumulate = fp16;
    row.cubin_sha256 = "kept";
    SummarizeMode(row, trials);
    EXPECT_EQ(row.cubin_sha256, "kept");
    return row;
}

TEST(Median, OddEvenAndEmptyLists) {
    EXPECT_EQ(Median({}), -1.0);
    EXPECT_EQ(Median({5.0}), 5.0);
    EXPECT_EQ(Median({3.0, 1.0, 2.0}), 2.0);
    EXPECT_EQ(Median({4.0, 1.0, 3.0, 2.0}), 2.5);
}

TEST(SummarizeMode, SevenTrialsWithAnOutlier) {
    std::vector<TrialRecord> trials;
    // The times are not ordered like the throughputs: the median time must
    // come from its own list, not from the trial of the median throughput.
    const double throughput[] = {90, 95, 91, 200, 92, 93, 94};
    const double times[] = {7, 1, 6, 2, 5, 3, 4.5};
    for (int i = 0; i < 7; ++i) trials.push_back(Trial(4096, true, throughput[i], times[i]));

    const Row row = Summarize(4096, true, trials);
    EXPECT_EQ(row.median_tflops, 93.0);
    EXPECT_EQ(row.min_tflops, 90.0);
    EXPECT_EQ(row.max_tflops, 200.0);
    EXPECT_EQ(row.median_ms, 4.5);
}

TEST(SummarizeMode, SelectsBySizeAndAccumulatorAcrossTheWholeRun) {
    // The two modes of a size alternate; the neighbours' extreme values
    // would show if they leaked in. Two trials: every median is their mean.
    const Row row = Summarize(4096, true,
                              {Trial(1024, true, 1000, 0.001, 2500, 900000, 99),
                               Trial(4096, true, 10, 1.0, 1700, 200000, 60),
                               Trial(4096, false, 500, 0.01, 100, 1000, 95),
                               Trial(4096, true, 20, 2.0, 1750, 210000, 61),
                               Trial(8192, true, 0.5, 99.0, 10, 10, 100)});
    EXPECT_EQ(row.median_tflops, 15.0);
    EXPECT_EQ(row.min_tflops, 10.0);
    EXPECT_EQ(row.max_tflops, 20.0);
    EXPECT_EQ(row.median_ms, 1.5);
    EXPECT_EQ(row.sm_clock_mhz, 1725);
    EXPECT_EQ(row.power_w, 205.0);
    EXPECT_EQ(row.temperature_c, 61);
}

TEST(SummarizeMode, MissingReadingsAreLeftOutNotCounted) {
    const Row row = Summarize(8192, false,
                              {Trial(8192, false, 1, 1, 1800, 250000, 60), Trial(8192, false, 1, 1),
                               Trial(8192, false, 1, 1, 1815, 260000, 71)});
    EXPECT_EQ(row.sm_clock_mhz, 1807);  // 1807.5 truncated
    EXPECT_EQ(row.power_w, 255.0);
    EXPECT_EQ(row.temperature_c, 71);

    // Zero is a reading, not a gap.
    const Row zero = Summarize(256, true, {Trial(256, true, 1, 1, 0, -1, 0), Trial(256, true, 1, 1, -1, 0, -1)});
    EXPECT_EQ(zero.sm_clock_mhz, 0);
    EXPECT_EQ(zero.power_w, 0.0);
    EXPECT_EQ(zero.temperature_c, 0);

    const Row none = Summarize(256, true, {Trial(256, true, 3, 0.5), Trial(256, true, 5, 0.25)});
    EXPECT_EQ(none.sm_clock_mhz, -1);
    EXPECT_EQ(none.power_w, -1.0);
    EXPECT_EQ(none.temperature_c, -1);
}

}  // namespace
}  // namespace fpbench
