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
// for an architecture the table does not know, a generous figure above every
// known one.
double TensorFlopsPerSmClock(std::int32_t major, std::int32_t minor);

// Assumed when neither the GPU's highest SM clock nor a reading is known:
// above every shipped boost clock.
inline constexpr double kClockCeilingMhz = 3000.0;
// Room above the peak for clock readings, which are taken after a batch and
// may miss a moment of higher clock during it.
inline constexpr double kPeakMargin = 1.10;

// SM count × SM clock × FLOP per SM per cycle, in TFLOPS; clock_mhz < 0
// (no reading) takes kClockCeilingMhz.
double PeakTflops(const DeviceInfo& device, std::int32_t clock_mhz);

// The clock a throughput bound assumes, and where it came from: the GPU's
// highest possible SM clock (DeviceInfo::max_sm_clock_mhz), never below the
// highest SM clock read (clock_mhz, < 0: none); kClockCeilingMhz when neither
// is known.
struct BoundClock {
    double mhz = kClockCeilingMhz;
    const char* source = nullptr;
};
BoundClock ThroughputBoundClock(const DeviceInfo& device, std::int32_t clock_mhz);

// kPeakMargin × the peak at ThroughputBoundClock(device, clock_mhz): the most
// a batch can measure. clock_mhz < 0 and no known maximum: the ceiling.
double ThroughputBoundTflops(const DeviceInfo& device, std::int32_t clock_mhz);

// Throws "Impossible throughput: ...", naming both numbers, the SM count, the
// clock and its source and the FLOP per SM per cycle, when a timed batch
// measured more than ThroughputBoundTflops(device, clock_mhz); clock_mhz is
// the highest SM clock read in the run, this batch's included.
void CheckPhysicalBound(const TrialRecord& trial, const DeviceInfo& device, std::int32_t clock_mhz);

// The figures derived from a run's records, worked out in this one place
// whenever its rows change (a row made, a run read back) and only printed
// after: the clock drop, the trials each clock reason held back, the peak,
// each row's median in percent of the peak at the
// run's highest SM clock reading, and each row's FLOP per SM per clock.
void SetDerivedFigures(RunResult& result);

// FLOP per SM per clock cycle of a throughput at an SM clock; -1 when the
// clock or the SM count is unknown.
double FlopPerSmClock(double tflops, std::int32_t clock_mhz, std::int32_t sm_count);

}  // namespace fpbench
