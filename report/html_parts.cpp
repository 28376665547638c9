#include "report/html_parts.h"

#include <cmath>

#include "bench/number_format.h"

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

}  // namespace fpbench
