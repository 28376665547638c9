// What a caller gets from default-constructed run records: the run that the
// program performs when nothing is given on the command line.
#include <gtest/gtest.h>

#include "bench/records.h"

namespace fpbench {
namespace {

TEST(RunRecords, DefaultsDescribeTheStandardRun) {
    const RunOptions options;
    EXPECT_EQ(options.device, 0);
    EXPECT_EQ(options.trials_per_mode, 7);
    EXPECT_EQ(options.sample_ms, 120.0);
    EXPECT_EQ(options.warmup_seconds, 0.4);
    EXPECT_EQ(options.sizes, (std::vector<std::int32_t>{4096, 8192}));
    EXPECT_TRUE(options.report_dir.empty());

    // Unknown telemetry is -1 and nothing else; a row has not passed any check yet.
    const Row row;
    EXPECT_EQ(row.n, 0);
    EXPECT_EQ(row.sm_clock_mhz, -1);
    EXPECT_EQ(row.temperature_c, -1);
    EXPECT_EQ(row.power_w, -1.0);
    EXPECT_EQ(row.checked_elements, 0);
    EXPECT_TRUE(row.fp16_accumulate);
    EXPECT_FALSE(row.validation_passed);
    EXPECT_FALSE(row.guards_intact);
    EXPECT_EQ(row.median_tflops, 0.0);
    EXPECT_EQ(row.max_abs_error, 0.0);
    EXPECT_TRUE(row.cubin_sha256.empty());

    const TrialRecord trial;
    EXPECT_EQ(trial.sm_clock_mhz, -1);
    EXPECT_EQ(trial.power_mw, -1);
    EXPECT_EQ(trial.temperature_c, -1);
    EXPECT_EQ(trial.repetition, 0);
    EXPECT_EQ(trial.order, 0);

    const RunResult result;
    EXPECT_EQ(result.status, "running");
    EXPECT_FALSE(result.cleanup_ok);
    EXPECT_TRUE(result.error.empty() && result.started_utc.empty() && result.finished_utc.empty());
    EXPECT_TRUE(result.backend.empty());
    EXPECT_TRUE(result.device.name.empty() && result.device.uuid.empty());
    EXPECT_EQ(result.device.sm_count + result.device.major + result.device.minor, 0);
    EXPECT_EQ(result.options.sizes, options.sizes);
    EXPECT_TRUE(result.rows.empty() && result.trials.empty());

    EXPECT_STREQ(ModeName(true), "fp16_acc");
    EXPECT_STREQ(ModeName(false), "fp32_acc");
}

}  // namespace
}  // namespace fpbench
