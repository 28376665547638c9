// The engine's arithmetic that needs no GPU: the free-memory rule, calibration, the sampled positions, the host
// inputs, the summary statistics and the physical bound. The trial order and a batch's record show in the whole runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <set>
#include <tuple>
#include <utility>

#include "bench/run_steps.h"
#include "bench/statistics.h"
#include "bench/tensor_peak.h"
#include "bench/validation.h"
#include "test_support.h"

namespace fpbench {
namespace {

// Each limit accepts its boundary and refuses the value just beyond it, with the message that names the limits.
TEST(RunSteps, OptionLimitsHoldAtTheirBoundaries) {
    const std::string range = "Use 1..50 trials and 10..1000 ms per sample";
    struct Case {
        void (*change)(RunOptions&);
        std::string error;
    };
    const Case cases[] = {
        {[](RunOptions& o) { o.trials_per_mode = 1; }, ""}, {[](RunOptions& o) { o.trials_per_mode = 50; }, ""},
        {[](RunOptions& o) { o.trials_per_mode = 0; }, range}, {[](RunOptions& o) { o.trials_per_mode = 51; }, range},
        {[](RunOptions& o) { o.sample_ms = 10; }, ""}, {[](RunOptions& o) { o.sample_ms = 1000; }, ""},
        {[](RunOptions& o) { o.sample_ms = 9.999; }, range}, {[](RunOptions& o) { o.sample_ms = 1000.001; }, range},
        {[](RunOptions& o) { o.sample_ms = std::nan(""); }, range}, {[](RunOptions& o) { o.warmup_seconds = -1e300; }, ""},
        {[](RunOptions& o) { o.warmup_seconds = std::numeric_limits<double>::infinity(); }, "Use a warm-up of at most 600 seconds"},
        {[](RunOptions& o) { o.warmup_seconds = 600; }, ""},
        {[](RunOptions& o) { o.warmup_seconds = 600.001; }, "Use a warm-up of at most 600 seconds"},
        {[](RunOptions& o) { o.sizes.assign(16, 8192); }, ""},
        {[](RunOptions& o) { o.sizes.assign(17, 8192); }, "Use at most 16 sizes"},
        {[](RunOptions& o) { o.sizes = {256, 1024, 4096, 8192}; }, ""},
        {[](RunOptions& o) { o.sizes = {8192, 512}; }, "No embedded kernel for selected size"},
        {[](RunOptions& o) { o.report_dir.clear(); }, "Report directory is required"},
    };
    for (const Case& c : cases) {
        RunOptions options;
        options.report_dir = "run";
        c.change(options);
        EXPECT_EQ(test::ErrorOf([&] { CheckRunOptions(options); }), c.error) << c.error;
    }
}

TEST(RunSteps, MemoryRuleAndCalibration) {
    // 70 % of the free memory is a strict bound.
    for (const auto& [free_bytes, n, fits] : {std::tuple{575'219'566ull, 8192, true}, {575'219'565ull, 8192, false},
                                             {143'805'441ull, 4096, true}, {143'805'440ull, 4096, false}})
        EXPECT_EQ(FitsInFreeMemory(free_bytes, n), fits) << free_bytes;
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
    for (const auto& [half, value] : {std::pair{0x2C00, 0.0625f}, {0xAC00, -0.0625f}, {0x7BFF, 65504.0f},
                                     {0x03FF, 1023 * std::ldexp(1.0f, -24)} /* subnormal */,
                                     {0xFC00, -std::numeric_limits<float>::infinity()}})
        EXPECT_EQ(HalfToFloat(static_cast<std::uint16_t>(half)), value) << half;
    EXPECT_TRUE(std::signbit(HalfToFloat(0x8000)));
    EXPECT_TRUE(std::isnan(HalfToFloat(0x7C01)));
}

TrialRecord Trial(int n, bool fp16, double tflops, double ms_per_gemm, int clock = -1, int milliwatts = -1,
                  int temperature = -1) {
    return TrialRecord{.n = n, .fp16_accumulate = fp16, .ms_per_gemm = ms_per_gemm, .tflops = tflops,
                       .sm_clock_mhz = clock, .power_mw = milliwatts, .temperature_c = temperature};
}

TEST(Statistics, MediansAndNoise) {
    for (const auto& [values, median, noise] : {std::tuple{std::vector<double>{}, -1.0, -1.0}, {{5.0}, 5.0, -1.0},
                                                {{3.0, 1.0, 2.0}, 2.0, 50.0}, {{4.0, 1.0, 3.0, 2.0}, 2.5, 100 * std::sqrt(5.0 / 3) / 2.5},
                                                {{0.0, 0.0}, 0.0, -1.0}}) {
        EXPECT_EQ(Median(values), median);
        EXPECT_DOUBLE_EQ(NoisePercent(values), noise) << values.size();
    }
}

TEST(Statistics, SummariesTakeTheirModesTrialsAndLeaveMissingReadingsOut) {
    struct Case {
        const char* what;
        std::int32_t n;
        bool fp16;
        std::vector<TrialRecord> trials;
        double median, low, high, ms;
        std::int32_t clock;
        double watts;
        std::int32_t temperature;
    };
    std::vector<TrialRecord> seven;
    const double throughput[] = {90, 95, 91, 200, 92, 93, 94}, times[] = {7, 1, 6, 2, 5, 3, 4.5};
    for (int i = 0; i < 7; ++i) seven.push_back(Trial(4096, true, throughput[i], times[i]));
    const Case cases[] = {
        // The median time comes from its own list, not from the trial of the median throughput.
        {"seven", 4096, true, seven, 93, 90, 200, 4.5, -1, -1.0, -1},
        // The modes of a size alternate; the neighbours' extreme values would show if they leaked in. Two trials:
        // every median is their mean.
        {"interleaved", 4096, true,
         {Trial(1024, true, 1000, 0.001, 2500, 900000, 99), Trial(4096, true, 10, 1.0, 1700, 200000, 60),
          Trial(4096, false, 500, 0.01, 100, 1000, 95), Trial(4096, true, 20, 2.0, 1750, 210000, 61)},
         15, 10, 20, 1.5, 1725, 205.0, 61},
        // Missing readings are left out; 1807.5 MHz is truncated; zero is a reading.
        {"missing", 8192, false,
         {Trial(8192, false, 1, 1, 1800, 250000, 60), Trial(8192, false, 1, 1), Trial(8192, false, 1, 1, 1815, 260000, 71)},
         1, 1, 1, 1, 1807, 255.0, 71},
        {"zeros", 256, true, {Trial(256, true, 1, 1, 0, -1, 0), Trial(256, true, 1, 1, -1, 0, -1)}, 1, 1, 1, 1, 0, 0.0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Row row;
        row.n = c.n, row.fp16_accumulate = c.fp16;
        SummarizeMode(row, c.trials);
        EXPECT_EQ(std::tuple(row.median_tflops, row.min_tflops, row.max_tflops, row.median_ms, row.sm_clock_mhz, row.power_w,
                             row.temperature_c),
                  std::tuple(c.median, c.low, c.high, c.ms, c.clock, c.watts, c.temperature));
    }
}

TEST(Statistics, ClockDropCountsTrialsBelowNinetyPercentOfThePeak) {
    for (const auto& [clocks, peak, low] : {std::tuple{std::vector<int>{1800, 1800, 1620, 1619, -1, 0}, 1800, 2u},
                                            {{}, -1, 0u}, {{-1, -1}, -1, 0u}, {{1000, 900, 899}, 1000, 1u}}) {
        std::vector<TrialRecord> trials;
        for (const int clock : clocks) trials.push_back(Trial(256, true, 1, 1, clock));
        const ClockDrop drop = FindClockDrop(trials);
        EXPECT_EQ(std::tuple(drop.peak_mhz, drop.low_trials, drop.trials), std::tuple(peak, std::size_t{low}, clocks.size()));
    }
}

// The bound takes the GPU's highest clock unless a reading went above it, and a ceiling only when neither is known; a
// batch exactly at it passes.
TEST(TensorPeak, TheBoundNamesItsClockAndFigures) {
    for (const auto& [sm, cc, max, source, reading, expected] : {
             std::tuple{84, 86, -1, MaxClockSource::Unknown, -1,
                        "283.853 TFLOPS this GPU can reach (84 SMs at 3000 MHz, no maximum or reading known: a ceiling "
                        "above every shipped boost clock; 1024 FLOP per SM per cycle; plus 10 %)"},
             {84, 86, 1800, MaxClockSource::Nvml, 2000,
              "189.235 TFLOPS this GPU can reach (84 SMs at 2000 MHz, the highest SM clock read during the run; 1024 FLOP "
              "per SM per cycle; plus 10 %)"},
             {132, 90, 1980, MaxClockSource::CudaAttribute, 1800,
              "1177.58 TFLOPS this GPU can reach (132 SMs at 1980 MHz, the driver's clock rate attribute; 4096 FLOP per "
              "SM per cycle; plus 10 %)"},
             {84, 110, 1800, MaxClockSource::Nvml, -1,
              "2724.99 TFLOPS this GPU can reach (84 SMs at 1800 MHz, NVML's maximum SM clock; 16384 FLOP per SM per "
              "cycle, the generous figure for unknown architectures such as 11.0; plus 10 %)"}}) {
        DeviceInfo device;
        device.sm_count = sm, device.major = cc / 10, device.minor = cc % 10, device.max_sm_clock_mhz = max;
        device.max_sm_clock_source = source;
        TrialRecord trial = Trial(256, false, ThroughputBoundTflops(device, reading), 1);
        EXPECT_NO_THROW(CheckPhysicalBound(trial, device, reading)) << expected;
        trial.tflops *= 1.000001;
        const std::string error = test::ErrorOf([&] { CheckPhysicalBound(trial, device, reading); });
        EXPECT_NE(error.find(std::string("(FP32 accumulation), above the ") + expected + "; the kernel"), error.npos) << error;
    }
}

}  // namespace
}  // namespace fpbench
