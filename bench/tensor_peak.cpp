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
// For an architecture newer than the table: twice the largest known figure.
constexpr double kUnknownArchitecture = 16384;

const Architecture* FindArchitecture(std::int32_t major, std::int32_t minor) {
    for (const Architecture& known : kArchitectures)
        if (known.major == major && known.minor == minor) return &known;
    return nullptr;
}

double PeakAt(const DeviceInfo& device, double clock_mhz) {
    return device.sm_count * clock_mhz * 1e6 * TensorFlopsPerSmClock(device.major, device.minor) / 1e12;
}

const char* MaxClockSourceText(MaxClockSource source) {
    switch (source) {
        case MaxClockSource::Nvml: return "NVML's maximum SM clock";
        case MaxClockSource::CudaAttribute: return "the driver's clock rate attribute";
        case MaxClockSource::Unknown: break;
    }
    return "the GPU's maximum SM clock";
}

}  // namespace

double TensorFlopsPerSmClock(std::int32_t major, std::int32_t minor) {
    const Architecture* known = FindArchitecture(major, minor);
    return known != nullptr ? known->flops_per_sm_clock : kUnknownArchitecture;
}

double PeakTflops(const DeviceInfo& device, std::int32_t clock_mhz) {
    return PeakAt(device, clock_mhz >= 0 ? clock_mhz : kClockCeilingMhz);
}

BoundClock ThroughputBoundClock(const DeviceInfo& device, std::int32_t clock_mhz) {
    if (device.max_sm_clock_mhz >= 0 && device.max_sm_clock_mhz >= clock_mhz)
        return {static_cast<double>(device.max_sm_clock_mhz), MaxClockSourceText(device.max_sm_clock_source)};
    if (clock_mhz >= 0) return {static_cast<double>(clock_mhz), "the highest SM clock read during the run"};
    return {kClockCeilingMhz, "no maximum or reading known: a ceiling above every shipped boost clock"};
}

double ThroughputBoundTflops(const DeviceInfo& device, std::int32_t clock_mhz) {
    return kPeakMargin * PeakAt(device, ThroughputBoundClock(device, clock_mhz).mhz);
}

void CheckPhysicalBound(const TrialRecord& trial, const DeviceInfo& device, std::int32_t clock_mhz) {
    const double bound = ThroughputBoundTflops(device, clock_mhz);
    if (!(trial.tflops > bound)) return;
    const BoundClock clock = ThroughputBoundClock(device, clock_mhz);
    const std::string architecture =
        FindArchitecture(device.major, device.minor) != nullptr
            ? ""
            : ", the generous figure for unknown architectures such as " + std::to_string(device.major) + "." +
                  std::to_string(device.minor);
    throw std::runtime_error(
        "Impossible throughput: " + FormatGeneral(trial.tflops, 6) + " TFLOPS measured at N = " +
        std::to_string(trial.n) + " (" + Accumulator(trial.fp16_accumulate).label + " accumulation), above the " +
        FormatGeneral(bound, 6) + " TFLOPS this GPU can reach (" + std::to_string(device.sm_count) + " SMs at " +
        FormatGeneral(clock.mhz, 6) + " MHz, " + clock.source + "; " +
        FormatGeneral(TensorFlopsPerSmClock(device.major, device.minor), 6) + " FLOP per SM per cycle" + architecture +
        "; plus " + FormatGeneral((kPeakMargin - 1) * 100, 3) +
        " %); the kernel launches did no work or the GPU timer is wrong");
}

double FlopPerSmClock(double tflops, std::int32_t clock_mhz, std::int32_t sm_count) {
    return clock_mhz > 0 && sm_count > 0 && tflops >= 0 ? tflops * 1e12 / (sm_count * (clock_mhz * 1e6)) : -1.0;
}

void SetDerivedFigures(RunResult& result) {
    result.clock_drop = FindClockDrop(result.trials);
    result.reason_tally = TallyClockReasons(result.trials);
    const double peak = PeakTflops(result.device, result.clock_drop.peak_mhz);
    result.peak = {TensorFlopsPerSmClock(result.device.major, result.device.minor), peak};
    for (Row& row : result.rows) {
        row.peak_pct = peak > 0 && row.median_tflops >= 0 ? 100 * row.median_tflops / peak : -1;
        row.per_clock = FlopPerSmClock(row.median_tflops, row.sm_clock_mhz, result.device.sm_count);
    }
}

}  // namespace fpbench
