// The process entry's pure parts: the command line and its number conversions, text conversion, report folders and
// their time stamps.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "app/command_line.h"
#include "app/entry.h"
#include "app/report_paths.h"
#include "platform/platform.h"
#include "platform/utc_timestamp.h"
#include "test_support.h"

namespace fpbench {
namespace {

using platform::Utf8FromWide;
using platform::WideFromUtf8;

using test::ErrorOf;

// An input and either the value it converts to or the message it fails with.
struct Conversion {
    const wchar_t* text;
    double value;
    const char* error = "";
};

constexpr const char* kBadInt = "invalid stoi argument";
constexpr const char* kIntRange = "stoi argument out of range";
constexpr const char* kBadDouble = "invalid stod argument";
constexpr const char* kDoubleRange = "stod argument out of range";

template <typename Parse>
void ExpectConversions(Parse parse, std::initializer_list<Conversion> cases) {
    for (const Conversion& c : cases) {
        if (*c.error != '\0') EXPECT_EQ(ErrorOf([&] { parse(c.text); }), c.error) << testing::PrintToString(std::wstring(c.text));
        else EXPECT_EQ(parse(c.text), c.value) << testing::PrintToString(std::wstring(c.text));
    }
}

// Every character must belong to the number: what is only partly one is a typing mistake, not a smaller number.
TEST(NumberConversion, IntegersAreWholeDecimalNumbersIn32Bits) {
    ExpectConversions(ParseInt32, {
        {L" \t\n\v\f\r12", 12}, {L"+7", 7}, {L"-0", 0}, {L"0000000000000000000000042", 42},
        {L"2147483647", 2147483647.0}, {L"-2147483648", -2147483648.0},
        {L"5x", 0, kBadInt}, {L"1e1", 0, kBadInt}, {L"2.5", 0, kBadInt}, {L"0x1", 0, kBadInt}, {L"7 ", 0, kBadInt},
        {L"8\u0665", 0, kBadInt}, {L"x5", 0, kBadInt}, {L"", 0, kBadInt}, {L" ", 0, kBadInt}, {L"-", 0, kBadInt},
        {L"+-5", 0, kBadInt}, {L"- 5", 0, kBadInt}, {L"\u00a05", 0, kBadInt},
        {L"2147483648", 0, kIntRange}, {L"-2147483649", 0, kIntRange}, {L"99999999999", 0, kIntRange},
        {L"-184467440737095516170", 0, kIntRange}});
}

// Underflow counts like overflow, also when the result is only subnormal.
TEST(NumberConversion, DoublesAreWholeDecimalNumbers) {
    ExpectConversions(ParseDouble, {
        {L"1e3", 1000}, {L"  12.5e1", 125}, {L"+.5", 0.5}, {L"5.", 5}, {L"0.1", 0.1}, {L"-1.5", -1.5}, {L"0e-99999", 0},
        {L"1.7976931348623157e308", std::numeric_limits<double>::max()},
        {L"20ms", 0, kBadDouble}, {L"0x10", 0, kBadDouble}, {L"1e", 0, kBadDouble}, {L"1e+", 0, kBadDouble},
        {L"inf", 0, kBadDouble}, {L"nan", 0, kBadDouble}, {L"1.5\u00b2", 0, kBadDouble}, {L"", 0, kBadDouble},
        {L"x1", 0, kBadDouble}, {L".", 0, kBadDouble}, {L"+-1", 0, kBadDouble}, {L"e5", 0, kBadDouble},
        {L"\u00a01", 0, kBadDouble}, {L"\uff11", 0, kBadDouble}, {L"1 ", 0, kBadDouble},
        {L"1e999", 0, kDoubleRange}, {L"-1e999", 0, kDoubleRange}, {L"1.7976931348623159e308", 0, kDoubleRange},
        {L"1e-400", 0, kDoubleRange}, {L"1e-310", 0, kDoubleRange}});
    EXPECT_TRUE(std::signbit(ParseDouble(L"-0")));
}

TEST(CommandLine, OptionsSetTheirFieldsAndTheLastOccurrenceWins) {
    const ParsedCommandLine defaults = ParseCommandLine({});
    EXPECT_EQ(std::tuple(defaults.headless, defaults.options.report_dir, defaults.options.sizes),
              std::tuple(false, std::filesystem::path(), std::vector<std::int32_t>{4096, 8192}));

    const ParsedCommandLine parsed = ParseCommandLine(
        {L"--trials", L"3", L"--sizes", L"4096", L"--output", L"a", L"--trials", L"5", L"--headless", L"--sample-ms",
         L"16", L"--warmup-seconds", L"-1.5", L"--device", L" 2", L"--sizes", L"1024,256,1024", L"--output",
         L"out dir/\u8fd0\u884c"});
    const RunOptions& o = parsed.options;
    EXPECT_EQ(std::tuple(parsed.headless, o.trials_per_mode, o.sample_ms, o.warmup_seconds, o.device, o.sizes, o.report_dir),
              std::tuple(true, 5, 16.0, -1.5, 2, std::vector<std::int32_t>{1024, 256, 1024},
                         std::filesystem::path(u8"out dir/\u8fd0\u884c")));
    // A value is taken verbatim, even when it looks like an option.
    const ParsedCommandLine verbatim = ParseCommandLine({L"--output", L"--headless"});
    EXPECT_EQ(std::tuple(verbatim.headless, verbatim.options.report_dir), std::tuple(false, std::filesystem::path(L"--headless")));
    // A trailing comma ends the size list; blanks before a number are skipped.
    EXPECT_EQ(ParseCommandLine({L"--sizes", L"1024,"}).options.sizes, (std::vector<std::int32_t>{1024}));
    EXPECT_EQ(ParseCommandLine({L"--sizes", L"8192, 256,\t-3"}).options.sizes, (std::vector<std::int32_t>{8192, 256, -3}));
}

TEST(CommandLine, TheFirstFailingArgumentGivesItsMessage) {
    const std::string grosse = "--gr\xc3\xb6\xc3\x9f" "e \xe8\xae\xbe\xe5\xa4\x87\xf0\x9f\x98\x80";
    const std::vector<std::pair<std::vector<std::wstring>, std::string>> cases{
        // Each option reads its value with its own conversion (whose cases are above); a size list, item by item.
        {{L"--trials", L"--device"}, kBadInt}, {{L"--device", L"0x1"}, kBadInt}, {{L"--warmup-seconds", L"abc"}, kBadDouble},
        {{L"--sample-ms", L"1e999"}, kDoubleRange}, {{L"--sizes", L"1024,99999999999"}, kIntRange},
        {{L"--sizes", L"1024,,4096"}, kBadInt}, {{L"--sizes", L",1024"}, kBadInt}, {{L"--sizes", L","}, kBadInt},
        {{L"--sizes", L"1024,,"}, kBadInt}, {{L"--sizes", L"1024, "}, kBadInt}, {{L"--sizes", L"256;1024"}, kBadInt},
        {{L"--sizes", L""}, "At least one size is required"},
        {{L"--output", L""}, "Report directory is required"},
        {{L"--headless", L"--output"}, "Missing argument"}, {{L"--headless", L"--sizes"}, "Missing argument"},
        {{L"--headless", L"--warmup-seconds"}, "Missing argument"},
        {{L"--Headless", L"5"}, "Unknown argument: --Headless"}, {{L"--trials=5"}, "Unknown argument: --trials=5"},
        {{L"--trial", L"5"}, "Unknown argument: --trial"}, {{L"-headless"}, "Unknown argument: -headless"},
        {{L"--headless "}, "Unknown argument: --headless "}, {{L""}, "Unknown argument: "},
        {{L"--headless", L"5"}, "Unknown argument: 5"},
        {{L"--gr\u00f6\u00dfe \u8bbe\u5907\U0001F600"}, "Unknown argument: " + grosse},
        {{L"--trials", L"x", L"--bogus"}, kBadInt}, {{L"--sizes", L"", L"--trials"}, "At least one size is required"},
    };
    for (const auto& [arguments, message] : cases)
        EXPECT_EQ(ErrorOf([&] { ParseCommandLine(arguments); }), message) << message;
}

// Well-formed text round-trips (beyond the basic plane: one wchar_t on Linux, a surrogate pair on Windows); each
// ill-formed sequence, and a lone surrogate, becomes U+FFFD.
TEST(TextConversion, RoundTripsWhatIsWellFormedAndReplacesTheRest) {
    for (const std::string& utf8 : {std::string(""), std::string("\xE5\x87\x86\xE5\xA4\x87 / Ready"), std::string("a\0b", 3)})
        EXPECT_EQ(Utf8FromWide(WideFromUtf8(utf8)), utf8);
    EXPECT_EQ(WideFromUtf8("\xE5\x87\x86 / R"), L"\u51C6 / R");
    EXPECT_EQ(WideFromUtf8("\xF0\x9F\x9A\x80"), sizeof(wchar_t) == 2 ? L"\xD83D\xDE80" : std::wstring(1, wchar_t(0x1F680)));
    EXPECT_EQ(Utf8FromWide(std::wstring{L'a', wchar_t(0xD800), L'b'}), "a\xEF\xBF\xBD" "b");
    for (const auto& [bad, wide] : {std::pair{"a\xFF" "b", L"a\xFFFD" L"b"}, {"a\xC0\xAF" "b", L"a\xFFFD\xFFFD" L"b"},
                                    {"a\xE5\x87" "b", L"a\xFFFD" L"b"}})
        EXPECT_EQ(WideFromUtf8(bad), wide) << bad;
}

// The time stamp against this process's own reading of the clock, by another route: a month or a day off by one
// shows.
TEST(RunFolders, AreNamedAfterTheZeroPaddedUtcTime) {
    EXPECT_EQ(FormatUtcTimestamp({2026, 12, 5, 13, 29, 23, 123}), "2026-12-05T13:29:23.123Z");
    EXPECT_EQ(FormatUtcTimestamp({987, 1, 2, 3, 4, 5, 6}), "0987-01-02T03:04:05.006Z");
    EXPECT_EQ(RunFolderName("2026-12-05T13:29:23.123Z"), L"2026-12-05T13-29-23-123Z");
    const auto date = [] {
        const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
        char text[16];
        std::strftime(text, sizeof text, "%Y-%m-%d", std::gmtime(&now));
        return std::string(text);
    };
    const std::string before = date(), stamp = UtcTimestamp(), after = date();
    EXPECT_TRUE(stamp.starts_with(before) || stamp.starts_with(after)) << stamp << " on " << before;

    // Without --output a headless run takes a folder of its own under the root, and another name when that exists.
    RunOptions options = HeadlessOptions({}, [] { return std::filesystem::path("root"); });
    EXPECT_EQ(std::tuple(options.report_dir.parent_path(), options.unique_report_dir), std::tuple(std::filesystem::path("root"), true));
    options = HeadlessOptions(ParseCommandLine({L"--output", L"mine"}).options, [] { return std::filesystem::path("root"); });
    EXPECT_EQ(std::tuple(options.report_dir, options.unique_report_dir), std::tuple(std::filesystem::path("mine"), false));
}

std::optional<std::filesystem::path> NoAppData() { return std::nullopt; }
std::optional<std::filesystem::path> SomeAppData() { return std::filesystem::path("appdata"); }

// Nothing is created while a root is chosen: the first run folder makes it.
TEST(ReportRoot, IsBesideTheProgramWhereItCanBeWrittenElseInTheApplicationDataFolder) {
    namespace fs = std::filesystem;
    const struct {
        const char* what;
        void (*make)(const fs::path& reports);  // what stands where "Reports" goes beside the program
        bool beside;
    } cases[] = {
        {"nothing yet", [](const fs::path&) {}, true},
        {"a folder", [](const fs::path& reports) { fs::create_directory(reports); }, true},
        {"a file", [](const fs::path& reports) { test::WriteFileBytes(reports, "not a folder"); }, false},
#if !defined(_WIN32)  // mingw-w64's library makes no links
        {"a link to nothing",
         [](const fs::path& reports) { fs::create_directory_symlink(reports.parent_path() / "gone", reports); }, false},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        c.make(dir.path() / "Reports");
        const fs::file_type before = fs::symlink_status(dir.path() / "Reports").type();
        EXPECT_EQ(ReportRootFor(dir.path(), SomeAppData),
                  c.beside ? dir.path() / "Reports" : fs::path("appdata") / "TessmorBench" / "Reports");
        EXPECT_EQ(fs::symlink_status(dir.path() / "Reports").type(), before);
        EXPECT_FALSE(fs::exists("appdata"));
        if (!c.beside) {
            EXPECT_EQ(ErrorOf([&] { ReportRootFor(dir.path(), NoAppData); }), "No writable report directory");
        }
    }
    EXPECT_EQ(ErrorOf([&] { ReportRootFor(test::TempDir().path() / "missing", NoAppData); }),
              "No writable report directory");
}

}  // namespace
}  // namespace fpbench
