// The value types through which callers talk to the benchmark engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/limits.h"
#include "gpu/device_info.h"
#include "gpu/telemetry.h"

namespace fpbench {

// The program and its version (from project(VERSION)), as the reports name it.
inline constexpr const char* kProgramVersion = "Tessmor Bench " TESSMOR_VERSION;

// The run's status words, as the reports and the exit code read them.
namespace run_status {
inline constexpr const char* kRunning = "running";
inline constexpr const char* kCompleted = "completed";
inline constexpr const char* kCancelled = "cancelled";
inline constexpr const char* kFailed = "failed";
}  // namespace run_status

// The programs' exit codes: a completed run or a command with nothing to
// report; a run that failed or was stopped, or a command that could not do
// its job; compare and fleet found something slower, failed or flagged.
namespace exit_code {
inline constexpr int kClean = 0;
inline constexpr int kFailed = 1;
inline constexpr int kFlagged = 2;
}  // namespace exit_code

struct RunOptions {
    std::int32_t device = limits::kDefaultDevice;
    std::int32_t trials_per_mode = limits::kDefaultTrials;
    double sample_ms = limits::kDefaultSampleMs;
    double warmup_seconds = limits::kDefaultWarmupSeconds;
    std::vector<std::int32_t> sizes{limits::kDefaultSizes.begin(), limits::kDefaultSizes.end()};
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
    // nvmlClocksEventReasons bits read after the batch, -1 unknown; only
    // health.json and the reason lines carry them.
    std::int64_t clock_reasons = -1;
};

// Why the driver held the clocks back, by NVML's reason bits: the name
// health.json gives each and the words the page, the terminal and the window
// use. Only the reasons that `slow` a busy GPU are told as a cause.
struct ClockReasonName {
    unsigned long long bit;
    const char* key;
    const char* words;
    bool slows;
};
inline constexpr ClockReasonName kClockReasons[] = {
    {nvml::kReasonGpuIdle, "gpu_idle", "an idle GPU", false},
    {nvml::kReasonApplicationsClocksSetting, "applications_clocks", "the applications clocks setting", false},
    {nvml::kReasonSwPowerCap, "power_cap", "the power cap", true},
    {nvml::kReasonHwSlowdown, "hw_slowdown", "a hardware slowdown signal", true},
    {nvml::kReasonSyncBoost, "sync_boost", "sync boost", true},
    {nvml::kReasonSwThermalSlowdown, "thermal", "the temperature", true},
    {nvml::kReasonHwThermalSlowdown, "hw_thermal", "a hardware thermal slowdown", true},
    {nvml::kReasonHwPowerBrakeSlowdown, "power_brake", "the power brake", true},
    {nvml::kReasonDisplayClockSetting, "display_clocks", "the display clock setting", false},
};

// How many trials had each reason of kClockReasons in force, of the trials
// whose reasons NVML told.
struct ReasonTally {
    std::size_t known_trials = 0;
    std::array<std::size_t, std::size(kClockReasons)> trials{};
};

// The GPU's health around a run, as NVML told it (unknown: -1, or empty).
struct RunHealth {
    NvmlCounters before;
    NvmlCounters after;
    NvmlBoard board;
    // The volatile uncorrected ECC count rose by this much during the run;
    // -1 when either reading is unknown.
    std::int64_t UncorrectedDuringRun() const {
        return before.ecc_uncorrected < 0 || after.ecc_uncorrected < 0 ? -1
                                                                       : after.ecc_uncorrected - before.ecc_uncorrected;
    }
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
    // Figures of the row's trials that the three report files do not carry
    // (the page and the terminal show them), -1 when unknown: the
    // trial-to-trial spread of the throughput, as the sample standard
    // deviation in percent of the mean (fewer than two trials: unknown); the
    // median GPU time of a batch, and whether batches held the most launches
    // allowed (and so lasted less than asked); the median in percent of the
    // GPU's tensor-core peak at the run's highest SM clock.
    double noise_pct = -1.0;
    double batch_ms = -1.0;
    bool launches_capped = false;
    double peak_pct = -1.0;
    // FLOP per SM per clock cycle of the median at the row's SM clock: the
    // throughput with the clock taken out.
    double per_clock = -1.0;
};

// How far the SM clock fell during a run: a trial is low when its clock is
// known and below limits::kLowClockShare (90 %) of the highest clock read in
// the run. A GPU that heats up or reaches its power limit lowers its clock,
// and its throughput falls with it.
struct ClockDrop {
    std::int32_t peak_mhz = -1;  // -1: no clock reading at all
    std::size_t low_trials = 0;
    std::size_t trials = 0;
};
// The dense FP16 tensor-core peak the rows are measured against: the
// architecture's FLOP per SM per clock cycle, and the TFLOPS it gives at the
// run's highest SM clock reading (at the ceiling clock when none was read).
struct TensorPeak {
    double flop_per_sm_clock = -1.0;
    double tflops = -1.0;
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
    std::vector<Row> rows;
    std::vector<TrialRecord> trials;
    RunHealth health;
    // Worked out from the trials with the rows' figures (SetDerivedFigures),
    // never by a printer.
    ClockDrop clock_drop;
    ReasonTally reason_tally;
    TensorPeak peak;
};

struct ProgressSink {
    std::function<void(const std::wstring&)> on_status;
    std::function<void(const Row&)> on_row;
};

// Every name of an accumulator: the word of the reports and the label shown
// in the window, on the page and in the terminal.
struct AccumulatorNames {
    const char* mode;   // "fp16_acc"
    const char* label;  // "FP16"
};
inline constexpr AccumulatorNames kAccumulators[2] = {{"fp16_acc", "FP16"}, {"fp32_acc", "FP32"}};
inline const AccumulatorNames& Accumulator(bool fp16_accumulate) { return kAccumulators[fp16_accumulate ? 0 : 1]; }

}  // namespace fpbench
