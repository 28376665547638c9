// The programs themselves on the simulated GPU: tessmor-bench on Linux, TessmorBench.exe under Wine. Whole headless
// runs against hand-written reports, exit codes, and where an error ends up: stderr on Linux, the error box on
// Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "bench/kernel_catalogue.h"
#include "platform/platform.h"
#include "test_support.h"

namespace fpbench {
namespace {

namespace fs = std::filesystem;

// What one start of the program left behind.
struct Outcome {
    int exit_code = -1;
    std::string out, err;            // Linux: the program's stdout and stderr
    std::optional<std::string> box;  // Windows: the text of the error box it showed
    bool box_has_error_icon = false;
};

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

fs::path ProgramPath() { return test::BuildProgram(test::kProgramName); }

// The hand-written reports in tests/app/expected/<case>, with placeholders for the time stamps and digests. Their
// numbers follow from the simulated GPU's defaults (100 and 50 TFLOPS, 1800 MHz, 250 W, 65 °C): each launch advances
// the stream's clock by 2·N³ / (TFLOPS·10¹²) s, the elapsed time is rounded to float, and with no warm-up time each
// mode warms up with exactly three launches, so every rounding is fixed.
void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

std::string Stamp(const std::string& document, const std::string& key) {
    std::smatch match;
    const std::regex member("\"" + key + R"(":"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)\")");
    return std::regex_search(document, match, member) ? match[1].str() : "";
}

std::set<std::string> Names(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& file : fs::directory_iterator(folder, error)) names.insert(file.path().filename().string());
    return names;
}

// Every expected file byte for byte, result.json valid JSON, the page present, no other file.
::testing::AssertionResult ReportsMatch(const fs::path& report_dir, const std::string& expected_case) {
    const fs::path expected_dir = fs::path(TESSMOR_EXPECTED_DIR) / expected_case;
    std::set<std::string> expected_names = Names(expected_dir);
    expected_names.insert("report.html");  // checked by its own tests
    if (Names(report_dir) != expected_names) return ::testing::AssertionFailure() << "the report folder holds other files";

    const std::string document = test::ReadFileBytes(report_dir / "result.json");
    if (!test::IsJson(document)) return ::testing::AssertionFailure() << "result.json is not JSON";
    const std::string started = Stamp(document, "started_utc"), finished = Stamp(document, "finished_utc");
    if (started.empty() || finished.empty() || finished < started)
        return ::testing::AssertionFailure() << "time stamps " << started << " .. " << finished;
    for (const auto& file : fs::directory_iterator(expected_dir)) {
        std::string expected = test::ReadFileBytes(file.path());
        ReplaceAll(expected, "@STARTED_UTC@", started);
        ReplaceAll(expected, "@FINISHED_UTC@", finished);
        ReplaceAll(expected, "@KERNEL_SOURCE_SHA256@", KernelSourceSha256);
        for (const KernelEntry& entry : KernelCatalogue())
            ReplaceAll(expected, "@CUBIN_" + std::to_string(entry.n) + (entry.fp16_accumulate ? "_FP16@" : "_FP32@"),
                       entry.sha256);
        const std::string actual = test::ReadFileBytes(report_dir / file.path().filename());
        if (actual == expected) continue;
        // The first differing line is what a reader needs.
        std::size_t at = 0;
        while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
        const std::size_t from = at == 0 ? 0 : expected.rfind('\n', at - 1) + 1;
        return ::testing::AssertionFailure() << file.path().filename().string() << " differs at byte " << at
                                             << "\n  expected: " << expected.substr(from, expected.find('\n', at) - from)
                                             << "\n  actual:   " << actual.substr(from, actual.find('\n', at) - from);
    }
    return ::testing::AssertionSuccess();
}


#if defined(_WIN32)
// Whether the icon control shows the error icon, told by its pixels (under Wine every process has handles of its own
// for the same stock icon): the error icon is drawn mostly in red, the others yellow or blue.
bool ShowsErrorIcon(HWND icon) {
    RECT area = {};
    GetWindowRect(icon, &area);
    HDC screen = GetDC(nullptr);
    int red = 0, coloured = 0;
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            const COLORREF c = GetPixel(screen, x, y);
            const int r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
            if (std::max({r, g, b}) - std::min({r, g, b}) < 60) continue;  // grey, white, black
            ++coloured;
            red += r > 2 * g && r > 2 * b;
        }
    }
    ReleaseDC(nullptr, screen);
    return coloured > 20 && red * 2 > coloured;
}

// Reads the box "Tessmor Bench" that the program shows and presses OK; the program certainly shows it or ends.
void AnswerBox(Outcome& outcome, test::ChildProcess& program) {
    HWND box = nullptr, text = nullptr, icon = nullptr;
    while (!(box = FindWindowW(L"#32770", L"Tessmor Bench")) || !IsWindowVisible(box)) {
        if (program.Wait(50)) return;  // it ended without one
    }
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child)) icon = child;
        if (GetDlgCtrlID(child) == 0xFFFF) text = child;
    }
    std::wstring message(4096, L'\0');
    message.resize(static_cast<std::size_t>(GetWindowTextW(text, message.data(), 4096)));
    outcome.box = platform::Utf8FromWide(message);
    // The box may become visible before its icon is painted.
    for (int attempt = 0; attempt < 100 && icon != nullptr && !outcome.box_has_error_icon; ++attempt, Sleep(100))
        outcome.box_has_error_icon = ShowsErrorIcon(icon);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
}

#endif

Outcome RunProgram(const std::vector<std::string>& arguments, const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv{ProgramPath().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    test::ChildProcess program(argv, env);
    Outcome outcome;
#if defined(_WIN32)
    AnswerBox(outcome, program);
    outcome.exit_code = program.Wait(60000).value_or(-1);
#else
    outcome.exit_code = program.Wait().value_or(-1);
    outcome.out = program.Out();
    outcome.err = program.Err();
#endif
    return outcome;
}

// Hides the simulated driver from the child; on Linux the test's own library path must not reach it either.
const std::vector<std::string> kNoDriver{"TESSMOR_SIM_NO_DRIVER=1", "LD_LIBRARY_PATH="};

// The single place an escaping error goes: the box on Windows, one line on stderr on Linux.
void ExpectErrorBox(const Outcome& outcome, const std::string& message) {
    EXPECT_EQ(outcome.exit_code, 1);
#if defined(_WIN32)
    EXPECT_EQ(outcome.box.value_or("(no box)"), message);
    EXPECT_TRUE(outcome.box_has_error_icon) << "the box lacks the error icon";
#else
    EXPECT_EQ(outcome.err, message + "\n");
    EXPECT_EQ(outcome.out, "");
#endif
}

// A headless run reports its failure in its result, never in a box; on Linux its closing lines say how it ended and,
// when it made its folder, where its reports are.
void ExpectRunEnd(const Outcome& outcome, int exit_code, std::vector<std::string> last_lines, const fs::path& dir = {}) {
    if (!dir.empty()) last_lines.insert(last_lines.end(), {"reports: " + Utf8(dir), "page: " + Utf8(dir / "report.html")});
    EXPECT_EQ(outcome.exit_code, exit_code);
    EXPECT_FALSE(outcome.box.has_value()) << "unexpected box: " << outcome.box.value_or("");
#if !defined(_WIN32)
    EXPECT_EQ(outcome.out, "");
    const auto lines = Lines(outcome.err);
    ASSERT_GE(lines.size(), last_lines.size()) << outcome.err;
    EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(last_lines.size()), lines.end()), last_lines);
#else
    (void)last_lines;
#endif
}

class Program : public ::testing::Test {
protected:
    std::string LiveEnv() const { return "TESSMOR_SIM_LIVE=" + (temp.path() / "live.json").string(); }
    void ExpectNothingLeftOnTheGpu() const {
        const auto live = test::ReadLiveCounts(temp.path() / "live.json");
        ASSERT_TRUE(live) << "the simulator wrote no counts";
        EXPECT_TRUE(live->AllZero()) << "simulated objects outlived the run";
    }
    test::TempDir temp;
};

TEST_F(Program, CompletedRunWritesTheExpectedReportsAndExitsZero) {
    // A space and non-ASCII text in the path: quoting and wide paths from the command line to the files.
    const fs::path dir = temp.path() / fs::path(u8"\u62a5\u544a run");
    const Outcome outcome = RunProgram({"--headless", "--output", Utf8(dir), "--sizes", "256,1024", "--trials", "2",
                                        "--sample-ms", "10", "--warmup-seconds", "0"},
                                       {LiveEnv()});
    ExpectRunEnd(outcome, 0, {"status: completed"}, dir);
    EXPECT_TRUE(ReportsMatch(dir, "completed"));
    ExpectNothingLeftOnTheGpu();
    // Progress as it comes, then a line per row.
    EXPECT_TRUE(sizeof(wchar_t) == 2 || outcome.err.starts_with("\xe5\x87\x86\xe5\xa4\x87\xe7\x9f\xa9\xe9\x98\xb5 / Preparing matrices: 256\n"));
}

// Without --output the run gets a folder of its own under "Reports" beside the program, named after its start time;
// the driver's absence is the run's error, in its reports, with the default options. On Linux a start without
// arguments is that same headless run.
TEST_F(Program, RunWithoutDriverFailsIntoAFreshRunFolderBesideTheProgram) {
    const fs::path root = ProgramPath().parent_path() / "Reports";
    std::set<fs::path> before;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(root, ignored)) before.insert(entry.path());
#if defined(_WIN32)
    const Outcome outcome = RunProgram({"--headless"}, kNoDriver);
#else
    const Outcome outcome = RunProgram({}, kNoDriver);
#endif
    // Other suites may start runs under the same root meanwhile; this run's is the new one with the driver's message.
    std::vector<fs::path> created;
    for (const auto& entry : fs::directory_iterator(root, ignored)) {
        const fs::path document = entry.path() / "result.json";
        if (before.count(entry.path()) == 0 && fs::is_regular_file(document) &&
            test::ReadFileBytes(document).find("NVIDIA CUDA driver not found") != std::string::npos)
            created.push_back(entry.path());
    }
    ASSERT_EQ(created.size(), 1u) << "run folders made under " << root.string();
    const fs::path dir = created.front();
    ExpectRunEnd(outcome, 1, {"status: failed (NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.)"}, dir);
    EXPECT_TRUE(ReportsMatch(dir, "no_driver"));

    // Named from the clock that started_utc reads a moment later: 2026-12-05T13-29-23-123Z for 13:29:23.123Z.
    std::string started = test::ReadFileBytes(dir / "result.json");
    started = std::regex_replace(started.substr(started.find("\"started_utc\":\"") + 15, 24), std::regex("[:.]"), "-");
    EXPECT_TRUE(std::regex_match(dir.filename().string(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d-\d\d-\d\d-\d{3}Z)")));
    EXPECT_LE(dir.filename().string(), started);
    fs::remove_all(dir, ignored);
}

// Rejected by the option checks or because the folder exists: exit 1, no box, nothing created or written, and no
// "reports:" line that would point at an earlier run's folder.
TEST_F(Program, RejectedRunsWriteNothingAndExitOne) {
    const std::string range = "Use 1..50 trials and 10..1000 ms per sample";
    const fs::path fresh = temp.path() / "fresh", existing = temp.path() / "existing";
    fs::create_directory(existing);
    test::WriteFileBytes(existing / "result.json", "{}");
    const struct {
        std::vector<std::string> arguments;
        std::string error;
    } cases[] = {{{"--trials", "0"}, range},
                 {{"--warmup-seconds", "600.5"}, "Use a warm-up of at most 600 seconds"},
                 {{"--output", existing.string()}, "Report directory already exists; choose a fresh directory"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        std::vector<std::string> arguments{"--headless", "--output", fresh.string(), "--sizes", "256"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const Outcome outcome = RunProgram(arguments);
        ExpectRunEnd(outcome, 1, {"status: failed (" + c.error + ")"});
        EXPECT_TRUE(sizeof(wchar_t) == 2 || Lines(outcome.err).size() == 1);
        EXPECT_FALSE(fs::exists(fresh));
        EXPECT_EQ(test::ReadFileBytes(existing / "result.json"), "{}");
    }
}

// Arguments that cannot be read end in one message and exit code 1, and no run starts.
TEST_F(Program, BadArgumentsEndInTheErrorBox) {
    const fs::path fresh = temp.path() / "fresh";
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"--headless", "--output", fresh.string(), "--trials", "x5"}, "invalid stoi argument"},
        {{"--headless", "--warmup-seconds", "1e400"}, "stod argument out of range"},
        {{"--headless", "--gr\xc3\xb6\xc3\x9f" "e"}, "Unknown argument: --gr\xc3\xb6\xc3\x9f" "e"},
        {{"--trials"}, "Missing argument"},  // in the window road as well
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        ExpectErrorBox(RunProgram(c.arguments), c.message);
        EXPECT_FALSE(fs::exists(fresh));
    }
}

#if !defined(_WIN32)
// The Linux program's own options; what it writes to stdout must arrive, so a full disk is exit code 1.
TEST(LinuxProgram, ListsDevicesAndExplainsItself) {
    const std::string program = ProgramPath().string();
    const test::ProcessResult listed = test::RunWithSim(
        {program, "--list-devices"}, {"TESSMOR_SIM_DEVICES=2", "TESSMOR_SIM_DEVICE1_NAME=Ger\xc3\xa4t \xe8\xae\xbe\xe5\xa4\x87",
                                      "TESSMOR_SIM_DEVICE1_CC=7.5", "TESSMOR_SIM_DEVICE1_SM=40"});
    EXPECT_EQ(listed.exit_code, 0);
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(listed.out,
              "0: Tessmor Simulated GPU | GPU-0a1b2c3d-4e5f-7081-92a3-b4c5d6e7f800 | 84 SMs | compute capability 8.6 "
              "| supported\n"
              "1: Ger\xc3\xa4t \xe8\xae\xbe\xe5\xa4\x87 | GPU-0a1b2c3d-4e5f-7081-92a3-b4c5d6e7f801 | 40 SMs | compute "
              "capability 7.5 | not supported (needs 8.6 or newer)\n");
    const test::ProcessResult missing = test::RunWithSim({program, "--list-devices"}, kNoDriver);
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.err, "NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.\n");

    const test::ProcessResult help = test::RunWithSim({program, "--help"});
    EXPECT_EQ(help.exit_code, 0);
    for (const char* part : {"--sizes N,...", "1..50 (default 7)", "10..1000 (default 120)", "at most 600",
                             "(default 0.4)", "(default 0)", "must not exist yet", "TessmorBench/Reports",
                             "report.html", "SIGINT", "Exit codes: 0"})
        EXPECT_NE(help.out.find(part), std::string::npos) << part;
    const test::ProcessResult version = test::RunWithSim({program, "--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("Tessmor Bench 1\\.0\nkernel source SHA-256 [0-9a-f]{64}\n")));

    for (const char* option : {"--list-devices", "--help", "--version"}) {
        const test::ProcessResult full = test::RunWithSim({"/bin/sh", "-c", program + " " + option + " > /dev/full"});
        EXPECT_EQ(full.exit_code, 1) << option;
        EXPECT_EQ(full.err, "Unable to write to standard output\n") << option;
    }
}

// A signal stops the run at its next check point: "cancelled", complete reports, exit code 1. The simulated driver
// raises it at the second size's memory query, after the first size's rows. A second signal ends the program at once.
TEST_F(Program, SignalsStopTheRunWithCompleteReports) {
    const auto run = [&](const fs::path& dir, const std::string& signals) {
        return RunProgram({"--output", dir.string(), "--sizes", "256,1024", "--trials", "2", "--sample-ms", "10",
                           "--warmup-seconds", "0"},
                          {LiveEnv(), "TESSMOR_SIM_SIGNAL=" + signals});
    };
    for (const std::string signal : {"2", "15", "1"}) {
        const fs::path dir = temp.path() / ("run" + signal);
        ExpectRunEnd(run(dir, "cuMemGetInfo_v2:2:" + signal), 1, {"status: cancelled (Cancelled by user)"}, dir);
        EXPECT_TRUE(ReportsMatch(dir, "cancelled")) << signal;
        ExpectNothingLeftOnTheGpu();
    }
    const fs::path dir = temp.path() / "twice";
    EXPECT_EQ(run(dir, "cuMemGetInfo_v2:2:2,cuStreamDestroy_v2:1:2").exit_code, 128 + 2);
    const std::string document = test::ReadFileBytes(dir / "result.json");
    EXPECT_TRUE(test::IsJson(document));
    EXPECT_NE(document.find("\"status\":\"running\""), std::string::npos);
}

// --output is used byte for byte, also where it is not UTF-8; the closing table, and a line when the SM clock fell.
TEST_F(Program, OutputPathBytesAndAClockDropReachTheUser) {
    const fs::path dir = temp.path() / "bad\xff\xfe name";
    const Outcome outcome = RunProgram({"--output", dir.string(), "--sizes", "256", "--trials", "7", "--sample-ms", "10",
                                        "--warmup-seconds", "0"},
                                       {"TESSMOR_SIM_NVML_CLOCK_DROP=12:1500"});
    ExpectRunEnd(outcome, 0,
                 {"  N  Accum.  Median TFLOPS    Noise  Min TFLOPS  Max TFLOPS  ms per GEMM  Check",
                  "256  FP16           100.00  \u00b1 0.0 %      100.00      100.00    0.0003355  PASS",
                  "256  FP32            50.00  \u00b1 0.0 %       50.00       50.00    0.0006711  PASS",
                  "SM clock below 90 % of its peak in 3 of 14 trials: the GPU may have throttled", "status: completed"},
                 dir);
    EXPECT_TRUE(test::IsJson(test::ReadFileBytes(dir / "result.json")));
}
#endif

}  // namespace
}  // namespace fpbench
