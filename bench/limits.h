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
