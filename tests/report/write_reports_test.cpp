// WriteReports on a real file system: exact bytes on disk, replacement of an
// earlier report, and what is left behind when a step fails.
#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bench/kernel_catalogue.h"
#include "report/reports.h"
#include "report/sample_results.h"
#include "support/test_support.h"

namespace fpbench {
namespace {

using namespace fpbench::report_samples;
namespace fs = std::filesystem;

std::vector<std::string> Entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string WriteError(const RunResult& result) {
    try {
        WriteReports(result);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no error";
}

RunResult Into(RunResult result, const fs::path& folder) {
    result.options.report_dir = folder;
    return result;
}

const std::vector<std::string> kReportNames{"result.json", "summary.csv", "trials.csv"};

// The contents themselves are checked against hand-written text elsewhere;
// here they must reach the disk unchanged (no line-end translation), and a
// rewrite must leave nothing of the longer earlier files.
TEST(WriteReports, WritesTheThreeFilesAndReplacesEarlierOnes) {
    test::TempDir folder;
    WriteReports(Into(CompletedRun(), folder.path()));
    const RunResult result = Into(FailedRunWithoutTelemetry(), folder.path());
    WriteReports(result);

    EXPECT_EQ(Entries(folder.path()), kReportNames);
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "result.json"), ResultDocument(result, KernelSourceSha256));
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "summary.csv"), SummaryTable(result.rows));
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "trials.csv"), TrialTable(result.trials));
}

TEST(WriteReports, MissingFolderIsReportedAndNotCreated) {
    test::TempDir folder;
    const fs::path gone = folder.path() / "deleted-run";
    EXPECT_EQ(WriteError(Into(CompletedRun(), gone)), "Unable to write report files");
    EXPECT_FALSE(fs::exists(gone));
}

TEST(WriteReports, FileThatCannotBeCreatedKeepsEarlierReports) {
    test::TempDir folder;
    WriteReports(Into(CompletedRun(), folder.path()));
    const std::string earlier_document = test::ReadFileBytes(folder.path() / "result.json");
    const std::string earlier_trials = test::ReadFileBytes(folder.path() / "trials.csv");
    // A folder where the summary's temporary file would go blocks that one
    // file only; the other two open and must be cleaned up.
    fs::create_directory(folder.path() / "summary.csv.tmp");

    EXPECT_EQ(WriteError(Into(FailedBeforeDevice(), folder.path())), "Unable to write report files");
    EXPECT_EQ(Entries(folder.path()),
              (std::vector<std::string>{"result.json", "summary.csv", "summary.csv.tmp", "trials.csv"}));
    EXPECT_TRUE(fs::is_directory(folder.path() / "summary.csv.tmp"));
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "result.json"), earlier_document);
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "trials.csv"), earlier_trials);
}

TEST(WriteReports, FailedReplacementLeavesNoTemporaryFile) {
    test::TempDir folder;
    // A non-empty folder named like the document cannot be replaced by a file.
    fs::create_directories(folder.path() / "result.json" / "occupied");
    const RunResult result = Into(CompletedRun(), folder.path());

    EXPECT_EQ(WriteError(result), "Report write failed");
    EXPECT_EQ(Entries(folder.path()), kReportNames);
    EXPECT_TRUE(fs::is_directory(folder.path() / "result.json"));
    // The tables that could be brought up to date were.
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "summary.csv"), SummaryTable(result.rows));
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "trials.csv"), TrialTable(result.trials));

    // Once the obstacle is gone, the next call repairs the reports.
    fs::remove_all(folder.path() / "result.json");
    WriteReports(result);
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "result.json"), ResultDocument(result, KernelSourceSha256));
}

#ifndef _WIN32
TEST(WriteReports, FullDiskKeepsEarlierReports) {
    test::TempDir folder;
    WriteReports(Into(CompletedRun(), folder.path()));
    const std::string earlier_document = test::ReadFileBytes(folder.path() / "result.json");
    const std::string earlier_summary = test::ReadFileBytes(folder.path() / "summary.csv");
    // Every write to /dev/full fails with "no space left on device".
    fs::create_symlink("/dev/full", folder.path() / "result.json.tmp");

    EXPECT_EQ(WriteError(Into(FailedRunWithoutTelemetry(), folder.path())), "Report write failed");
    EXPECT_EQ(Entries(folder.path()), kReportNames);
    ASSERT_FALSE(fs::is_symlink(folder.path() / "result.json"));
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "result.json"), earlier_document);
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "summary.csv"), earlier_summary);
}
#endif

}  // namespace
}  // namespace fpbench
