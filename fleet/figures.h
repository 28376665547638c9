// The figures of compare and fleet, described once: CSV header, bilingual
// heading, kind, digits and the outputs that carry each; the CSV files, the
// terminal tables and the pages' tables are printed from these descriptions
// by the generic printers below, so that a new figure is one line.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace fpbench::figures {

enum Output : unsigned {
    kCsv = 1u << 0,       // compare.csv, fleet.csv
    kTerminal = 1u << 1,  // the command's table on stdout
    kPage = 1u << 2,      // the page's table
    kAll = kCsv | kTerminal | kPage,
};

enum class Kind {
    Integer,  // a whole number; negative: unknown
    Number,   // `decimals` on screens, `significant` digits in the CSV file
    Change,   // a percentage with its sign ("+1.2 %", never "-0.0 %"); a plain number in the CSV file
    PValue,   // two significant digits, "< 0.0001" below that
    Text,     // outside text (names, folders, messages): formula-safe, isolated, escaped
    Word,     // a word of the program's own (an accumulator, a verdict): shown as it is
};

inline constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();

struct Cell {
    double number = kUnknown;
    std::string text;
    const char* tone = nullptr;  // a Word with a tone is a badge on the page
};

template <typename Record>
struct Figure {
    const char* csv;      // header in the CSV file
    const char* heading;  // bilingual; its English part heads the terminal's column
    Kind kind;
    int decimals;     // on screens
    int significant;  // in the CSV file
    unsigned outputs;
    Cell (*read)(const Record&);

    bool In(Output output) const { return (outputs & output) != 0; }
};

std::string CsvCell(Kind kind, int significant, const Cell& cell);
std::string TerminalCell(Kind kind, int decimals, const Cell& cell);
std::string PageCell(Kind kind, int decimals, const Cell& cell);
std::string EnglishHeading(const char* heading);
std::string CsvHeaderField(const char* csv);
std::string PageHeading(const char* heading);
std::string AlignTerminal(const std::vector<std::vector<std::string>>& lines, const std::vector<bool>& left);
bool LeftAligned(Kind kind);

// One line of the CSV file, its LF included; the header without a record.
template <typename Record>
std::string CsvLine(std::span<const Figure<Record>> figures, const Record* record) {
    std::string out;
    bool first = true;
    for (const auto& figure : figures) {
        if (!figure.In(kCsv)) continue;
        if (!first) out += ',';
        first = false;
        out += record ? CsvCell(figure.kind, figure.significant, figure.read(*record)) : CsvHeaderField(figure.csv);
    }
    return out += '\n';
}

// The CSV file: a header, then a line per record, LF line ends.
template <typename Record>
std::string Csv(std::span<const Figure<Record>> figures, std::span<const Record> records) {
    std::string out = CsvLine<Record>(figures, nullptr);
    for (const Record& record : records) out += CsvLine(figures, &record);
    return out;
}

// The terminal's table: English headings, columns aligned, text escaped.
template <typename Record>
std::string Terminal(std::span<const Figure<Record>> figures, std::span<const Record> records) {
    std::vector<std::vector<std::string>> lines(1);
    std::vector<bool> left;
    for (const auto& figure : figures) {
        if (!figure.In(kTerminal)) continue;
        lines[0].push_back(EnglishHeading(figure.heading));
        left.push_back(LeftAligned(figure.kind));
    }
    for (const Record& record : records) {
        auto& cells = lines.emplace_back();
        for (const auto& figure : figures)
            if (figure.In(kTerminal)) cells.push_back(TerminalCell(figure.kind, figure.decimals, figure.read(record)));
    }
    return AlignTerminal(lines, left);
}

// The page's table: bilingual headings; numbers to the right (class "n").
template <typename Record>
std::string Page(std::span<const Figure<Record>> figures, std::span<const Record> records, const char* id) {
    std::string out = std::string("<table id=\"") + id + "\" class=\"text\"><thead><tr>";
    for (const auto& figure : figures)
        if (figure.In(kPage))
            out += std::string(LeftAligned(figure.kind) ? "<th>" : "<th class=\"n\">") + PageHeading(figure.heading) + "</th>";
    out += "</tr></thead><tbody>";
    for (const Record& record : records) {
        out += "<tr>";
        for (const auto& figure : figures)
            if (figure.In(kPage))
                out += std::string(LeftAligned(figure.kind) ? "<td>" : "<td class=\"n\">") +
                       PageCell(figure.kind, figure.decimals, figure.read(record)) + "</td>";
        out += "</tr>";
    }
    return out + "</tbody></table>";
}

}  // namespace fpbench::figures
