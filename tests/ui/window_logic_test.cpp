// The window's logic that needs no window system: layout and DPI scaling, run state, texts and choices.
#include <gtest/gtest.h>

#include <cctype>
#include <limits>
#include <locale>

#include "bench/tensor_peak.h"
#include "platform/platform.h"
#include "ui/layout.h"
#include "ui/run_control.h"
#include "ui/window_logic.h"
#include "ui/window_texts.h"

namespace fpbench {
namespace {

using W = WindowControl;

TEST(MulDivRound, RoundsHalvesAwayFromZeroLikeTheSystem) {  // -1: no denominator, or beyond 32 bits
    for (auto [value, numerator, denominator, expected] : {std::array{5, 1, 2, 3}, {-5, 1, 2, -3}, {5, 1, -2, -3},
             {-7, 1, 3, -2}, {12, 96, 0, -1}, {2000000000, 3, 4, 1500000000}, {2000000000, 3, 2, -1}})
        EXPECT_EQ(MulDivRound(value, numerator, denominator), expected) << value << "/" << denominator;
}

// The worked example at 120 DPI; at 96 pixels are logical units (buttons end 22 from the right, 8 apart); at 144 half
// as large again, halves rounded up; at 192 twice. Short clients keep the list at 100 and let the footnote overlap
// the log, which ends at 486; a minimised window gets negative sizes.
TEST(Layout, PlacesEachControlAndScalesSizesWithTheDpi) {
    const struct { int width, height, dpi; W control; ControlRect at; } cases[] = {
        {1232, 780, 120, W::ResultsList, {28, 375, 1178, 168}}, {1232, 780, 120, W::LogEdit, {28, 560, 1178, 90}},
        {1232, 780, 120, W::StartButton, {908, 250, 144, 45}}, {1232, 780, 120, W::ReportsButton, {833, 695, 225, 43}},
        {1024, 641, 96, W::StopButton, {887, 200, 115, 36}}, {1024, 641, 96, W::StartButton, {764, 200, 115, 36}},
        {1024, 641, 96, W::AboutButton, {892, 573, 110, 34}}, {1024, 641, 96, W::Footnote, {22, 565, 664, 48}},
        {1536, 960, 144, W::Title, {33, 24, 1470, 54}}, {1536, 960, 144, W::StartButton, {1146, 300, 173, 54}},
        {1536, 960, 144, W::ProgressBar, {33, 417, 1470, 11}}, {1536, 960, 144, W::LogEdit, {33, 696, 1470, 108}},
        {2048, 1300, 192, W::ResultsList, {44, 600, 1960, 320}}, {0, 0, 96, W::LogEdit, {22, 414, -44, 72}},
        {1000, 590, 96, W::ResultsList, {22, 300, 956, 100}}, {1000, 591, 96, W::ResultsList, {22, 300, 956, 101}},
        {1000, 561, 96, W::Footnote, {22, 485, 640, 48}}, {0, 0, 120, W::AboutButton, {-165, -85, 138, 43}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PixelLayout(c.width, c.height, c.dpi)[std::size_t(c.control)], c.at) << c.width << "x" << c.height
            << " at " << c.dpi << ", control " << int(c.control);
    EXPECT_EQ(PixelLayout(1024, 641, 96), LogicalLayout(1024, 641, 96));
    EXPECT_EQ(LogicalLayout(0, 0, 120)[std::size_t(W::Footnote)], (ControlRect{22, -76, -360, 48}));
    // The smallest window and the starting window rectangle.
    for (const auto& [dpi, minimum] : {std::pair{96, WindowSize{990, 640}}, {120, {1238, 800}}, {144, {1485, 960}},
                                       {192, {1980, 1280}}})
        EXPECT_EQ(MinimumWindowSize(dpi), minimum) << dpi;
    const struct { ControlRect work_area; int dpi; ControlRect window; } starts[] = {  // centred, kept inside
        {{0, 0, 1920, 1160}, 96, {440, 240, 1040, 680}}, {{0, 0, 2560, 1400}, 144, {500, 190, 1560, 1020}},
        {{0, 40, 800, 560}, 96, {10, 50, 780, 540}}, {{0, 0, 1065, 701}, 96, {12, 10, 1040, 680}},  // halves truncated
    };
    for (const auto& c : starts) EXPECT_EQ(InitialWindowRect(c.work_area, c.dpi), c.window) << c.dpi;
}

// Steps B Begin, S Stop, C Close (true: wait for the run), F Finish, A Abandon, X Shutdown; a capital where one
// answers true. One run at a time, stopped only while it runs; a stopped run keeps the window and the next clears the
// flag; closing waits for a running or stopping run, whose result destroys the window; the end of the message loop
// stops even an idle window; a run that failed at once, or whose worker did not start, leaves it ready.
TEST(RunControl, AnswersEachStepAndEndsInTheRightPhaseWithTheRightFlag) {
    using P = RunPhase;
    const struct { const char* steps; P phase; bool stop_flag; } cases[] = {
        {"s", P::Idle, false}, {"Bb", P::Running, false}, {"BSb", P::Stopping, true}, {"BSf", P::Idle, true},
        {"BSfB", P::Running, false}, {"c", P::Idle, false}, {"x", P::Idle, true}, {"BC", P::Closing, true},
        {"BCS", P::Closing, true}, {"BSC", P::Closing, true}, {"BCF", P::Idle, true}, {"BfB", P::Running, false},
        {"BacB", P::Running, false},
    };
    for (const auto& c : cases) {
        RunControl run;
        for (const char* step = c.steps; *step != '\0'; ++step) {
            bool answer = false;
            switch (std::toupper(*step)) {
                case 'B': answer = run.BeginRun(); break;
                case 'S': answer = run.RequestStop(); break;
                case 'C': answer = run.RequestClose() == CloseAction::WaitForRun; break;
                case 'F': answer = run.FinishRun(); break;
                case 'A': run.AbandonRun(); break;
                case 'X': run.RequestShutdown(); break;
            }
            EXPECT_EQ(answer, std::isupper(*step) != 0) << c.steps << ", step " << *step;
        }
        EXPECT_EQ(run.Phase(), c.phase) << c.steps;
        EXPECT_EQ(run.Running(), c.phase != P::Idle) << c.steps;
        EXPECT_EQ(run.StopFlag().load(), c.stop_flag) << c.steps;
        EXPECT_EQ(run.StatusLineFollowsWorker(), !c.stop_flag) << c.steps;
    }
}

TEST(GpuList, ListsEveryDevicePreselectsTheFirstSupportedOneAndStartsOnlyThere) {
    const auto device = [](int i, const char* name, int major, int minor) { return DeviceInfo{i, 68, major, minor, name, ""}; };
    const GpuChoices choices = ListGpuChoices({device(0, "Tesla T4", 7, 5), device(1, "\xE6\xB5\x8B\xE8\xAF\x95 GPU", 8, 9)});
    EXPECT_EQ(choices.entries, (std::vector<std::wstring>{L"0: Tesla T4  ·  68 SM  (此版本不支持 / Unsupported)",
                                                          L"1: 测试 GPU  ·  68 SM"}));
    EXPECT_EQ(choices.selection, 1u);
    EXPECT_FALSE(ListGpuChoices({device(0, "a", 8, 0), device(1, "b", 7, 5)}).selection);
    EXPECT_FALSE(ListGpuChoices({}).selection);
    const std::vector<DeviceInfo> devices{device(0, "a", 7, 5), device(1, "b", 8, 6), device(2, "c", 12, 0)};
    for (auto [index, start] : {std::pair{-1, false}, {0, false}, {1, true}, {2, true}, {3, false}})
        EXPECT_EQ(CanStartOn(devices, index), start) << index;
}

// Each size choice runs the sizes its label names, the first the default; no selection runs the default.
TEST(SizeList, EachChoiceRunsTheSizesItsLabelNames) {
    for (std::ptrdiff_t i = -1; i < 4; ++i) {
        const std::wstring label = texts::kSizeChoices[i < 0 ? 0 : i].label;
        std::wstring named;
        for (const std::int32_t n : SizesForChoice(i)) named += (named.empty() ? L"" : L" + ") + std::to_wstring(n);
        EXPECT_TRUE(label.starts_with(named + L" \u00b7")) << i;
    }
    EXPECT_EQ(SizesForChoice(-1), RunOptions{}.sizes);
}

TEST(TrialsBox, AcceptsOneToFiftyAfterOptionalBlanksAndSign) {
    for (auto [text, value] : {std::pair{L" 7", 7}, {L"007", 7}, {L"\t+7", 7}, {L"1", 1}, {L"50", 50}})
        EXPECT_EQ(ParseTrials(text), value) << platform::Utf8FromWide(text);
    for (const wchar_t* text : {L"", L"0", L"51", L"-7", L"7x", L"7 ", L" ", L"+", L"99999999999", L"-99999999999", L"７"})
        EXPECT_FALSE(ParseTrials(text)) << platform::Utf8FromWide(text);
}

// A locale that groups thousands and writes a decimal comma, which the cells must not follow.
struct GroupingPunct : std::numpunct<wchar_t> {
    wchar_t do_decimal_point() const override { return L','; }
    wchar_t do_thousands_sep() const override { return L'.'; }
    std::string do_grouping() const override { return "\3"; }
};

// Each case changes the sample row: only values below zero show the dash (not -0.0, not NaN), and the check passes
// only with both validation and guards.
TEST(ResultRow, ShowsEveryColumnInFixedPointWhateverTheGlobalLocale) {
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new GroupingPunct));
    const struct { void (*change)(Row&); const wchar_t* cells; } cases[] = {
        {[](Row&) {}, L"4096|FP16|71.23|70.50 – 72.00|1905|320.5|64|通过 / PASS"},
        {[](Row& r) { r.fp16_accumulate = false, r.n = std::numeric_limits<std::int32_t>::min(); },
         L"-2147483648|FP32|71.23|70.50 – 72.00|1905|320.5|64|通过 / PASS"},
        {[](Row& r) { r.sm_clock_mhz = r.temperature_c = -1, r.power_w = r.min_tflops = -1.0; },
         L"4096|FP16|71.23|— – 72.00|—|—|—|通过 / PASS"},
        {[](Row& r) { r.sm_clock_mhz = r.temperature_c = 0, r.power_w = -0.0, r.median_tflops = 1234567.891; },
         L"4096|FP16|1234567.89|70.50 – 72.00|0|-0.0|0|通过 / PASS"},
        {[](Row& r) { r.median_tflops = r.max_tflops = -0.001; }, L"4096|FP16|—|70.50 – —|1905|320.5|64|通过 / PASS"},
        {[](Row& r) { r.guards_intact = false; }, L"4096|FP16|71.23|70.50 – 72.00|1905|320.5|64|失败 / FAIL"},
        {[](Row& r) { r.validation_passed = false; }, L"4096|FP16|71.23|70.50 – 72.00|1905|320.5|64|失败 / FAIL"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        Row row;
        row.n = 4096, row.median_tflops = 71.234, row.min_tflops = 70.5, row.max_tflops = 72;
        row.sm_clock_mhz = 1905, row.power_w = 320.46, row.temperature_c = 64;
        row.validation_passed = row.guards_intact = true;
        cases[i].change(row);
        std::wstring cells;
        for (const std::wstring& cell : ResultRowTexts(row)) cells += (cells.empty() ? L"" : L"|") + cell;
        EXPECT_EQ(cells, cases[i].cells) << i;
    }
    EXPECT_NE(FormatFixed(std::numeric_limits<double>::quiet_NaN(), 2), L"—");
    std::locale::global(previous);
}

// An idle GPU's reason is no cause; the log counts the trials whose reasons are known.
TEST(HealthLog, NamesWhatHeldTheClockBackAsTheTerminalDoes) {
    RunResult result;
    result.trials.resize(3);
    result.trials[0].clock_reasons = 0x4 | 0x1, result.trials[1].clock_reasons = 0x1;
    result.health.board.power_limit_mw = 250000, result.health.board.default_power_limit_mw = 300000;
    SetDerivedFigures(result);  // as the run does before its last write
    EXPECT_EQ(HealthLogLines(result),
              std::vector<std::wstring>{L"GPU 状态 / GPU health: SM clock held back by the power cap in 1 of 2 trials "
                                        L"(limit 250 W, default 300 W)"});
}

}  // namespace
}  // namespace fpbench
