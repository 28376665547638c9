// What a GPU can physically do: the dense FP16 tensor-core throughput of its
// architecture per SM and clock cycle, after the vendor's published figures.
// A measured throughput above it (with a margin) is not a result but a sign
// that the launches did no work or the timer is broken.
#pragma once

#include <cstdint>
#include <string>

#include "bench/records.h"
#include "gpu/device_info.h"

namespace fpbench {

// FLOP per SM per clock cycle of dense FP16 matrix multiplication on the
// tensor cores of compute capability major.minor, the faster accumulator's;
// for an architecture the table does not know, a ceiling above every known one.
double TensorFlopsPerSmClock(std::int32_t major, std::int32_t minor);

// Used in place of the SM clock when no reading exists: above any boost clock.
inline constexpr double kClockCeilingMhz = 4000.0;
// A throughput this many times the peak is refused; a real one never comes near.
inline constexpr double kPeakMargin = 2.0;

// SM count × SM clock × FLOP per SM per cycle, in TFLOPS; clock_mhz < 0
// (no reading) takes kClockCeilingMhz.
double PeakTflops(const DeviceInfo& device, std::int32_t clock_mhz);

// Throws, naming both numbers, when a timed batch measured more than
// kPeakMargin times the peak at the run's highest SM clock reading.
void CheckPhysicalBound(const TrialRecord& trial, const DeviceInfo& device, std::int32_t peak_clock_mhz);

// Sets every row's peak_pct: its median in percent of the peak at the run's
// highest SM clock reading.
void SetPeakShares(RunResult& result);

}  // namespace fpbench
