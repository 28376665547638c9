// The report files: their contents compared with text written out by hand, and WriteReports on a real file system
// (exact bytes on disk, replacement of earlier reports and its order, a file held open by a reader, and what is left
// behind when a step fails).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
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
#include "bench/number_format.h"
#include "report/documents.h"
#include "report/reports.h"
#include "report/display.h"
#include "report/text_format.h"
#include "report/sample_results.h"
#include "support/test_support.h"

namespace fpbench {
namespace {

using namespace fpbench::report_samples;
namespace fs = std::filesystem;


const std::string kSourceDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kSummaryHead =
    "\xEF\xBB\xBFN,accumulator,median_TFLOPS,min_TFLOPS,max_TFLOPS,median_ms,SM_clock_MHz,power_W,"
    "max_temp_C,validation,max_abs_error\r\n";
const std::string kTrialHead =
    "N,accumulator,repetition,order,gemms,batch_ms,ms_per_gemm,TFLOPS,SM_clock_MHz,power_mW,"
    "temperature_C\r\n";
// The documents below cover the common values; these are the boundaries.
TEST(NumberFormat, FollowsPrintfGeneralFormat) {
    for (const auto& [value, precision, text] :
         {std::tuple{0.0, 15, "0"}, {0.0001, 15, "0.0001"} /* exponent -4 stays fixed */, {-2.5e-7, 15, "-2.5e-07"},
          {123456789012345.0, 15, "123456789012345"}, {99999999999.5, 10, "1e+11"} /* rounding carries */})
        EXPECT_EQ(FormatGeneral(value, precision), text);
}

// Quote and backslash escaped, bytes below 0x20 as \u00xx, well-formed UTF-8 unchanged, and one U+FFFD for each
// ill-formed sequence: a character cut by the driver, stray bytes, an overlong form, a surrogate, beyond U+10FFFF.
TEST(JsonQuote, EscapesAndRepairsUtf8) {
    const std::string r = "\xEF\xBF\xBD";
    for (const auto& [raw, quoted] : std::initializer_list<std::pair<std::string, std::string>>{
             {"", "\"\""},
             {std::string("\x00\r\x1f\x7f/\"\\\xC3\xA9\xF0\x9F\x9A\x80", 13), "\"\\u0000\\u000d\\u001f\x7f/\\\"\\\\\xC3\xA9\xF0\x9F\x9A\x80\""},
             {"GPU \xE8\xAE", "\"GPU " + r + "\""},
             {"\xFF\xFE log", "\"" + r + r + " log\""},
             {"\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80", "\"" + r + r + r + r + r + r + r + r + r + "\""},
             {"\xE8\xAE\xBE\xE8\xAEx", "\"\xE8\xAE\xBE" + r + "x\""}})
        EXPECT_EQ(JsonQuote(raw), quoted) << raw;
}

// Outside text (a driver's device name, a folder, a message) can forge neither a terminal line, nor a spreadsheet
// formula, nor markup, and cannot reorder the text around it; text that is harmless stays as it is.
TEST(SafeText, NeutralisesWhatCouldForgeSomething) {
    const std::string rlo = "\xE2\x80\xAE", lri = "\xE2\x81\xA6", fsi = "\xE2\x81\xA8", pdi = "\xE2\x81\xA9";
    const std::string r = "\xEF\xBF\xBD";
    using Helper = std::string (*)(std::string_view);
    for (const auto& [helper, raw, safe] : std::initializer_list<std::tuple<Helper, std::string, std::string>>{
             {TerminalText, "Ger\xC3\xA4t\\\n\x1b[1m\x7f\xC2\x9B\xFF\xE8\xAE",
              "Ger\xC3\xA4t\\\\\\x0a\\x1b[1m\\x7f\\xc2\\x9b\\xff\\xe8\\xae"},
             {TerminalText, "\xD8\x9C\xE2\x80\x8E\xE2\x80\x8F\xE2\x80\xAA" + rlo + lri + pdi + " \xE2\x80\xAF\xE2\x80\x8D",
              "\\xd8\\x9c\\xe2\\x80\\x8e\\xe2\\x80\\x8f\\xe2\\x80\\xaa\\xe2\\x80\\xae\\xe2\\x81\\xa6\\xe2\\x81\\xa9"
              " \xE2\x80\xAF\xE2\x80\x8D"},
             {CsvText, "=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""}, {CsvText, "+1", "'+1"},
             {CsvText, "-2,3", "\"'-2,3\""}, {CsvText, "@A1", "'@A1"}, {CsvText, "\tx", "'\tx"},
             {CsvText, "\rx", "\"'\rx\""}, {CsvText, "GPU =1", "GPU =1"}, {CsvText, "", ""},
             {HtmlIsolated, "<b>" + rlo + "SSAP", "<bdi>&lt;b&gt;" + rlo + "SSAP</bdi>"},
             {HtmlIsolatedInline, "a" + pdi + "b" + lri + "&" + rlo, fsi + "a" + r + "b" + r + "&amp;" + rlo + pdi}})
        EXPECT_EQ(helper(raw), safe) << raw;
}

// The documents' layout, and the values whole runs produce, are those of the hand-written reports (tests/app/expected);
// here, the values such runs do not: zero readings, extreme numbers, failed checks, escapes, unknown telemetry.
TEST(ResultDocument, WritesEveryKindOfValue) {
    const std::string completed = ResultDocument(CompletedRun(), kSourceDigest);
    const std::string failed = ResultDocument(FailedRunWithoutTelemetry(), kSourceDigest);
    for (const auto& [document, part] : std::initializer_list<std::pair<const std::string&, std::string>>{
             {completed, "\"median_tflops\":1234.56789012345,"}, {completed, "\"max_tflops\":120,\"median_ms\":1e-05,"},
             {completed, "\"max_abs_error\":0.5,\"validation_passed\":false,\"guards_intact\":true,"},
             {completed, "\"sm_clock_mhz\":0,\"power_w\":0,\"temperature_c\":0,\"checked_elements\":21,"
                         "\"max_abs_error\":1.5e-300,\"validation_passed\":true,\"guards_intact\":false,"},
             {completed, "\"batch_ms\":1e+15,\"ms_per_gemm\":0.0001,\"tflops\":-1,\"sm_clock_mhz\":0,\"power_mw\":0,"},
             {failed, "\"error\":\"cuLaunchKernel: unspecified launch failure (719)\\u000asaid \\\"no\\\"\\u0009then \\\\ "
                      "and \\u0001\",\"cleanup_ok\":false,"},
             {failed, "\"name\":\"NVIDIA GeForce RTX 4090 \xE2\x80\x94 \xE6\xB5\x8B\xE8\xAF\x95\","},
             {failed, "\"sm_clock_mhz\":-1,\"power_w\":-1,\"temperature_c\":-1,"},
             {failed, "\"tflops\":392.7,\"sm_clock_mhz\":-1,\"power_mw\":-1,\"temperature_c\":-1}\n]}\n"}})
        EXPECT_NE(document.find(part), std::string::npos) << part;
}

// JSON has no infinity and no not-a-number: such numbers are null there and empty fields in the tables, as are the
// summary's unknown readings (any negative); zero readings are readings. Common values: the hand-written reports.
TEST(ReportFormats, NonFiniteNumbersAndUnknownReadings) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    RunResult result = FailedRunWithoutTelemetry();
    result.options.sample_ms = nan;
    result.options.warmup_seconds = -inf;
    result.rows.push_back(MakeRow(8192, false, inf, nan, 1, -inf, -1, nan, -1, inf, false, false, 'c'));
    result.rows.push_back(MakeRow(4096, false, 1, 1, 1, 1, -7, std::nan(""), -3, 0, true, true, 'f'));
    result.rows.push_back(CompletedRun().rows.back());  // zero readings are readings
    result.trials.push_back(MakeTrial(8192, true, 0, 0, 44, inf, nan, -inf, -1, -1, -1));
    const std::string document = ResultDocument(result, kSourceDigest);
    for (const char* member : {"\"sample_ms\":null,\"warmup_seconds\":null,",
                               "\"median_tflops\":null,\"min_tflops\":null,\"max_tflops\":1,\"median_ms\":null,",
                               "\"power_w\":null,", "\"max_abs_error\":null,",
                               "\"batch_ms\":null,\"ms_per_gemm\":null,\"tflops\":null,"})
        EXPECT_NE(document.find(member), std::string::npos) << member;
    EXPECT_EQ(SummaryTable(result.rows), kSummaryHead + "8192,fp16_acc,400.5,399.25,401.75,2.75,,,,PASS,0.25\r\n"
                                                        "8192,fp32_acc,,,1,,,,,FAIL,\r\n"
                                                        "4096,fp32_acc,1,1,1,1,,,,PASS,0\r\n"
                                                        "1024,fp32_acc,68,67.75,68.5,0.000123,0,0,0,PASS,1.5e-300\r\n");
    EXPECT_EQ(TrialTable(result.trials), kTrialHead + "8192,fp16_acc,0,0,44,121,2.75,399.8,-1,-1,-1\r\n"
                                                      "8192,fp32_acc,0,1,43,120.4,2.8,392.7,-1,-1,-1\r\n"
                                                      "8192,fp16_acc,0,0,44,,,,-1,-1,-1\r\n");
}

// What opening a file for writing where a folder stands gives.
#if defined(_WIN32)
constexpr int kFolderInTheWay = EACCES;
#else
constexpr int kFolderInTheWay = EISDIR;
#endif

std::vector<std::string> Entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The error of a write, else the files another program held, as "held: NAME>WRITTEN_AS ...".
std::string WriteError(RunResult result, const fs::path& folder, bool last = false) {
    result.options.report_dir = folder;
    try {
        std::string held;
        for (const HeldReport& file : WriteReports(result, last)) held += " " + file.name + ">" + file.written_as;
        return held.empty() ? "" : "held:" + held;
    } catch (const std::runtime_error& error) {
        return error.what();
    }
}

// The contents are checked against hand-written text elsewhere; here they must reach the disk unchanged.
void ExpectReportsOf(const RunResult& result, const fs::path& folder) {
    EXPECT_EQ(Entries(folder),
              (std::vector<std::string>{"health.json", "report.html", "result.json", "summary.csv", "trials.csv"}));
    EXPECT_EQ(test::ReadFileBytes(folder / "health.json"), HealthDocument(result));
    EXPECT_TRUE(test::IsJson(HealthDocument(result)));
    const std::string document = test::ReadFileBytes(folder / "result.json");
    EXPECT_EQ(document, ResultDocument(result, KernelSourceSha256));
    EXPECT_TRUE(test::IsJson(document));
    EXPECT_EQ(test::ReadFileBytes(folder / "summary.csv"), SummaryTable(result.rows));
    EXPECT_EQ(test::ReadFileBytes(folder / "trials.csv"), TrialTable(result.trials));
}

TEST(WriteReports, ReplacesEarlierReportsAndFailuresKeepThemAndLeaveNoTemporaryFile) {
    test::TempDir folder;
    EXPECT_EQ(WriteError(CompletedRun(), folder.path() / "deleted-run"),
              "Unable to write report files: " + std::generic_category().message(ENOENT));
    EXPECT_FALSE(fs::exists(folder.path() / "deleted-run"));
    EXPECT_EQ(WriteError(CompletedRun(), folder.path()), "");
    // A leftover of an interrupted write is no obstacle; nothing of the longer earlier files stays.
    test::WriteFileBytes(folder.path() / "trials.csv.tmp", "half a table");
    EXPECT_EQ(WriteError(FailedRunWithoutTelemetry(), folder.path()), "");
    ExpectReportsOf(FailedRunWithoutTelemetry(), folder.path());
    EXPECT_EQ(WriteError(CompletedRun(), folder.path()), "");
    // A non-empty folder where the summary's temporary file would go blocks that one file; the others opened and must
    // be cleaned up.
    fs::create_directories(folder.path() / "summary.csv.tmp" / "occupied");
    EXPECT_EQ(WriteError(FailedRunWithoutTelemetry(), folder.path()),
              "Unable to write report files: " + std::generic_category().message(kFolderInTheWay));
    fs::remove_all(folder.path() / "summary.csv.tmp");
    ExpectReportsOf(CompletedRun(), folder.path());

    // A table and the page that can be neither replaced nor rewritten (here folders of their names, as files another
    // program holds on Windows) stop nothing: every other file is brought up to date, and the last write puts their
    // final content beside them, the page naming both. Once the obstacle is gone, the next call repairs the reports.
    const RunResult failed = FailedRunWithoutTelemetry();
    for (const char* name : {"trials.csv", "report.html"})
        fs::remove(folder.path() / name), fs::create_directories(folder.path() / name / "occupied");
    EXPECT_EQ(WriteError(failed, folder.path()), "held: trials.csv> report.html>");
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "result.json"), ResultDocument(failed, KernelSourceSha256));
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "summary.csv"), SummaryTable(failed.rows));
    test::WriteFileBytes(folder.path() / "trials-2.csv", "taken");
    EXPECT_EQ(WriteError(failed, folder.path(), true), "held: trials.csv>trials-3.csv report.html>report-2.html");
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "trials-3.csv"), TrialTable(failed.trials));
    const std::string page = test::ReadFileBytes(folder.path() / "report-2.html");
    for (const char* held :
         {"trials.csv; its final content is in trials-3.csv<", "report.html; its final content is in report-2.html<"})
        EXPECT_NE(page.find(std::string("held by another program: ") + held), std::string::npos) << held;
    for (const char* name : {"trials.csv", "report.html", "trials-2.csv", "trials-3.csv", "report-2.html"})
        fs::remove_all(folder.path() / name);
    EXPECT_EQ(WriteError(failed, folder.path()), "");
    ExpectReportsOf(failed, folder.path());

    // After a write that failed for want of space, result.json alone keeps the final state; where even that fails,
    // no stale document stays.
    RunResult alone = CompletedRun();
    alone.options.report_dir = folder.path();
    EXPECT_TRUE(WriteDocumentOnly(alone));
    EXPECT_EQ(Entries(folder.path()), std::vector<std::string>{"result.json"});
    EXPECT_EQ(test::ReadFileBytes(folder.path() / "result.json"), ResultDocument(alone, KernelSourceSha256));
    fs::create_directories(folder.path() / "result.json.tmp" / "occupied");
    EXPECT_FALSE(WriteDocumentOnly(alone));
    EXPECT_EQ(Entries(folder.path()), std::vector<std::string>{"result.json.tmp"});
}

#if defined(_WIN32)
// With no reader in the way a rewrite replaces the file: a new file takes the name, the old one is never rewritten
// where a reader could find it half done.
TEST(WriteReports, ReplacesAFileNobodyHolds) {
    test::TempDir folder;
    const auto identity = [&] {
        HANDLE file = CreateFileW((folder.path() / "summary.csv").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        BY_HANDLE_FILE_INFORMATION info = {};
        GetFileInformationByHandle(file, &info);
        CloseHandle(file);
        return (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    };
    EXPECT_EQ(WriteError(CompletedRun(), folder.path()), "");
    const std::uint64_t first = identity();
    EXPECT_EQ(WriteError(FailedRunWithoutTelemetry(), folder.path()), "");
    EXPECT_NE(identity(), first);
}

// A reader that holds a file open for reading and writing, as an editor or a tail tool does, keeps it from being
// replaced; it is rewritten in place.
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
// A reader who finds N rows in the document finds them in the tables too: the document is the last file moved into
// place.
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
    EXPECT_EQ(moved, (std::vector<std::string>{"summary.csv", "trials.csv", "report.html", "health.json", "result.json"}));
}

// A full disk (here: a file-size limit) fails the write before anything is replaced; a leftover that points at a full
// device is removed, not used.
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
    EXPECT_EQ(error, "Report write failed: File too large");
    ExpectReportsOf(CompletedRun(), folder.path());
}
#endif

}  // namespace
}  // namespace fpbench
