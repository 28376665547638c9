// Whole runs of the engine on the simulated GPU: the completed run, every
// message that can end a run, driver calls failing one by one, stops at the
// check points, and after each run no simulated object left alive.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "platform/platform.h"
#include "bench/kernel_catalogue.h"
#include "bench/run_benchmark.h"
#include "report/reports.h"
#include "test_support.h"

namespace fpbench {
namespace {

namespace fs = std::filesystem;
using Env = std::vector<std::pair<std::string, std::string>>;

// The simulator's default injected failure, code 999.
std::string Cuda(const std::string& label) { return label + ": unknown error (999)"; }

long Count(const std::vector<std::string>& trace, const std::string& entry) {
    return std::count_if(trace.begin(), trace.end(), [&](const std::string& line) { return line.rfind(entry + " ", 0) == 0; });
}

struct Outcome {
    RunResult result;
    std::vector<std::wstring> statuses;
    std::vector<Row> rows_seen;
    test::LiveCounts live;
    std::vector<std::string> trace;
};

class EngineRun : public ::testing::Test {
protected:
    EngineRun() {
        options.sizes = {256};
        options.trials_per_mode = 2;
        options.sample_ms = 10;
        options.warmup_seconds = 0;
        options.report_dir = ReportDir();
    }
    fs::path ReportDir() const { return temp.path() / "reports" / "run"; }
    fs::path TracePath() const { return temp.path() / "trace.txt"; }

    Outcome Run(const Env& env = {}) {
        const fs::path live = temp.path() / "live.json";
        fs::remove(live);
        fs::remove(TracePath());
        // Slow modelled kernels keep batches at a few launches (about 9 for
        // FP16 and 5 for FP32 at N = 256), so that traces stay short.
        std::map<std::string, std::string> variables{{"TESSMOR_SIM_LIVE", live.string()},
                                                     {"TESSMOR_SIM_TRACE", TracePath().string()},
                                                     {"TESSMOR_SIM_TFLOPS", "0.03"},
                                                     {"TESSMOR_SIM_TFLOPS_FP32", "0.015"}};
        for (const auto& [name, value] : env) variables[name] = value;
        std::vector<std::unique_ptr<test::ScopedEnv>> scoped;
        for (const auto& [name, value] : variables) scoped.push_back(std::make_unique<test::ScopedEnv>(name, value));
        Outcome outcome;
        outcome.result = RunBenchmark(
            options, stop,
            [&](const std::wstring& text) {
                outcome.statuses.push_back(text);
                if (on_status) on_status(text);
            },
            [&](const Row& row) {
                outcome.rows_seen.push_back(row);
                if (on_row) on_row(row);
            });
        // The simulator writes its counts when the run unloads it.
        if (const auto counts = test::ReadLiveCounts(live)) outcome.live = *counts;
        outcome.trace = test::ReadTrace(TracePath());
        return outcome;
    }

    // A run that ended after it created its directory: the reports hold its
    // final state, and nothing is left on the simulated GPU.
    void ExpectEnded(const Outcome& o, const std::string& status, const std::string& error) {
        EXPECT_EQ(o.result.status, status);
        EXPECT_EQ(o.result.error, error);
        EXPECT_EQ(o.rows_seen.size(), o.result.rows.size());
        ExpectReportsOf(o.result);
        EXPECT_TRUE(o.live.AllZero());
    }
    void ExpectReportsOf(const RunResult& result) {
        EXPECT_EQ(test::ReadFileBytes(ReportDir() / "result.json"), ResultDocument(result, KernelSourceSha256));
        EXPECT_EQ(test::ReadFileBytes(ReportDir() / "summary.csv"), SummaryTable(result.rows));
        EXPECT_EQ(test::ReadFileBytes(ReportDir() / "trials.csv"), TrialTable(result.trials));
    }

    test::TempDir temp;
    RunOptions options;
    std::atomic<bool> stop{false};
    std::function<void(const std::wstring&)> on_status;
    std::function<void(const Row&)> on_row;
};

TEST_F(EngineRun, CompletedRunMeasuresValidatesAndReportsEveryMode) {
    options.sizes = {256, 1024};
    options.trials_per_mode = 3;
    std::vector<std::size_t> summary_lines;  // as seen by each on_row
    on_row = [&](const Row&) {
        const std::string summary = test::ReadFileBytes(ReportDir() / "summary.csv");
        summary_lines.push_back(std::count(summary.begin(), summary.end(), '\n'));
    };
    const Outcome o = Run({{"TESSMOR_SIM_TFLOPS", "100"}, {"TESSMOR_SIM_TFLOPS_FP32", "50"}});
    ExpectEnded(o, "completed", "");
    const RunResult& r = o.result;
    EXPECT_TRUE(r.cleanup_ok);
    EXPECT_EQ(r.backend, "embedded sm_86 cubin");
    EXPECT_EQ(o.live.ptx_loads, 0);  // 8.6 loads the compiled images
    EXPECT_EQ(r.device.name, "Tessmor Simulated GPU");
    EXPECT_EQ(summary_lines, (std::vector<std::size_t>{2, 3, 4, 5}));

    std::vector<std::wstring> expected;
    for (const char* n : {"256", "1024"}) {
        expected.push_back(platform::WideFromUtf8(std::string("准备矩阵 / Preparing matrices: ") + n));
        expected.push_back(platform::WideFromUtf8(std::string("预热 / Warming up: ") + n + " · FP16 累加 / accumulation"));
        expected.push_back(platform::WideFromUtf8(std::string("预热 / Warming up: ") + n + " · FP32 累加 / accumulation"));
        for (const char* k : {"1", "2", "3"})
            expected.push_back(platform::WideFromUtf8(std::string("测试 / Testing: ") + n + " · " + k + " / 3"));
    }
    EXPECT_EQ(o.statuses, expected);

    ASSERT_EQ(r.rows.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        const Row& row = r.rows[i];
        EXPECT_TRUE(row.n == (i < 2 ? 256 : 1024) && row.fp16_accumulate == (i % 2 == 0)) << i;
        EXPECT_EQ(row.cubin_sha256, FindKernel(row.n, row.fp16_accumulate).sha256);
        EXPECT_EQ(row.checked_elements, 42);
        EXPECT_TRUE(row.validation_passed && row.guards_intact);
        EXPECT_LE(row.max_abs_error, 0.00390625);
        EXPECT_TRUE(row.sm_clock_mhz == 1800 && row.power_w == 250.0 && row.temperature_c == 65);
        // The modelled throughput comes back through events and calibration.
        EXPECT_NEAR(row.median_tflops, row.fp16_accumulate ? 100.0 : 50.0, 0.01);
    }
    ASSERT_EQ(r.trials.size(), 12u);
    long launches = 0;
    for (std::size_t i = 0; i < 12; ++i) {
        const TrialRecord& t = r.trials[i];
        const int repetition = static_cast<int>(i % 6) / 2, order = static_cast<int>(i % 2);
        EXPECT_TRUE(t.n == (i < 6 ? 256 : 1024) && t.repetition == repetition && t.order == order) << i;
        EXPECT_EQ(t.fp16_accumulate, (repetition % 2 == 0) == (order == 0)) << i;
        // 256: 10 ms would take ~30000 launches, capped; 1024: ~466 and ~233.
        EXPECT_NEAR(t.gemms, t.n == 256 ? 2000 : (t.fp16_accumulate ? 466 : 233), 1);
        EXPECT_EQ(t.power_mw, 250000);
        launches += t.gemms;
    }
    // Warm-up 0: one round of three launches per mode, then three to calibrate.
    EXPECT_EQ(Count(o.trace, "cuLaunchKernel"), launches + 4 * 6);
}

TEST_F(EngineRun, OneRepetitionValidatesOnceAndNewerDevicesRunThePtx) {
    options.trials_per_mode = 1;
    for (const char* cc : {"8.9", "9.0"}) {
        fs::remove_all(ReportDir());
        const Outcome o = Run({{"TESSMOR_SIM_DEVICE0_CC", cc}});
        ExpectEnded(o, "completed", "");
        EXPECT_EQ(o.result.backend, "driver-JIT embedded sm_86 PTX (not validated on this device)");
        EXPECT_EQ(o.live.ptx_loads, 2 * static_cast<int>(options.sizes.size()));
        EXPECT_EQ(o.result.rows.at(1).checked_elements, 21);
    }
}

TEST_F(EngineRun, RejectionsBeforeAnyGpuWorkWriteNothing) {
    const std::string range = "Use 1..50 trials and 10..1000 ms per sample";
    test::WriteFileBytes(temp.path() / "file", "x");
    const fs::path under_file = temp.path() / "file" / "run";
    std::string system_error;
    try {
        fs::create_directories(under_file);
    } catch (const fs::filesystem_error& error) {
        system_error = error.what();
    }
    struct Case {
        int trials;
        double sample_ms;
        fs::path dir;
        std::string error;
    };
    for (const Case& c : {Case{0, 120, ReportDir(), range}, Case{51, 120, ReportDir(), range},
                          Case{7, 9.99, ReportDir(), range}, Case{7, 1000.01, ReportDir(), range},
                          Case{7, std::nan(""), ReportDir(), range}, Case{7, 120, fs::path(), "Report directory is required"},
                          Case{7, 120, under_file, system_error},
                          Case{7, 120, temp.path(), "Report directory already exists; choose a fresh directory"}}) {
        options.trials_per_mode = c.trials;
        options.sample_ms = c.sample_ms;
        options.report_dir = c.dir;
        const Outcome o = Run();
        EXPECT_EQ(o.result.status, "failed");
        EXPECT_EQ(o.result.error, c.error);
        EXPECT_TRUE(o.result.cleanup_ok);
        EXPECT_FALSE(o.result.started_utc.empty() || o.result.finished_utc.empty());
        EXPECT_TRUE(o.trace.empty());  // the driver was never loaded
        EXPECT_FALSE(fs::exists(ReportDir()) || fs::exists(temp.path() / "result.json"));
    }
    ASSERT_FALSE(system_error.empty());
}

TEST_F(EngineRun, EveryRunEndingFaultGivesItsMessage) {
    struct Case {
        Env env;
        std::string error;
        std::vector<std::int32_t> sizes{256};
        std::size_t rows = 0;
    };
    const std::string old_device = "This build requires NVIDIA SM 8.6 or newer (RTX 30-series or newer)";
    const std::vector<Case> cases{
        {{{"TESSMOR_SIM_MISSING_EXPORT", "cuMemsetD8_v2"}}, "Driver entry point unavailable: cuMemsetD8_v2"},
        {{{"TESSMOR_SIM_DEVICES", "0"}}, "cuDeviceGet: invalid device ordinal (101)"},
        {{{"TESSMOR_SIM_DEVICE0_CC", "8.0"}}, old_device},
        {{{"TESSMOR_SIM_DEVICE0_CC", "7.5"}}, old_device},
        // 0.7 · 562468 is just below the 393728 bytes that N = 256 needs.
        {{{"TESSMOR_SIM_DEVICE0_FREE_BYTES", "562468"}}, "Selected matrices would use over 70% of free VRAM"},
        {{}, "No embedded kernel for selected size", {256, 512}, 2},
        {{{"TESSMOR_SIM_LOAD_LOG", "ptxas fatal : \"x\"\nline 2"}}, "Kernel load: ptxas fatal : \"x\"\nline 2"},
        {{{"TESSMOR_SIM_LOAD_LOG", "x"}}, "Kernel load: x"},
        {{{"TESSMOR_SIM_ELAPSED", "zero"}}, "Nonpositive event duration"},
        {{{"TESSMOR_SIM_ELAPSED", "nan"}}, "Nonpositive event duration"},
        {{{"TESSMOR_SIM_ELAPSED", "negative"}}, "Nonpositive event duration"},
        {{{"TESSMOR_SIM_GEMM_FAULT", "wrong"}}, "Numerical spot check failed"},
        {{{"TESSMOR_SIM_GEMM_FAULT", "nowrite"}}, "Numerical spot check failed"},
        {{{"TESSMOR_SIM_GEMM_FAULT", "nan"}}, "Nonfinite numerical result"},
        {{{"TESSMOR_SIM_GEMM_FAULT", "inf"}}, "Nonfinite numerical result"},
        {{{"TESSMOR_SIM_GEMM_FAULT", "guard-before"}}, "Output allocation guard modified"},
        {{{"TESSMOR_SIM_GEMM_FAULT", "guard-after"}}, "Output allocation guard modified"},
        // From the first launch of the second size on (12 + 2·(9 + 5) before).
        {{{"TESSMOR_SIM_GEMM_FAULT", "wrong:41"}}, "Numerical spot check failed", {256, 256}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        fs::remove_all(ReportDir());
        options.sizes = c.sizes;
        const Outcome o = Run(c.env);
        ExpectEnded(o, "failed", c.error);
        EXPECT_TRUE(o.result.cleanup_ok);
        EXPECT_EQ(o.result.rows.size(), c.rows);
    }
}

// Each driver entry point of a run fails, at its first call and at a call
// during the trials; the run's message, rows and the objects left alive.
TEST_F(EngineRun, EachFailingDriverCallEndsTheRunWithItsMessage) {
    struct Case {
        std::string entry;
        long call;  // 1-based; negative: this many calls after "Testing 2/3" began
        std::string error;
        std::size_t rows = 0;
        test::LiveCounts kept{0, 0, 0, 0, 0};
        const char* repeat = "1";  // how many calls fail
    };
    const std::string cleanup = " CUDA cleanup failed.";
    const std::vector<Case> cases{
        {"cuInit", 1, Cuda("cuInit")},
        {"cuDeviceGet", 1, Cuda("cuDeviceGet")},
        {"cuDeviceGetName", 1, Cuda("cuDeviceGetName")},
        {"cuDeviceGetUuid", 1, Cuda("cuDeviceGetUuid")},
        {"cuDeviceGetAttribute", 1, Cuda("cuDeviceGetAttribute")},
        {"cuDeviceGet", 2, Cuda("cuDeviceGet")},
        {"cuCtxGetCurrent", 1, Cuda("cuCtxGetCurrent")},
        {"cuDevicePrimaryCtxRetain", 1, Cuda("cuDevicePrimaryCtxRetain")},
        {"cuCtxSetCurrent", 1, Cuda("cuCtxSetCurrent")},
        {"cuStreamCreate", 1, Cuda("cuStreamCreate")},
        {"cuEventCreate", 1, Cuda("cuEventCreate")},
        {"cuEventCreate", 2, Cuda("cuEventCreate")},
        {"cuMemGetInfo_v2", 1, Cuda("cuMemGetInfo")},
        {"cuMemAlloc_v2", 1, Cuda("cuMemAlloc")},
        {"cuMemAlloc_v2", 3, Cuda("cuMemAlloc")},
        {"cuMemcpyHtoD_v2", 1, Cuda("input copy A")},
        {"cuMemcpyHtoD_v2", 2, Cuda("input copy B")},
        {"cuMemsetD8_v2", 1, Cuda("output initialization")},
        {"cuModuleLoadDataEx", 1, Cuda("cuModuleLoadDataEx")},
        {"cuModuleLoadDataEx", 2, Cuda("cuModuleLoadDataEx")},
        {"cuModuleGetFunction", 1, Cuda("cuModuleGetFunction")},
        {"cuFuncSetAttribute", 1, Cuda("cuFuncSetAttribute")},
        {"cuLaunchKernel", 1, Cuda("cuLaunchKernel")},
        {"cuStreamSynchronize", 1, Cuda("cuStreamSynchronize")},
        {"cuEventRecord", 1, Cuda("event start")},
        {"cuEventRecord", 2, Cuda("event end")},
        {"cuEventSynchronize", 1, Cuda("event synchronize")},
        {"cuEventElapsedTime", 1, Cuda("event elapsed")},
        {"cuMemcpyDtoH_v2", 1, Cuda("validation copy")},
        {"cuMemcpyDtoH_v2", 22, Cuda("guard copy")},
        {"cuMemcpyDtoH_v2", 23, Cuda("guard copy")},
        // After the rows: the size's release, then the final cleanup (its
        // third cuCtxSetCurrent restores the previous context).
        {"cuMemFree_v2", 1, Cuda("cuMemFree"), 2},
        {"cuModuleUnload", 1, Cuda("cuModuleUnload"), 2},
        {"cuEventDestroy_v2", 1, cleanup, 2, {0, 0, 1, 0, 0}},
        {"cuStreamDestroy_v2", 1, cleanup, 2, {0, 1, 0, 0, 0}},
        {"cuDevicePrimaryCtxRelease_v2", 1, cleanup, 2, {1, 0, 0, 0, 0}},
        {"cuCtxSetCurrent", 3, cleanup, 2},
        {"cuMemFree_v2", 2, Cuda("cuMemFree") + cleanup, 2, {0, 0, 0, 2, 0}, ""},
        // During repetition 2 of 3 (no validation there) and 3.
        {"cuEventRecord", -1, Cuda("event start")},
        {"cuEventRecord", -2, Cuda("event end")},
        {"cuLaunchKernel", -1, Cuda("cuLaunchKernel")},
        {"cuEventSynchronize", -1, Cuda("event synchronize")},
        {"cuEventElapsedTime", -1, Cuda("event elapsed")},
        {"cuMemcpyDtoH_v2", -1, Cuda("validation copy")},
        {"cuMemcpyDtoH_v2", -22, Cuda("guard copy")},
    };
    options.trials_per_mode = 3;
    std::vector<std::string> at_second_repetition;
    on_status = [&](const std::wstring& text) {
        if (text.find(L"Testing: 256 \u00b7 2 / 3") != std::wstring::npos) at_second_repetition = test::ReadTrace(TracePath());
    };
    ASSERT_EQ(Run().result.status, "completed");
    on_status = nullptr;

    for (const Case& c : cases) {
        const long call = c.call > 0 ? c.call : Count(at_second_repetition, c.entry) - c.call;
        SCOPED_TRACE(c.entry + ":" + std::to_string(call));
        fs::remove_all(ReportDir());
        const Outcome o = Run({{"TESSMOR_SIM_FAIL", c.entry + ":" + std::to_string(call) + ":999:" + c.repeat}});
        EXPECT_EQ(o.result.status, "failed");
        EXPECT_EQ(o.result.error, c.error);
        EXPECT_EQ(o.result.cleanup_ok, !c.error.ends_with(cleanup));
        EXPECT_EQ(o.result.rows.size(), c.rows);
        EXPECT_GE(o.result.trials.size(), c.call < 0 ? 2u : 0u);
        ExpectReportsOf(o.result);
        const test::LiveCounts& l = o.live;
        EXPECT_TRUE(l.contexts == c.kept.contexts && l.streams == c.kept.streams && l.events == c.kept.events &&
                    l.allocations == c.kept.allocations && l.modules == c.kept.modules);
    }
}

TEST_F(EngineRun, FailedReportWritesAreRecorded) {
    // Gone before the first row: that write fails, and so does the final one.
    on_status = [&](const std::wstring& text) {
        if (text.find(L"Testing") != std::wstring::npos) fs::remove_all(ReportDir());
    };
    Outcome o = Run();
    EXPECT_EQ(o.result.status, "failed");
    EXPECT_EQ(o.result.error, "Unable to write report filesUnable to write report files");
    EXPECT_TRUE(o.result.rows.size() == 1 && o.rows_seen.empty() && o.live.AllZero());

    // Gone after the last row: only the final write fails.
    on_status = nullptr;
    on_row = [&](const Row& row) {
        if (!row.fp16_accumulate) fs::remove_all(ReportDir());
    };
    o = Run();
    EXPECT_EQ(o.result.status, "failed");
    EXPECT_EQ(o.result.error, "Unable to write report files");
    EXPECT_TRUE(o.result.cleanup_ok && o.result.rows.size() == 2);
}

// A stop takes effect at the next check point; the run then cleans up and
// reports "cancelled". What ran before it tells which check point saw it.
TEST_F(EngineRun, StopAtEachCheckPointCancelsTheRun) {
    struct Case {
        const wchar_t* status;  // set the flag at this status; null: before the run or, with at_row, at the first row
        bool at_row;
        long prepared_sizes, allocations, load_calls, warmed_modes, trials, rows;
    };
    const std::vector<Case> cases{
        {nullptr, false, 0, 0, 0, 0, 0, 0},                    // start of the first size
        {L"Preparing matrices: 256", false, 1, 0, 0, 0, 0, 0},  // inside the host matrices
        {L"FP16", false, 1, 3, 1, 0, 0, 0},                     // first warm-up round of FP16
        {L"FP32", false, 1, 3, 2, 1, 0, 0},                     // first warm-up round of FP32
        {L"Testing: 256 \u00b7 1", false, 1, 3, 2, 2, 0, 0},    // before the first batch
        {L"Testing: 256 \u00b7 2", false, 1, 3, 2, 2, 2, 0},    // before repetition 2
        {L"Testing: 1024 \u00b7 1", false, 2, 6, 4, 4, 4, 2},   // second size, before its trials
        {nullptr, true, 1, 3, 2, 2, 4, 2},                      // start of the second size
    };
    options.sizes = {256, 1024};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status ? platform::Utf8FromWide(c.status) : (c.at_row ? "row" : "start"));
        fs::remove_all(ReportDir());
        stop = c.status == nullptr && !c.at_row;
        on_status = [&](const std::wstring& text) {
            if (c.status && text.find(c.status) != std::wstring::npos) stop = true;
        };
        on_row = [&](const Row&) {
            if (c.at_row) stop = true;
        };
        const Outcome o = Run();
        ExpectEnded(o, "cancelled", "Cancelled by user");
        EXPECT_TRUE(o.result.cleanup_ok);
        EXPECT_EQ(Count(o.trace, "cuMemGetInfo_v2"), c.prepared_sizes);
        EXPECT_EQ(Count(o.trace, "cuMemAlloc_v2"), c.allocations);
        EXPECT_EQ(Count(o.trace, "cuModuleLoadDataEx"), c.load_calls);
        // Three warm-up and three calibration launches per warmed mode.
        long launches = 6 * c.warmed_modes;
        for (const TrialRecord& t : o.result.trials) launches += t.gemms;
        EXPECT_EQ(Count(o.trace, "cuLaunchKernel"), launches);
        EXPECT_EQ(o.result.trials.size(), static_cast<std::size_t>(c.trials));
        EXPECT_EQ(o.result.rows.size(), static_cast<std::size_t>(c.rows));
    }
    // At the last row: the check after the last size still sees it.
    options.sizes = {256};
    fs::remove_all(ReportDir());
    stop = false;
    on_status = nullptr;
    on_row = [&](const Row& row) { stop = stop || !row.fp16_accumulate; };
    const Outcome o = Run();
    ExpectEnded(o, "cancelled", "Cancelled by user");
    EXPECT_EQ(o.result.rows.size(), 2u);
}

TEST_F(EngineRun, StopFromAnotherThreadThenAFailingCleanup) {
    std::atomic<bool> testing{false};
    on_status = [&](const std::wstring& text) { testing = testing || text.find(L"Testing") != std::wstring::npos; };
    options.trials_per_mode = 50;
    std::thread stopper([&] {
        while (!testing) std::this_thread::yield();
        stop = true;
    });
    const Outcome o = Run({{"TESSMOR_SIM_FAIL", "cuStreamDestroy_v2"}});
    stopper.join();
    EXPECT_EQ(o.result.status, "failed");
    EXPECT_EQ(o.result.error, "Cancelled by user CUDA cleanup failed.");
    EXPECT_FALSE(o.result.cleanup_ok);
    ExpectReportsOf(o.result);
}

// Run in their own processes, without the simulated driver or NVML.
RunResult SmallRun(const fs::path& dir) {
    RunOptions options;
    options.sizes = {256};
    options.trials_per_mode = 2;
    options.sample_ms = 10;
    options.warmup_seconds = 0;
    options.report_dir = dir;
    const std::atomic<bool> stop{false};
    return RunBenchmark(options, stop, nullptr, nullptr);
}

TEST(EngineRunWithoutDriver, MissingDriverFailsAfterTheDirectoryIsMade) {
    test::TempDir temp;
    const RunResult r = SmallRun(temp.path() / "run");
    EXPECT_EQ(r.status, "failed");
    EXPECT_EQ(r.error, "NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.");
    EXPECT_TRUE(r.cleanup_ok && r.device.uuid.empty());
    EXPECT_EQ(test::ReadFileBytes(temp.path() / "run" / "result.json"), ResultDocument(r, KernelSourceSha256));
}

TEST(EngineRunWithoutNvml, TelemetryStaysUnknown) {
    test::TempDir temp;
    const RunResult r = SmallRun(temp.path() / "run");
    ASSERT_EQ(r.status, "completed");
    for (const TrialRecord& t : r.trials) EXPECT_TRUE(t.sm_clock_mhz == -1 && t.power_mw == -1 && t.temperature_c == -1);
    for (const Row& row : r.rows) EXPECT_TRUE(row.sm_clock_mhz == -1 && row.power_w == -1.0 && row.temperature_c == -1);
}

}  // namespace
}  // namespace fpbench
