// The window's texts and choices that need no window system.
#include <gtest/gtest.h>

#include <limits>
#include <locale>

#include "app/text.h"
#include "bench/kernel_catalogue.h"
#include "ui/window_logic.h"

namespace fpbench {
namespace {

DeviceInfo Device(int ordinal, const char* name, int major, int minor) {
    return DeviceInfo{ordinal, 68, major, minor, name, ""};
}

TEST(GpuList, ListsEveryDeviceAndPreselectsTheFirstSupportedOne) {
    const GpuChoices choices =
        ListGpuChoices({Device(0, "Tesla T4", 7, 5), Device(1, "\xE6\xB5\x8B\xE8\xAF\x95 GPU", 8, 9)});
    EXPECT_EQ(choices.entries, (std::vector<std::wstring>{L"0: Tesla T4  ·  68 SM  (此版本不支持 / Unsupported)",
                                                          L"1: 测试 GPU  ·  68 SM"}));
    EXPECT_EQ(choices.selection, 1u);
    EXPECT_FALSE(ListGpuChoices({Device(0, "a", 8, 0), Device(1, "b", 7, 5)}).selection);
    EXPECT_FALSE(ListGpuChoices({}).selection);

    const std::vector<DeviceInfo> devices{Device(0, "a", 7, 5), Device(1, "b", 8, 6), Device(2, "c", 12, 0)};
    EXPECT_FALSE(CanStartOn(devices, -1));
    EXPECT_FALSE(CanStartOn(devices, 0));
    EXPECT_TRUE(CanStartOn(devices, 1));
    EXPECT_TRUE(CanStartOn(devices, 2));
    EXPECT_FALSE(CanStartOn(devices, 3));
}

TEST(TrialsBox, AcceptsOneToFiftyAfterOptionalBlanksAndSign) {
    for (auto [text, value] : {std::pair{L" 7", 7}, {L"007", 7}, {L"\t+7", 7}, {L"1", 1}, {L"50", 50}})
        EXPECT_EQ(ParseTrials(text), value) << Utf8FromWide(text);
    for (const wchar_t* text :
         {L"", L"0", L"51", L"-7", L"7x", L"7 ", L" ", L"+", L"99999999999", L"-99999999999", L"７"})
        EXPECT_FALSE(ParseTrials(text)) << Utf8FromWide(text);
}

// A locale that groups thousands and writes a decimal comma.
struct GroupingPunct : std::numpunct<wchar_t> {
    wchar_t do_decimal_point() const override { return L','; }
    wchar_t do_thousands_sep() const override { return L'.'; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(NumberFormats, FixedPointWithoutGroupingWhateverTheGlobalLocale) {
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new GroupingPunct));
    EXPECT_EQ(FormatFixed(1234567.891, 2), L"1234567.89");
    EXPECT_EQ(FormatFixed(320.46, 1), L"320.5");
    EXPECT_EQ(FormatFixed(0.0, 1), L"0.0");
    EXPECT_EQ(FormatFixed(-0.001, 2), L"—");
    EXPECT_EQ(FormatFixed(-0.0, 2), L"-0.00");  // not below zero
    EXPECT_NE(FormatFixed(std::numeric_limits<double>::quiet_NaN(), 2), L"—");
    EXPECT_EQ(FormatInt(std::numeric_limits<std::int32_t>::min()), L"-2147483648");
    std::locale::global(previous);
}

Row SampleRow() {
    Row row;
    row.n = 4096;
    row.median_tflops = 71.234;
    row.min_tflops = 70.5;
    row.max_tflops = 72;
    row.sm_clock_mhz = 1905;
    row.power_w = 320.46;
    row.temperature_c = 64;
    row.validation_passed = row.guards_intact = true;
    return row;
}

using Cells = std::array<std::wstring, 8>;

TEST(ResultRow, ShowsEveryColumn) {
    EXPECT_EQ(ResultRowTexts(SampleRow()),
              (Cells{L"4096", L"FP16", L"71.23", L"70.50 – 72.00", L"1905", L"320.5", L"64", L"通过 / PASS"}));
}

TEST(ResultRow, OnlyNegativeValuesShowTheDash) {
    Row row = SampleRow();
    row.fp16_accumulate = false;
    row.sm_clock_mhz = row.temperature_c = -1;
    row.power_w = -1.0;
    row.min_tflops = -1.0;
    EXPECT_EQ(ResultRowTexts(row),
              (Cells{L"4096", L"FP32", L"71.23", L"— – 72.00", L"—", L"—", L"—", L"通过 / PASS"}));
    row.sm_clock_mhz = row.temperature_c = 0;
    row.power_w = 0.0;
    row.median_tflops = row.max_tflops = -2.0;
    EXPECT_EQ(ResultRowTexts(row), (Cells{L"4096", L"FP32", L"—", L"— – —", L"0", L"0.0", L"0", L"通过 / PASS"}));
}

TEST(ResultRow, CheckPassesOnlyWithValidationAndGuardsAndOutcomeFollowsTheStatusWord) {
    Row row = SampleRow();
    row.guards_intact = false;
    EXPECT_EQ(ResultRowTexts(row)[7], L"失败 / FAIL");
    row.guards_intact = true;
    row.validation_passed = false;
    EXPECT_EQ(ResultRowTexts(row)[7], L"失败 / FAIL");

    EXPECT_STREQ(OutcomeStatusText("completed"), L"测试完成，校验通过 / Completed, validation passed");
    EXPECT_STREQ(OutcomeStatusText("cancelled"), L"已停止，资源已清理 / Stopped, resources cleaned up");
    for (const char* other : {"failed", "running", "Completed", ""})
        EXPECT_STREQ(OutcomeStatusText(other), L"测试失败，请查看日志 / Test failed; see log") << other;
}

TEST(About, TwelveLinesAnEmptyLineThenTheLicenceNotice) {
    const std::wstring text = AboutBoxText(KernelLicenceNotice());
    const std::wstring head =
        L"Tessmor Bench 1.0\r\n\r\nWindows + NVIDIA 驱动即可运行。\r\nOnly Windows and the NVIDIA driver are required.\r\n"
        L"\r\n运行时不需要 Python、CUDA Toolkit 或 cuBLAS。\r\nNo Python, CUDA Toolkit or cuBLAS runtime is required.\r\n"
        L"\r\n当前版本：SM 8.6 原生内核；更新 GPU 通过驱动 JIT，尚未实测。\r\n"
        L"Native SM 8.6 kernels; newer GPUs use driver JIT and remain unvalidated.\r\n"
        L"\r\nEmbedded GEMM kernels derive from Triton's MIT-licensed tutorial.\r\n\r\n/*\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_EQ(text.size(), head.size() - 3 + KernelLicenceNotice().size());
    EXPECT_EQ(text.substr(text.size() - 3), L"*/\n");
}

}  // namespace
}  // namespace fpbench
