// Text for the reports and the screens: JSON strings, HTML text, CSV fields,
// and a column's value as the page and the terminal show it.
#pragma once

#include <initializer_list>
#include <utility>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/result_schema.h"

namespace fpbench {

// What a run's numbers cannot tell, as result.json lists it.
inline constexpr const char* kLimitations[] = {
    "Fixed precompiled GEMM backend, not cuBLAS or an exhaustive peak search",
    "No matched locked baseline; no unlock speedup inferred",
    "21 numerical samples checked first and last trial, plus output guards; not exhaustive stability testing",
    "NVML readings after each batch have sensor refresh latency",
};

// UTF-8 text as a JSON string literal: quote and backslash escaped, bytes
// below 0x20 as \u00xx, well-formed UTF-8 unchanged, each ill-formed
// sequence replaced by U+FFFD.
std::string JsonQuote(std::string_view text);

// A number of a JSON document, 15 significant digits; JSON has no infinity
// or not-a-number: such a number is null.
std::string JsonNumber(double value);

// The members of one JSON object in order, with the separating commas: the
// one way every JSON document of the program is written.
class JsonMembers {
public:
    explicit JsonMembers(std::string& out) : out_(out) {}

    JsonMembers& Integer(std::string_view key, std::int32_t value) { return Value(key, std::to_string(value)); }
    JsonMembers& Number(std::string_view key, double value) { return Value(key, JsonNumber(value)); }
    JsonMembers& Boolean(std::string_view key, bool value) { return Value(key, value ? "true" : "false"); }
    JsonMembers& Text(std::string_view key, std::string_view value) { return Value(key, JsonQuote(value)); }
    // Constants and digests never hold a character that needs escaping.
    JsonMembers& PlainText(std::string_view key, std::string_view value) {
        return Value(key, '"' + std::string(value) + '"');
    }
    // The next member starts on a new line.
    JsonMembers& LineBreak() {
        line_break_ = true;
        return *this;
    }
    // A value that is already JSON text.
    JsonMembers& Value(std::string_view key, std::string_view json) {
        if (!first_) out_ += ',';
        if (line_break_) out_ += '\n';
        first_ = line_break_ = false;
        out_ += '"';
        out_ += key;
        out_ += "\":";
        out_ += json;
        return *this;
    }

private:
    std::string& out_;
    bool first_ = true;
    bool line_break_ = false;
};


// One JSON object on one line, of members whose values are JSON text already.
std::string JsonObject(std::initializer_list<std::pair<std::string_view, std::string>> members);

// Outside text for a page: markup characters as entities, control bytes and
// ill-formed UTF-8 as U+FFFD, so that no such text can add markup or break
// the encoding.
std::string HtmlEscape(std::string_view text);

// A field of a comma-separated table, quoted (RFC 4180) only when it holds a
// comma, a quote or a line break.
std::string CsvField(std::string_view text);

// Outside text for a table cell (a name, a folder, a message; never a number):
// CsvField, with a leading apostrophe when it begins with '=', '+', '-', '@',
// a tab or a carriage return, so that a spreadsheet never runs it as a formula.
std::string CsvText(std::string_view text);

// Outside text for a page, escaped and inside <bdi>, so that no bidirectional
// control in it can reorder the page's own text around it.
std::string HtmlIsolated(std::string_view text);
// The same for places that hold no elements (an SVG <title> tooltip, the
// page's <title>): between U+2068 FIRST STRONG ISOLATE and U+2069 POP
// DIRECTIONAL ISOLATE, with any isolate control inside replaced by U+FFFD so
// that none can close the span early or leave it open.
std::string HtmlIsolatedInline(std::string_view text);

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

}  // namespace fpbench

namespace fpbench {

// Text for a terminal line: control characters, bidirectional controls, a
// backslash and ill-formed UTF-8 as \xNN escapes, so that a name can neither
// forge a line, nor reorder the rest of it, nor reach the terminal as a
// control sequence.
std::string TerminalText(std::string_view text);

// One sentence per row whose batches held the most launches allowed and so
// lasted less than the batch time asked for.
std::vector<std::string> BatchCapNotes(const RunResult& result);

// What NVML told of the GPU's health, one sentence each: every reason that
// held the SM clock back with the trials it held ("SM clock held back by the
// power cap in 6 of 7 trials (limit 250 W, default 300 W)"), a PCIe link
// narrower than its maximum, a failed or pending row remapping. UTF-8.
std::vector<std::string> HealthNotes(const RunResult& result);

// A plain-text table for a terminal: one line per row of cells, columns two
// spaces apart, padded to their widest cell (counted in characters), numbers
// to the right and the columns flagged in `left` to the left.
std::string AlignedTable(const std::vector<std::vector<std::string>>& lines, const std::vector<bool>& left);

// The rows as the Linux program's closing table shows them: the columns the
// schema gives the terminal, under their English headings.
std::string TerminalTable(const std::vector<Row>& rows);

}  // namespace fpbench
