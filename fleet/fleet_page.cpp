#include <algorithm>
#include <cmath>
#include <map>
#include <unordered_set>

#include "bench/number_format.h"
#include "fleet/fleet_figures.h"
#include "fleet/page_parts.h"
#include "fleet/statistics.h"
#include "report/display.h"
#include "report/text_format.h"

namespace fpbench {
namespace {

// Beyond this many GPUs the table of every GPU gives way to a summary of the
// ok ones per cohort: a page of a hundred thousand rows is too large to draw,
// and fleet.csv beside it has them all.
constexpr std::size_t kGpusListed = 300;

std::string Count(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + ' ' + (count == 1 ? one : many);
}

std::string Summary(const FleetScreen& screen) {
    std::size_t counts[kVerdicts] = {};
    for (const Gpu& gpu : screen.gpus) ++counts[static_cast<std::size_t>(gpu.verdict)];
    const auto count = [&](Verdict verdict) { return counts[static_cast<std::size_t>(verdict)]; };
    std::string out = "<div class=\"tiles\">";
    for (const Verdict verdict : AllVerdicts())
        if (count(verdict) > 0 || !Flagged(verdict) || verdict == Verdict::Fail || verdict == Verdict::Warn)
            out += std::string("<div class=\"tile ") + Info(verdict).tone + "\" title=\"" +
                   HtmlEscape(Info(verdict).meaning) + "\"><b>" + std::to_string(count(verdict)) + "</b>" +
                   HtmlEscape(Info(verdict).label) + "</div>";
    const std::size_t runs = screen.gpus.size() - count(Verdict::Unreadable) - count(Verdict::Missing);
    out += "</div><p>" + Count(runs, "run", "runs") + " of " + Count(runs - count(Verdict::Superseded), "GPU", "GPUs") +
           " in " + Count(screen.cohorts.size(), "cohort", "cohorts") +
           " (same name, SM count and compute capability), " +
           Count(count(Verdict::Unreadable), "unreadable folder", "unreadable folders") + ", " +
           std::to_string(count(Verdict::Missing)) + " missing.</p>";
    if (!screen.cohorts.empty()) {
        out += "<table id=\"cohorts\" class=\"text\"><thead><tr><th>队列 / Cohort</th><th class=\"n\">GPUs</th></tr>"
               "</thead><tbody>";
        for (const Cohort& cohort : screen.cohorts)
            out += "<tr><td>" + HtmlIsolated(cohort.name) + "</td><td class=\"n\">" + std::to_string(cohort.gpus) +
                   "</td></tr>";
        out += "</tbody></table>";
    }
    const Thresholds& t = screen.thresholds;
    using namespace judging;
    return out + "<p class=\"note\" id=\"thresholds\">阈值 / Thresholds: a GPU is compared with its cohort's median, "
                 "or with its fastest GPU in a cohort of two or three; alone in its cohort, it cannot be judged. warn "
                 "at " + FormatGeneral(t.warn_below_pct, 6) + " % or more below, fail at " +
           FormatGeneral(t.fail_below_pct, 6) + " % or more below; warn also at a robust z of " +
           FormatGeneral(kRobustZ, 3) + " or less while " + FormatGeneral(kZAlsoBelowPct, 3) +
           " % or more below, in cohorts of " + std::to_string(kZCohort) +
           " GPUs or more; unstable when a GPU's trials spread more than " + FormatGeneral(kUnstableNoisePct, 3) +
           " %. The cause of a slow row is clock when its SM clock is " + FormatGeneral(kClockBelowCohortPct, 3) +
           " % or more below the cohort's, full clock when its FLOP per SM per clock is down.</p>";
}

std::string Legend() {
    std::string out = "<table id=\"verdicts\" class=\"text\"><thead><tr><th>判定 / Verdict</th><th>含义 / Meaning</th>"
                      "<th>--drain</th></tr></thead><tbody>";
    for (const Verdict verdict : AllVerdicts())
        out += "<tr><td>" + Badge(Info(verdict)) + "</td><td>" + HtmlEscape(Info(verdict).meaning) + "</td><td>" +
               (Drains(verdict) ? "drains its node" : Flagged(verdict) ? "listed" : "") + "</td></tr>";
    return out + "</tbody></table>";
}

std::string FlaggedList(const FleetScreen& screen) {
    std::vector<FleetLine> lines;
    for (const FleetLine& line : FleetLines(screen.gpus, false))
        if (Flagged(line.gpu->verdict)) lines.push_back(line);
    if (lines.empty()) return "<p>无 / No GPU is flagged.</p>";
    return figures::Page<FleetLine>(FleetFigures(), lines, "flagged");
}

std::string Nodes(const FleetScreen& screen) {
    std::string out = "<table id=\"nodes\" class=\"text\"><thead><tr><th>节点 / Node</th><th>最差 / Worst</th>"
                      "<th>--drain</th><th>原因 / Reason</th></tr></thead><tbody>";
    // A large screen lists the nodes that need something done; nodes.csv has them all.
    const bool all = screen.nodes.size() <= kGpusListed;
    std::size_t left_out = 0;
    for (const Node& node : screen.nodes) {
        if (!all && std::string_view(node.action) == "none" && ++left_out) continue;
        out += "<tr><td>" + HtmlIsolated(node.name) + "</td><td>" + Badge(Info(node.worst)) + "</td><td>" +
               node.action + "</td><td>" + HtmlIsolated(node.reason) + "</td></tr>";
    }
    out += "</tbody></table>";
    if (left_out > 0)
        out += "<p class=\"note\">" + std::to_string(left_out) +
               " more nodes need nothing done; nodes.csv in the same folder lists every node.</p>";
    return out;
}

struct Dot {
    const Gpu* gpu;
    const GpuRow* row;
};

// Every GPU's median of one row of a cohort along the TFLOPS axis, with the
// cohort's reference and the two thresholds as lines. Dots of ok GPUs are one
// path (a zero-length stroke per GPU, with round caps) and carry no tooltip,
// which keeps a fleet of thousands small; flagged GPUs are circles on top
// with a tooltip, filled where this row is the flagged one, a ring where
// another row of the GPU is.
std::string StripPlot(const std::vector<Dot>& dots, const Thresholds& thresholds) {
    double reference = NAN, low = INFINITY, high = -INFINITY;
    for (const Dot& dot : dots) {
        if (std::isnan(reference)) reference = dot.row->reference;
        low = std::min(low, dot.row->median), high = std::max(high, dot.row->median);
    }
    const double warn = reference * (1 - thresholds.warn_below_pct / 100);
    const double fail = reference * (1 - thresholds.fail_below_pct / 100);
    if (std::isfinite(reference)) low = std::min(low, fail), high = std::max(high, reference);
    const Range range = NiceRange(low, high);
    const double count = static_cast<double>(dots.size());
    const double band = std::clamp(24 + 4 * std::sqrt(count), 56.0, 130.0), top = 8;
    Chart chart(top + band + 26, "Median TFLOPS of every GPU", 26);
    ValueAxis(chart, range, top);
    const auto y = [&](std::size_t i) { return top + band * (0.1 + 0.8 * Jitter(i)); };
    // Past a few hundred dots, ok GPUs are placed on whole pixels and a pixel
    // already drawn is not drawn again: the plot looks the same, and its size
    // stays bounded by the plot's area rather than the fleet's.
    const bool on_pixels = count > 200;
    std::unordered_set<std::uint64_t> drawn;
    if (on_pixels) drawn.reserve(dots.size());
    std::string path, marks;
    for (std::size_t i = 0; i < dots.size(); ++i) {
        const Dot& dot = dots[i];
        const double x = range.X(dot.row->median);
        if (!Flagged(dot.gpu->verdict)) {
            if (!on_pixels) {
                path += 'M' + Coordinate(x) + ' ' + Coordinate(y(i)) + "h0";
            } else if (const long px = std::lround(x), py = std::lround(y(i));
                       drawn.insert(static_cast<std::uint64_t>(px) << 32 | static_cast<std::uint32_t>(py)).second) {
                path += 'M' + std::to_string(px) + ' ' + std::to_string(py) + "h0";
            }
            continue;
        }
        const bool this_row = dot.row->verdict != Verdict::Ok;
        const VerdictInfo& shown = Info(this_row ? dot.row->verdict : dot.gpu->verdict);
        const FleetRun& run = *dot.gpu->folder.run;
        marks += Shape("circle", std::string("class=\"") + (this_row ? "" : "ring ") + shown.tone + '"',
                       {{"cx", x}, {"cy", y(i)}, {"r", 4.5}},
                       Tooltip(HtmlIsolatedInline(run.device.name) + " " + HtmlIsolatedInline(run.device.uuid) +
                               " (" + HtmlIsolatedInline(dot.gpu->folder.folder.string()) + "): " +
                               FormatDecimals(dot.row->median, 2) + " TFLOPS, " +
                               (std::isfinite(dot.row->deviation_pct) ? FormatChange(dot.row->deviation_pct, 1)
                                                                       : std::string(kDash)) +
                               ", " + shown.word + ": " +
                               HtmlIsolatedInline(this_row ? dot.row->cause : dot.gpu->cause)));
    }
    if (std::isfinite(reference))
        for (const auto& [value, cls] : {std::pair{reference, "med"}, {warn, "wl"}, {fail, "fl"}})
            chart.Line(range.X(value), top, range.X(value), chart.Bottom(), cls);
    const char* size = count > 2000 ? " s" : count > 200 ? " m" : "";
    if (!path.empty()) chart.Raw("<path class=\"dots" + std::string(size) + "\" d=\"" + path + "\"/>");
    chart.Raw(marks);
    const auto shown = [](double value) { return std::isfinite(value) ? FormatDecimals(value, 2) : std::string(kDash); };
    return chart.Finish() + "<p class=\"note\">" + std::to_string(dots.size()) +
           " GPUs \u00B7 参照 / reference " + shown(reference) + " TFLOPS \u00B7 warn below " + shown(warn) +
           " \u00B7 fail below " + shown(fail) + "</p>";
}

std::string CohortPlots(const FleetScreen& screen) {
    // Per cohort, its rows by size with FP16 before FP32, as a run lists them.
    std::map<std::string, std::map<std::pair<std::int32_t, bool>, std::vector<Dot>>> cohorts;
    for (const Gpu& gpu : screen.gpus) {
        if (!gpu.folder.run || gpu.verdict == Verdict::Superseded) continue;
        auto& rows = cohorts[gpu.cohort];
        for (const GpuRow& row : gpu.rows)
            if (Known(row.median)) rows[{row.n, !row.fp16_accumulate}].push_back({&gpu, &row});
    }
    std::string out;
    for (const Cohort& cohort : screen.cohorts) {
        const auto& rows = cohorts[cohort.name];
        const auto key = [](Verdict verdict) { return std::pair{Info(verdict).tone, Info(verdict).label}; };
        std::string body = fpbench::Legend({key(Verdict::Ok), key(Verdict::Warn), key(Verdict::Fail), key(Verdict::Unstable),
                                            {"ring bad", "他行被标记 / another row flagged"},
                                            {"line med", "参照 / reference"}, {"dash wl", "警告线 / warn line"},
                                            {"dash fl", "失败线 / fail line"}});
        for (const auto& [key, dots] : rows)
            body += "<h3>N = " + std::to_string(key.first) + " \u00B7 " + Accumulator(!key.second).label +
                    " 累加 / accumulation \u00B7 中位 / median TFLOPS</h3>" + StripPlot(dots, screen.thresholds);
        out += Section("队列 / Cohort: " + HtmlIsolated(cohort.name) + " \u00B7 " + std::to_string(cohort.gpus) + " GPUs",
                       rows.empty() ? "<p class=\"note\">No rows to plot.</p>" : body);
    }
    return out;
}

// The ok GPUs of each cohort's row: how many, their median and their range.
std::string OkSummary(const FleetScreen& screen) {
    std::map<std::string, std::map<std::pair<std::int32_t, bool>, std::vector<const GpuRow*>>> cohorts;
    for (const Gpu& gpu : screen.gpus) {
        if (gpu.verdict != Verdict::Ok) continue;
        auto& rows = cohorts[gpu.cohort];
        for (const GpuRow& row : gpu.rows)
            if (Known(row.median)) rows[{row.n, !row.fp16_accumulate}].push_back(&row);
    }
    const auto range = [](double low, double high, int digits, const char* unit) {
        return FormatDecimals(low, digits) + " \u2013 " + FormatDecimals(high, digits) + unit;
    };
    std::string out = "<table id=\"ok\" class=\"text\"><thead><tr><th>队列 / Cohort</th><th class=\"n\">N</th>"
                      "<th>累加 / Accum.</th><th class=\"n\">正常 / ok GPUs</th><th class=\"n\">中位 / Median TFLOPS</th>"
                      "<th class=\"n\">范围 / Range TFLOPS</th><th class=\"n\">偏差 / Deviation</th></tr></thead><tbody>";
    for (const Cohort& cohort : screen.cohorts)
        for (const auto& [key, rows] : cohorts[cohort.name]) {
            std::vector<double> medians;
            double low_deviation = INFINITY, high_deviation = -INFINITY;
            for (const GpuRow* row : rows) {
                medians.push_back(row->median);
                if (std::isfinite(row->deviation_pct))
                    low_deviation = std::min(low_deviation, row->deviation_pct),
                    high_deviation = std::max(high_deviation, row->deviation_pct);
            }
            const auto [low, high] = std::minmax_element(medians.begin(), medians.end());
            const std::string spread = range(*low, *high, 2, "");
            out += "<tr><td>" + HtmlIsolated(cohort.name) + "</td><td class=\"n\">" + std::to_string(key.first) +
                   "</td><td>" + Accumulator(!key.second).label + "</td><td class=\"n\">" +
                   std::to_string(rows.size()) + "</td><td class=\"n\">" + FormatDecimals(SelectMedian(medians), 2) +
                   "</td><td class=\"n\">" + spread + "</td><td class=\"n\">" +
                   (std::isfinite(low_deviation) ? range(low_deviation, high_deviation, 1, " %") : std::string(kDash)) +
                   "</td></tr>";
        }
    return out + "</tbody></table>";
}

// One line per GPU, its worst row's numbers; in a large fleet, the flagged
// GPUs are those listed above and the ok ones are summed up per cohort.
std::string GpuTable(const FleetScreen& screen) {
    const std::vector<FleetLine> lines = FleetLines(screen.gpus, false);
    if (lines.size() <= kGpusListed)
        return "<div class=\"scroll\">" + figures::Page<FleetLine>(FleetFigures(), lines, "gpus") + "</div>";
    return "<p class=\"note\" id=\"full-list\">" + std::to_string(lines.size()) +
           " GPUs, too many to list here: every flagged GPU is listed above, the ok ones are summed up per cohort "
           "below, and fleet.csv in the same folder as this page has every GPU and row.</p>" + OkSummary(screen);
}

}  // namespace

std::string FleetHtml(const FleetScreen& screen) {
    const std::string title = "Tessmor Bench 机群 / Fleet";
    return PageStart(title, kPageStyle) + PageHeader(title, "每块 GPU 与其队列对比 / Every GPU against its cohort") +
           Section("概览 / Summary", Summary(screen)) +
           Section("需要关注 / Flagged GPUs, worst first", FlaggedList(screen)) +
           (screen.nodes.empty() ? "" : Section("节点 / Nodes", Nodes(screen))) + CohortPlots(screen) +
           Section("所有 GPU / Every GPU, worst first", GpuTable(screen)) +
           Section("判定 / Verdicts", Legend()) + "<footer>" + kProgramVersion +
           " \u00B7 fleet.csv 在同一文件夹 / fleet.csv in the same folder holds every row of every GPU.</footer>" +
           std::string(kPageEnd);
}

}  // namespace fpbench
