// Whole runs of the engine on the simulated GPU: the completed run, every message that can end a run, driver calls
// failing one by one, stops at the check points, and after each run reports that match it and no simulated object
// left alive.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <tuple>

#include "bench/kernel_catalogue.h"
#include "bench/statistics.h"
#include "bench/tensor_peak.h"
#include "bench/validation.h"
#include "platform/platform.h"
#include "report/documents.h"
#include "report/reports.h"
#include "report/display.h"
#include "report/text_format.h"
#include "run/run_benchmark.h"
#include "test_support.h"

namespace fpbench {
namespace {

namespace fs = std::filesystem;
using Env = std::map<std::string, std::string>;

// The simulator's default injected failure, code 999.
std::string Cuda(const std::string& label) { return label + ": unknown error (999)"; }

long Count(const std::vector<std::string>& trace, const std::string& entry) {
    return std::count_if(trace.begin(), trace.end(), [&](const std::string& line) { return line.rfind(entry + " ", 0) == 0; });
}

Env With(Env env, const Env& more) {
    for (const auto& [name, value] : more) env[name] = value;
    return env;
}

bool Contains(const std::wstring& text, const wchar_t* part) { return part && text.find(part) != std::wstring::npos; }

struct Outcome {
    RunResult result;
    RunReports reports;
    std::vector<std::wstring> statuses;
    std::vector<Row> rows_seen;
    test::LiveCounts live;
    std::vector<std::string> trace;
};

// The signs come from the seeded sequence: an independent copy of the first elements, worked out by hand from the
// generator.
TEST(MakeHostMatrix, SignsFollowTheSeededSequence) {
    const std::atomic<bool> running{false};
    const auto a = MakeHostMatrix(256, 20261028, running), b = MakeHostMatrix(256, 20261029, running);
    ASSERT_EQ(a.size(), 65536u);
    const std::uint16_t p = 0x2C00, m = 0xAC00;
    EXPECT_EQ(std::vector<std::uint16_t>(a.begin(), a.begin() + 8), (std::vector<std::uint16_t>{p, p, p, p, m, m, p, p}));
    EXPECT_EQ(std::vector<std::uint16_t>(b.begin(), b.begin() + 8), (std::vector<std::uint16_t>{m, m, m, m, p, m, p, p}));
    EXPECT_EQ(std::count(a.begin(), a.end(), p) + std::count(a.begin(), a.end(), m), 65536);
}


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
    std::string Document() const { return test::ReadFileBytes(ReportDir() / "result.json"); }

    Outcome Run(const Env& env = {}) {
        const fs::path live = temp.path() / "live.json";
        fs::remove(live);
        fs::remove(TracePath());
        fs::remove_all(ReportDir());
        // Slow modelled kernels keep batches at a few launches (about 9 for FP16 and 5 for FP32 at N = 256), so that
        // traces stay short.
        Env variables{{"TESSMOR_SIM_LIVE", live.string()}, {"TESSMOR_SIM_TRACE", TracePath().string()},
                      {"TESSMOR_SIM_TFLOPS", "0.03"}, {"TESSMOR_SIM_TFLOPS_FP32", "0.015"}};
        for (const auto& [name, value] : env) variables[name] = value;
        std::vector<std::unique_ptr<test::ScopedEnv>> scoped;
        for (const auto& [name, value] : variables) scoped.push_back(std::make_unique<test::ScopedEnv>(name, value));
        Outcome o;
        FinishedRun finished = RunBenchmark(
            options, stop,
            [&](const std::wstring& text) {
                o.statuses.push_back(text);
                if (on_status) on_status(text);
            },
            [&](const Row& row) {
                o.rows_seen.push_back(row);
                if (on_row) on_row(row);
            });
        o.result = std::move(finished.result), o.reports = std::move(finished.reports);
        // The simulator writes its counts when the run unloads it.
        if (const auto counts = test::ReadLiveCounts(live)) o.live = *counts;
        o.trace = test::ReadTrace(TracePath());
        return o;
    }

    // A run that ended after it created its directory: the reports hold its final state as valid JSON, no figure the
    // GPU cannot reach, and nothing is left on the simulated GPU. An error ending in "*" is a beginning.
    void ExpectEnded(const Outcome& o, const std::string& status, const std::string& error) {
        EXPECT_EQ(o.result.status, status);
        if (error.ends_with('*')) EXPECT_TRUE(o.result.error.starts_with(error.substr(0, error.size() - 1))) << o.result.error;
        else EXPECT_EQ(o.result.error, error);
        EXPECT_EQ(o.rows_seen.size(), o.result.rows.size());
        ExpectReportsOf(o);
        EXPECT_TRUE(o.live.AllZero()) << "simulated objects outlived the run";
    }
    void ExpectReportsOf(const Outcome& o) {
        const RunResult& result = o.result;
        EXPECT_TRUE(o.reports.created_folder);
        EXPECT_EQ(Document(), ResultDocument(result, KernelSourceSha256));
        EXPECT_TRUE(test::IsJson(Document()));
        EXPECT_EQ(test::ReadFileBytes(ReportDir() / "summary.csv"), SummaryTable(result.rows));
        EXPECT_EQ(test::ReadFileBytes(ReportDir() / "trials.csv"), TrialTable(result.trials));
        EXPECT_TRUE(fs::is_regular_file(ReportDir() / "report.html"));
        const std::string health = test::ReadFileBytes(ReportDir() / "health.json");
        EXPECT_EQ(health, HealthDocument(result));
        EXPECT_TRUE(test::IsJson(health));
        const double bound = ThroughputBoundTflops(result.device, FindClockDrop(result.trials).peak_mhz);
        for (const TrialRecord& t : result.trials) EXPECT_LE(t.tflops, bound);
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
    // The reports as each size begins and as each row arrives: written at once when the folder is made, then after
    // every row, "running" until the end.
    std::vector<std::string> documents;
    on_status = [&](const std::wstring& text) {
        if (Contains(text, L"Preparing")) documents.push_back(Document());
    };
    on_row = [&](const Row&) { documents.push_back(Document()); };
    const Outcome o = Run({{"TESSMOR_SIM_TFLOPS", "100"}, {"TESSMOR_SIM_TFLOPS_FP32", "50"}});
    ExpectEnded(o, "completed", "");
    const RunResult& r = o.result;
    EXPECT_TRUE(r.cleanup_ok);
    EXPECT_EQ(r.backend, "embedded sm_86 cubin");
    EXPECT_EQ(o.live.ptx_loads, 0);  // 8.6 loads the compiled images
    EXPECT_EQ(r.device.name, "Tessmor Simulated GPU");
    ASSERT_EQ(documents.size(), 6u);
    const long rows_in_document[] = {0, 1, 2, 2, 3, 4};
    for (std::size_t i = 0; i < documents.size(); ++i) {
        const std::string& d = documents[i];
        const std::string rows = d.substr(0, d.find("\"trials\":["));
        EXPECT_TRUE(test::IsJson(d)) << i;
        EXPECT_NE(d.find("\"status\":\"running\""), std::string::npos) << i;
        EXPECT_EQ(std::count(rows.begin(), rows.end(), '{') - 2, rows_in_document[i]) << i;  // the document, the device
    }

    std::vector<std::wstring> expected;
    for (const std::string n : {"256", "1024"}) {
        for (const std::string& status : {"准备矩阵 / Preparing matrices: " + n, "预热 / Warming up: " + n + " · FP16 累加 / accumulation",
                                         "预热 / Warming up: " + n + " · FP32 累加 / accumulation", "测试 / Testing: " + n + " · 1 / 3",
                                         "测试 / Testing: " + n + " · 2 / 3", "测试 / Testing: " + n + " · 3 / 3"})
            expected.push_back(platform::WideFromUtf8(status));
    }
    EXPECT_EQ(o.statuses, expected);

    // The rows' and trials' values are those of the hand-written reports of the program's tests; here, their order
    // ("N/repetition/order/accumulator": each repetition alternates which mode goes first) and the launches.
    std::string rows, trials;
    for (const Row& row : r.rows) rows += std::to_string(row.n) + (row.fp16_accumulate ? "/16 " : "/32 ");
    EXPECT_EQ(rows, "256/16 256/32 1024/16 1024/32 ");
    long launches = 0;
    for (const TrialRecord& t : r.trials) {
        trials += std::to_string(t.n) + "/" + std::to_string(t.repetition) + "/" + std::to_string(t.order) +
                  (t.fp16_accumulate ? "/16 " : "/32 ");
        launches += t.gemms;
    }
    EXPECT_EQ(trials, "256/0/0/16 256/0/1/32 256/1/0/32 256/1/1/16 256/2/0/16 256/2/1/32 "
                      "1024/0/0/16 1024/0/1/32 1024/1/0/32 1024/1/1/16 1024/2/0/16 1024/2/1/32 ");
    // Warm-up 0: one round of three launches per mode, then three to calibrate.
    EXPECT_EQ(Count(o.trace, "cuLaunchKernel"), launches + 4 * 6);
    // C is filled once with its guards per size and again before each of the four checked batches of a size.
    EXPECT_EQ(Count(o.trace, "cuMemsetD8_v2"), 2 * (1 + 4));
}

// Newer devices run the PTX. A Hopper at 700 TFLOPS is within its bound (132 SMs at 1980 MHz, 4096 FLOP per SM per
// cycle; half that figure would refuse it); without NVML's optional maximum SM clock a run keeps its readings.
TEST_F(EngineRun, OneRepetitionValidatesOnceAndNewerDevicesRunThePtx) {
    options.trials_per_mode = 1;
    const Env hopper{{"TESSMOR_SIM_DEVICE0_CC", "9.0"}, {"TESSMOR_SIM_DEVICE0_SM", "132"},
                     {"TESSMOR_SIM_MAX_CLOCK_MHZ", "1980"}, {"TESSMOR_SIM_TFLOPS", "700"}};
    for (const Env& env : {hopper, Env{{"TESSMOR_SIM_DEVICE0_CC", "8.9"}, {"TESSMOR_SIM_MISSING_EXPORT", "nvmlDeviceGetMaxClockInfo"}},
                           Env{{"TESSMOR_SIM_DEVICE0_CC", "8.9"}, {"TESSMOR_SIM_FAIL", "nvmlDeviceGetMaxClockInfo"}}}) {
        const Outcome o = Run(env);
        ExpectEnded(o, "completed", "");
        EXPECT_EQ(o.result.backend, "driver-JIT embedded sm_86 PTX (not validated on this device)");
        EXPECT_EQ(o.live.ptx_loads, 2);
        EXPECT_EQ(o.result.rows.at(1).checked_elements, 21);
        for (const TrialRecord& t : o.result.trials)
            EXPECT_EQ(std::tuple(t.sm_clock_mhz, t.power_mw, t.temperature_c), std::tuple(1800, 250000, 65));
    }
}

// What cannot run is refused before the folder exists: nothing is created or written. The option checks come before
// the driver is even loaded; the ordinal is checked once it is (a machine without any device fails a recorded run).
TEST_F(EngineRun, RejectionsBeforeAnyGpuWorkWriteNothing) {
    test::WriteFileBytes(temp.path() / "file", "x");
    const fs::path under_file = temp.path() / "file" / "run", run = ReportDir();
    std::string system_error;  // the file system's own words
    try {
        fs::create_directories(under_file);
    } catch (const fs::filesystem_error& error) {
        system_error = error.what();
    }
    ASSERT_FALSE(system_error.empty());
    // The option checks themselves are the bench layer's; one stands for them here.
    struct Case {
        std::string error;
        fs::path dir;
        bool driver_loaded = true;
        Env env{};
        std::vector<std::int32_t> sizes{256};
        std::int32_t device = 0, trials = 7;
    };
    const std::string two = "CUDA device -1 does not exist: this machine has 2 CUDA devices (0 to 1)";
    for (const Case& c : {Case{"Use 1..50 trials and 10..1000 ms per sample", run, false, {}, {256}, 0, 0}, Case{"No embedded kernel for selected size", run, false, {}, {256, 512}},
                          Case{system_error, under_file}, Case{"Report directory already exists; choose a fresh directory", temp.path()},
                          Case{"CUDA device 1 does not exist: this machine has 1 CUDA device (0)", run, true, {}, {256}, 1},
                          Case{two, run, true, {{"TESSMOR_SIM_DEVICES", "2"}}, {256}, -1}}) {
        SCOPED_TRACE(c.error);
        options.trials_per_mode = c.trials;
        options.sizes = c.sizes;
        options.report_dir = c.dir;
        options.device = c.device;
        const Outcome o = Run(c.env);
        EXPECT_EQ(o.result.error, c.error);
        EXPECT_EQ(o.result.status, "failed");
        EXPECT_TRUE(o.result.cleanup_ok);
        EXPECT_FALSE(o.reports.created_folder);
        EXPECT_NE(o.result.started_utc, "");
        EXPECT_NE(o.result.finished_utc, "");
        EXPECT_EQ(!o.trace.empty(), c.driver_loaded);
        EXPECT_FALSE(fs::exists(ReportDir()));
        EXPECT_FALSE(fs::exists(temp.path() / "result.json"));
    }
}

TEST_F(EngineRun, AFolderNamedByTheProgramTakesTheNextFreeName) {
    options.unique_report_dir = true;
    const fs::path second = ReportDir().string() + "-2";
    fs::create_directories(second), fs::create_directories(ReportDir());
    const RunResult result = RunBenchmark(options, stop, nullptr, nullptr).result;
    EXPECT_EQ(result.status, "completed");
    EXPECT_EQ(result.options.report_dir, ReportDir().string() + "-3");
    EXPECT_TRUE(fs::is_empty(ReportDir()));
    EXPECT_TRUE(fs::is_empty(second));
    EXPECT_TRUE(test::IsJson(test::ReadFileBytes(result.options.report_dir / "result.json")));
}

// A clean run with three repetitions, traced: where a fault must start to hit a chosen batch.
class EngineFaults : public EngineRun {
protected:
    void SetUp() override {
        options.trials_per_mode = 3;
        on_status = [&](const std::wstring& text) {
            if (Contains(text, L"Testing")) trace_at_repetition.push_back(test::ReadTrace(TracePath()));
        };
        reference = Run();
        on_status = nullptr;
        ExpectEnded(reference, "completed", "");
        ASSERT_EQ(trace_at_repetition.size(), 3u);
    }
    // The K-th call of `entry` (1-based) counted from the start of the run, or from the start of a repetition.
    struct Call {
        std::string entry;
        long k = 1;
        int repetition = -1;  // -1: the whole run
        bool last = false;    // the last call of the clean run, k - 1 before it
    };
    long Number(const Call& call) const {
        if (call.last) return Count(reference.trace, call.entry) - (call.k - 1);
        return (call.repetition < 0 ? 0 : Count(trace_at_repetition[call.repetition], call.entry)) + call.k;
    }
    Outcome reference;
    std::vector<std::vector<std::string>> trace_at_repetition;
};

TEST_F(EngineFaults, EveryRunEndingFaultGivesItsMessage) {
    const long all_launches = Count(reference.trace, "cuLaunchKernel");
    // The last repetition runs FP16 first: its FP32 batch starts after it.
    const long last_fp32_batch = Count(trace_at_repetition[2], "cuLaunchKernel") + reference.result.trials[4].gemms + 1;
    const std::string old_device = "This build requires NVIDIA SM 8.6 or newer (RTX 30-series or newer)";
    const std::string spot = "Numerical spot check failed", duration = "Nonpositive event duration";
    const std::string no_work = "; the kernel launches did no work or the GPU timer is wrong";
    const Env hopper{{"TESSMOR_SIM_DEVICE0_CC", "9.0"}, {"TESSMOR_SIM_DEVICE0_SM", "132"},
                     {"TESSMOR_SIM_MAX_CLOCK_MHZ", "1980"}, {"TESSMOR_SIM_TFLOPS", "1300"}};
    struct Case {
        Env env;
        std::string error;
        std::vector<std::int32_t> sizes{256};
        std::size_t rows = 0;
    };
    const std::vector<Case> cases{
        {{{"TESSMOR_SIM_MISSING_EXPORT", "cuMemsetD8_v2"}}, "Driver entry point unavailable: cuMemsetD8_v2"},
        {{{"TESSMOR_SIM_DEVICES", "0"}}, "No CUDA device found"},  // its GPU fell off the bus
        {{{"TESSMOR_SIM_DEVICE0_CC", "8.0"}}, old_device}, {{{"TESSMOR_SIM_DEVICE0_CC", "7.5"}}, old_device},
        // 0.7 · 562468 is just below the 393728 bytes that N = 256 needs.
        {{{"TESSMOR_SIM_DEVICE0_FREE_BYTES", "562468"}}, "Selected matrices would use over 70% of free VRAM"},
        {{{"TESSMOR_SIM_LOAD_LOG", "ptxas fatal : \"x\"\nline 2"}}, "Kernel load: ptxas fatal : \"x\"\nline 2"},
        // Bytes that are not UTF-8 (Windows passes the variable on as text).
        {{{"TESSMOR_SIM_LOAD_LOG", "\xff\xfe"}}, sizeof(wchar_t) == 2 ? "Kernel load: \xef\xbf\xbd\xef\xbf\xbd" : "Kernel load: \xff\xfe"},
        {{{"TESSMOR_SIM_ELAPSED", "zero"}}, duration}, {{{"TESSMOR_SIM_ELAPSED", "nan"}}, duration},
        {{{"TESSMOR_SIM_ELAPSED", "negative"}}, duration},
        // A batch of infinite length, and a per-GEMM time that rounds to zero.
        {{{"TESSMOR_SIM_TFLOPS", "1e-41"}, {"TESSMOR_SIM_TFLOPS_FP32", "1e-41"}}, duration},
        {{{"TESSMOR_SIM_TFLOPS", "6.7e43"}, {"TESSMOR_SIM_TFLOPS_FP32", "6.7e43"}}, duration},
        {{{"TESSMOR_SIM_GEMM_FAULT", "wrong"}}, spot}, {{{"TESSMOR_SIM_GEMM_FAULT", "nowrite"}}, spot},
        // A kernel that stops writing: from the first FP32 launch, and from the last checked batch on.
        {{{"TESSMOR_SIM_GEMM_FAULT", "nowrite:7"}}, spot},
        {{{"TESSMOR_SIM_GEMM_FAULT", "nowrite:" + std::to_string(last_fp32_batch)}}, spot},
        {{{"TESSMOR_SIM_GEMM_FAULT", "nan"}}, "Nonfinite numerical result"},
        {{{"TESSMOR_SIM_GEMM_FAULT", "inf"}}, "Nonfinite numerical result"},
        {{{"TESSMOR_SIM_GEMM_FAULT", "guard-before"}}, "Output allocation guard modified"},
        {{{"TESSMOR_SIM_GEMM_FAULT", "guard-after"}}, "Output allocation guard modified"},
        {{{"TESSMOR_SIM_GEMM_FAULT", "wrong:" + std::to_string(all_launches + 1)}}, spot, {256, 256}, 2},
        // Memory that lost data during the run: no figure of it can be trusted.
        {{{"TESSMOR_SIM_DEVICE0_ECC_UNCORRECTED", "3"}}, "Uncorrected ECC errors during the run: 3", {256}, 2},
        // Faster than the GPU can be: launches that stop doing anything in the first timed batch, or a broken timer.
        {{{"TESSMOR_SIM_TFLOPS", "100"}, {"TESSMOR_SIM_FAIL", "cuLaunchKernel:20:0:1990"}}, "Impossible throughput: *"},
        {{{"TESSMOR_SIM_TFLOPS", "1e12"}},
         "Impossible throughput: 1.01804e+12 TFLOPS measured at N = 256 (FP16 accumulation), above the 170.312 TFLOPS "
         "this GPU can reach (84 SMs at 1800 MHz, NVML's maximum SM clock; 1024 FLOP per SM per cycle; plus 10 %)" + no_work},
        // Each accumulator is held to the bound; without NVML the driver names the clock.
        {hopper, "Impossible throughput: 1300 TFLOPS measured at N = 256 (FP16 accumulation), above the 1177.58 TFLOPS this "
                 "GPU can reach (132 SMs at 1980 MHz, NVML's maximum SM clock; 4096 FLOP per SM per cycle; plus 10 %)" + no_work},
        {{{"TESSMOR_SIM_TFLOPS_FP32", "200"}},
         "Impossible throughput: 200 TFLOPS measured at N = 256 (FP32 accumulation), above the 170.312 TFLOPS this GPU "
         "can reach (84 SMs at 1800 MHz, NVML's maximum SM clock; 1024 FLOP per SM per cycle; plus 10 %)" + no_work},
        {{{"TESSMOR_SIM_TFLOPS", "1e12"}, {"TESSMOR_SIM_NO_NVML", "1"}, {"TESSMOR_SIM_MISSING_EXPORT", "nvmlInit_v2"}},
         "Impossible throughput: 1.01804e+12 TFLOPS measured at N = 256 (FP16 accumulation), above the 170.312 TFLOPS "
         "this GPU can reach (84 SMs at 1800 MHz, the driver's clock rate attribute; 1024 FLOP per SM per cycle; plus "
         "10 %)" + no_work},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.env.empty() ? c.error : c.env.begin()->second);
        options.sizes = c.sizes;
        const Outcome o = Run(c.env);
        ExpectEnded(o, "failed", c.error);
        EXPECT_TRUE(o.result.cleanup_ok);
        EXPECT_EQ(o.result.rows.size(), c.rows);
    }
}

// Each driver entry point of a run fails, at its first call and at a call during the trials; the run's message, rows
// and the objects left alive. Where a call falls is read from the clean run's trace.
TEST_F(EngineFaults, EachFailingDriverCallEndsTheRunWithItsMessage) {
    struct Case {
        Call call;
        std::string error;
        std::size_t rows = 0;
        test::LiveCounts kept{0, 0, 0, 0, 0};
        const char* repeat = "1";  // how many calls fail
    };
    const std::string cleanup = " CUDA cleanup failed.";
    // Validation copies the checked elements one by one, then the two guard zones.
    const long elements = static_cast<long>(SamplePositions(256).size());
    const std::vector<Case> cases{
        {{"cuInit"}, Cuda("cuInit")}, {{"cuDeviceGetCount"}, Cuda("cuDeviceGetCount")},
        {{"cuDeviceGet"}, Cuda("cuDeviceGet")},
        {{"cuDeviceGetName"}, Cuda("cuDeviceGetName")}, {{"cuDeviceGetUuid"}, Cuda("cuDeviceGetUuid")},
        {{"cuDeviceGetAttribute"}, Cuda("cuDeviceGetAttribute")}, {{"cuDeviceGet", 1, -1, true}, Cuda("cuDeviceGet")},
        {{"cuCtxGetCurrent"}, Cuda("cuCtxGetCurrent")},
        {{"cuDevicePrimaryCtxRetain"}, Cuda("cuDevicePrimaryCtxRetain")},
        {{"cuCtxSetCurrent"}, Cuda("cuCtxSetCurrent")}, {{"cuStreamCreate"}, Cuda("cuStreamCreate")},
        {{"cuEventCreate"}, Cuda("cuEventCreate")}, {{"cuEventCreate", 1, -1, true}, Cuda("cuEventCreate")},
        {{"cuMemGetInfo_v2"}, Cuda("cuMemGetInfo")}, {{"cuMemAlloc_v2"}, Cuda("cuMemAlloc")},
        {{"cuMemAlloc_v2", 1, -1, true}, Cuda("cuMemAlloc")}, {{"cuMemcpyHtoD_v2"}, Cuda("input copy A")},
        {{"cuMemcpyHtoD_v2", 1, -1, true}, Cuda("input copy B")}, {{"cuMemsetD8_v2"}, Cuda("output initialization")},
        {{"cuMemsetD8_v2", 2}, Cuda("output initialization")},  // before the first checked batch
        {{"cuModuleLoadDataEx"}, Cuda("cuModuleLoadDataEx")}, {{"cuModuleLoadDataEx", 1, -1, true}, Cuda("cuModuleLoadDataEx")},
        {{"cuModuleGetFunction"}, Cuda("cuModuleGetFunction")},
        {{"cuFuncSetAttribute"}, Cuda("cuFuncSetAttribute")}, {{"cuLaunchKernel"}, Cuda("cuLaunchKernel")},
        {{"cuStreamSynchronize"}, Cuda("cuStreamSynchronize")}, {{"cuEventRecord"}, Cuda("event start")},
        {{"cuEventRecord", 2}, Cuda("event end")}, {{"cuEventSynchronize"}, Cuda("event synchronize")},
        {{"cuEventElapsedTime"}, Cuda("event elapsed")}, {{"cuMemcpyDtoH_v2"}, Cuda("validation copy")},
        {{"cuMemcpyDtoH_v2", elements + 1}, Cuda("guard copy")}, {{"cuMemcpyDtoH_v2", elements + 2}, Cuda("guard copy")},
        // After the rows: the size's release, then the final cleanup (the last cuCtxSetCurrent restores the previous
        // context).
        {{"cuMemFree_v2"}, Cuda("cuMemFree"), 2},
        {{"cuModuleUnload"}, Cuda("cuModuleUnload"), 2},
        {{"cuEventDestroy_v2"}, cleanup.substr(1), 2, {0, 0, 1, 0, 0}},
        {{"cuStreamDestroy_v2"}, cleanup.substr(1), 2, {0, 1, 0, 0, 0}},
        {{"cuDevicePrimaryCtxRelease_v2"}, cleanup.substr(1), 2, {1, 0, 0, 0, 0}},
        {{"cuCtxSetCurrent", 1, -1, true}, cleanup.substr(1), 2},
        {{"cuMemFree_v2", 2}, Cuda("cuMemFree") + cleanup, 2, {0, 0, 0, 2, 0}, ""},
        // During repetition 2 of 3 (no validation there) and 3.
        {{"cuEventRecord", 1, 1}, Cuda("event start")}, {{"cuEventRecord", 2, 1}, Cuda("event end")},
        {{"cuLaunchKernel", 1, 1}, Cuda("cuLaunchKernel")}, {{"cuEventSynchronize", 1, 1}, Cuda("event synchronize")},
        {{"cuEventElapsedTime", 1, 1}, Cuda("event elapsed")}, {{"cuMemcpyDtoH_v2", 1, 1}, Cuda("validation copy")},
        {{"cuMemcpyDtoH_v2", elements + 1, 1}, Cuda("guard copy")},
    };
    for (const Case& c : cases) {
        const long call = Number(c.call);
        SCOPED_TRACE(c.call.entry + ":" + std::to_string(call));
        const Outcome o = Run({{"TESSMOR_SIM_FAIL", c.call.entry + ":" + std::to_string(call) + ":999:" + c.repeat}});
        EXPECT_EQ(o.result.status, "failed");
        EXPECT_EQ(o.result.error, c.error);
        EXPECT_EQ(o.result.cleanup_ok, c.error.find("CUDA cleanup failed.") == std::string::npos);
        EXPECT_EQ(o.result.rows.size(), c.rows);
        EXPECT_GE(o.result.trials.size(), c.call.repetition >= 0 ? 2u : 0u);
        ExpectReportsOf(o);
        EXPECT_EQ(o.live.Held(), c.kept.Held());
    }
}

// Each occurrence of a size listed twice is summarised from its own trials; the simulated clock drops from the second
// occurrence's first reading on.
TEST_F(EngineRun, ASizeListedTwiceIsSummarisedPerOccurrence) {
    options.sizes = {256, 256};
    const Outcome o = Run({{"TESSMOR_SIM_NVML_CLOCK_DROP", "5:900"}});
    ExpectEnded(o, "completed", "");
    ASSERT_EQ(o.result.rows.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(o.result.rows[i].sm_clock_mhz, i < 2 ? 1800 : 900) << i;
        EXPECT_EQ(o.result.rows[i].checked_elements, 42) << i;
    }
}

// What NVML tells of the GPU's health reaches health.json and the reason lines; a reading whose entry point is missing
// or fails stays unknown and the run completes. The clock drops from the third of four trials' readings on.
TEST_F(EngineRun, TheGpusHealthAndTheReasonsItsClockFellAreRecorded) {
    const std::string held = "SM clock held back by ", unknown_board =
        "\"power_limit_w\":null,\"default_power_limit_w\":null,\"slowdown_temperature_c\":null,\"pcie\":{\"generation\":null";
    const Env power{{"TESSMOR_SIM_NVML_CLOCK_DROP", "3:1500"}, {"TESSMOR_SIM_CLOCK_REASONS", "power_cap"},
                    {"TESSMOR_SIM_DEVICE0_POWER_LIMIT_W", "250"}};
    struct Case {
        Env env;
        std::vector<std::string> notes;
        std::vector<std::string> in_health;
    };
    const std::vector<Case> cases{
        {power, {held + "the power cap in 2 of 4 trials (limit 250 W, default 300 W)"},
         {"\"reasons\":[]}", "\"reasons\":[\"power_cap\"]}", "\"after\":{\"violation_ns\":{\"power\":200000000,\"thermal\":0",
          "\"driver_version\":\"550.54.15\",\"vbios_version\":\"94.02.71.40.A5\",\"power_limit_w\":250,"
          "\"default_power_limit_w\":300,\"slowdown_temperature_c\":90",
          "\"remapped_rows\":{\"corrected\":0,\"uncorrected\":0,\"pending\":0,\"failure\":0},"
          "\"retired_pages\":{\"single_bit_ecc\":null", "\"uncorrected_ecc_during_run\":0", "\"power_cap\":2,"}},
        {{{"TESSMOR_SIM_DEVICE0_CLOCK_DROP", "1:1500"}, {"TESSMOR_SIM_DEVICE0_CLOCK_REASONS", "thermal+hw_slowdown+sync_boost+power_brake"},
          {"TESSMOR_SIM_DEVICE0_REMAPPED", "1:1"}, {"TESSMOR_SIM_DEVICE0_PCIE", "3:8"}},
         {held + "a hardware slowdown signal in 4 of 4 trials", held + "sync boost in 4 of 4 trials",
          held + "the temperature in 4 of 4 trials (slowdown at 90 \u00B0C)", held + "the power brake in 4 of 4 trials",
          "PCIe link x8 of x16 (gen 3 of 4)", "Row remapping failed: the GPU's memory needs service",
          "Row remapping pending: a GPU reset applies it"},
         {"\"reasons\":[\"hw_slowdown\",\"sync_boost\",\"thermal\",\"power_brake\"]",
          "\"thermal\":400000000,\"reliability\":0,\"board_limit\":400000000"}},
        // The older name of the reasons stands in; without either they are unknown, as are the other readings.
        {With(power, {{"TESSMOR_SIM_MISSING_EXPORT", "nvmlDeviceGetCurrentClocksEventReasons"}}),
         {held + "the power cap in 2 of 4 trials (limit 250 W, default 300 W)"}, {}},
        {With(power, {{"TESSMOR_SIM_DEVICE0_ECC_UNCORRECTED", "3"},
                      {"TESSMOR_SIM_MISSING_EXPORT", "nvmlDeviceGetCurrentClocksEventReasons,nvmlDeviceGetCurrentClocksThrottleReasons,"
                                                     "nvmlDeviceGetViolationStatus,nvmlDeviceGetRemappedRows,nvmlSystemGetDriverVersion"},
                      {"TESSMOR_SIM_FAIL", "nvmlDeviceGetTotalEccErrors:2,nvmlDeviceGetEnforcedPowerLimit,nvmlDeviceGetVbiosVersion,"
                                           "nvmlDeviceGetPowerManagementDefaultLimit,nvmlDeviceGetCurrPcieLinkGeneration,"
                                           "nvmlDeviceGetTemperatureThreshold"}}),
         {},
         {"\"reasons\":null}", "\"driver_version\":null,\"vbios_version\":null," + unknown_board,
          "\"violation_ns\":{\"power\":null", "\"ecc_volatile\":{\"corrected\":0,\"uncorrected\":null}",
          "\"retired_pages\":{\"single_bit_ecc\":0,\"double_bit_ecc\":0}", "\"uncorrected_ecc_during_run\":null",
          "\"trials_with_reasons\":0,\"reason_trials\":{\"gpu_idle\":null"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.notes.empty() ? "unknown" : c.notes.front());
        const Outcome o = Run(c.env);
        ExpectEnded(o, "completed", "");
        EXPECT_EQ(HealthNotes(o.result), c.notes);
        // The page says them too, and names the power cap beside each trial whose clock fell (from the third on).
        const std::string page = test::ReadFileBytes(ReportDir() / "report.html");
        EXPECT_EQ(page.find("<p class=\"note health\">SM clock held back by") != std::string::npos, !c.notes.empty());
        EXPECT_EQ(page.find("#3: SM clock held back by the power cap<") != std::string::npos, c.notes.size() == 1);
        std::string health = HealthDocument(o.result);
        std::erase(health, '\n');
        for (const std::string& part : c.in_health) EXPECT_NE(health.find(part), std::string::npos) << part << "\n" << health;
    }
}

// Seconds, not milliseconds: the run lasts at least the warm-up of both modes.
TEST_F(EngineRun, AWarmUpLastsItsSecondsForEachMode) {
    options.warmup_seconds = 0.05;
    const auto start = std::chrono::steady_clock::now();
    ExpectEnded(Run(), "completed", "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST_F(EngineRun, FailedReportWritesAreRecorded) {
    // Gone before the first row: that write fails, and so does the final one, which the error does not repeat.
    on_status = [&](const std::wstring& text) {
        if (Contains(text, L"Testing")) fs::remove_all(ReportDir());
    };
    Outcome o = Run();
    const std::string failed_twice = o.result.error;
    EXPECT_EQ(o.result.status, "failed");
    EXPECT_EQ(o.result.rows.size(), 1u);
    EXPECT_TRUE(o.rows_seen.empty());
    EXPECT_TRUE(o.live.AllZero());

    // Gone after the last row: only the final write fails.
    on_status = nullptr;
    on_row = [&](const Row& row) {
        if (!row.fp16_accumulate) fs::remove_all(ReportDir());
    };
    o = Run();
    EXPECT_EQ(o.result.status, "failed");
    EXPECT_TRUE(o.result.error.starts_with("Unable to write report files")) << o.result.error;
    EXPECT_EQ(failed_twice, o.result.error);
    EXPECT_TRUE(o.result.cleanup_ok);
    EXPECT_EQ(o.result.rows.size(), 2u);
}

// A stop takes effect at the next check point; the run then cleans up and reports "cancelled". What ran before it
// tells which check point saw it.
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
        stop = c.status == nullptr && !c.at_row;
        on_status = [&](const std::wstring& text) { stop = stop || Contains(text, c.status); };
        on_row = [&](const Row&) { stop = stop || c.at_row; };
        const Outcome o = Run();
        ExpectEnded(o, "cancelled", "Cancelled by user");
        EXPECT_TRUE(o.result.cleanup_ok);
        long launches = 6 * c.warmed_modes;  // three warm-up and three calibration launches per warmed mode
        for (const TrialRecord& t : o.result.trials) launches += t.gemms;
        EXPECT_EQ(std::tuple(Count(o.trace, "cuMemGetInfo_v2"), Count(o.trace, "cuMemAlloc_v2"), Count(o.trace, "cuModuleLoadDataEx"),
                             Count(o.trace, "cuLaunchKernel"), long(o.result.trials.size()), long(o.result.rows.size())),
                  std::tuple(c.prepared_sizes, c.allocations, c.load_calls, launches, c.trials, c.rows));
    }

    // At the last row the check after the last size still sees it; a stop followed by a failing cleanup is a failure
    // that names both.
    options.sizes = {256};
    stop = false;
    on_status = nullptr;
    on_row = [&](const Row& row) { stop = stop || !row.fp16_accumulate; };
    ExpectEnded(Run(), "cancelled", "Cancelled by user");
    stop = false;
    const Outcome o = Run({{"TESSMOR_SIM_FAIL", "cuStreamDestroy_v2"}});
    EXPECT_EQ(o.result.error, "Cancelled by user CUDA cleanup failed.");
    ExpectReportsOf(o);
}

}  // namespace
}  // namespace fpbench
