// The value types through which callers talk to the benchmark engine.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "gpu/device_info.h"

namespace fpbench {

// The program and its version, as the reports name it.
inline constexpr const char* kProgramVersion = "Tessmor Bench 1.0";

// The run's status words, as the reports and the exit code read them.
namespace run_status {
inline constexpr const char* kRunning = "running";
inline constexpr const char* kCompleted = "completed";
inline constexpr const char* kCancelled = "cancelled";
inline constexpr const char* kFailed = "failed";
}  // namespace run_status

struct RunOptions {
    std::int32_t device = 0;
    std::int32_t trials_per_mode = 7;
    double sample_ms = 120.0;
    double warmup_seconds = 0.4;
    std::vector<std::int32_t> sizes{4096, 8192};
    std::filesystem::path report_dir;
    // The folder was named by the program after the time (no --output): when
    // it exists already, the run takes the next free name ("-2", "-3", ...).
    bool unique_report_dir = false;
};

struct TrialRecord {
    std::int32_t n = 0;
    std::int32_t repetition = 0;
    std::int32_t order = 0;
    std::int32_t gemms = 0;
    bool fp16_accumulate = true;
    double batch_ms = 0.0;
    double ms_per_gemm = 0.0;
    double tflops = 0.0;
    std::int32_t sm_clock_mhz = -1;
    std::int32_t power_mw = -1;
    std::int32_t temperature_c = -1;
};

struct Row {
    std::int32_t n = 0;
    std::int32_t sm_clock_mhz = -1;
    std::int32_t temperature_c = -1;
    std::int32_t checked_elements = 0;
    bool fp16_accumulate = true;
    bool validation_passed = false;
    bool guards_intact = false;
    double median_tflops = 0.0;
    double min_tflops = 0.0;
    double max_tflops = 0.0;
    double median_ms = 0.0;
    double power_w = -1.0;
    double max_abs_error = 0.0;
    std::string cubin_sha256;
};

struct RunResult {
    DeviceInfo device;
    RunOptions options;
    std::string status = run_status::kRunning;
    std::string error;
    std::string started_utc;
    std::string finished_utc;
    std::string backend;
    bool cleanup_ok = false;
    // This run created options.report_dir, so the reports there are its own.
    bool created_report_dir = false;
    std::vector<Row> rows;
    std::vector<TrialRecord> trials;
};

struct ProgressSink {
    std::function<void(const std::wstring&)> on_status;
    std::function<void(const Row&)> on_row;
};

// The mode's name in reports.
inline const char* ModeName(bool fp16_accumulate) {
    return fp16_accumulate ? "fp16_acc" : "fp32_acc";
}

}  // namespace fpbench
