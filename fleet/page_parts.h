// What the compare and fleet pages share beyond the report's page pieces:
// their style sheet, whose tones colour the verdicts (--c for marks, --b and
// --t for badges), value axes that need not start at zero, and an even jitter.
#pragma once

#include <string>
#include <string_view>

#include "fleet/verdicts.h"
#include "report/display.h"

namespace fpbench {

// Added to the shared sheet: one class per tone of the verdict table.
inline constexpr std::string_view kPageStyle = R"(
main{max-width:1240px}h3{font-size:14px;margin:18px 0 6px}h3:first-of-type{margin-top:4px}
.bad{--c:#dc2626;--b:#fee2e2;--t:#991b1b}.warn{--c:#d97706;--b:#fef3c7;--t:#92400e}
.mild{--c:#7c3aed;--b:#ede9fe;--t:#5b21b6}.odd{--c:#475569;--b:#e2e8f0;--t:#334155}
.muted{--c:#94a3b8;--b:#f1f5f9;--t:#475569}.good{--c:#16a34a;--b:#dcfce7;--t:#166534}
.faint{--c:#cbd5e1;--b:#f8fafc;--t:#94a3b8}.base{--c:#94a3b8}.new{--c:#2563eb}
.v{display:inline-block;padding:0 8px;border-radius:9px;font-weight:600;font-size:12.5px;background:var(--b);color:var(--t);white-space:nowrap}
.tiles{display:flex;flex-wrap:wrap;gap:10px;margin:0 0 14px}.tile{flex:1;min-width:120px;border-radius:8px;
padding:8px 14px;background:var(--b);color:var(--t);font-weight:600}.tile b{display:block;font-size:24px;line-height:1.2}
.facts{margin:10px 0 0;padding-left:20px}.facts .differ{color:#92400e;font-weight:600}
.text td,.text th{text-align:left}.text .n{text-align:right}#gpus,#flagged{font-size:13px}#rows td:last-child{min-width:14em}
.text td{white-space:normal;overflow-wrap:anywhere}.text td.n{white-space:nowrap}bdi{unicode-bidi:isolate}
.scroll{overflow-x:auto}.mono{font-size:11.5px}.legend .key{color:inherit;font-weight:inherit}
.med{--c:#0f172a}.wl{--c:#d97706}.fl{--c:#dc2626}.line::before,.dash::before{height:0;border-radius:0;
vertical-align:3px;background:none;border-top:2px solid var(--c)}.dash::before{border-top-style:dashed}
.ring::before{background:#fff;border:2px solid var(--c);width:8px;height:8px}
line.med,line.wl,line.fl{stroke:var(--c);stroke-width:1.6}line.wl,line.fl{stroke-dasharray:6 4}
.dots{stroke:#94a3b8;stroke-width:7;stroke-linecap:round}.dots.m{stroke-width:4.5}.dots.s{stroke-width:3;opacity:.6}
circle.ring{fill:#fff;stroke:var(--c);stroke-width:2}.lane{stroke:#e2e8f0}
)";

// A verdict as a badge in its tone.
std::string Badge(const VerdictInfo& verdict);

// A value axis across the plot that need not start at zero: a screen is
// about a few percent, which a zero-based axis would squeeze into pixels.
struct Range {
    double low, high, step;
    double X(double value) const {
        return Chart::kLeft + (value - low) / (high - low) * (Chart::kRight - Chart::kLeft);
    }
};
Range NiceRange(double low, double high);

// Ticks and grid lines of the value axis, below a plot spanning top..Bottom(),
// and its title when there is one.
void ValueAxis(Chart& chart, const Range& range, double top, std::string_view title = {});

// Spread within a band, evenly and the same on every run (golden-ratio
// sequence), so that equal values stay apart.
double Jitter(std::size_t index);

}  // namespace fpbench
