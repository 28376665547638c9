// One timed batch of GEMM launches between two GPU events.
#pragma once

#include <cstdint>

#include "bench/kernel_catalogue.h"
#include "bench/records.h"
#include "gpu/gpu_session.h"

namespace fpbench {

// The kernel function of a catalogue entry, loaded into the session (the
// sm_86 image as compiled, else its PTX) and allowed its dynamic shared
// memory. Throws the load's or the CUDA message.
CUfunction LoadKernel(GpuSession& session, const KernelEntry& entry, bool compiled_image);

// The launch contract of the catalogue's kernels: `count` launches of
// `function` with grid (N/128)^2, the entry's block and shared memory, the
// arguments A, B, C, null, null, on the run's stream. Each launch is checked
// as "cuLaunchKernel"; the host does not wait.
void LaunchGemms(const GpuSession& session, CUfunction function, const KernelEntry& entry, CUdeviceptr a,
                 CUdeviceptr b, CUdeviceptr c, std::int32_t count);

// Times `gemms` launches between the driver's start and stop events and
// returns the measured record (repetition, order 0; telemetry -1). Throws the
// CUDA message of the failing step, or "Nonpositive event duration" for a
// time that is not positive or gives no finite throughput.
TrialRecord TimeGemmBatch(const GpuSession& session, CUfunction function, const KernelEntry& entry, CUdeviceptr a,
                          CUdeviceptr b, CUdeviceptr c, std::int32_t gemms);

// The record of a batch of `gemms` launches of side n that took
// `elapsed_ms` of GPU time (the per-GEMM time is a single-precision quotient).
TrialRecord MeasuredTrial(std::int32_t n, bool fp16_accumulate, std::int32_t gemms, float elapsed_ms);

// Blocks in the launch grid of an entry: one per tile of C.
unsigned GridBlocks(const KernelEntry& entry);

}  // namespace fpbench
