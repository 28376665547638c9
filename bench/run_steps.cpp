#include "bench/run_steps.h"

#include <cmath>
#include <stdexcept>

#include "bench/kernel_catalogue.h"
#include "bench/number_format.h"

namespace fpbench {

void CheckRunOptions(const RunOptions& options) {
    using namespace limits;
    const bool trials_ok = options.trials_per_mode >= kMinTrials && options.trials_per_mode <= kMaxTrials;
    // Written so that a NaN fails both comparisons.
    const bool sample_ok = options.sample_ms >= kMinSampleMs && options.sample_ms <= kMaxSampleMs;
    if (!trials_ok || !sample_ok)
        throw std::runtime_error("Use " + std::to_string(kMinTrials) + ".." + std::to_string(kMaxTrials) +
                                 " trials and " + FormatGeneral(kMinSampleMs, 6) + ".." +
                                 FormatGeneral(kMaxSampleMs, 6) + " ms per sample");
    // Negative and not-a-number values still mean a single round.
    if (options.warmup_seconds > kMaxWarmupSeconds)
        throw std::runtime_error("Use a warm-up of at most " + FormatGeneral(kMaxWarmupSeconds, 6) + " seconds");
    if (options.sizes.size() > kMaxSizes) throw std::runtime_error("Use at most " + std::to_string(kMaxSizes) + " sizes");
    // Every size before the first is measured: a run must not measure one
    // size for minutes and then refuse the next.
    for (const std::int32_t n : options.sizes) FindKernel(n, true);
    if (options.report_dir.empty()) throw std::runtime_error("Report directory is required");
}

bool FitsInFreeMemory(std::uint64_t free_bytes, std::int32_t n) {
    const std::uint64_t bytes = 2ull * static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(n);
    return static_cast<double>(free_bytes) * limits::kFreeMemoryShare > 3.0 * static_cast<double>(bytes) + 512.0;
}

std::string FreeMemoryMessage() {
    return "Selected matrices would use over " + FormatGeneral(limits::kFreeMemoryShare * 100, 6) + "% of free VRAM";
}

std::int32_t LaunchesPerBatch(double sample_ms, double ms_per_gemm) {
    const double g = std::ceil(sample_ms / ms_per_gemm);
    // Clamped before the conversion: a quotient beyond the int32 range (a
    // vanishing calibration time) means "as many as allowed", not overflow.
    if (g > limits::kMaxLaunchesPerBatch) return limits::kMaxLaunchesPerBatch;
    if (!(g >= 1.0)) return 1;
    return static_cast<std::int32_t>(g);
}

int TrialMode(std::int32_t repetition, int slot) { return (repetition % 2) ^ slot; }

bool ValidatesRepetition(std::int32_t repetition, std::int32_t trials_per_mode) {
    return repetition == 0 || repetition == trials_per_mode - 1;
}

bool UsesCompiledImage(const DeviceInfo& device) { return device.major == 8 && device.minor == 6; }

std::string BackendText(const DeviceInfo& device) {
    return UsesCompiledImage(device) ? "embedded sm_86 cubin"
                                     : "driver-JIT embedded sm_86 PTX (not validated on this device)";
}

std::wstring PreparingStatus(std::int32_t n) {
    return L"\u51c6\u5907\u77e9\u9635 / Preparing matrices: " + std::to_wstring(n);
}

std::wstring WarmingUpStatus(std::int32_t n, bool fp16_accumulate) {
    const std::string_view label = Accumulator(fp16_accumulate).label;
    return L"\u9884\u70ed / Warming up: " + std::to_wstring(n) + L" \u00b7 " + std::wstring(label.begin(), label.end()) +
           L" \u7d2f\u52a0 / accumulation";
}

std::wstring TestingStatus(std::int32_t n, std::int32_t repetition, std::int32_t trials_per_mode) {
    return L"\u6d4b\u8bd5 / Testing: " + std::to_wstring(n) + L" \u00b7 " + std::to_wstring(repetition + 1) + L" / " +
           std::to_wstring(trials_per_mode);
}

}  // namespace fpbench
