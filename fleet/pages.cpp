#include <algorithm>
#include <cmath>
#include <map>

#include "bench/limits.h"
#include "bench/number_format.h"
#include "fleet/compare.h"
#include "fleet/screen.h"
#include "report/html_parts.h"
#include "report/text_format.h"

namespace fpbench {
namespace {

const auto Escape = HtmlEscape;

// Added to the shared sheet. A verdict's word is its class, so that the word
// and its colours (--c for marks, --b and --t for badges) cannot part.
constexpr std::string_view kStyle = R"(
main{max-width:1240px}h3{font-size:14px;margin:18px 0 6px}h3:first-of-type{margin-top:4px}
.fail,.failed,.slower{--c:#dc2626;--b:#fee2e2;--t:#991b1b}.warn,.unclear{--c:#d97706;--b:#fef3c7;--t:#92400e}
.unstable{--c:#7c3aed;--b:#ede9fe;--t:#5b21b6}.unreadable{--c:#475569;--b:#e2e8f0;--t:#334155}
.ok,.same{--c:#94a3b8;--b:#f1f5f9;--t:#475569}.faster{--c:#16a34a;--b:#dcfce7;--t:#166534}
.superseded{--c:#cbd5e1;--b:#f8fafc;--t:#94a3b8}.base{--c:#94a3b8}.new{--c:#2563eb}
.v{display:inline-block;padding:0 8px;border-radius:9px;font-weight:600;font-size:12.5px;background:var(--b);color:var(--t)}
.tiles{display:flex;flex-wrap:wrap;gap:10px;margin:0 0 14px}.tile{flex:1;min-width:120px;border-radius:8px;
padding:8px 14px;background:var(--b);color:var(--t);font-weight:600}.tile b{display:block;font-size:24px;line-height:1.2}
.facts{margin:10px 0 0;padding-left:20px}.facts .differ{color:#92400e;font-weight:600}
.text td,.text th{text-align:left}.text .n,#rows :is(td,th):nth-child(n+3):nth-child(-n+10),
#gpus :is(td,th):nth-child(n+7){text-align:right}#gpus{font-size:13px}#gpus td:nth-child(5){min-width:6em}#rows td:last-child{min-width:14em}
#rows td:last-child,#flagged td:nth-child(2),#gpus td:nth-child(5),#cohorts td:first-child{
white-space:normal;overflow-wrap:anywhere}#gpus td:nth-child(2){font:11.5px ui-monospace,Consolas,monospace}
.scroll{overflow-x:auto}.mono{font-size:11.5px}.legend .key{color:inherit;font-weight:inherit}
.med{--c:#0f172a}.wl{--c:#d97706}.fl{--c:#dc2626}.line::before,.dash::before{height:0;border-radius:0;
vertical-align:3px;background:none;border-top:2px solid var(--c)}.dash::before{border-top-style:dashed}
.ring::before{background:#fff;border:2px solid var(--c);width:8px;height:8px}
line.med,line.wl,line.fl{stroke:var(--c);stroke-width:1.6}line.wl,line.fl{stroke-dasharray:6 4}
.dots{stroke:#94a3b8;stroke-width:7;stroke-linecap:round}.dots.m{stroke-width:4.5}.dots.s{stroke-width:3;opacity:.6}
circle.ring{fill:#fff;stroke:var(--c);stroke-width:2}.lane{stroke:#e2e8f0}
)";

std::string Number(double value, int decimals) {
    return std::isfinite(value) ? FormatDecimals(value, decimals) : std::string(kDash);
}

std::string Percent(double value, int decimals = 1) {
    return std::isfinite(value) ? (value > 0 ? "+" : "") + FormatDecimals(value, decimals) + " %" : std::string(kDash);
}

std::string Badge(const std::string& verdict) {
    return "<span class=\"v " + verdict + "\">" + verdict + "</span>";
}

std::string RowName(std::int32_t n, bool fp16) { return std::to_string(n) + ' ' + Accumulator(fp16).label; }

// A value axis across the plot that need not start at zero: a screen is
// about a few percent, which a zero-based axis would squeeze into pixels.
struct Range {
    double low, high, step;
    double X(double value) const {
        return Chart::kLeft + (value - low) / (high - low) * (Chart::kRight - Chart::kLeft);
    }
};

Range NiceRange(double low, double high) {
    const double pad = std::max((high - low) * 0.06, std::fabs(high) * 0.01 + 1e-6);
    low = std::max(0.0, low - pad), high += pad;
    const double step = NiceScale(high - low).step;
    return {std::floor(low / step) * step, std::ceil(high / step) * step, step};
}

// Ticks and grid lines of the value axis, below a plot spanning top..Bottom(),
// and its title when there is one.
void ValueAxis(Chart& chart, const Range& range, double top, std::string_view title = {}) {
    for (int k = 0; range.low + k * range.step <= range.high + range.step * 1e-6; ++k) {
        const double value = range.low + k * range.step, x = range.X(value);
        chart.Line(x, top, x, chart.Bottom(), k == 0 ? "axis" : "grid");
        chart.Text(x, chart.Bottom() + 18, "middle", FormatGeneral(value, 6));
    }
    chart.Line(Chart::kLeft, chart.Bottom(), Chart::kRight, chart.Bottom(), "axis");
    if (!title.empty()) chart.Text((Chart::kLeft + Chart::kRight) / 2, chart.Bottom() + 42, "middle", title, "title");
}

// Spread within a band, evenly and the same on every run (golden-ratio
// sequence), so that equal values stay apart.
double Jitter(std::size_t index) {
    const double step = static_cast<double>(index) * 0.6180339887498949;
    return step - std::floor(step);
}

// ---- compare.html -------------------------------------------------------

std::string Folders(const Comparison& comparison) {
    const auto run = [](const RunFolder& folder) {
        const DeviceInfo& device = folder.run->device;
        return Escape(folder.folder.string()) + "<br><span class=\"note\">" + Escape(device.name) +
               " \u00B7 <span class=\"mono\">" + Escape(device.uuid) + "</span> \u00B7 " +
               Escape(folder.run->started_utc) + "</span>";
    };
    std::string out = "<dl><dt>基准 / Base</dt><dd>" + run(comparison.base) + "</dd><dt>新 / New</dt><dd>" +
                      run(comparison.newer) + "</dd></dl><ul class=\"facts\">";
    for (const std::string& fact : comparison.facts) {
        const bool differ = fact.find(": different") != std::string::npos || fact.rfind("only in", 0) == 0;
        out += std::string(differ ? "<li class=\"differ\">" : "<li>") + Escape(fact) + "</li>";
    }
    return out + "</ul>";
}

std::string CompareTable(const std::vector<RowComparison>& rows) {
    std::string out = "<table id=\"rows\" class=\"text\"><thead>" +
                      Cells({"规模 / N", "累加 / Accum.", "基准 / Base TFLOPS", "新 / New TFLOPS", "变化 / Change", "p",
                             "基准时钟 / Base MHz", "新时钟 / New MHz", "时钟变化 / Clock change",
                             "每时钟变化 / Per-clock change", "判定 / Verdict", "说明 / Note"}, "th") +
                      "</thead><tbody>";
    const auto clock = [](std::int32_t mhz) { return mhz >= 0 ? std::to_string(mhz) : std::string(kDash); };
    for (const RowComparison& row : rows)
        out += Cells({row.n > 0 ? std::to_string(row.n) : std::string(kDash),
                      row.n > 0 ? Accumulator(row.fp16_accumulate).label : "", Reading(row.base_median, 2),
                      Reading(row.new_median, 2), Percent(row.change_pct),
                      std::isfinite(row.p_value) ? FormatGeneral(row.p_value, 2) : std::string(kDash),
                      clock(row.base_clock), clock(row.new_clock), Percent(row.clock_change_pct),
                      Percent(row.per_clock_change_pct), Badge(row.verdict), Escape(row.note)});
    return out + "</tbody></table><p class=\"note\">slower or faster: the medians differ by at least " +
           FormatGeneral(judging::kSameWithinPct, 3) + " % and a Mann-Whitney test of the trials gives p &lt; " +
           FormatGeneral(judging::kSignificance, 3) + "; same: less than " +
           FormatGeneral(judging::kSameWithinPct, 3) + " % apart; unclear: neither.</p>";
}

// Every trial of both runs on one value axis, a lane each, the medians as
// ticks across their lane and written in the right margin.
std::string TrialStrips(const RowComparison& row) {
    double low = INFINITY, high = -INFINITY;
    for (const auto* values : {&row.base_trials, &row.new_trials})
        for (const double value : *values)
            if (Known(value)) low = std::min(low, value), high = std::max(high, value);
    if (!(low <= high)) return "<p class=\"note\">无测试 / No trials to show.</p>";
    const Range range = NiceRange(low, high);
    constexpr double kTop = 8, kLane = 32, kBottom = 26;
    Chart chart(kTop + 2 * kLane + kBottom, "TFLOPS of every trial of both runs", kBottom);
    ValueAxis(chart, range, kTop);
    const struct {
        const char *cls, *name;
        const std::vector<double>& trials;
        double median;
    } lanes[] = {{"base", "Base", row.base_trials, row.base_median}, {"new", "New", row.new_trials, row.new_median}};
    for (std::size_t lane = 0; lane < 2; ++lane) {
        const auto& [cls, name, trials, median] = lanes[lane];
        const double top = kTop + static_cast<double>(lane) * kLane, mid = top + kLane / 2;
        if (lane > 0) chart.Line(Chart::kLeft, top, Chart::kRight, top, "lane");
        chart.Text(Chart::kLeft - 8, mid + 4, "end", name);
        for (std::size_t i = 0; i < trials.size(); ++i)
            if (Known(trials[i]))
                chart.Raw(Shape("circle", "class=\"" + std::string(cls) + '"',
                                {{"cx", range.X(trials[i])}, {"cy", mid + (Jitter(i) - 0.5) * 14}, {"r", 4}},
                                Tooltip(std::string(name) + " #" + std::to_string(i + 1) + ": " +
                                        FormatDecimals(trials[i], 2) + " TFLOPS")));
        if (!Known(median)) continue;
        chart.Line(range.X(median), top + 3, range.X(median), top + kLane - 3, "med");
        chart.Text(Chart::kRight + 8, mid + 4, "start", FormatDecimals(median, 2), "value");
    }
    return chart.Finish();
}

// ---- fleet.html ---------------------------------------------------------

bool Flagged(const Gpu& gpu) { return gpu.verdict != Verdict::Ok && gpu.verdict != Verdict::Superseded; }

constexpr Verdict kVerdicts[] = {Verdict::Fail,     Verdict::Unreadable, Verdict::Warn,
                                 Verdict::Unstable, Verdict::Ok,         Verdict::Superseded};

// A flagged GPU's list can be long in a fleet gone bad; the whole table
// below names every one anyway.
constexpr std::size_t kFlaggedListed = 100;

std::string Summary(const FleetScreen& screen) {
    std::size_t counts[std::size(kVerdicts)] = {};
    for (const Gpu& gpu : screen.gpus) ++counts[static_cast<int>(gpu.verdict)];
    std::string out = "<div class=\"tiles\">";
    for (const Verdict verdict : kVerdicts)
        out += "<div class=\"tile " + std::string(VerdictWord(verdict)) + "\"><b>" +
               std::to_string(counts[static_cast<int>(verdict)]) + "</b>" + VerdictWord(verdict) + "</div>";
    const std::size_t runs = screen.gpus.size() - counts[static_cast<int>(Verdict::Unreadable)];
    const std::size_t gpus = runs - counts[static_cast<int>(Verdict::Superseded)];
    out += "</div><p>" + std::to_string(runs) + " runs of " + std::to_string(gpus) + " GPUs in " +
           std::to_string(screen.cohorts.size()) + (screen.cohorts.size() == 1 ? " cohort" : " cohorts") +
           " (same name, SM count and compute capability), " +
           std::to_string(counts[static_cast<int>(Verdict::Unreadable)]) + " unreadable folders.</p>";
    if (!screen.cohorts.empty()) {
        out += "<table id=\"cohorts\" class=\"text\"><thead><tr><th>队列 / Cohort</th><th class=\"n\">GPUs</th></tr>"
               "</thead><tbody>";
        for (const Cohort& cohort : screen.cohorts)
            out += "<tr><td>" + Escape(cohort.name) + "</td><td class=\"n\">" + std::to_string(cohort.gpus) +
                   "</td></tr>";
        out += "</tbody></table>";
    }
    const Thresholds& t = screen.thresholds;
    using namespace judging;
    return out + "<p class=\"note\" id=\"thresholds\">阈值 / Thresholds: warn at " +
           FormatGeneral(t.warn_below_pct, 6) + " % or more below the cohort median, fail at " +
           FormatGeneral(t.fail_below_pct, 6) + " % or more below; warn also at a robust z of " +
           FormatGeneral(kRobustZ, 3) + " or less while " + FormatGeneral(kZAlsoBelowPct, 3) +
           " % or more below, in cohorts of " + std::to_string(kZCohort) +
           " GPUs or more; unstable when a GPU's trials spread more than " + FormatGeneral(kUnstableNoisePct, 3) +
           " %. The cause is clock when the SM clock is " + FormatGeneral(kClockBelowCohortPct, 3) +
           " % or more below the cohort's or fell during the run.</p>";
}

// A row that failed its check has no deviation to show, only its name.
std::string Worst(const Gpu& gpu) {
    if (gpu.rows.empty()) return std::string(kDash);
    const GpuRow& row = gpu.rows.front();
    const std::string name = RowName(row.n, row.fp16_accumulate);
    return std::isfinite(row.deviation_pct) ? Percent(row.deviation_pct) + " at " + name : name;
}

std::string FlaggedList(const FleetScreen& screen) {
    std::string out = "<table id=\"flagged\" class=\"text\"><thead>" +
                      Cells({"判定 / Verdict", "原因 / Cause", "UUID", "名称 / Name", "文件夹 / Folder",
                             "最差行 / Worst row"}, "th") + "</thead><tbody>";
    std::size_t flagged = 0;
    for (const Gpu& gpu : screen.gpus) {
        if (!Flagged(gpu) || ++flagged > kFlaggedListed) continue;
        const DeviceInfo* device = gpu.folder.run ? &gpu.folder.run->device : nullptr;
        out += Cells({Badge(VerdictWord(gpu.verdict)), Escape(gpu.cause),
                      device ? "<span class=\"mono\">" + Escape(device->uuid) + "</span>" : std::string(kDash),
                      device ? Escape(device->name) : std::string(kDash), Escape(gpu.folder.folder.string()),
                      Worst(gpu)});
    }
    if (flagged == 0) return "<p>无 / No GPU is flagged.</p>";
    out += "</tbody></table>";
    if (flagged > kFlaggedListed)
        out += "<p class=\"note\">The first " + std::to_string(kFlaggedListed) + " of " + std::to_string(flagged) +
               " flagged GPUs; the table of all GPUs below lists every one, worst first.</p>";
    return out;
}

struct Dot {
    const Gpu* gpu;
    const GpuRow* row;
};

// Every GPU's median of one row of a cohort along the TFLOPS axis, with the
// cohort median and the two thresholds as lines. Dots of ok GPUs are one
// path (a zero-length stroke per GPU, with round caps) and carry no tooltip,
// which keeps a fleet of thousands small; flagged GPUs are circles on top
// with a tooltip, filled where this row is the flagged one, a ring where
// another row of the GPU is.
std::string StripPlot(const std::vector<Dot>& dots, const Thresholds& thresholds) {
    double median = NAN, low = INFINITY, high = -INFINITY;
    for (const Dot& dot : dots) {
        if (std::isnan(median)) median = dot.row->cohort_median;
        low = std::min(low, dot.row->median), high = std::max(high, dot.row->median);
    }
    const double warn = median * (1 - thresholds.warn_below_pct / 100);
    const double fail = median * (1 - thresholds.fail_below_pct / 100);
    if (std::isfinite(median)) low = std::min(low, fail), high = std::max(high, median);
    const Range range = NiceRange(low, high);
    const double count = static_cast<double>(dots.size());
    const double band = std::clamp(24 + 4 * std::sqrt(count), 56.0, 130.0), top = 8;
    Chart chart(top + band + 26, "Median TFLOPS of every GPU", 26);
    ValueAxis(chart, range, top);
    const auto y = [&](std::size_t i) { return top + band * (0.1 + 0.8 * Jitter(i)); };
    std::string path, marks;
    for (std::size_t i = 0; i < dots.size(); ++i) {
        const Dot& dot = dots[i];
        const double x = range.X(dot.row->median);
        if (!Flagged(*dot.gpu)) {
            path += 'M' + Coordinate(x) + ' ' + Coordinate(y(i)) + "h0";
            continue;
        }
        const bool this_row = dot.row->verdict != Verdict::Ok;
        const RunResult& run = *dot.gpu->folder.run;
        marks += Shape("circle",
                       "class=\"" + std::string(this_row ? VerdictWord(dot.row->verdict) : "ring ") +
                           (this_row ? "" : VerdictWord(dot.gpu->verdict)) + '"',
                       {{"cx", x}, {"cy", y(i)}, {"r", 4.5}},
                       Tooltip(Escape(run.device.name) + " " + Escape(run.device.uuid) + " (" +
                               Escape(dot.gpu->folder.folder.string()) + "): " + FormatDecimals(dot.row->median, 2) +
                               " TFLOPS, " + Percent(dot.row->deviation_pct) + ", " +
                               VerdictWord(this_row ? dot.row->verdict : dot.gpu->verdict) + ": " +
                               Escape(this_row ? dot.row->cause : dot.gpu->cause)));
    }
    if (std::isfinite(median))
        for (const auto& [value, cls] : {std::pair{median, "med"}, {warn, "wl"}, {fail, "fl"}})
            chart.Line(range.X(value), top, range.X(value), chart.Bottom(), cls);
    const char* size = count > 2000 ? " s" : count > 200 ? " m" : "";
    if (!path.empty()) chart.Raw("<path class=\"dots" + std::string(size) + "\" d=\"" + path + "\"/>");
    chart.Raw(marks);
    return chart.Finish() + "<p class=\"note\">" + std::to_string(dots.size()) +
           " GPUs \u00B7 队列中位 / cohort median " + Number(median, 2) + " TFLOPS \u00B7 warn below " +
           Number(warn, 2) + " \u00B7 fail below " + Number(fail, 2) + "</p>";
}

std::string CohortPlots(const FleetScreen& screen) {
    // Per cohort, its rows by size with FP16 before FP32, as a run lists them.
    std::map<std::string, std::map<std::pair<std::int32_t, bool>, std::vector<Dot>>> cohorts;
    for (const Gpu& gpu : screen.gpus)
        if (gpu.folder.run && gpu.verdict != Verdict::Superseded)
            for (const GpuRow& row : gpu.rows)
                if (Known(row.median)) cohorts[gpu.cohort][{row.n, !row.fp16_accumulate}].push_back({&gpu, &row});
    std::string out;
    for (const Cohort& cohort : screen.cohorts) {
        const auto& rows = cohorts[cohort.name];
        std::string body = Legend({{"ok", "正常 / ok"}, {"warn", "警告 / warn"}, {"fail", "失败 / fail"},
                                   {"unstable", "不稳定 / unstable"}, {"ring fail", "他行被标记 / another row flagged"},
                                   {"line med", "队列中位 / cohort median"}, {"dash wl", "警告线 / warn line"},
                                   {"dash fl", "失败线 / fail line"}});
        for (const auto& [key, dots] : rows)
            body += "<h3>N = " + std::to_string(key.first) + " \u00B7 " + Accumulator(!key.second).label +
                    " 累加 / accumulation \u00B7 中位 / median TFLOPS</h3>" + StripPlot(dots, screen.thresholds);
        out += Section("队列 / Cohort: " + Escape(cohort.name) + " \u00B7 " + std::to_string(cohort.gpus) + " GPUs",
                       rows.empty() ? "<p class=\"note\">No rows to plot.</p>" : body);
    }
    return out;
}

// One line per GPU, its worst row's numbers; ok lines stay plain, which
// keeps a large fleet's page small.
std::string GpuTable(const FleetScreen& screen) {
    std::string out = "<div class=\"scroll\"><table id=\"gpus\" class=\"text\"><thead>" +
                      Cells({"文件夹 / Folder", "UUID", "名称 / Name", "判定 / Verdict", "原因 / Cause",
                             "最差行 / Worst row", "中位 / Median TFLOPS", "偏差 / Deviation", "z", "噪声 / Noise",
                             "SM MHz"}, "th") + "</thead><tbody>";
    out.reserve(screen.gpus.size() * 260);
    const std::string dash(kDash);
    for (const Gpu& gpu : screen.gpus) {
        const DeviceInfo* device = gpu.folder.run ? &gpu.folder.run->device : nullptr;
        const GpuRow* row = gpu.rows.empty() ? nullptr : &gpu.rows.front();
        const std::string verdict = VerdictWord(gpu.verdict);
        out += Cells({Escape(gpu.folder.folder.string()), device ? Escape(device->uuid) : dash,
                      device ? Escape(device->name) : dash, gpu.verdict == Verdict::Ok ? verdict : Badge(verdict),
                      Escape(gpu.cause), row ? RowName(row->n, row->fp16_accumulate) : dash,
                      row ? Reading(row->median, 2) : dash, row ? Percent(row->deviation_pct) : dash,
                      row ? Number(row->z, 1) : dash, row ? Reading(row->noise_pct, {1, false, "", " %"}) : dash,
                      row && row->clock_mhz >= 0 ? std::to_string(row->clock_mhz) : dash});
    }
    return out + "</tbody></table></div>";
}

}  // namespace

std::string CompareHtml(const Comparison& comparison) {
    std::string charts;
    for (const RowComparison& row : comparison.rows)
        if (row.n > 0)
            charts += "<h3>N = " + std::to_string(row.n) + " \u00B7 " + Accumulator(row.fp16_accumulate).label +
                      " \u00B7 " + Badge(row.verdict) + ' ' + Percent(row.change_pct) + "</h3>" + TrialStrips(row);
    const std::string title = "Tessmor Bench 对比 / Comparison";
    return PageStart(title, kStyle) +
           PageHeader(title, "两次运行逐行对比 / Two runs, row by row: " + Escape(comparison.base.folder.string()) +
                                 " \u2192 " + Escape(comparison.newer.folder.string())) +
           Section("运行 / Runs", Folders(comparison)) + Section("结果 / Results", CompareTable(comparison.rows)) +
           Section("逐次测试 / Every trial",
                   charts.empty() ? "<p class=\"note\">无可对比的行 / No rows to compare.</p>"
                                  : Legend({{"base", "基准 / Base run"}, {"new", "新 / New run"},
                                            {"line med", "中位 / Median"}}) +
                                        "<p class=\"note\">每次测试的 TFLOPS / TFLOPS of every trial; the medians on "
                                        "the right.</p>" + charts) +
           "<footer>" + kProgramVersion +
           " \u00B7 compare.csv 在同一文件夹 / compare.csv in the same folder holds every number.</footer>" +
           std::string(kPageEnd);
}

std::string FleetHtml(const FleetScreen& screen) {
    const std::string title = "Tessmor Bench 机群 / Fleet";
    return PageStart(title, kStyle) + PageHeader(title, "每块 GPU 与其队列对比 / Every GPU against its cohort") +
           Section("概览 / Summary", Summary(screen)) +
           Section("需要关注 / Flagged GPUs, worst first", FlaggedList(screen)) + CohortPlots(screen) +
           Section("所有 GPU / Every GPU, worst first", GpuTable(screen)) + "<footer>" + kProgramVersion +
           " \u00B7 fleet.csv 在同一文件夹 / fleet.csv in the same folder holds every row of every GPU.</footer>" +
           std::string(kPageEnd);
}

}  // namespace fpbench
