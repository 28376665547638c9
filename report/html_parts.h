// The pieces every page of the program is made of: the skeleton with its
// style sheet (self-contained: no script, nothing loaded from anywhere),
// sections, legends and table rows, and SVG charts drawn in user units.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace fpbench {

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

}  // namespace fpbench
