// The decisions of a benchmark run that need no GPU: option limits, the
// free-memory rule, batch calibration, the trial order, the image choice and
// the progress texts. RunBenchmark applies them; tests call them directly.
#pragma once

#include <cstdint>
#include <string>

#include "bench/records.h"
#include "gpu/device_info.h"

namespace fpbench {

// Throws, in this order, "Use 1..50 trials and 10..1000 ms per sample", "Use
// a warm-up of at most 600 seconds", "Use at most 16 sizes", "No embedded
// kernel for selected size" or "Report directory is required" (the numbers
// are those of limits.h). Nothing of a run may start before these pass.
void CheckRunOptions(const RunOptions& options);

// Whether the two inputs and the guarded output of side n stay below
// limits::kFreeMemoryShare of the free device memory (strict, in double
// precision).
bool FitsInFreeMemory(std::uint64_t free_bytes, std::int32_t n);
std::string FreeMemoryMessage();

// Launches per timed batch: enough for sample_ms of GPU time at the
// calibrated ms_per_gemm, within 1..limits::kMaxLaunchesPerBatch.
std::int32_t LaunchesPerBatch(double sample_ms, double ms_per_gemm);

// Mode (0 = FP16 accumulation, 1 = FP32) run in `slot` of `repetition`:
// even repetitions start with FP16, odd ones with FP32, so that neither mode
// always inherits the other's heat.
int TrialMode(std::int32_t repetition, int slot);
// Validation follows the first and the last repetition of each mode.
bool ValidatesRepetition(std::int32_t repetition, std::int32_t trials_per_mode);

// The sm_86 image runs as compiled only on 8.6; newer devices get the PTX.
bool UsesCompiledImage(const DeviceInfo& device);
std::string BackendText(const DeviceInfo& device);

// Progress lines, Chinese / English, numbers in plain decimal.
std::wstring PreparingStatus(std::int32_t n);
std::wstring WarmingUpStatus(std::int32_t n, bool fp16_accumulate);
// `repetition` is zero-based; the text counts from 1.
std::wstring TestingStatus(std::int32_t n, std::int32_t repetition, std::int32_t trials_per_mode);

}  // namespace fpbench
