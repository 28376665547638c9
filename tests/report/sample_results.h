// Run results shared by the report tests. Every field holds a value of its own, so that a swapped or misplaced field
// shows in the output.
#pragma once

#include <string>

#include "bench/records.h"

namespace fpbench::report_samples {

inline Row MakeRow(int n, bool fp16, double median, double low, double high, double ms, int clock,
                   double watts, int temperature, double error, bool passed, bool guards, char digest,
                   double noise = -1) {
    return Row{.n = n, .sm_clock_mhz = clock, .temperature_c = temperature, .checked_elements = 21,
               .fp16_accumulate = fp16, .validation_passed = passed, .guards_intact = guards,
               .median_tflops = median, .min_tflops = low, .max_tflops = high, .median_ms = ms,
               .power_w = watts, .max_abs_error = error, .cubin_sha256 = std::string(64, digest),
               .noise_pct = noise};
}

inline TrialRecord MakeTrial(int n, bool fp16, int repetition, int order, int gemms, double batch_ms,
                             double ms_per_gemm, double tflops, int clock, int milliwatts, int temperature) {
    return TrialRecord{.n = n, .repetition = repetition, .order = order, .gemms = gemms,
                       .fp16_accumulate = fp16, .batch_ms = batch_ms, .ms_per_gemm = ms_per_gemm,
                       .tflops = tflops, .sm_clock_mhz = clock, .power_mw = milliwatts,
                       .temperature_c = temperature};
}

// Two sizes, both modes, telemetry present (zero readings included).
inline RunResult CompletedRun() {
    RunResult result;
    result.device = {.ordinal = 0, .sm_count = 82, .major = 8, .minor = 6, .name = "NVIDIA GeForce RTX 3090",
                     .uuid = "GPU-5a6b7c8d-0001-0203-0405-060708090a0b"};
    result.options.trials_per_mode = 1;
    result.options.sizes = {256, 1024};
    result.status = "completed";
    result.started_utc = "2025-01-02T03:04:05.678Z";
    result.finished_utc = "2025-01-02T03:04:09.012Z";
    result.backend = "embedded sm_86 cubin";
    result.cleanup_ok = true;
    result.rows = {
        MakeRow(256, true, 1234.56789012345, 1200.5, 1250.25, 0.0271, 1905, 320.46, 64, 0, true, true, '1', 0.42),
        MakeRow(256, false, 0.4, 0.1, 120, 1e-05, 1800, 255, 70, 0.00390625, true, true, '2'),
        MakeRow(1024, true, 71.234, 70.5, 72, 2.5104167461395264, 1807, 287.123456789012, 66, 0.5, false, true, '3'),
        MakeRow(1024, false, 68, 67.75, 68.5, 0.000123, 0, 0, 0, 1.5e-300, true, false, '4'),
    };
    result.trials = {
        MakeTrial(256, true, 0, 0, 4096, 120.5, 0.0294189453125, 1234.56789012345, 1905, 320460, 64),
        MakeTrial(256, false, 0, 1, 2048, 121.25, 2.5104167461395264, 0.1, 1800, 250000, 70),
        MakeTrial(1024, true, 1, 1, 16, 1e14, 1e-05, 71.234, 1807, 287123, 66),
        MakeTrial(1024, false, 1, 0, 17, 1e15, 0.0001, -1, 0, 0, 0),
    };
    return result;
}

// Failed during its only size: no telemetry, an error text with control characters and quotes, a device name outside
// ASCII.
inline RunResult FailedRunWithoutTelemetry() {
    RunResult result;
    result.device = {.ordinal = 1, .sm_count = 128, .major = 8, .minor = 9,
                     .name = "NVIDIA GeForce RTX 4090 \xE2\x80\x94 \xE6\xB5\x8B\xE8\xAF\x95",
                     .uuid = "GPU-00000000-1111-2222-3333-444444444444"};
    result.options = {.device = 1, .trials_per_mode = 2, .sample_ms = 10, .warmup_seconds = 0, .sizes = {8192}, .report_dir = {}};
    result.status = "failed";
    result.error = "cuLaunchKernel: unspecified launch failure (719)\nsaid \"no\"\tthen \\ and \x01";
    result.started_utc = "2025-06-30T23:59:59.999Z";
    result.finished_utc = "2025-07-01T00:00:01.000Z";
    result.backend = "driver-JIT embedded sm_86 PTX (not validated on this device)";
    result.rows = {MakeRow(8192, true, 400.5, 399.25, 401.75, 2.75, -1, -1.0, -1, 0.25, true, true, 'c')};
    result.trials = {
        MakeTrial(8192, true, 0, 0, 44, 121, 2.75, 399.8, -1, -1, -1),
        MakeTrial(8192, false, 0, 1, 43, 120.4, 2.8, 392.7, -1, -1, -1),
    };
    return result;
}

// Rejected before the driver was bound.
inline RunResult FailedBeforeDevice() {
    RunResult result;
    result.status = "failed";
    result.error = "NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.";
    result.started_utc = "2025-03-04T05:06:07.080Z";
    result.finished_utc = "2025-03-04T05:06:07.090Z";
    result.cleanup_ok = true;
    return result;
}

}  // namespace fpbench::report_samples
