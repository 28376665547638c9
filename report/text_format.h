// Text made safe for where it goes (a CSV field, a terminal line) and the
// terminal's tables.
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

}  // namespace fpbench

namespace fpbench {

// Text for a terminal line: control characters, bidirectional controls, a
// backslash and ill-formed UTF-8 as \xNN escapes, so that a name can neither
// forge a line, nor reorder the rest of it, nor reach the terminal as a
// control sequence.
std::string TerminalText(std::string_view text);

// A plain-text table for a terminal: one line per row of cells, columns two
// spaces apart, padded to their widest cell (counted in characters), numbers
// to the right and the columns flagged in `left` to the left.
std::string AlignedTable(const std::vector<std::vector<std::string>>& lines, const std::vector<bool>& left);

// The rows as the Linux program's closing table shows them: the columns the
// schema gives the terminal, under their English headings.
std::string TerminalTable(const std::vector<Row>& rows);

}  // namespace fpbench
