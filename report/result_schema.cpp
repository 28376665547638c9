#include "report/result_schema.h"

namespace fpbench::schema {
namespace {

constexpr Display kTwo{2};
constexpr Display kOne{1};
constexpr Display kWhole{0};

// In the order of result.json's members and of the tables' fields; the
// screens show theirs in the same order.
constexpr Column<Row> kRowColumns[] = {
    {"n", "N", "规模 / N", "", "", Kind::Integer, kWhole, false, kFiles | kScreens, 100,
     &Row::n},
    {"mode", "accumulator", "累加 / Accum.", "", "", Kind::Accumulator, kWhole, false, kFiles | kScreens, 150,
     &Row::fp16_accumulate},
    {"median_tflops", "median_TFLOPS", "TFLOPS", "中位 / Median TFLOPS", "TFLOPS", Kind::Number, kTwo, false,
     kFiles | kScreens, 100, &Row::median_tflops},
    {"", "", "", "噪声 / Noise", "%", Kind::Number, {1, false, "\u00B1 ", " %"}, false, kPage | kTerminal, 0,
     &Row::noise_pct},
    {"", "", "", "峰值占比 / Of peak", "%", Kind::Number, {1, false, "", " %"}, false, kPage | kTerminal, 0,
     &Row::peak_pct},
    {"min_tflops", "min_TFLOPS", "", "最小 / Min TFLOPS", "TFLOPS", Kind::Number, kTwo, false, kFiles, 0,
     &Row::min_tflops},
    {"max_tflops", "max_TFLOPS", "", "最大 / Max TFLOPS", "TFLOPS", Kind::Number, kTwo, false, kFiles, 0,
     &Row::max_tflops},
    {"", "", "范围 / Range", "范围 / Min \u2013 max", "TFLOPS", Kind::Range, kTwo, false, kPage | kWindow, 155,
     {}, [](const Row& r) { return Cell{r.min_tflops, r.max_tflops, {}}; }},
    {"median_ms", "median_ms", "", "耗时 / ms per GEMM", "ms", Kind::Number, {4, true}, false,
     kFiles | kPage | kTerminal, 0, &Row::median_ms},
    {"", "", "", "批次 / Batch ms", "ms", Kind::Number, {3, true}, false, kPage | kTerminal, 0,
     &Row::batch_ms},
    {"sm_clock_mhz", "SM_clock_MHz", "MHz", "时钟 / MHz", "MHz", Kind::Integer, kWhole, true,
     kFiles | kPage | kWindow, 70, &Row::sm_clock_mhz},
    {"power_w", "power_W", "功耗 / W", "", "W", Kind::Number, kOne, true, kFiles | kPage | kWindow, 85,
     &Row::power_w},
    {"temperature_c", "max_temp_C", "温度 / °C", "温度 / Max °C", "°C", Kind::Integer, kWhole, true,
     kFiles | kPage | kWindow, 85, &Row::temperature_c},
    {"checked_elements", "", "", "", "", Kind::Integer, kWhole, false, kDocument, 0,
     &Row::checked_elements},
    {"", "validation", "", "", "", Kind::Pass, kWhole, false, kTable, 0,
     &Row::validation_passed},
    {"max_abs_error", "max_abs_error", "", "", "", Kind::Number, kWhole, false, kFiles, 0,
     &Row::max_abs_error},
    {"validation_passed", "", "", "", "", Kind::Flag, kWhole, false, kDocument, 0,
     &Row::validation_passed},
    {"guards_intact", "", "", "", "", Kind::Flag, kWhole, false, kDocument, 0,
     &Row::guards_intact},
    // The check a reader acts on: the 21 values and the guard bytes.
    {"", "", "校验 / Check", "", "", Kind::Pass, kWhole, false, kScreens, 105,
     {}, [](const Row& r) { return Cell{r.validation_passed && r.guards_intact ? 1.0 : 0.0, 0, {}}; }},
    {"cubin_sha256", "", "", "", "", Kind::Text, kWhole, false, kDocument, 0,
     &Row::cubin_sha256},
};

constexpr Column<TrialRecord> kTrialColumns[] = {
    {"n", "N", "", "", "", Kind::Integer, kWhole, false, kFiles, 0, &TrialRecord::n},
    {"mode", "accumulator", "", "", "", Kind::Accumulator, kWhole, false, kFiles, 0,
     &TrialRecord::fp16_accumulate},
    {"repetition", "repetition", "", "", "", Kind::Integer, kWhole, false, kFiles, 0,
     &TrialRecord::repetition},
    {"order", "order", "", "", "", Kind::Integer, kWhole, false, kFiles, 0,
     &TrialRecord::order},
    {"gemms", "gemms", "", "", "", Kind::Integer, kWhole, false, kFiles, 0,
     &TrialRecord::gemms},
    {"batch_ms", "batch_ms", "", "", "ms", Kind::Number, kWhole, false, kFiles, 0,
     &TrialRecord::batch_ms},
    {"ms_per_gemm", "ms_per_gemm", "", "", "ms", Kind::Number, kWhole, false, kFiles, 0,
     &TrialRecord::ms_per_gemm},
    {"tflops", "TFLOPS", "", "", "TFLOPS", Kind::Number, kWhole, false, kFiles, 0,
     &TrialRecord::tflops},
    {"sm_clock_mhz", "SM_clock_MHz", "", "", "MHz", Kind::Integer, kWhole, true, kFiles, 0,
     &TrialRecord::sm_clock_mhz},
    {"power_mw", "power_mW", "", "", "mW", Kind::Integer, kWhole, true, kFiles, 0,
     &TrialRecord::power_mw},
    {"temperature_c", "temperature_C", "", "", "°C", Kind::Integer, kWhole, true, kFiles, 0,
     &TrialRecord::temperature_c},
};

}  // namespace

std::span<const Column<Row>> RowColumns() { return kRowColumns; }
std::span<const Column<TrialRecord>> TrialColumns() { return kTrialColumns; }

std::string_view English(std::string_view text) {
    const auto slash = text.find(" / ");
    return slash == std::string_view::npos ? text : text.substr(slash + 3);
}

}  // namespace fpbench::schema
