#include "report/text_format.h"

#include <algorithm>
#include <cmath>

#include "platform/utf8.h"
#include "report/display.h"

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
