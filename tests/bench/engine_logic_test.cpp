// The engine's arithmetic that needs no GPU: the free-memory rule,
// calibration, trial order, a batch's record, the sampled positions, the
// half-precision conversion and the host inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <set>
#include <utility>

#include "bench/run_benchmark.h"
#include "bench/run_steps.h"
#include "bench/timed_batch.h"
#include "bench/validation.h"

namespace fpbench {
namespace {

TEST(FreeMemoryRule, SeventyPercentOfFreeMemoryIsAStrictBound) {
    EXPECT_TRUE(FitsInFreeMemory(575'219'566, 8192));
    EXPECT_FALSE(FitsInFreeMemory(575'219'565, 8192));
    EXPECT_TRUE(FitsInFreeMemory(143'805'441, 4096));
    EXPECT_FALSE(FitsInFreeMemory(143'805'440, 4096));
}

TEST(Calibration, BatchLengthFollowsTheSampleTimeWithinLimits) {
    EXPECT_EQ(LaunchesPerBatch(120.0, 0.5), 240);
    EXPECT_EQ(LaunchesPerBatch(120.0, 0.01), 2000);
    EXPECT_EQ(LaunchesPerBatch(120.0, 0.7), 172);  // 171.4 rounded up
    EXPECT_EQ(LaunchesPerBatch(10.0, 50.0), 1);
    // A quotient beyond the int32 range still means the cap.
    EXPECT_EQ(LaunchesPerBatch(1000.0, 1e-30), 2000);
}

TEST(TrialOrder, ModesAlternateWhichRunsFirstAndValidationBracketsTheRepetitions) {
    std::vector<std::pair<int, int>> order;  // (repetition, mode)
    std::vector<int> validated;
    for (int r = 0; r < 3; ++r) {
        for (int s = 0; s < 2; ++s) order.emplace_back(r, TrialMode(r, s));
        if (ValidatesRepetition(r, 3)) validated.push_back(r);
    }
    EXPECT_EQ(order, (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {1, 1}, {1, 0}, {2, 0}, {2, 1}}));
    EXPECT_EQ(validated, (std::vector<int>{0, 2}));
    EXPECT_TRUE(ValidatesRepetition(0, 1));
}

TEST(MeasuredTrial, PerGemmTimeIsASinglePrecisionQuotient) {
    const TrialRecord record = MeasuredTrial(8192, true, 48, 120.5f);
    EXPECT_EQ(record.batch_ms, 120.5);
    EXPECT_EQ(record.ms_per_gemm, 2.5104167461395264);
    EXPECT_NEAR(record.tflops, 437.98, 0.005);
    EXPECT_TRUE(record.repetition == 0 && record.order == 0 && record.gemms == 48);
    EXPECT_TRUE(record.sm_clock_mhz == -1 && record.power_mw == -1 && record.temperature_c == -1);
    EXPECT_DOUBLE_EQ(MeasuredTrial(4096, false, 3, 6.0f).tflops, 68.719476736);
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
    EXPECT_EQ(HalfToFloat(0x2C00), 0.0625f);
    EXPECT_EQ(HalfToFloat(0xAC00), -0.0625f);
    EXPECT_EQ(HalfToFloat(0x7BFF), 65504.0f);
    EXPECT_EQ(HalfToFloat(0xA5A5), -0.0220489501953125f);
    EXPECT_EQ(HalfToFloat(0x03FF), 1023 * std::ldexp(1.0f, -24));  // subnormal
    EXPECT_TRUE(std::signbit(HalfToFloat(0x8000)));
    EXPECT_EQ(HalfToFloat(0xFC00), -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(HalfToFloat(0x7C01)));
}

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

}  // namespace
}  // namespace fpbench
