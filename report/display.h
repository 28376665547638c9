// What a person reads: a value as the page, the terminal and the window show
// it, the sentences that explain a run, and every page of the program, with
// the pieces each is made of (the skeleton with its style sheet, sections,
// legends, table rows, SVG charts drawn in user units, outside text made safe
// for markup) and "report.html", the run at a glance. Every page is
// self-contained: inline CSS and SVG, no script, nothing loaded from anywhere.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "bench/records.h"
#include "report/report_names.h"
#include "report/result_schema.h"

namespace fpbench {

// A number on screen: unknown (negative, or not finite) is a dash.
std::string Reading(double value, int decimals);
std::string Reading(double value, const schema::Display& display);
inline constexpr std::string_view kDash = "\xE2\x80\x94";

// A column's value on the page and in the terminal, UTF-8.
std::string DisplayText(schema::Kind kind, const schema::Display& display, bool negative_unknown,
                        const schema::Cell& cell);
template <typename Record>
std::string DisplayText(const schema::Column<Record>& column, const Record& record) {
    return DisplayText(column.kind, column.display, column.negative_unknown, column.Read(record));
}

// One sentence per row whose batches held the most launches allowed and so
// lasted less than the batch time asked for.
std::vector<std::string> BatchCapNotes(const RunResult& result);

// What NVML told of the GPU's health, one sentence each: every reason that
// held the SM clock back with the trials it held ("SM clock held back by the
// power cap in 6 of 7 trials (limit 250 W, default 300 W)"), a PCIe link
// narrower than its maximum, a failed or pending row remapping. UTF-8.
std::vector<std::string> HealthNotes(const RunResult& result);

// Outside text for a page: markup characters as entities, control bytes and
// ill-formed UTF-8 as U+FFFD, so that no such text can add markup or break
// the encoding.
std::string HtmlEscape(std::string_view text);

// Outside text for a page, escaped and inside <bdi>, so that no bidirectional
// control in it can reorder the page's own text around it.
std::string HtmlIsolated(std::string_view text);
// The same for places that hold no elements (an SVG <title> tooltip, the
// page's <title>): between U+2068 FIRST STRONG ISOLATE and U+2069 POP
// DIRECTIONAL ISOLATE, with any isolate control inside replaced by U+FFFD so
// that none can close the span early or leave it open.
std::string HtmlIsolatedInline(std::string_view text);

// From the doctype to the opening <main>, the shared style sheet followed by
// `style`; the title must be escaped already. kPageEnd closes it.
std::string PageStart(std::string_view title, std::string_view style = {});
inline constexpr std::string_view kPageEnd = "</main></body></html>\n";

std::string PageHeader(std::string_view title, std::string_view subtitle);
std::string Section(std::string_view heading, std::string_view body);

// A legend line: one coloured key per (class, text).
std::string Legend(std::initializer_list<std::pair<const char*, const char*>> keys);

// A table row; the heading row's cells are <th>.
std::string Cells(std::initializer_list<std::string> cells, const std::string& tag = "td");

// A reading that exists: neither negative (no reading) nor NaN.
bool Known(double value);

// A coordinate in user units, one decimal: finer would only add bytes.
std::string Coordinate(double value);

// One SVG element: its class and other fixed attributes, its geometry in
// user units, and what it holds (text, or a tooltip).
std::string Shape(std::string_view tag, std::string_view attributes,
                  std::initializer_list<std::pair<const char*, double>> geometry, std::string_view content = {});
std::string Tooltip(const std::string& text);

// Zero-based axis with about five ticks at 1, 2, 2.5 or 5 times a power of
// ten, reaching at least max.
struct Scale {
    double top, step;
};
Scale NiceScale(double max);

// An SVG chart kWidth units wide whose plot spans kLeft..kRight and
// kTop..Bottom(); the margins hold tick labels and axis titles (a chart
// without a title below needs less than kBottomMargin).
class Chart {
public:
    static constexpr double kWidth = 900, kLeft = 66, kRight = 834, kTop = 30, kBottomMargin = 54;

    Chart(double height, std::string_view label, double bottom_margin = kBottomMargin);
    double Bottom() const { return bottom_; }
    double Y(double value, const Scale& scale) const { return bottom_ - value / scale.top * (bottom_ - kTop); }

    // Ticks of a left (with grid lines) or right axis, and its title turned
    // to run along it.
    void Axis(const Scale& scale, bool right, std::string_view title);
    void Line(double x1, double y1, double x2, double y2, std::string_view cls);
    void Text(double x, double y, std::string_view anchor, std::string_view text, std::string_view cls = "tick");
    void Raw(std::string_view markup) { svg_ += markup; }
    std::string Finish() { return svg_ + "</svg>"; }

private:
    double bottom_;
    std::string svg_;
};

// The whole page for the result as it stands (running, finished or failed),
// with where the final content of each held report went. Outside texts (the
// device's name and UUID, the error) sit in isolated spans, so that none can
// reorder the page's own text.
// `held`: report files another program held at the end, and where their final
// content went.
std::string HtmlReport(const RunResult& result, std::string_view kernel_source_sha256,
                       std::span<const HeldReport> held = {});

}  // namespace fpbench
