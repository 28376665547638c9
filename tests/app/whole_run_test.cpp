// Whole runs that the headless program cannot produce, driven in-process
// through RunBenchmark on the simulated GPU and compared with hand-written
// reports: a run stopped from another thread, and a run whose last report
// write fails.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "bench/run_benchmark.h"
#include "expected_reports.h"
#include "test_support.h"

namespace fpbench {
namespace {

namespace fs = std::filesystem;

class WholeRun : public ::testing::Test {
protected:
    WholeRun() : live_env("TESSMOR_SIM_LIVE", (temp.path() / "live.json").string()) {
        options.sizes = {256, 1024};
        options.trials_per_mode = 2;
        options.sample_ms = 10;
        options.warmup_seconds = 0;
        options.report_dir = ReportDir();
    }
    fs::path ReportDir() const { return temp.path() / "run"; }

    RunResult Run(const std::function<void(const Row&)>& on_row) {
        RunResult result = RunBenchmark(options, stop, nullptr, on_row);
        const auto live = test::ReadLiveCounts(temp.path() / "live.json");
        EXPECT_TRUE(live && live->AllZero()) << "simulated objects outlived the run";
        return result;
    }

    test::TempDir temp;
    test::ScopedEnv live_env;
    RunOptions options;
    std::atomic<bool> stop{false};
};

// The stop comes from another thread once the first size's rows are out;
// the run notices it at the start of the next size.
TEST_F(WholeRun, StopFromAnotherThreadEndsCancelledWithCompleteReports) {
    const RunResult result = Run([&](const Row& row) {
        if (row.fp16_accumulate) return;
        std::thread([&] { stop = true; }).join();
    });
    EXPECT_EQ(result.status, "cancelled");
    EXPECT_EQ(result.error, "Cancelled by user");
    EXPECT_TRUE(result.cleanup_ok);
    EXPECT_TRUE(test::ReportsMatch(ReportDir(), "cancelled"));
}

// After the last row a directory takes the summary's place, so only the
// final write fails. The other two files still get the final state, the
// summary keeps what stands there, and no temporary file is left.
TEST_F(WholeRun, FailedFinalWriteFailsTheRunAndKeepsCompleteFiles) {
    options.sizes = {256};
    const RunResult result = Run([&](const Row& row) {
        if (row.fp16_accumulate) return;
        fs::remove(ReportDir() / "summary.csv");
        fs::create_directory(ReportDir() / "summary.csv");
        test::WriteFileBytes(ReportDir() / "summary.csv" / "kept", "kept");
    });
    EXPECT_EQ(result.status, "failed");
    EXPECT_EQ(result.error, "Report write failed");
    EXPECT_TRUE(result.cleanup_ok);
    EXPECT_EQ(result.rows.size(), 2u);
    EXPECT_TRUE(test::ReportsMatch(ReportDir(), "final_write_failed", {"summary.csv"}));
    EXPECT_EQ(test::ReadFileBytes(ReportDir() / "summary.csv" / "kept"), "kept");
}

}  // namespace
}  // namespace fpbench
