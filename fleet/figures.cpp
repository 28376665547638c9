#include "fleet/figures.h"

#include <cmath>

#include "bench/number_format.h"
#include "report/display.h"
#include "report/text_format.h"

namespace fpbench::figures {
namespace {

bool Known(Kind kind, double value) { return kind == Kind::Integer ? value >= 0 : std::isfinite(value); }

// A number on a screen; the empty string when unknown.
std::string Shown(Kind kind, int decimals, double value) {
    if (!Known(kind, value)) return {};
    switch (kind) {
        case Kind::Integer: return FormatDecimals(value, 0);
        case Kind::Change: return FormatChange(value, decimals);
        case Kind::PValue: return FormatPValue(value);
        default: return FormatDecimals(value, decimals);
    }
}

}  // namespace

bool LeftAligned(Kind kind) { return kind == Kind::Text || kind == Kind::Word; }

std::string EnglishHeading(const char* heading) {
    const std::string_view text(heading);
    const auto slash = text.find(" / ");
    return std::string(slash == std::string_view::npos ? text : text.substr(slash + 3));
}

std::string CsvHeaderField(const char* csv) { return CsvField(csv); }
std::string PageHeading(const char* heading) { return HtmlEscape(heading); }

std::string CsvCell(Kind kind, int significant, const Cell& cell) {
    switch (kind) {
        case Kind::Text: return CsvText(cell.text);
        case Kind::Word: return CsvField(cell.text);
        case Kind::Integer: return cell.number >= 0 ? FormatDecimals(cell.number, 0) : std::string();
        default: return std::isfinite(cell.number) ? FormatGeneral(cell.number, significant) : std::string();
    }
}

std::string TerminalCell(Kind kind, int decimals, const Cell& cell) {
    if (kind == Kind::Text || kind == Kind::Word) return TerminalText(cell.text);
    const std::string shown = Shown(kind, decimals, cell.number);
    return shown.empty() ? std::string(kDash) : shown;
}

std::string PageCell(Kind kind, int decimals, const Cell& cell) {
    if (kind == Kind::Text) return cell.text.empty() ? std::string(kDash) : HtmlIsolated(cell.text);
    if (kind == Kind::Word) {
        if (cell.text.empty()) return std::string(kDash);
        if (cell.tone == nullptr) return HtmlEscape(cell.text);
        return std::string("<span class=\"v ") + cell.tone + "\">" + HtmlEscape(cell.text) + "</span>";
    }
    const std::string shown = Shown(kind, decimals, cell.number);
    return shown.empty() ? std::string(kDash) : HtmlEscape(shown);  // "< 0.0001"
}

std::string AlignTerminal(const std::vector<std::vector<std::string>>& lines, const std::vector<bool>& left) {
    return AlignedTable(lines, left);
}

}  // namespace fpbench::figures
