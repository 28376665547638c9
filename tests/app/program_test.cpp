// The program itself on the simulated GPU: tessmor-bench on Linux,
// TessmorBench.exe under Wine. Whole headless runs against hand-written
// reports, the command line's messages and exit codes, and where an error
// ends up: one stderr line on Linux, the error box on Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "expected_reports.h"
#include "test_support.h"

namespace fpbench {
namespace {

namespace fs = std::filesystem;

// What one start of the program left behind.
struct Outcome {
    int exit_code = -1;
    std::string out;  // Linux: the program's stdout and stderr
    std::string err;
    std::optional<std::string> box;  // Windows: the text of the error box it showed
    bool box_has_error_icon = false;
};

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

[[maybe_unused]] std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

#if defined(_WIN32)
fs::path TestDirectory() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return fs::path(path).parent_path();
}
// The test sits in <build>/tests/app, the helper in <build>/tests and the
// program in <build>.
fs::path ProgramPath() { return TestDirectory().parent_path().parent_path() / "TessmorBench.exe"; }
fs::path HelperPath() { return TestDirectory().parent_path() / "error_box_helper.exe"; }

// The quoting that CommandLineToArgvW undoes.
std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t ch : argument) {
        if (ch == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(ch == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += ch;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

// The GUI program started without waiting for it; terminated if it is still
// running when the test lets go of it, so that a stray box cannot hang the
// suite.
class Child {
public:
    explicit Child(const std::vector<std::string>& arguments) {
        const std::wstring program = ProgramPath().wstring();
        std::wstring command_line = QuoteArgument(program);
        for (const auto& argument : arguments) command_line += L" " + QuoteArgument(WideText(argument));
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        started_ = CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &startup, &info_) != FALSE;
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (!started_) return;
        if (WaitForSingleObject(info_.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(info_.hProcess, 99);
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }
    // The exit code, or nullopt while the program still runs.
    std::optional<int> Wait(DWORD milliseconds) const {
        if (!started_ || WaitForSingleObject(info_.hProcess, milliseconds) != WAIT_OBJECT_0) return std::nullopt;
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return static_cast<int>(code);
    }

private:
    static std::wstring WideText(const std::string& utf8) {
        std::wstring wide(utf8.size(), L'\0');
        wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                                        static_cast<int>(wide.size())));
        return wide;
    }
    PROCESS_INFORMATION info_{};
    bool started_ = false;
};

// Reads the box that the program shows, presses OK, and notes what it saw.
void AnswerBox(Outcome& outcome, const char* timeout_seconds) {
    const auto helper =
        test::RunWithSim({HelperPath().string(), timeout_seconds});
    if (helper.exit_code == 2) return;  // no box appeared
    std::string text = helper.out;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    outcome.box = text;
    outcome.box_has_error_icon = helper.exit_code == 0;
}

Outcome RunProgram(const std::vector<std::string>& arguments, const std::vector<std::string>& env = {},
                   bool box_expected = false) {
    std::vector<std::unique_ptr<test::ScopedEnv>> scoped;
    for (const auto& entry : env) {
        const auto eq = entry.find('=');
        scoped.push_back(std::make_unique<test::ScopedEnv>(entry.substr(0, eq), entry.substr(eq + 1)));
    }
    Outcome outcome;
    Child program(arguments);
    std::optional<int> code;
    if (box_expected) {
        AnswerBox(outcome, "20");
        code = program.Wait(20000);
    } else {
        // A box blocks the program; one that has not ended by itself is
        // asked what it shows.
        code = program.Wait(30000);
        if (!code) {
            AnswerBox(outcome, "2");
            code = program.Wait(5000);
        }
    }
    outcome.exit_code = code.value_or(-1);
    return outcome;
}

fs::path DefaultReportRoot() { return ProgramPath().parent_path() / "Reports"; }
#else
fs::path ProgramPath() { return test::BuildProgram("tessmor-bench"); }

Outcome RunProgram(const std::vector<std::string>& arguments, const std::vector<std::string>& env = {},
                   bool /*box_expected*/ = false) {
    std::vector<std::string> argv{ProgramPath().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const test::ProcessResult result = test::RunWithSim(argv, env);
    return Outcome{result.exit_code, result.out, result.err, std::nullopt, false};
}

fs::path DefaultReportRoot() { return ProgramPath().parent_path() / "Reports"; }
#endif

// The environment that hides the simulated driver from the child. On Linux
// the test's own library path (which holds the simulated driver) must not
// reach it either.
const std::vector<std::string> kNoDriver{"TESSMOR_SIM_NO_DRIVER=1", "LD_LIBRARY_PATH="};

// The single place an escaping error goes: the box on Windows, its one line
// on stderr on Linux (and nothing on stdout).
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

// A headless run reports its failure in its result, never in a box.
void ExpectNoBox(const Outcome& outcome, const std::string& run_error) {
#if defined(_WIN32)
    EXPECT_FALSE(outcome.box.has_value()) << "unexpected box: " << *outcome.box;
    (void)run_error;
#else
    EXPECT_EQ(outcome.out, "");
    const auto lines = Lines(outcome.err);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), run_error), 0) << "the run's error reached the error line";
#endif
}

class Program : public ::testing::Test {
protected:
    fs::path LivePath() const { return temp.path() / "live.json"; }
    std::string LiveEnv() const { return "TESSMOR_SIM_LIVE=" + LivePath().string(); }
    void ExpectNothingLeftOnTheGpu() const {
        const auto live = test::ReadLiveCounts(LivePath());
        ASSERT_TRUE(live.has_value()) << "the simulated driver wrote no counts";
        EXPECT_TRUE(live->AllZero()) << "contexts " << live->contexts << ", streams " << live->streams << ", events "
                                     << live->events << ", allocations " << live->allocations << ", modules "
                                     << live->modules;
    }

    test::TempDir temp;
};

TEST_F(Program, CompletedRunWritesTheExpectedReportsAndExitsZero) {
    // A space and non-ASCII text in the path: quoting and wide paths on the
    // way from the command line to the files.
    const fs::path dir = temp.path() / fs::path(u8"\u62a5\u544a run");
    const Outcome outcome = RunProgram({"--headless", "--output", Utf8(dir), "--sizes", "256,1024", "--trials",
                                        "2", "--sample-ms", "10", "--warmup-seconds", "0"},
                                       {LiveEnv()});
    EXPECT_EQ(outcome.exit_code, 0);
    ExpectNoBox(outcome, "");
    EXPECT_TRUE(test::ReportsMatch(dir, "completed"));
    ExpectNothingLeftOnTheGpu();
#if !defined(_WIN32)
    // Progress as it comes, then the rows and where the reports are.
    const auto lines = Lines(outcome.err);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "\xe5\x87\x86\xe5\xa4\x87\xe7\x9f\xa9\xe9\x98\xb5 / Preparing matrices: 256");
    EXPECT_EQ(lines[lines.size() - 2], "status: completed");
    EXPECT_EQ(lines.back(), "reports: " + Utf8(dir));
    int row_lines = 0;
    for (const auto& line : lines)
        row_lines += line.find("_acc") != std::string::npos && line.find("PASS") != std::string::npos;
    EXPECT_EQ(row_lines, 4);
#endif
}

// The values arrive through the parsing rules: the last of a repeated option
// wins, a trailing comma ends the size list, leading blanks and trailing
// text around a number are ignored, and a hexadecimal float is a float.
TEST_F(Program, RunFailingAtItsSecondSizeKeepsTheFirstSizesRowsAndExitsOne) {
    const fs::path dir = temp.path() / "run";
    const Outcome outcome =
        RunProgram({"--headless", "--sizes", "4096", "--trials", "9", "--output", dir.string(), "--sample-ms",
                    "0x1.4p3", "--warmup-seconds", "0s", "--device", "+0", "--sizes", " 256,512,", "--trials", "2x"},
                   {LiveEnv()});
    EXPECT_EQ(outcome.exit_code, 1);
    ExpectNoBox(outcome, "No embedded kernel for selected size");
    EXPECT_TRUE(test::ReportsMatch(dir, "failed_after_one_size"));
    ExpectNothingLeftOnTheGpu();
#if !defined(_WIN32)
    const auto lines = Lines(outcome.err);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "status: failed (No embedded kernel for selected size)");
#endif
}

// Without --output the run gets a folder of its own under "Reports" beside
// the program, named after its start time; the driver's absence is the
// run's error, in its reports, with the default options.
TEST_F(Program, RunWithoutDriverFailsIntoAFreshRunFolderBesideTheProgram) {
    const fs::path root = DefaultReportRoot();
    std::set<fs::path> before;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(root, ignored)) before.insert(entry.path());

    const Outcome outcome = RunProgram({"--headless"}, kNoDriver);
    EXPECT_EQ(outcome.exit_code, 1);
    ExpectNoBox(outcome, "NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.");

    // Other suites may start runs under the same root meanwhile; this run's
    // folder is the new one that holds the driver's message.
    std::vector<fs::path> created;
    for (const auto& entry : fs::directory_iterator(root, ignored)) {
        const fs::path document = entry.path() / "result.json";
        if (before.count(entry.path()) == 0 && fs::is_regular_file(document) &&
            test::ReadFileBytes(document).find("NVIDIA CUDA driver not found") != std::string::npos)
            created.push_back(entry.path());
    }
    ASSERT_EQ(created.size(), 1u) << "run folders made under " << root.string();
    const fs::path dir = created.front();
    EXPECT_TRUE(test::ReportsMatch(dir, "no_driver"));

    // Named at the start, from the same clock as started_utc, read a moment
    // later: 2026-12-05T13-29-23-123Z for 2026-12-05T13:29:23.123Z.
    const std::string document = test::ReadFileBytes(dir / "result.json");
    const auto stamp_at = document.find("\"started_utc\":\"") + 15;
    std::string started = document.substr(stamp_at, 24);
    std::replace(started.begin(), started.end(), ':', '-');
    std::replace(started.begin(), started.end(), '.', '-');
    const std::string name = dir.filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}-\d{2}-\d{2}-\d{3}Z)"))) << name;
    EXPECT_LE(name, started);
    fs::remove_all(dir, ignored);
}

// Rejected by the run's option checks or because the folder exists: exit 1,
// no box, and nothing created or written.
TEST_F(Program, RejectedRunsWriteNothingAndExitOne) {
    const std::string range = "Use 1..50 trials and 10..1000 ms per sample";
    const fs::path fresh = temp.path() / "fresh";
    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    const std::vector<Case> cases{
        {{"--trials", "0"}, range},
        {{"--trials", "51"}, range},
        {{"--sample-ms", "9.99"}, range},
        {{"--sample-ms", "nan"}, range},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
        std::vector<std::string> arguments{"--headless", "--output", fresh.string(), "--sizes", "256"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const Outcome outcome = RunProgram(arguments);
        EXPECT_EQ(outcome.exit_code, 1);
        ExpectNoBox(outcome, c.error);
        EXPECT_FALSE(fs::exists(fresh));
#if !defined(_WIN32)
        EXPECT_EQ(outcome.err, "status: failed (" + c.error + ")\n");  // no reports to point at
#endif
    }

    const fs::path existing = temp.path() / "existing";
    fs::create_directory(existing);
    const std::string exists = "Report directory already exists; choose a fresh directory";
    const Outcome outcome = RunProgram({"--headless", "--output", existing.string(), "--sizes", "256"});
    EXPECT_EQ(outcome.exit_code, 1);
    ExpectNoBox(outcome, exists);
    EXPECT_TRUE(fs::is_empty(existing));
#if !defined(_WIN32)
    EXPECT_EQ(outcome.err, "status: failed (" + exists + ")\n");
#endif
}

// Arguments that cannot be read end in one message and exit code 1; the
// first failing argument is the one reported, and no run starts. Under Wine
// every box costs seconds, so the Windows program gets one case per message
// and per rule that its own runtime could change.
TEST_F(Program, BadArgumentsEndInTheErrorBox) {
    const fs::path fresh = temp.path() / "fresh";
    const std::string bad_int = "invalid stoi argument";
    const std::string int_range = "stoi argument out of range";
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
        bool on_windows = false;
    };
    const std::vector<Case> cases{
        {{"--headless", "--output", fresh.string(), "--trials", "x5"}, bad_int, true},
        {{"--headless", "--trials", "99999999999"}, int_range, true},  // a 32-bit long there
        {{"--headless", "--device", "-2147483649"}, int_range},
        {{"--headless", "--output", fresh.string(), "--sizes", "1024,,4096"}, bad_int},
        {{"--headless", "--sizes", ",4096"}, bad_int},
        {{"--headless", "--sizes", "4096,99999999999"}, int_range},
        {{"--headless", "--sizes", ""}, "At least one size is required", true},
        {{"--headless", "--sample-ms", "ms"}, "invalid stod argument"},
        {{"--headless", "--warmup-seconds", "1e400"}, "stod argument out of range", true},
        {{"--Headless"}, "Unknown argument: --Headless"},
        {{"--headless", "--trials=5"}, "Unknown argument: --trials=5"},
        {{"--headless", "--gr\xc3\xb6\xc3\x9f" "e"}, "Unknown argument: --gr\xc3\xb6\xc3\x9f" "e", true},
        // A value is taken verbatim, even one that looks like an option.
        {{"--headless", "--output", "--trials", "5"}, "Unknown argument: 5", true},
        {{"--headless", "--trials"}, "Missing argument"},
        {{"--trials"}, "Missing argument", true},  // in the window road as well
        {{"--bogus", "--trials"}, "Unknown argument: --bogus"},
    };
    for (const Case& c : cases) {
#if defined(_WIN32)
        if (!c.on_windows) continue;
#endif
        std::string shown;
        for (const auto& argument : c.arguments) shown += "[" + argument + "]";
        SCOPED_TRACE(shown);
        ExpectErrorBox(RunProgram(c.arguments, {}, true), c.message);
        EXPECT_FALSE(fs::exists(fresh));
    }
}

#if !defined(_WIN32)
// The Linux program's additions: the device listing and the refusal of the
// window road.
TEST(LinuxProgram, ListsEveryDeviceOnStdout) {
    const test::ProcessResult listed = test::RunWithSim(
        {ProgramPath().string(), "--list-devices"},
        {"TESSMOR_SIM_DEVICES=2", "TESSMOR_SIM_DEVICE1_NAME=Ger\xc3\xa4t \xe8\xae\xbe\xe5\xa4\x87",
         "TESSMOR_SIM_DEVICE1_CC=7.5", "TESSMOR_SIM_DEVICE1_SM=40"});
    EXPECT_EQ(listed.exit_code, 0);
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(listed.out,
              "0: Tessmor Simulated GPU | GPU-0a1b2c3d-4e5f-7081-92a3-b4c5d6e7f800 | 84 SMs | compute capability 8.6 "
              "| supported\n"
              "1: Ger\xc3\xa4t \xe8\xae\xbe\xe5\xa4\x87 | GPU-0a1b2c3d-4e5f-7081-92a3-b4c5d6e7f801 | 40 SMs | compute "
              "capability 7.5 | not supported (needs 8.6 or newer)\n");

    const test::ProcessResult missing = test::RunWithSim({ProgramPath().string(), "--list-devices"}, kNoDriver);
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.\n");
}

TEST(LinuxProgram, HasNoWindowRoad) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{}, std::vector<std::string>{"--trials", "0"}}) {
        std::vector<std::string> argv{ProgramPath().string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const test::ProcessResult result = test::RunWithSim(argv);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "The window is part of the Windows program; use --headless or --list-devices\n");
    }
}
#endif

}  // namespace
}  // namespace fpbench
