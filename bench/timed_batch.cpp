#include "bench/timed_batch.h"

#include <array>
#include <cmath>
#include <stdexcept>

namespace fpbench {

unsigned GridBlocks(std::int32_t n) {
    const unsigned tiles = static_cast<unsigned>(n / 128);
    return tiles * tiles;
}

void LaunchGemms(const CudaDriver& driver, CUfunction function, const KernelEntry& entry, CUdeviceptr a,
                 CUdeviceptr b, CUdeviceptr c, std::int32_t count) {
    // The kernel takes five pointer parameters; the last two are unused and
    // always null.
    std::array<CUdeviceptr, 5> values{a, b, c, 0, 0};
    std::array<void*, 5> parameters{};
    for (std::size_t i = 0; i < values.size(); ++i) parameters[i] = &values[i];
    const unsigned grid = GridBlocks(static_cast<std::int32_t>(entry.n));
    for (std::int32_t i = 0; i < count; ++i) {
        CheckCuda(driver,
                  driver.cuLaunchKernel(function, grid, 1, 1, entry.threads, 1, 1, entry.shared_bytes, driver.stream,
                                        parameters.data(), nullptr),
                  "cuLaunchKernel");
    }
}

TrialRecord MeasuredTrial(std::int32_t n, bool fp16_accumulate, std::int32_t gemms, float elapsed_ms) {
    TrialRecord record;
    record.n = n;
    record.fp16_accumulate = fp16_accumulate;
    record.gemms = gemms;
    record.batch_ms = elapsed_ms;
    record.ms_per_gemm = static_cast<double>(elapsed_ms / static_cast<float>(gemms));
    const double side = n;
    record.tflops = ((side + side) * side) * side / (record.ms_per_gemm * 1e9);
    return record;
}

TrialRecord TimeGemmBatch(const CudaDriver& driver, CUfunction function, const KernelEntry& entry, CUdeviceptr a,
                          CUdeviceptr b, CUdeviceptr c, std::int32_t gemms) {
    CheckCuda(driver, driver.cuEventRecord(driver.start_event, driver.stream), "event start");
    LaunchGemms(driver, function, entry, a, b, c, gemms);
    CheckCuda(driver, driver.cuEventRecord(driver.stop_event, driver.stream), "event end");
    CheckCuda(driver, driver.cuEventSynchronize(driver.stop_event), "event synchronize");
    float ms = 0.0f;
    CheckCuda(driver, driver.cuEventElapsedTime(&ms, driver.start_event, driver.stop_event), "event elapsed");
    const TrialRecord record = MeasuredTrial(static_cast<std::int32_t>(entry.n), entry.fp16_accumulate, gemms, ms);
    // An endless batch, or one too short for its per-GEMM time, gives no
    // throughput at all.
    if (!(ms > 0.0f) || !std::isfinite(record.batch_ms) || !std::isfinite(record.tflops))
        throw std::runtime_error("Nonpositive event duration");
    return record;
}

}  // namespace fpbench
