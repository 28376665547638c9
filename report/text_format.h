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

// A field of a comma-separated table, quoted (RFC 4180) only when it holds a
// comma, a quote or a line break.
std::string CsvField(std::string_view text);

// Outside text for a table cell (a name, a folder, a message; never a number):
// CsvField, with a leading apostrophe when it begins with '=', '+', '-', '@',
// a tab or a carriage return, so that a spreadsheet never runs it as a formula.
std::string CsvText(std::string_view text);

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
