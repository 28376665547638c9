#include "fleet/page_parts.h"

#include <algorithm>
#include <cmath>

#include "bench/number_format.h"
#include "report/text_format.h"

namespace fpbench {

std::string Badge(const VerdictInfo& verdict) {
    return std::string("<span class=\"v ") + verdict.tone + "\">" + verdict.word + "</span>";
}

Range NiceRange(double low, double high) {
    const double pad = std::max((high - low) * 0.06, std::fabs(high) * 0.01 + 1e-6);
    low = std::max(0.0, low - pad), high += pad;
    const double step = NiceScale(high - low).step;
    return {std::floor(low / step) * step, std::ceil(high / step) * step, step};
}

void ValueAxis(Chart& chart, const Range& range, double top, std::string_view title) {
    for (int k = 0; range.low + k * range.step <= range.high + range.step * 1e-6; ++k) {
        const double value = range.low + k * range.step, x = range.X(value);
        chart.Line(x, top, x, chart.Bottom(), k == 0 ? "axis" : "grid");
        chart.Text(x, chart.Bottom() + 18, "middle", FormatGeneral(value, 6));
    }
    chart.Line(Chart::kLeft, chart.Bottom(), Chart::kRight, chart.Bottom(), "axis");
    if (!title.empty()) chart.Text((Chart::kLeft + Chart::kRight) / 2, chart.Bottom() + 42, "middle", title, "title");
}

double Jitter(std::size_t index) {
    const double step = static_cast<double>(index) * 0.6180339887498949;
    return step - std::floor(step);
}

}  // namespace fpbench
