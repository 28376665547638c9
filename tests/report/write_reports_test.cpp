// WriteReports on a real file system: exact bytes on disk, replacement of an
// earlier report, the order of the replacements, a file held open by a
// reader, and what is left behind when a step fails.
#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

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

std::string WriteError(RunResult result, const fs::path& folder) {
    result.options.report_dir = folder;
    try {
        WriteReports(result);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

// The contents are checked against hand-written text elsewhere; here they
// must reach the disk unchanged, and a rewrite must leave nothing of the
// longer earlier files.
void ExpectReportsOf(const RunResult& result, const fs::path& folder) {
    EXPECT_EQ(Entries(folder), (std::vector<std::string>{"report.html", "result.json", "summary.csv", "trials.csv"}));
    const std::string document = test::ReadFileBytes(folder / "result.json");
    EXPECT_EQ(document, ResultDocument(result, KernelSourceSha256));
    EXPECT_TRUE(test::IsJson(document));
    EXPECT_EQ(test::ReadFileBytes(folder / "summary.csv"), SummaryTable(result.rows));
    EXPECT_EQ(test::ReadFileBytes(folder / "trials.csv"), TrialTable(result.trials));
}

TEST(WriteReports, WritesEveryFileAndReplacesEarlierOnes) {
    test::TempDir folder;
    EXPECT_EQ(WriteError(CompletedRun(), folder.path()), "");
    // A leftover of an interrupted write is no obstacle.
    test::WriteFileBytes(folder.path() / "trials.csv.tmp", "half a table");
    EXPECT_EQ(WriteError(FailedRunWithoutTelemetry(), folder.path()), "");
    ExpectReportsOf(FailedRunWithoutTelemetry(), folder.path());
}

TEST(WriteReports, FailuresKeepTheEarlierReportsAndLeaveNoTemporaryFile) {
    test::TempDir folder;
    EXPECT_EQ(WriteError(CompletedRun(), folder.path() / "deleted-run"), "Unable to write report files");
    EXPECT_FALSE(fs::exists(folder.path() / "deleted-run"));

    EXPECT_EQ(WriteError(CompletedRun(), folder.path()), "");
    // A non-empty folder where the summary's temporary file would go blocks
    // that one file; the others opened and must be cleaned up.
    fs::create_directories(folder.path() / "summary.csv.tmp" / "occupied");
    EXPECT_EQ(WriteError(FailedRunWithoutTelemetry(), folder.path()), "Unable to write report files");
    fs::remove_all(folder.path() / "summary.csv.tmp");
    ExpectReportsOf(CompletedRun(), folder.path());

    // A folder named like the document can be neither replaced nor
    // rewritten; the files that can be brought up to date are.
    fs::remove(folder.path() / "result.json");
    fs::create_directories(folder.path() / "result.json" / "occupied");
    EXPECT_EQ(WriteError(FailedRunWithoutTelemetry(), folder.path()), "Report write failed");
    EXPECT_EQ(Entries(folder.path()), (std::vector<std::string>{"report.html", "result.json", "summary.csv", "trials.csv"}));
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "summary.csv"), SummaryTable(FailedRunWithoutTelemetry().rows));
    // Once the obstacle is gone, the next call repairs the reports.
    fs::remove_all(folder.path() / "result.json");
    EXPECT_EQ(WriteError(FailedRunWithoutTelemetry(), folder.path()), "");
    ExpectReportsOf(FailedRunWithoutTelemetry(), folder.path());
}

#if defined(_WIN32)
// A reader that holds a file open for reading and writing, as an editor or a
// tail tool does, keeps it from being replaced; it is rewritten in place.
TEST(WriteReports, FileHeldOpenByAReaderIsRewrittenInPlace) {
    test::TempDir folder;
    EXPECT_EQ(WriteError(CompletedRun(), folder.path()), "");
    for (const char* name : {"summary.csv", "result.json"}) {
        SCOPED_TRACE(name);
        HANDLE reader = CreateFileW((folder.path() / name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        EXPECT_EQ(WriteError(FailedRunWithoutTelemetry(), folder.path()), "");
        ExpectReportsOf(FailedRunWithoutTelemetry(), folder.path());
        CloseHandle(reader);
        EXPECT_EQ(WriteError(CompletedRun(), folder.path()), "");
    }
}
#else
// A reader who finds N rows in the document finds them in the tables too:
// the document is the last file moved into place.
TEST(WriteReports, TheDocumentIsReplacedLast) {
    test::TempDir folder;
    EXPECT_EQ(WriteError(CompletedRun(), folder.path()), "");
    const int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(inotify_add_watch(watch, folder.path().c_str(), IN_MOVED_TO), 0);
    EXPECT_EQ(WriteError(FailedRunWithoutTelemetry(), folder.path()), "");
    alignas(inotify_event) char buffer[4096];
    std::vector<std::string> moved;
    for (ssize_t got = read(watch, buffer, sizeof buffer), at = 0; got > 0 && at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        moved.emplace_back(event->name);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    close(watch);
    ExpectReportsOf(FailedRunWithoutTelemetry(), folder.path());
    EXPECT_EQ(moved, (std::vector<std::string>{"summary.csv", "trials.csv", "report.html", "result.json"}));
}

// A full disk (here: a file-size limit) fails the write before anything is
// replaced; a leftover that points at a full device is removed, not used.
TEST(WriteReports, FailedWritesKeepEarlierReports) {
    test::TempDir folder;
    EXPECT_EQ(WriteError(CompletedRun(), folder.path()), "");
    fs::create_symlink("/dev/full", folder.path() / "result.json.tmp");
    EXPECT_EQ(WriteError(CompletedRun(), folder.path()), "");

    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = previous;
    small.rlim_cur = 200;
    setrlimit(RLIMIT_FSIZE, &small);
    const std::string error = WriteError(FailedRunWithoutTelemetry(), folder.path());
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(error, "Report write failed");
    ExpectReportsOf(CompletedRun(), folder.path());
}
#endif

}  // namespace
}  // namespace fpbench
