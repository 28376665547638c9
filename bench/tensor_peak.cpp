#include "bench/tensor_peak.h"

#include <algorithm>
#include <stdexcept>

#include "bench/number_format.h"
#include "bench/statistics.h"

namespace fpbench {
namespace {

struct Architecture {
    std::int32_t major, minor;
    double flops_per_sm_clock;
};
// Dense FP16 inputs, FP16 accumulation (the faster, where the two differ).
constexpr Architecture kArchitectures[] = {
    {8, 0, 2048},   // A100
    {8, 6, 1024},   // GA10x: RTX 30, RTX A-series
    {8, 7, 2048},   // Orin
    {8, 9, 1024},   // Ada: RTX 40, L4, L40
    {9, 0, 4096},   // Hopper: H100, H200
    {10, 0, 8192},  // Blackwell: B200
    {10, 3, 8192},  // Blackwell: B300
    {12, 0, 1024},  // Blackwell: RTX 50, RTX PRO
};
constexpr double kUnknownArchitecture = 16384;

}  // namespace

double TensorFlopsPerSmClock(std::int32_t major, std::int32_t minor) {
    for (const Architecture& known : kArchitectures)
        if (known.major == major && known.minor == minor) return known.flops_per_sm_clock;
    return kUnknownArchitecture;
}

double PeakTflops(const DeviceInfo& device, std::int32_t clock_mhz) {
    const double clock = clock_mhz >= 0 ? clock_mhz : kClockCeilingMhz;
    return device.sm_count * clock * 1e6 * TensorFlopsPerSmClock(device.major, device.minor) / 1e12;
}

void CheckPhysicalBound(const TrialRecord& trial, const DeviceInfo& device, std::int32_t peak_clock_mhz) {
    const double bound = kPeakMargin * PeakTflops(device, peak_clock_mhz);
    if (!(trial.tflops > bound)) return;
    throw std::runtime_error(
        "Impossible throughput: " + FormatGeneral(trial.tflops, 6) + " TFLOPS measured at N = " +
        std::to_string(trial.n) + " (" + Accumulator(trial.fp16_accumulate).label + " accumulation), above the " +
        FormatGeneral(bound, 6) +
        " TFLOPS this GPU can reach (" + std::to_string(device.sm_count) + " SMs at " +
        (peak_clock_mhz >= 0 ? std::to_string(peak_clock_mhz) : FormatGeneral(kClockCeilingMhz, 6)) + " MHz, " +
        FormatGeneral(TensorFlopsPerSmClock(device.major, device.minor), 6) +
        " FLOP per SM per cycle, twice over); the kernel launches did no work or the GPU timer is wrong");
}

void SetPeakShares(RunResult& result) {
    const double peak = PeakTflops(result.device, FindClockDrop(result.trials).peak_mhz);
    for (Row& row : result.rows) row.peak_pct = peak > 0 && row.median_tflops >= 0 ? 100 * row.median_tflops / peak : -1;
}

}  // namespace fpbench
