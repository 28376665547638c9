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
void ExpectReportsMatch(const fs::path& report_dir, const std::string& expected_case) {
    const fs::path expected_dir = fs::path(TESSMOR_EXPECTED_DIR) / expected_case;
    std::set<std::string> expected_names = Names(expected_dir);
    expected_names.insert({"report.html", "health.json"});  // checked by their own tests
    EXPECT_EQ(Names(report_dir), expected_names);
    const std::string document = test::ReadFileBytes(report_dir / "result.json");
    EXPECT_TRUE(test::IsJson(document));
    const std::string started = Stamp(document, "started_utc"), finished = Stamp(document, "finished_utc");
    EXPECT_LE(started, finished);
    for (const auto& file : fs::directory_iterator(expected_dir)) {
        std::string expected = test::ReadFileBytes(file.path());
        ReplaceAll(expected, "@STARTED_UTC@", started);
        ReplaceAll(expected, "@FINISHED_UTC@", finished);
        ReplaceAll(expected, "@KERNEL_SOURCE_SHA256@", KernelSourceSha256);
        for (const KernelEntry& entry : KernelCatalogue())
            ReplaceAll(expected, "@CUBIN_" + std::to_string(entry.n) + (entry.fp16_accumulate ? "_FP16@" : "_FP32@"),
                       entry.sha256);
        EXPECT_EQ(test::ReadFileBytes(report_dir / file.path().filename()), expected) << file.path().filename();
    }
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

// The program under test, or a copy of it in a folder of its own (so that the "Reports" beside it is the test's).
Outcome RunProgram(const std::vector<std::string>& arguments, const std::vector<std::string>& env = {},
                   const fs::path& program = ProgramPath(), bool stderr_gone = false) {
    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    test::ChildProcess child(argv, env, stderr_gone);
    Outcome outcome;
#if defined(_WIN32)
    AnswerBox(outcome, child);
    outcome.exit_code = child.Wait(60000).value_or(-1);
#else
    outcome.exit_code = child.Wait().value_or(-1);
    outcome.out = child.Out();
    outcome.err = child.Err();
#endif
    return outcome;
}

// Hides the simulated driver from the child; on Linux the test's own library path must not reach it either.
const std::vector<std::string> kNoDriver{"TESSMOR_SIM_NO_DRIVER=1", "LD_LIBRARY_PATH="};
// `head`, then a short run of the given sizes and trials.
std::vector<std::string> Quick(std::vector<std::string> head, const std::string& sizes = "256", const std::string& trials = "2") {
    head.insert(head.end(), {"--sizes", sizes, "--trials", trials, "--sample-ms", "10", "--warmup-seconds", "0"});
    return head;
}

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

std::string Status(const fs::path& dir) {
    std::smatch match;
    const std::string document = test::ReadFileBytes(dir / "result.json");
    return std::regex_search(document, match, std::regex("\"status\":\"([a-z]*)\"")) ? match[1].str() : "(none)";
}

class Program : public ::testing::Test {
protected:
    std::string LiveEnv() const { return "TESSMOR_SIM_LIVE=" + (temp.path() / "live.json").string(); }
    void ExpectNothingLeftOnTheGpu() const {
        const auto live = test::ReadLiveCounts(temp.path() / "live.json");
        ASSERT_TRUE(live) << "the simulator wrote no counts";
        EXPECT_TRUE(live->AllZero()) << "simulated objects outlived the run";
    }
    // A copy of the program in a folder of its own, whose "Reports" only this test sees.
    fs::path Private() {
        const fs::path copy = temp.path() / "bin" / ProgramPath().filename();
        fs::create_directories(copy.parent_path());
        if (!fs::exists(copy)) fs::copy_file(ProgramPath(), copy);
        return copy;
    }
    test::TempDir temp;
};

TEST_F(Program, CompletedRunWritesTheExpectedReportsAndExitsZero) {
    // A space and non-ASCII text in the path: quoting and wide paths from the command line to the files.
    const fs::path dir = temp.path() / fs::path(u8"\u62a5\u544a run");
    const Outcome outcome = RunProgram(Quick({"--headless", "--output", Utf8(dir)}, "256,1024"), {LiveEnv()});
    ExpectRunEnd(outcome, 0, {"status: completed"}, dir);
    ExpectReportsMatch(dir, "completed");
    ExpectNothingLeftOnTheGpu();
    // Progress as it comes, then a line per row.
    EXPECT_TRUE(sizeof(wchar_t) == 2 || outcome.err.starts_with("\xe5\x87\x86\xe5\xa4\x87\xe7\x9f\xa9\xe9\x98\xb5 / Preparing matrices: 256\n"));
}

// Without --output the run gets a folder of its own under "Reports" beside the program, named after its start time;
// the driver's absence is the run's error, in its reports, with the default options. On Linux a start without
// arguments is that same headless run.
TEST_F(Program, RunWithoutDriverFailsIntoAFreshRunFolderBesideTheProgram) {
#if defined(_WIN32)
    const Outcome outcome = RunProgram({"--headless"}, kNoDriver, Private());
#else
    const Outcome outcome = RunProgram({}, kNoDriver, Private());
#endif
    std::vector<fs::path> created;
    for (const auto& entry : fs::directory_iterator(temp.path() / "bin" / "Reports")) created.push_back(entry.path());
    ASSERT_EQ(created.size(), 1u);
    const fs::path dir = created.front();
    ExpectRunEnd(outcome, 1, {"status: failed (NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.)"}, dir);
    ExpectReportsMatch(dir, "no_driver");

    // Named from the clock that started_utc reads a moment later: 2026-12-05T13-29-23-123Z for 13:29:23.123Z.
    const std::string started = std::regex_replace(Stamp(test::ReadFileBytes(dir / "result.json"), "started_utc"), std::regex("[:.]"), "-");
    EXPECT_EQ(dir.filename().string().size(), started.size());
    EXPECT_LE(dir.filename().string(), started);
}

// What cannot run is refused before anything exists: exit 1, no box, no folder (not even "Reports" beside the
// program), nothing measured, and no "reports:" line that would point at an earlier run's folder.
TEST_F(Program, RefusedRunsCreateNothingAndExitOne) {
    const fs::path fresh = temp.path() / "fresh", existing = temp.path() / "existing";
    fs::create_directory(existing);
    test::WriteFileBytes(existing / "result.json", "{}");
    const struct {
        std::vector<std::string> arguments;
        std::string error;
    } cases[] = {{{"--sizes", "4096,123"}, "No embedded kernel for selected size"},  // each check's messages: tests/run
                 {{"--device", "1"}, "CUDA device 1 does not exist: this machine has 1 CUDA device (0)"},
                 {{"--output", existing.string()}, "Report directory already exists; choose a fresh directory"}};
    for (const bool named : {true, false}) {
        for (const auto& c : cases) {
            if (!named && c.error.starts_with("Report")) continue;
            SCOPED_TRACE(c.error + (named ? "" : " (no --output)"));
            std::vector<std::string> arguments{"--headless", "--sizes", "256"};
            if (named) arguments.insert(arguments.end(), {"--output", fresh.string()});
            arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
            const Outcome outcome = RunProgram(arguments, {"TESSMOR_SIM_TRACE=" + (temp.path() / "trace").string()}, Private());
            ExpectRunEnd(outcome, 1, {"status: failed (" + c.error + ")"});
            EXPECT_TRUE(sizeof(wchar_t) == 2 || Lines(outcome.err).size() == 1);
            EXPECT_FALSE(fs::exists(fresh));
            EXPECT_FALSE(fs::exists(temp.path() / "bin" / "Reports"));
            EXPECT_EQ(test::ReadFileBytes(existing / "result.json"), "{}");
            const auto trace = test::ReadTrace(temp.path() / "trace");
            EXPECT_EQ(std::count(trace.begin(), trace.end(), "cuLaunchKernel 0"), 0) << "measured before refusing";
            fs::remove(temp.path() / "trace");
        }
    }
}

// Arguments that cannot be read end in one message and exit code 1, and no run starts.
TEST_F(Program, BadArgumentsEndInTheErrorBox) {
    const fs::path fresh = temp.path() / "fresh";
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"--headless", "--output", fresh.string(), "--trials", "1e1"}, "invalid stoi argument"},
        {{"--headless", "--output", ""}, "Report directory is required"},
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

#if defined(_WIN32)
// Another program holds summary.csv and result.json open the way a spreadsheet does, allowing only reads, from the
// run's first write to its end: the run measures on, each file's final content goes beside it under a free name, and
// the page says where.
TEST_F(Program, HeldReportFilesNeverStopTheRun) {
    const std::string name = temp.path().filename().string();
    HANDLE reached = CreateEventA(nullptr, FALSE, FALSE, (name + ".reached").c_str());
    HANDLE release = CreateEventA(nullptr, FALSE, FALSE, (name + ".release").c_str());
    const fs::path dir = temp.path() / "run";
    test::ChildProcess program(Quick({ProgramPath().string(), "--headless", "--output", dir.string()}), {"TESSMOR_SIM_HOLD=cuMemGetInfo_v2:1:" + name});
    ASSERT_EQ(WaitForSingleObject(reached, 120000), WAIT_OBJECT_0);
    const std::string first = test::ReadFileBytes(dir / "summary.csv");
    std::vector<HANDLE> readers;
    for (const char* held : {"summary.csv", "result.json"}) {
        readers.push_back(
            CreateFileW((dir / held).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_NE(readers.back(), INVALID_HANDLE_VALUE) << held;
    }
    SetEvent(release);
    EXPECT_EQ(program.Wait(120000).value_or(-1), 0);
    for (HANDLE handle : readers) CloseHandle(handle);
    EXPECT_EQ(test::ReadFileBytes(dir / "summary.csv"), first);
    EXPECT_EQ(Status(dir), "running");
    const std::string beside = test::ReadFileBytes(dir / "summary-2.csv");
    EXPECT_EQ(std::count(beside.begin(), beside.end(), '\n'), 3) << beside;  // the header and both rows
    EXPECT_NE(test::ReadFileBytes(dir / "result-2.json").find("\"status\":\"completed\""), std::string::npos);
    const std::string page = test::ReadFileBytes(dir / "report.html");
    for (const char* held :
         {"summary.csv; its final content is in summary-2.csv<", "result.json; its final content is in result-2.json<"})
        EXPECT_NE(page.find(std::string("held by another program: ") + held), std::string::npos) << held;
    for (HANDLE handle : {reached, release}) CloseHandle(handle);
}
#else
// The Linux program's own options; what it writes to stdout must arrive, so a full disk is exit code 1. Device names
// are the driver's: shown escaped, none can forge a line, turn the rest of it around or reach the terminal as a control
// sequence.
TEST(LinuxProgram, ListsDevicesAndExplainsItself) {
    const std::string program = ProgramPath().string();
    const test::ProcessResult listed = test::RunWithSim(
        {program, "--list-devices"}, {"TESSMOR_SIM_DEVICES=2", "TESSMOR_SIM_DEVICE1_NAME=Ger\xc3\xa4t\n2: \x1b[31mfake\xff\\\u202e",
                                      "TESSMOR_SIM_DEVICE1_CC=7.5", "TESSMOR_SIM_DEVICE1_SM=40"});
    EXPECT_EQ(listed.exit_code, 0);
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(listed.out,
              "0: Tessmor Simulated GPU | GPU-0a1b2c3d-4e5f-7081-92a3-b4c5d6e7f800 | 84 SMs | compute capability 8.6 "
              "| supported\n"
              "1: Ger\xc3\xa4t\\x0a2: \\x1b[31mfake\\xff\\\\\\xe2\\x80\\xae | GPU-0a1b2c3d-4e5f-7081-92a3-b4c5d6e7f801 | 40 SMs | compute "
              "capability 7.5 | not supported (needs 8.6 or newer)\n");
    for (const auto& [env, message] : {std::pair{kNoDriver, "NVIDIA CUDA driver not found. Install a compatible NVIDIA driver."},
                                       {{"TESSMOR_SIM_DEVICES=0"}, "No CUDA device found"}}) {
        const test::ProcessResult missing = test::RunWithSim({program, "--list-devices"}, env);
        EXPECT_EQ(missing.exit_code, 1);
        EXPECT_EQ(missing.err, std::string(message) + "\n");
        EXPECT_EQ(missing.out, "");
    }

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
        return RunProgram(Quick({"--output", dir.string()}, "256,1024"), {LiveEnv(), "TESSMOR_SIM_SIGNAL=" + signals});
    };
    for (const std::string signal : {"2", "15", "1"}) {
        SCOPED_TRACE("signal " + signal);
        const fs::path dir = temp.path() / ("run" + signal);
        ExpectRunEnd(run(dir, "cuMemGetInfo_v2:2:" + signal), 1, {"status: cancelled (Cancelled by user)"}, dir);
        ExpectReportsMatch(dir, "cancelled");
        ExpectNothingLeftOnTheGpu();
    }
    const fs::path dir = temp.path() / "twice";
    EXPECT_EQ(run(dir, "cuMemGetInfo_v2:2:2,cuStreamDestroy_v2:1:2").exit_code, 128 + 2);
    EXPECT_EQ(Status(dir), "running");
}

// --output is used byte for byte, also where it is not UTF-8; the closing table, the batches the launch cap cut short,
// and lines when the SM clock fell and why.
TEST_F(Program, OutputPathBytesAndAClockDropReachTheUser) {
    const fs::path dir = temp.path() / "bad\xff\xfe name";
    const Outcome outcome = RunProgram(Quick({"--output", dir.string()}, "256", "7"),
                                       {"TESSMOR_SIM_NVML_CLOCK_DROP=12:1500", "TESSMOR_SIM_CLOCK_REASONS=power_cap",
                                        "TESSMOR_SIM_POWER_LIMIT_W=250"});
    ExpectRunEnd(outcome, 0,
                 {"  N  Accum.  Median TFLOPS    Noise  Of peak  ms per GEMM  Batch ms  Check",
                  "256  FP16           100.00  \u00b1 8.5 %   64.6 %    0.0003355     0.671  PASS",
                  "256  FP32            50.00  \u00b1 6.5 %   32.3 %    0.0006711      1.34  PASS",
                  "At N = 256 (FP16) a batch held the most launches allowed, 2000, and lasted 0.671 ms, not the 10 ms "
                  "asked for.",
                  "At N = 256 (FP32) a batch held the most launches allowed, 2000, and lasted 1.34 ms, not the 10 ms "
                  "asked for.",
                  "SM clock below 90 % of its peak in 3 of 14 trials: the GPU may have throttled",
                  "SM clock held back by the power cap in 3 of 14 trials (limit 250 W, default 300 W)",
                  "status: completed"},
                 dir);
    EXPECT_TRUE(test::IsJson(test::ReadFileBytes(dir / "result.json")));
}

// The run is not lost to its surroundings: a progress stream that nobody reads any more (with and without a stop),
// a disk that fills up (result.json alone then keeps the final state; a folder that could take nothing goes), and a
// report root that exists but cannot be written (the run falls back to the user's data folder).
TEST_F(Program, ClosedStreamsFullDisksAndLockedRootsLoseNoRun) {
    const bool mounts = test::RunWithSim({"unshare", "-rm", "true"}).exit_code == 0;
    const bool as_root = test::RunWithSim({"id", "-u"}).out == "0\n";
    struct Case {
        const char* what;
        const char* disk = "";  // the options of a file system of its own for the run ("": none)
        bool stderr_gone = false;
        std::vector<std::string> env{};
        int exit_code;
        std::string status, files;  // what the folder ends with: "all", "result.json" or "" (removed)
        bool locked_root = false;
    };
    const Case cases[] = {
        {"closed stream", "", true, {}, 0, "completed", "all"},
        {"closed stream and a stop", "", true, {"TESSMOR_SIM_SIGNAL=cuMemGetInfo_v2:2:2"}, 1, "cancelled", "all"},
        {"full disk", "size=16k", false, {}, 1, "failed", "result.json"},
        {"no room for a file", "size=16k,nr_inodes=2", false, {}, 1, "", ""},
        {"locked root", "", false, {}, 0, "completed", "all", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path work = temp.path() / c.what, dir = work / "run";
        fs::create_directories(work);
        std::vector<std::string> arguments = Quick({"--output", dir.string()}, "256,1024", "7");
        fs::path program = ProgramPath();
        std::vector<std::string> env = c.env;
        if (*c.disk != '\0') {
            if (!mounts) {
                std::printf("skipped \"%s\": no private mount namespace here (unshare -rm)\n", c.what);
                continue;
            }
            // A file system of its own, copied out before the namespace goes.
            arguments = Quick({"-rm", "sh", "-c", "mount -t tmpfs -o " + std::string(c.disk) + " tmpfs \"$0\" && \"$@\"; "
                               "code=$?; cp -a \"$0/.\" \"$0.out\"; exit $code", (work / "disk").string(), program.string(),
                               "--output", (work / "disk" / "run").string()}, "256,1024", "7");
            fs::create_directories(work / "disk");
            program = "unshare";
        }
        fs::path expected_dir = *c.disk != '\0' ? work / "disk.out" / "run" : dir;
        if (c.locked_root) {
            // The program's own Reports exists but refuses files; its runs go to $XDG_DATA_HOME.
            program = Private();
            fs::create_directories(program.parent_path() / "Reports");
            fs::permissions(program.parent_path() / "Reports", fs::perms::owner_read | fs::perms::owner_exec);
            fs::create_directories(work / "xdg"), fs::permissions(work / "xdg", fs::perms::all);
            arguments = Quick({});
            env.push_back("XDG_DATA_HOME=" + (work / "xdg").string());
            if (as_root) {  // permissions do not hold the superuser back: run as nobody
                arguments.insert(arguments.begin(), program.string());
                arguments.insert(arguments.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups"});
                program = "setpriv";
            }
        }
        const Outcome outcome = RunProgram(arguments, env, program, c.stderr_gone);
        EXPECT_EQ(outcome.exit_code, c.exit_code) << outcome.err;
        if (c.locked_root) {
            const fs::path root = work / "xdg" / "TessmorBench" / "Reports";
            ASSERT_TRUE(fs::is_directory(root));
            expected_dir = fs::directory_iterator(root)->path();
            EXPECT_TRUE(fs::is_empty(Private().parent_path() / "Reports"));
        }
        if (c.files.empty()) {
            EXPECT_FALSE(fs::exists(expected_dir));
            EXPECT_NE(outcome.err.find("reports incomplete: nothing could be written into"), std::string::npos) << outcome.err;
            continue;
        }
        EXPECT_EQ(Status(expected_dir), c.status);
        const auto names = Names(expected_dir);
        EXPECT_EQ(names.size(), c.files == "all" ? 5u : 1u);
        if (c.files == "result.json") {
            EXPECT_NE(test::ReadFileBytes(expected_dir / "result.json").find("Report write failed: No space left on device"),
                      std::string::npos);
            EXPECT_NE(outcome.err.find("reports incomplete: only result.json could be written"), std::string::npos);
        }
    }
}
#endif

}  // namespace
}  // namespace fpbench
