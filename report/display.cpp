#include "report/display.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "bench/limits.h"
#include "bench/number_format.h"
#include "bench/statistics.h"
#include "bench/tensor_peak.h"
#include "platform/utf8.h"
#include "report/documents.h"
#include "report/result_schema.h"
#include "report/text_format.h"

namespace fpbench {
namespace {

constexpr std::string_view kStyle = R"(
body{margin:0;background:#f4f6fa;color:#1e293b;font:14px/1.5 system-ui,"Segoe UI","Microsoft YaHei UI",
"Microsoft YaHei","PingFang SC","Noto Sans CJK SC","WenQuanYi Micro Hei",sans-serif}
main{max-width:980px;margin:0 auto;padding:28px 20px 40px}h1{font-size:22px;margin:0}h2{font-size:16px;margin:0 0 12px}
header p{margin:2px 0 0;color:#64748b}footer{color:#94a3b8;font-size:12px;margin-top:18px;overflow-wrap:anywhere}
section{background:#fff;border:1px solid #e2e8f0;border-radius:10px;padding:18px 22px;margin-top:16px}
.banner{border:1px solid;border-radius:10px;padding:12px 18px;margin-top:16px;font-weight:600}
.failed{background:#fef2f2;border-color:#fca5a5;color:#991b1b}
.running{background:#eff6ff;border-color:#93c5fd;color:#1e40af}
.cancelled{background:#fffbeb;border-color:#fcd34d;color:#92400e}
pre{margin:8px 0 0;white-space:pre-wrap;overflow-wrap:anywhere;color:#1e293b;font-weight:400}
pre,.mono{font-family:ui-monospace,Consolas,monospace;font-size:12.5px}
dl{display:grid;grid-template-columns:max-content 1fr;gap:4px 20px;margin:0}dt{color:#64748b}
dd{margin:0;overflow-wrap:anywhere}table{border-collapse:collapse;width:100%;font-variant-numeric:tabular-nums}
th,td{padding:6px 7px;text-align:right;border-bottom:1px solid #edf2f7}td{white-space:nowrap}
th{font-size:12px;font-weight:600;color:#475569;background:#f8fafc;vertical-align:bottom}
th:nth-child(-n+2),td:nth-child(-n+2){text-align:left}.pass,.fail{font-weight:600}.pass{color:#15803d}
.fail{color:#b91c1c}.note{color:#64748b;font-size:12.5px;margin:10px 0 0}
.legend{display:flex;flex-wrap:wrap;gap:4px 18px;font-size:12.5px;color:#475569;margin:0 0 4px}
.fp16{--c:#2563eb}.fp32{--c:#ea580c}.clock{--c:#475569}.low{--c:#fee2e2}.power{--c:#7c3aed}.temp{--c:#dc2626}
.key::before{content:"";display:inline-block;width:11px;height:11px;margin-right:6px;vertical-align:-1px;
border-radius:50%;background:var(--c)}.fp32::before,.low::before{border-radius:2px}
.clock::before{height:3px;vertical-align:3px}
svg{display:block;width:100%;height:auto}svg text{font-size:12px;fill:#475569}svg .title{fill:#1e293b;font-size:12.5px}
svg .value{font-size:11px;fill:#1e293b}rect,circle{fill:var(--c)}path{fill:none;stroke:var(--c);stroke-width:1.8}
.grid{stroke:#e9edf3}.axis{stroke:#94a3b8}.sep{stroke:#cbd5e1;stroke-dasharray:4 3}
.whisker{stroke:#0f172a;stroke-width:1.5}rect.low{shape-rendering:crispEdges}
)";

}  // namespace

std::string PageStart(std::string_view title, std::string_view style) {
    return "<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>" +
           std::string(title) + "</title><style>" + std::string(kStyle) + std::string(style) +
           "</style></head>\n<body><main>";
}

std::string PageHeader(std::string_view title, std::string_view subtitle) {
    return "<header><h1>" + std::string(title) + "</h1><p>" + std::string(subtitle) + "</p></header>";
}

std::string Section(std::string_view heading, std::string_view body) {
    return "<section><h2>" + std::string(heading) + "</h2>" + std::string(body) + "</section>";
}

std::string Legend(std::initializer_list<std::pair<const char*, const char*>> keys) {
    std::string out = "<p class=\"legend\">";
    for (const auto& [cls, text] : keys) out += "<span class=\"key " + std::string(cls) + "\">" + text + "</span>";
    return out + "</p>";
}

std::string Cells(std::initializer_list<std::string> cells, const std::string& tag) {
    std::string out = "<tr>";
    for (const std::string& cell : cells) out += '<' + tag + '>' + cell + "</" + tag + '>';
    return out + "</tr>";
}

bool Known(double value) { return value >= 0 && std::isfinite(value); }

std::string Coordinate(double value) { return FormatDecimals(value, 1); }

std::string Shape(std::string_view tag, std::string_view attributes,
                  std::initializer_list<std::pair<const char*, double>> geometry, std::string_view content) {
    std::string out = '<' + std::string(tag) + ' ' + std::string(attributes);
    for (const auto& [name, value] : geometry) out += ' ' + std::string(name) + "=\"" + Coordinate(value) + '"';
    return content.empty() ? out + "/>" : out + '>' + std::string(content) + "</" + std::string(tag) + '>';
}

std::string Tooltip(const std::string& text) { return "<title>" + text + "</title>"; }

Scale NiceScale(double max) {
    if (!(max > 0) || !std::isfinite(max)) max = 1;
    const double raw = max / 5, magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    Scale scale{0, 10 * magnitude};
    for (const double m : {5.0, 2.5, 2.0, 1.0})  // the last that fits is the smallest
        if (m * magnitude >= raw) scale.step = m * magnitude;
    scale.top = std::ceil(max / scale.step - 1e-9) * scale.step;
    return scale;
}

Chart::Chart(double height, std::string_view label, double bottom_margin) : bottom_(height - bottom_margin) {
    svg_ = "<svg viewBox=\"0 0 " + Coordinate(kWidth) + ' ' + Coordinate(height) + "\" role=\"img\" aria-label=\"" +
           std::string(label) + "\">";
}

void Chart::Axis(const Scale& scale, bool right, std::string_view title) {
    for (int k = 0; k * scale.step <= scale.top * (1 + 1e-9); ++k) {
        const double y = Y(k * scale.step, scale);
        if (!right) Line(kLeft, y, kRight, y, k == 0 ? "axis" : "grid");
        Text(right ? kRight + 8 : kLeft - 8, y + 4, right ? "start" : "end", FormatGeneral(k * scale.step, 6));
    }
    svg_ += "<text class=\"title\" text-anchor=\"middle\" transform=\"translate(" + Coordinate(right ? kWidth - 14 : 16) +
            ' ' + Coordinate((kTop + bottom_) / 2) + ") rotate(" + (right ? "90" : "-90") + ")\">" + std::string(title) +
            "</text>";
}

void Chart::Line(double x1, double y1, double x2, double y2, std::string_view cls) {
    svg_ += Shape("line", "class=\"" + std::string(cls) + '"', {{"x1", x1}, {"y1", y1}, {"x2", x2}, {"y2", y2}});
}

void Chart::Text(double x, double y, std::string_view anchor, std::string_view text, std::string_view cls) {
    svg_ += Shape("text", "class=\"" + std::string(cls) + "\" text-anchor=\"" + std::string(anchor) + '"', {{"x", x}, {"y", y}},
                  text);
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Sequence sequence = ScanUtf8(text, at);
        const auto c = static_cast<unsigned char>(text[at]);
        const char* entity = c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '"' ? "&quot;"
                           : c == '\'' ? "&#39;" : nullptr;
        if (!sequence.valid || (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F)
            out += kUtf8Replacement;
        else
            out += entity ? std::string_view(entity) : text.substr(at, sequence.length);
        at += sequence.length;
    }
    return out;
}
std::string HtmlIsolated(std::string_view text) { return "<bdi>" + HtmlEscape(text) + "</bdi>"; }
std::string HtmlIsolatedInline(std::string_view text) {
    const std::string escaped = HtmlEscape(text);
    std::string out = "\u2068";
    for (std::size_t at = 0; at < escaped.size();) {
        const std::size_t start = at;
        const char32_t cp = DecodeUtf8(escaped, at);
        out += cp >= 0x2066 && cp <= 0x2069 ? kUtf8Replacement : std::string_view(escaped).substr(start, at - start);
    }
    return out + "\u2069";
}

}  // namespace fpbench

namespace fpbench {
namespace {

constexpr const char kEnDash[] = " \xE2\x80\x93 ";

// The chart geometry, in SVG user units.
constexpr double kLeft = Chart::kLeft, kRight = Chart::kRight, kTop = Chart::kTop;

const auto Escape = HtmlEscape;
const auto Fixed = FormatDecimals;

const char* Label(bool fp16) { return Accumulator(fp16).label; }

// Median TFLOPS per size, the two accumulators side by side, with min-max
// whiskers. Rows arrive per size as FP16 then FP32; a size listed twice on
// the command line gets a group of its own.
std::string ThroughputChart(const std::vector<Row>& rows) {
    std::vector<std::pair<std::int32_t, std::array<const Row*, 2>>> groups;
    double max = 0;
    for (const Row& row : rows) {
        const std::size_t slot = row.fp16_accumulate ? 0 : 1;
        if (groups.empty() || groups.back().first != row.n || groups.back().second[slot]) groups.push_back({row.n, {}});
        groups.back().second[slot] = &row;
        for (const double value : {row.median_tflops, row.max_tflops}) max = Known(value) ? std::max(max, value) : max;
    }
    const Scale scale = NiceScale(max * 1.12);  // headroom for the value labels
    Chart chart(330, "Median TFLOPS per matrix size");
    chart.Axis(scale, false, "TFLOPS");
    const double group_width = (kRight - kLeft) / static_cast<double>(groups.size());
    const double bar = std::min(64.0, group_width * 0.32);
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const double center = kLeft + (static_cast<double>(g) + 0.5) * group_width;
        chart.Text(center, chart.Bottom() + 18, "middle", std::to_string(groups[g].first));
        for (const Row* row : groups[g].second) {
            if (!row || !Known(row->median_tflops)) continue;
            const double x = row->fp16_accumulate ? center - bar - 2 : center + 2, mid = x + bar / 2;
            const double y = chart.Y(row->median_tflops, scale);
            const std::string median = Fixed(row->median_tflops, 2);
            chart.Raw(Shape("rect", row->fp16_accumulate ? "class=\"fp16\"" : "class=\"fp32\"",
                            {{"x", x}, {"y", y}, {"width", bar}, {"height", chart.Bottom() - y}},
                            Tooltip(std::to_string(row->n) + ' ' + Label(row->fp16_accumulate) + ": " + median +
                                    " TFLOPS (" + Reading(row->min_tflops, 2) + kEnDash + Reading(row->max_tflops, 2) +
                                    ')')));
            double label_y = y;
            if (Known(row->min_tflops) && Known(row->max_tflops)) {
                const double low = chart.Y(row->min_tflops, scale), high = chart.Y(row->max_tflops, scale);
                chart.Line(mid, low, mid, high, "whisker");
                for (const double end : {low, high}) chart.Line(mid - bar / 5, end, mid + bar / 5, end, "whisker");
                label_y = std::min(y, high);
            }
            // A label wider than its bar would run into the neighbour's.
            if (static_cast<double>(median.size()) * 6.4 <= bar + 3)
                chart.Text(mid, label_y - 6, "middle", median, "value");
        }
    }
    chart.Text((kLeft + kRight) / 2, chart.Bottom() + 42, "middle", "矩阵边长 / Matrix size N", "title");
    return Legend({{"fp16", "FP16 累加 / FP16 accumulation"}, {"fp32", "FP32 累加 / FP32 accumulation"}}) +
           chart.Finish();
}

double TrialX(std::size_t index, std::size_t count) {
    return kLeft + (static_cast<double>(index) + 0.5) * (kRight - kLeft) / static_cast<double>(count);
}

// The x axis of the per-trial charts: trials in run order, each size's
// trials between dashed separators and named above the plot.
void TrialAxis(Chart& chart, const std::vector<TrialRecord>& trials) {
    const double band = (kRight - kLeft) / static_cast<double>(trials.size());
    std::size_t step = 1;  // the first that keeps the numbers apart
    for (const std::size_t nice : {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000})
        if ((step = nice) * band >= 34) break;
    for (std::size_t k = step; k <= trials.size(); k += step)
        chart.Text(TrialX(k - 1, trials.size()), chart.Bottom() + 18, "middle", std::to_string(k));
    for (std::size_t first = 0, last; first < trials.size(); first = last) {
        for (last = first; last < trials.size() && trials[last].n == trials[first].n;) ++last;
        const double x0 = kLeft + static_cast<double>(first) * band, x1 = kLeft + static_cast<double>(last) * band;
        if (first > 0) chart.Line(x0, kTop - 4, x0, chart.Bottom(), "sep");
        const std::string name = "N = " + std::to_string(trials[first].n);
        if (static_cast<double>(name.size()) * 7 <= x1 - x0) chart.Text((x0 + x1) / 2, kTop - 10, "middle", name);
    }
    chart.Text((kLeft + kRight) / 2, chart.Bottom() + 42, "middle", "测试序号 / Trial, in run order", "title");
}

// The highest known reading, -1 when there is none.
double Peak(const std::vector<double>& values) {
    double peak = -1;
    for (const double value : values) peak = Known(value) ? std::max(peak, value) : peak;
    return peak;
}

// A line through the known readings, broken where one is missing (a gap,
// never a zero), with a dot on each reading.
void Series(Chart& chart, const std::vector<double>& values, const Scale& scale, const char* cls, const char* unit,
            int decimals) {
    std::string path, dots;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!Known(values[i])) continue;
        const double x = TrialX(i, values.size()), y = chart.Y(values[i], scale);
        path += (i > 0 && Known(values[i - 1]) ? "L" : "M") + Coordinate(x) + ' ' + Coordinate(y);
        dots += Shape("circle", "class=\"" + std::string(cls) + "\" data-trial=\"" + std::to_string(i + 1) + '"',
                      {{"cx", x}, {"cy", y}, {"r", 2.5}},
                      Tooltip('#' + std::to_string(i + 1) + ": " + Fixed(values[i], decimals) + ' ' + unit));
    }
    if (!path.empty()) chart.Raw("<path class=\"" + std::string(cls) + "\" d=\"" + path + "\"/>" + dots);
}

// What held a throttled trial's clock back, as its band's tooltip; nothing
// when NVML named no reason.
std::string SlowingReasons(const TrialRecord& trial, std::size_t index) {
    std::string words;
    for (const ClockReasonName& reason : kClockReasons)
        if (reason.slows && trial.clock_reasons > 0 && (static_cast<unsigned long long>(trial.clock_reasons) & reason.bit) != 0)
            words += (words.empty() ? "" : ", ") + std::string(reason.words);
    return words.empty() ? std::string() : Tooltip('#' + std::to_string(index + 1) + ": SM clock held back by " + words);
}

// Every trial's TFLOPS in run order with the SM clock on a second axis; the
// trials whose clock fell below 90 % of the run's peak are shaded.
std::string TrialChart(const std::vector<TrialRecord>& trials, const ClockDrop& drop) {
    std::vector<double> clocks, tflops;
    for (const TrialRecord& t : trials) {
        clocks.push_back(t.sm_clock_mhz);
        tflops.push_back(t.tflops);
    }
    const Scale scale = NiceScale(Peak(tflops) * 1.1);
    const double band = (kRight - kLeft) / static_cast<double>(trials.size());
    Chart chart(340, "TFLOPS and SM clock of every trial");
    for (std::size_t i = 0; i < trials.size(); ++i)
        if (IsLowClock(trials[i], drop.peak_mhz))
            chart.Raw(Shape("rect", "class=\"low\" data-trial=\"" + std::to_string(i + 1) + '"',
                            {{"x", kLeft + static_cast<double>(i) * band}, {"y", kTop}, {"width", band},
                             {"height", chart.Bottom() - kTop}},
                            SlowingReasons(trials[i], i)));
    chart.Axis(scale, false, "TFLOPS");
    if (drop.peak_mhz >= 0) {
        const Scale clock_scale = NiceScale(drop.peak_mhz * 1.1);
        chart.Axis(clock_scale, true, "SM 时钟 / SM clock (MHz)");
        Series(chart, clocks, clock_scale, "clock", "MHz", 0);
    }
    TrialAxis(chart, trials);
    const double size = std::clamp(band * 0.3, 1.5, 4.5);
    for (std::size_t i = 0; i < trials.size(); ++i) {
        const TrialRecord& t = trials[i];
        if (!Known(t.tflops)) continue;
        const double x = TrialX(i, trials.size()), y = chart.Y(t.tflops, scale);
        const std::string number = std::to_string(i + 1);
        const std::string tooltip = Tooltip('#' + number + ": " + std::to_string(t.n) + ' ' +
                                            Label(t.fp16_accumulate) + ", " + Fixed(t.tflops, 2) + " TFLOPS, " +
                                            Reading(t.sm_clock_mhz, 0) + " MHz");
        chart.Raw(t.fp16_accumulate ? Shape("circle", "class=\"trial fp16\" data-trial=\"" + number + '"',
                                            {{"cx", x}, {"cy", y}, {"r", size}}, tooltip)
                                    : Shape("rect", "class=\"trial fp32\" data-trial=\"" + number + '"',
                                            {{"x", x - size}, {"y", y - size}, {"width", 2 * size},
                                             {"height", 2 * size}}, tooltip));
    }
    const std::string peak = " of the peak of " + std::to_string(drop.peak_mhz) + " MHz.";
    return Legend({{"fp16", "FP16 累加 / FP16 accumulation"}, {"fp32", "FP32 累加 / FP32 accumulation"},
                   {"clock", "SM 时钟 / SM clock"}, {"low", "低时钟 / Low clock"}}) +
           chart.Finish() + "<p class=\"note\">" +
           (drop.peak_mhz < 0         ? "无 SM 时钟读数 / No SM clock readings, so a clock drop cannot be seen."
            : drop.low_trials == 0 ? "无时钟下降 / No clock drop: every SM clock reading was within 90 %" + peak
                                   : "时钟下降 / Clock drop: " + std::to_string(drop.low_trials) + " of " +
                                         std::to_string(drop.trials) + " trials (shaded) ran below 90 %" + peak) +
           "</p>";
}

std::string PowerChart(const std::vector<TrialRecord>& trials) {
    std::vector<double> watts, degrees;  // -1: no reading
    for (const TrialRecord& t : trials) {
        watts.push_back(t.power_mw < 0 ? -1.0 : t.power_mw / 1000.0);
        degrees.push_back(t.temperature_c);
    }
    if (Peak(watts) < 0 && Peak(degrees) < 0)
        return "<p class=\"note\">无功耗与温度读数 / NVML gave no power or temperature readings.</p>";
    // At least 0-100 degrees, so that the temperature keeps clear of the power line.
    const Scale power_scale = NiceScale(Peak(watts) * 1.1);
    const Scale degree_scale = NiceScale(std::max(100.0, Peak(degrees) * 1.1));
    Chart chart(300, "Power and temperature of every trial");
    chart.Axis(power_scale, false, "功耗 / Power (W)");
    chart.Axis(degree_scale, true, "温度 / Temperature (\u00B0C)");
    TrialAxis(chart, trials);
    Series(chart, watts, power_scale, "power", "W", 1);
    Series(chart, degrees, degree_scale, "temp", "\u00B0C", 0);
    return Legend({{"power", "功耗 / Power"}, {"temp", "温度 / Temperature"}}) + chart.Finish();
}

// The columns of the result that the page carries, as the schema lists them.
std::string ResultsTable(const std::vector<Row>& rows) {
    std::string out = "<table id=\"results\"><thead><tr>";
    for (const auto& column : schema::RowColumns())
        if (column.In(schema::kPage)) out += "<th>" + Escape(column.Heading()) + "</th>";
    out += "</tr></thead><tbody>";
    for (const Row& row : rows) {
        out += "<tr>";
        for (const auto& column : schema::RowColumns()) {
            if (!column.In(schema::kPage)) continue;
            const std::string text = Escape(DisplayText(column, row));
            const bool pass = column.Read(row).value != 0;
            out += column.kind == schema::Kind::Pass
                       ? "<td><span class=\"" + std::string(pass ? "pass" : "fail") + "\">" + text + "</span></td>"
                       : "<td>" + text + "</td>";
        }
        out += "</tr>";
    }
    return out + "</tbody></table>";
}

// FLOP per SM per clock cycle: the throughput with the clock taken out, to
// set beside the architecture's tensor-core peak whatever clock the GPU ran.
std::string PerClockTable(const std::vector<Row>& rows) {
    std::string out = "<table id=\"per-clock\"><thead>" +
                      Cells({"规模 / N", "累加 / Accum.", "中位 / Median TFLOPS", "时钟 / MHz",
                             "每 SM 每周期 / FLOP per SM per cycle"}, "th") + "</thead><tbody>";
    for (const Row& row : rows) {
        out += Cells({std::to_string(row.n), Label(row.fp16_accumulate), Reading(row.median_tflops, 2),
                      Reading(row.sm_clock_mhz, 0), Reading(row.per_clock, 1)});
    }
    return out + "</tbody></table><p class=\"note\">= TFLOPS \u00B7 10\u00B9\u00B2 / (SM 数 \u00B7 SM 时钟 Hz) / "
                 "(SMs \u00B7 SM clock in Hz), from the row's median clock; a dash where the clock is unknown.</p>";
}

// Below the results table: where batches were cut short by the launch cap,
// and what the peak is that the rows are measured against.
std::string ResultsNotes(const RunResult& result) {
    std::string out;
    for (const std::string& note : BatchCapNotes(result)) out += "<p class=\"note\">" + Escape(note) + "</p>";
    for (const std::string& note : HealthNotes(result)) out += "<p class=\"note health\">" + Escape(note) + "</p>";
    const DeviceInfo& device = result.device;
    const std::int32_t clock = result.clock_drop.peak_mhz;
    if (device.sm_count > 0)
        out += "<p class=\"note\">峰值 / Peak: " + std::to_string(device.sm_count) + " SMs \u00B7 " +
               (clock >= 0 ? std::to_string(clock) + " MHz (the run's highest SM clock)"
                           : FormatGeneral(kClockCeilingMhz, 6) + " MHz (no clock reading)") +
               " \u00B7 " + FormatGeneral(result.peak.flop_per_sm_clock, 6) +
               " FLOP per SM per cycle = " + Fixed(result.peak.tflops, 1) +
               " TFLOPS, the dense FP16 tensor-core peak of compute capability " + std::to_string(device.major) + '.' +
               std::to_string(device.minor) + ".</p>";
    return out;
}

// What the numbers cannot tell, in plain words.
std::string Limitations() {
    std::string out = "<ul>";
    for (const char* limitation : kLimitations) out += "<li>" + Escape(limitation) + "</li>";
    return out +
           "<li>The check reads 21 values of C after the first and the last batch of each accumulator. A launch "
           "that stops writing C part-way through a batch goes unseen when an earlier launch of that batch already "
           "left the right values; launches that do no work usually also finish too fast, and a throughput above "
           "what the GPU can do fails the run.</li></ul>";
}

// How each status reads, and what a run that did not complete says at the
// top of the page, in plain words.
struct StatusText {
    const char *status, *words, *banner;
};
constexpr StatusText kStatusTexts[] = {
    {run_status::kCompleted, "已完成 / Completed", ""},
    {run_status::kRunning, "运行中 / Running",
     "运行中 / The run is still going: this page is rewritten after every finished row."},
    {run_status::kFailed, "失败 / Failed",
     "运行失败 / The run failed. Only the results finished before the failure are shown."},
    {run_status::kCancelled, "已取消 / Cancelled",
     "运行已取消 / The run was stopped before it finished. Only the results finished until then are shown."},
};

std::string RunDetails(const RunResult& result, const std::string& status, std::span<const HeldReport> held) {
    const DeviceInfo& device = result.device;
    const auto text = [](const std::string& value) { return value.empty() ? std::string(kDash) : Escape(value); };
    // The driver's texts may hold bidirectional controls.
    const auto outside = [](const std::string& value) {
        return value.empty() ? std::string(kDash) : HtmlIsolated(value);
    };
    std::string sizes;
    for (const std::int32_t n : result.options.sizes) sizes += (sizes.empty() ? "" : ", ") + std::to_string(n);
    std::string out = "<dl>";
    for (const auto& [term, value] : std::initializer_list<std::pair<const char*, std::string>>{
             {"设备 / Device", outside(device.name)},
             {"UUID", "<span class=\"mono\">" + outside(device.uuid) + "</span>"},
             {"计算能力 / Compute capability",
              device.major > 0 ? std::to_string(device.major) + '.' + std::to_string(device.minor)
                               : std::string(kDash)},
             {"SM 数 / SMs", device.sm_count > 0 ? std::to_string(device.sm_count) : std::string(kDash)},
             {"后端 / Backend", text(result.backend)},
             {"程序 / Program", kProgramVersion},
             {"开始 / Started (UTC)", text(result.started_utc)},
             {"结束 / Finished (UTC)", text(result.finished_utc)},
             {"状态 / Status", status},
             {"设置 / Settings", "N = " + sizes + "; " + std::to_string(result.options.trials_per_mode) +
                                     " trials per mode, " + FormatGeneral(result.options.sample_ms, 6) +
                                     " ms per batch asked for, " + FormatGeneral(result.options.warmup_seconds, 6) +
                                     " s warm-up"},
         })
        out += "<dt>" + std::string(term) + "</dt><dd>" + value + "</dd>";
    out += "</dl>";
    // The file names are the program's own.
    for (const HeldReport& file : held)
        out += "<p class=\"note\">文件被其他程序占用 / held by another program: " + Escape(file.name) +
               "; its final content is in " + Escape(file.written_as) + "</p>";
    return out;
}

}  // namespace

std::string HtmlReport(const RunResult& result, std::string_view kernel_source_sha256, std::span<const HeldReport> held) {
    const std::string no_rows = "<p class=\"note\">尚无完成的结果 / No finished rows so far.</p>";
    const std::string no_trials = "<p class=\"note\">尚无测试 / No trials so far.</p>";
    const auto device = [&](std::string (*isolated)(std::string_view)) {
        return result.device.name.empty() ? std::string() : " \u2014 " + isolated(result.device.name);
    };
    StatusText status{"failed", nullptr, ""};  // an unknown word is shown as it is
    for (const StatusText& known : kStatusTexts)
        if (result.status == known.status) status = known;
    // A run that did not complete says so first; an error text shows whatever the status.
    std::string banner = status.banner;
    if (!result.error.empty()) banner += "<pre>" + HtmlIsolated(result.error) + "</pre>";
    const std::string banner_class = *status.banner ? status.status : "failed";
    if (!banner.empty()) banner = "<div class=\"banner " + banner_class + "\">" + banner + "</div>";
    const bool rows = !result.rows.empty(), trials = !result.trials.empty();
    return PageStart("Tessmor Bench" + device(HtmlIsolatedInline)) +
           PageHeader("Tessmor Bench 报告 / Report",
                      "FP16 GEMM 张量核心吞吐 / tensor-core throughput" + device(HtmlIsolated)) + banner +
           Section("运行 / Run", RunDetails(result, status.words ? status.words : HtmlIsolated(result.status), held)) +
           Section("结果 / Results", rows ? ResultsTable(result.rows) + ResultsNotes(result) : no_rows) +
           Section("中位吞吐 / Median throughput", rows ? ThroughputChart(result.rows) : no_rows) +
           Section("逐次测试与时钟 / Every trial and the SM clock", trials ? TrialChart(result.trials, result.clock_drop) : no_trials) +
           Section("功耗与温度 / Power and temperature", trials ? PowerChart(result.trials) : no_trials) +
           Section("按时钟归一化 / Clock-normalised throughput",
                   rows ? PerClockTable(result.rows) : no_rows) +
           Section("局限 / What these numbers cannot tell", Limitations()) +
           "<footer>" + std::string(kProgramVersion) + " \u00B7 内核源码 / kernel source SHA-256 <span class=\"mono\">" +
           Escape(kernel_source_sha256) +
           "</span> \u00B7 result.json, summary.csv 与 trials.csv 在同一文件夹 / result.json, summary.csv and "
           "trials.csv in the same folder hold every number.</footer>" +
           std::string(kPageEnd);
}

std::string Reading(double value, int decimals) { return Reading(value, schema::Display{decimals}); }

std::string Reading(double value, const schema::Display& display) {
    if (!(value >= 0) || !std::isfinite(value)) return std::string(kDash);
    int decimals = display.digits;
    // Significant digits, trailing zeros kept, so that a column of times from
    // microseconds to seconds reads evenly.
    if (display.significant && value > 0)
        decimals = std::clamp(display.digits - 1 - static_cast<int>(std::floor(std::log10(value))), 0, 12);
    return display.prefix + FormatDecimals(value, decimals) + display.suffix;
}

std::string DisplayText(schema::Kind kind, const schema::Display& display, bool negative_unknown,
                        const schema::Cell& cell) {
    using schema::Kind;
    switch (kind) {
        case Kind::Integer:
            return negative_unknown && cell.value < 0 ? std::string(kDash)
                                                       : std::to_string(static_cast<long long>(cell.value));
        case Kind::Number: return Reading(cell.value, display);
        case Kind::Flag: return cell.value != 0 ? "true" : "false";
        case Kind::Pass: return cell.value != 0 ? "通过 / PASS" : "失败 / FAIL";
        case Kind::Accumulator: return Accumulator(cell.value != 0).label;
        case Kind::Text: return std::string(cell.text);
        case Kind::Range: return Reading(cell.value, display) + " \xE2\x80\x93 " + Reading(cell.high, display);
    }
    return {};
}

std::vector<std::string> BatchCapNotes(const RunResult& result) {
    std::vector<std::string> notes;
    for (const Row& row : result.rows)
        if (row.launches_capped)
            notes.push_back("At N = " + std::to_string(row.n) + " (" + Accumulator(row.fp16_accumulate).label +
                            ") a batch held the most launches allowed, " +
                            std::to_string(limits::kMaxLaunchesPerBatch) + ", and lasted " +
                            Reading(row.batch_ms, schema::Display{3, true}) + " ms, not the " +
                            FormatGeneral(result.options.sample_ms, 6) + " ms asked for.");
    return notes;
}

std::vector<std::string> HealthNotes(const RunResult& result) {
    std::vector<std::string> notes;
    const NvmlBoard& board = result.health.board;
    const ReasonTally& tally = result.reason_tally;
    const auto watts = [](std::int32_t milliwatts) { return FormatGeneral(milliwatts / 1000.0, 6) + " W"; };
    for (std::size_t i = 0; i < std::size(kClockReasons); ++i) {
        const ClockReasonName& reason = kClockReasons[i];
        if (!reason.slows || tally.trials[i] == 0) continue;
        std::string detail;
        if (reason.bit == nvml::kReasonSwPowerCap && board.power_limit_mw >= 0)
            detail = " (limit " + watts(board.power_limit_mw) +
                     (board.default_power_limit_mw >= 0 ? ", default " + watts(board.default_power_limit_mw) : "") + ")";
        if (reason.bit == nvml::kReasonSwThermalSlowdown && board.slowdown_temperature_c >= 0)
            detail = " (slowdown at " + std::to_string(board.slowdown_temperature_c) + " \u00B0C)";
        notes.push_back("SM clock held back by " + std::string(reason.words) + " in " + std::to_string(tally.trials[i]) +
                        " of " + std::to_string(tally.known_trials) + " trials" + detail);
    }
    if (board.pcie_width >= 0 && board.pcie_max_width > board.pcie_width)
        notes.push_back("PCIe link x" + std::to_string(board.pcie_width) + " of x" + std::to_string(board.pcie_max_width) +
                        " (gen " + std::to_string(board.pcie_generation) + " of " +
                        std::to_string(board.pcie_max_generation) + ")");
    if (board.remap_failure > 0) notes.push_back("Row remapping failed: the GPU's memory needs service");
    if (board.remap_pending > 0) notes.push_back("Row remapping pending: a GPU reset applies it");
    return notes;
}

}  // namespace fpbench
