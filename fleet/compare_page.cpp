#include <cmath>

#include "bench/number_format.h"
#include "fleet/compare.h"
#include "fleet/thresholds.h"
#include "fleet/page_parts.h"
#include "report/display.h"
#include "report/text_format.h"

namespace fpbench {
namespace {

// ---- compare.html -------------------------------------------------------

std::string Folders(const Comparison& comparison) {
    const auto run = [](const RunFolder& folder) {
        const DeviceInfo& device = folder.run->device;
        return HtmlIsolated(folder.folder.string()) + "<br><span class=\"note\">" + HtmlIsolated(device.name) +
               " \u00B7 <span class=\"mono\">" + HtmlIsolated(device.uuid) + "</span> \u00B7 " +
               HtmlIsolated(folder.run->started_utc) + "</span>";
    };
    std::string out = "<dl><dt>基准 / Base</dt><dd>" + run(comparison.base) + "</dd><dt>新 / New</dt><dd>" +
                      run(comparison.newer) + "</dd></dl><ul class=\"facts\">";
    for (const Fact& fact : comparison.facts)
        out += std::string(fact.differs ? "<li class=\"differ\">" : "<li>") + HtmlIsolated(fact.text) + "</li>";
    return out + "</ul>";
}

std::string CompareTable(const std::vector<RowComparison>& rows) {
    const auto word = [](Change change) { return std::string(Info(change).word); };
    const std::string same_within = FormatGeneral(judging::kSameWithinPct, 3) + " %";
    return figures::Page<RowComparison>(CompareFigures(), rows, "rows") + "<p class=\"note\">" + word(Change::Slower) +
           " or " + word(Change::Faster) + ": the medians differ by at least " + same_within +
           " and a Mann-Whitney test of the trials gives p &lt; " + FormatGeneral(judging::kSignificance, 3) + "; " +
           word(Change::Same) + ": less than " + same_within + " apart; " + word(Change::Unclear) + ": neither; " +
           word(Change::Failed) + ": " + Info(Change::Failed).meaning + ".</p>";
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

}  // namespace

std::string CompareHtml(const Comparison& comparison) {
    std::string charts;
    for (const RowComparison& row : comparison.rows)
        if (row.n > 0)
            charts += "<h3>N = " + std::to_string(row.n) + " \u00B7 " + Accumulator(row.fp16_accumulate).label +
                      " \u00B7 " + Badge(Info(row.verdict)) + ' ' +
                      (std::isfinite(row.change_pct) ? FormatChange(row.change_pct, 1) : std::string(kDash)) + "</h3>" + TrialStrips(row);
    const std::string title = "Tessmor Bench 对比 / Comparison";
    return PageStart(title, kPageStyle) +
           PageHeader(title, "两次运行逐行对比 / Two runs, row by row: " + HtmlIsolated(comparison.base.folder.string()) +
                                 " \u2192 " + HtmlIsolated(comparison.newer.folder.string())) +
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

}  // namespace fpbench
