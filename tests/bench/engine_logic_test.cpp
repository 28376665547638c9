// The engine's arithmetic that needs no GPU: the free-memory rule, calibration, the sampled positions, the host
// inputs and the summary statistics. The trial order and a batch's record show in the whole runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <set>
#include <tuple>
#include <utility>

#include "bench/run_benchmark.h"
#include "bench/run_steps.h"
#include "bench/statistics.h"
#include "bench/validation.h"

namespace fpbench {
namespace {

TEST(RunSteps, MemoryRuleAndCalibration) {
    // 70 % of the free memory is a strict bound.
    EXPECT_TRUE(FitsInFreeMemory(575'219'566, 8192));
    EXPECT_FALSE(FitsInFreeMemory(575'219'565, 8192));
    EXPECT_TRUE(FitsInFreeMemory(143'805'441, 4096));
    EXPECT_FALSE(FitsInFreeMemory(143'805'440, 4096));
    // Launches per batch follow the sample time, rounded up, within 1..2000; a quotient beyond the int32 range still
    // means the cap.
    for (const auto& [sample_ms, ms_per_gemm, launches] :
         {std::tuple{120.0, 0.5, 240}, {120.0, 0.01, 2000}, {120.0, 0.7, 172}, {10.0, 50.0, 1}, {1000.0, 1e-30, 2000}})
        EXPECT_EQ(LaunchesPerBatch(sample_ms, ms_per_gemm), launches) << ms_per_gemm;

}

TEST(SamplePositions, FixedCornersThenTheSameDrawnPositionsEveryTime) {
    const auto positions = SamplePositions(256);
    ASSERT_EQ(positions.size(), 21u);
    const std::vector<SamplePosition> head{{0, 0}, {255, 255}, {0, 255}, {255, 0}, {128, 128},
                                           {228, 79}, {12, 255}, {61, 91}};
    EXPECT_EQ(std::vector<SamplePosition>(positions.begin(), positions.begin() + 8), head);
    EXPECT_EQ(positions[20], (SamplePosition{23, 53}));
    EXPECT_EQ(SamplePositions(8192)[5], (SamplePosition{3556, 7759}));
    for (std::int32_t n : {256, 1024, 4096, 8192}) {
        std::set<std::pair<int, int>> distinct;
        for (const auto& p : SamplePositions(n)) distinct.emplace(p.row, p.column);
        EXPECT_EQ(distinct.size(), 21u) << n;
    }
}

TEST(HalfToFloat, ConvertsEveryClassExactly) {
    EXPECT_TRUE(HalfToFloat(0x2C00) == 0.0625f && HalfToFloat(0xAC00) == -0.0625f && HalfToFloat(0x7BFF) == 65504.0f);
    EXPECT_TRUE(HalfToFloat(0x03FF) == 1023 * std::ldexp(1.0f, -24) && std::signbit(HalfToFloat(0x8000)));  // subnormal
    EXPECT_TRUE(HalfToFloat(0xFC00) == -std::numeric_limits<float>::infinity() && std::isnan(HalfToFloat(0x7C01)));
}

// The signs come from the seeded sequence: an independent copy of the first elements, worked out by hand from the
// generator.
TEST(MakeHostMatrix, SignsFollowTheSeededSequence) {
    const std::atomic<bool> running{false};
    const auto a = MakeHostMatrix(256, 20261028, running);
    const auto b = MakeHostMatrix(256, 20261029, running);
    ASSERT_EQ(a.size(), 65536u);
    const std::uint16_t p = 0x2C00, m = 0xAC00;
    EXPECT_EQ(std::vector<std::uint16_t>(a.begin(), a.begin() + 8), (std::vector<std::uint16_t>{p, p, p, p, m, m, p, p}));
    EXPECT_EQ(std::vector<std::uint16_t>(b.begin(), b.begin() + 8), (std::vector<std::uint16_t>{m, m, m, m, p, m, p, p}));
    EXPECT_TRUE(std::all_of(a.begin(), a.end(), [&](std::uint16_t v) { return v == p || v == m; }));
}

TrialRecord Trial(int n, bool fp16, double tflops, double ms_per_gemm, int clock = -1, int milliwatts = -1,
                  int temperature = -1) {
    return TrialRecord{.n = n, .fp16_accumulate = fp16, .ms_per_gemm = ms_per_gemm, .tflops = tflops,
                       .sm_clock_mhz = clock, .power_mw = milliwatts, .temperature_c = temperature};
}

Row Summarize(int n, bool fp16, const std::vector<TrialRecord>& trials) {
    Row row;
    row.n = n;
    row.fp16_accumulate = fp16;
    SummarizeMode(row, trials);
    return row;
}

TEST(Statistics, MediansExtremesAndMissingReadings) {
    for (const auto& [values, median] : {std::pair{std::vector<double>{}, -1.0}, {{5.0}, 5.0}, {{3.0, 1.0, 2.0}, 2.0},
                                         {{4.0, 1.0, 3.0, 2.0}, 2.5}})
        EXPECT_EQ(Median(values), median);

    // The times are not ordered like the throughputs: the median time comes from its own list, not from the trial of
    // the median throughput.
    std::vector<TrialRecord> trials;
    const double throughput[] = {90, 95, 91, 200, 92, 93, 94};
    const double times[] = {7, 1, 6, 2, 5, 3, 4.5};
    for (int i = 0; i < 7; ++i) trials.push_back(Trial(4096, true, throughput[i], times[i]));
    Row row = Summarize(4096, true, trials);
    EXPECT_TRUE(row.median_tflops == 93.0 && row.min_tflops == 90.0 && row.max_tflops == 200.0 && row.median_ms == 4.5);

    // The two modes of a size alternate; the neighbours' extreme values would show if they leaked in. Two trials:
    // every median is their mean.
    row = Summarize(4096, true,
                    {Trial(1024, true, 1000, 0.001, 2500, 900000, 99), Trial(4096, true, 10, 1.0, 1700, 200000, 60),
                     Trial(4096, false, 500, 0.01, 100, 1000, 95), Trial(4096, true, 20, 2.0, 1750, 210000, 61)});
    EXPECT_TRUE(row.median_tflops == 15.0 && row.min_tflops == 10.0 && row.max_tflops == 20.0 && row.median_ms == 1.5);
    EXPECT_TRUE(row.sm_clock_mhz == 1725 && row.power_w == 205.0 && row.temperature_c == 61);

    // Missing readings are left out; 1807.5 MHz is truncated; zero is a reading.
    row = Summarize(8192, false, {Trial(8192, false, 1, 1, 1800, 250000, 60), Trial(8192, false, 1, 1),
                                  Trial(8192, false, 1, 1, 1815, 260000, 71)});
    EXPECT_TRUE(row.sm_clock_mhz == 1807 && row.power_w == 255.0 && row.temperature_c == 71);
    row = Summarize(256, true, {Trial(256, true, 1, 1, 0, -1, 0), Trial(256, true, 1, 1, -1, 0, -1)});
    EXPECT_TRUE(row.sm_clock_mhz == 0 && row.power_w == 0.0 && row.temperature_c == 0);
    row = Summarize(256, true, {Trial(256, true, 3, 0.5), Trial(256, true, 5, 0.25)});
    EXPECT_TRUE(row.sm_clock_mhz == -1 && row.power_w == -1.0 && row.temperature_c == -1);
}

TEST(Statistics, ClockDropCountsTrialsBelowNinetyPercentOfThePeak) {
    struct Case {
        std::vector<int> clocks;
        std::int32_t peak;
        std::size_t low;
    };
    for (const Case& c : {Case{{1800, 1800, 1620, 1619, -1, 0}, 1800, 2}, Case{{}, -1, 0}, Case{{-1, -1}, -1, 0},
                          Case{{1000, 900, 899}, 1000, 1}}) {
        std::vector<TrialRecord> trials;
        for (const int clock : c.clocks) trials.push_back(Trial(256, true, 1, 1, clock));
        const ClockDrop drop = FindClockDrop(trials);
        EXPECT_TRUE(drop.peak_mhz == c.peak && drop.low_trials == c.low && drop.trials == c.clocks.size())
            << c.clocks.size() << " " << drop.peak_mhz << " " << drop.low_trials;
    }
}

}  // namespace
}  // namespace fpbench
