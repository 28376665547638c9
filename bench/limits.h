// The run's limits and defaults: one home from which the option checks,
// their messages, the usage text, the window's trials box and the record
// defaults all take their numbers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace fpbench::limits {

// Timed batches per size and accumulator.
inline constexpr std::int32_t kMinTrials = 1;
inline constexpr std::int32_t kMaxTrials = 50;
inline constexpr std::int32_t kDefaultTrials = 7;

// GPU time of one timed batch, in milliseconds.
inline constexpr double kMinSampleMs = 10.0;
inline constexpr double kMaxSampleMs = 1000.0;
inline constexpr double kDefaultSampleMs = 120.0;

// Warm-up per size and accumulator, in seconds. A headless run cannot be
// stopped by hand on every system, so a warm-up without end would hang it.
inline constexpr double kMaxWarmupSeconds = 600.0;
inline constexpr double kDefaultWarmupSeconds = 0.4;

inline constexpr std::int32_t kDefaultDevice = 0;
inline constexpr std::array<std::int32_t, 2> kDefaultSizes{4096, 8192};
inline constexpr std::size_t kMaxSizes = 16;

// Launches of a timed batch (calibrated from kCalibrationLaunches so that a
// batch lasts about sample_ms) and of one warm-up round.
inline constexpr std::int32_t kMaxLaunchesPerBatch = 2000;
inline constexpr std::int32_t kCalibrationLaunches = 3;
inline constexpr std::int32_t kWarmUpLaunches = 3;

// The two inputs and the guarded output must stay below this share of the
// free device memory.
inline constexpr double kFreeMemoryShare = 0.7;
// A trial whose SM clock reads below this share of the run's peak clock ran
// throttled.
inline constexpr double kLowClockShare = 0.9;

}  // namespace fpbench::limits

// How the Linux program judges numbers read back from run folders.
namespace fpbench::judging {

// compare: a change of the median below this is "same"; above it, the rank
// test decides at this significance; a clock that moved more than this is
// named beside the verdict.
inline constexpr double kSameWithinPct = 1.0;
inline constexpr double kSignificance = 0.01;
inline constexpr double kClockMovedPct = 2.0;

// fleet: a GPU this far below its cohort's median is flagged; so is one the
// robust z-score singles out while it is at least kZAlsoBelowPct below, in a
// cohort of at least kZCohort GPUs; a GPU whose own trials spread more than
// kUnstableNoisePct is unstable. A flagged GPU's cause is "clock" when its
// clock is this far below the cohort's or fell during its run.
inline constexpr double kWarnBelowPct = 3.5;
inline constexpr double kFailBelowPct = 7.0;
inline constexpr double kRobustZ = -3.5;
inline constexpr double kZAlsoBelowPct = 2.0;
inline constexpr std::size_t kZCohort = 5;
inline constexpr double kUnstableNoisePct = 2.0;
inline constexpr double kClockBelowCohortPct = 3.0;

}  // namespace fpbench::judging
