#include "bench/timed_batch.h"

#include <array>
#include <cmath>
#include <stdexcept>

namespace fpbench {

unsigned GridBlocks(const KernelEntry& entry) {
    const unsigned tiles = entry.n / entry.tile;
    return tiles * tiles;
}

CUfunction LoadKernel(GpuSession& session, const KernelEntry& entry, bool compiled_image) {
    const CUmodule module =
        session.LoadModule(compiled_image ? static_cast<const void*>(entry.cubin) : static_cast<const void*>(entry.ptx));
    const CudaDriver& driver = session.driver();
    CUfunction function = nullptr;
    CheckCuda(driver, driver->cuModuleGetFunction(&function, module, entry.name), "cuModuleGetFunction");
    CheckCuda(driver,
              driver->cuFuncSetAttribute(function, cuda::kFuncMaxDynamicSharedSizeBytes, static_cast<int>(entry.shared_bytes)),
              "cuFuncSetAttribute");
    return function;
}

void LaunchGemms(const GpuSession& session, CUfunction function, const KernelEntry& entry, CUdeviceptr a,
                 CUdeviceptr b, CUdeviceptr c, std::int32_t count) {
    // The kernel takes five pointer parameters; the last two are unused and
    // always null.
    std::array<CUdeviceptr, 5> values{a, b, c, 0, 0};
    std::array<void*, 5> parameters{};
    for (std::size_t i = 0; i < values.size(); ++i) parameters[i] = &values[i];
    const unsigned grid = GridBlocks(entry);
    const CudaDriver& driver = session.driver();
    for (std::int32_t i = 0; i < count; ++i) {
        CheckCuda(driver,
                  driver->cuLaunchKernel(function, grid, 1, 1, entry.threads, 1, 1, entry.shared_bytes, session.stream(),
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

TrialRecord TimeGemmBatch(const GpuSession& session, CUfunction function, const KernelEntry& entry, CUdeviceptr a,
                          CUdeviceptr b, CUdeviceptr c, std::int32_t gemms) {
    const CudaDriver& driver = session.driver();
    CheckCuda(driver, driver->cuEventRecord(session.start_event(), session.stream()), "event start");
    LaunchGemms(session, function, entry, a, b, c, gemms);
    CheckCuda(driver, driver->cuEventRecord(session.stop_event(), session.stream()), "event end");
    CheckCuda(driver, driver->cuEventSynchronize(session.stop_event()), "event synchronize");
    float ms = 0.0f;
    CheckCuda(driver, driver->cuEventElapsedTime(&ms, session.start_event(), session.stop_event()), "event elapsed");
    const TrialRecord record = MeasuredTrial(static_cast<std::int32_t>(entry.n), entry.fp16_accumulate, gemms, ms);
    // An endless batch, or one too short for its per-GEMM time, gives no
    // throughput at all.
    if (!(ms > 0.0f) || !std::isfinite(record.batch_ms) || !std::isfinite(record.tflops))
        throw std::runtime_error("Nonpositive event duration");
    return record;
}

}  // namespace fpbench
