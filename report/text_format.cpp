#include "report/text_format.h"

#include <algorithm>
#include <cmath>

#include "bench/limits.h"
#include "bench/number_format.h"
#include "platform/utf8.h"

namespace fpbench {
namespace {

// The marks, embeddings, overrides and isolates of the Unicode bidirectional
// algorithm: each one can move text that follows it.
bool IsBidiControl(char32_t cp) {
    return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string CsvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (const char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + '"';
}

std::string CsvText(std::string_view text) {
    const bool formula = !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
    return formula ? CsvField("'" + std::string(text)) : CsvField(text);
}

std::string Reading(double value, int decimals) {
    return value >= 0 && std::isfinite(value) ? FormatDecimals(value, decimals) : std::string(kDash);
}

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

}  // namespace fpbench

namespace fpbench {

std::string TerminalText(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Sequence sequence = ScanUtf8(text, at);
        std::size_t next = at;
        const char32_t cp = DecodeUtf8(text, next);
        // C1 controls (U+0080..U+009F) start escape sequences on some terminals too.
        if (sequence.valid && cp >= 0x20 && cp != 0x7F && cp != '\\' && !(cp >= 0x80 && cp < 0xA0) &&
            !IsBidiControl(cp)) {
            out += text.substr(at, sequence.length);
            at += sequence.length;
            continue;
        }
        for (std::size_t end = at + sequence.length; at < end; ++at) {
            const auto byte = static_cast<unsigned char>(text[at]);
            out += byte == '\\' ? std::string("\\\\") : std::string("\\x") + kHex[byte >> 4] + kHex[byte & 15];
        }
    }
    return out;
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

std::string AlignedTable(const std::vector<std::vector<std::string>>& lines, const std::vector<bool>& left) {
    const auto width = [](std::string_view text) {
        std::size_t characters = 0;
        for (std::size_t at = 0; at < text.size(); at += ScanUtf8(text, at).length) ++characters;
        return characters;
    };
    std::vector<std::size_t> widths;
    for (const auto& line : lines) {
        widths.resize(std::max(widths.size(), line.size()));
        for (std::size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], width(line[i]));
    }
    std::string out;
    for (const auto& line : lines) {
        std::string text;
        for (std::size_t i = 0; i < line.size(); ++i) {
            const std::string padding(widths[i] - width(line[i]), ' ');
            const bool to_left = i < left.size() && left[i];
            text += (i == 0 ? "" : "  ") + (to_left ? line[i] + padding : padding + line[i]);
        }
        out += text.substr(0, text.find_last_not_of(' ') + 1) + '\n';
    }
    return out;
}

std::string TerminalTable(const std::vector<Row>& rows) {
    std::vector<std::vector<std::string>> lines(1);
    std::vector<bool> left;
    for (const auto& column : schema::RowColumns()) {
        if (!column.In(schema::kTerminal)) continue;
        lines[0].emplace_back(schema::English(column.Heading()));
        left.push_back(column.kind == schema::Kind::Accumulator || column.kind == schema::Kind::Pass);
    }
    for (const Row& row : rows) {
        auto& line = lines.emplace_back();
        for (const auto& column : schema::RowColumns())
            if (column.In(schema::kTerminal)) line.emplace_back(schema::English(DisplayText(column, row)));
    }
    return AlignedTable(lines, left);
}

}  // namespace fpbench
