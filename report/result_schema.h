// The result's columns: one table for each record (a Row, a TrialRecord)
// from which result.json's objects, summary.csv and trials.csv, the page's
// results table, the window's results list and the Linux program's closing
// table are all made. A column added here appears in every output it names.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "bench/records.h"

namespace fpbench::schema {

// The outputs that carry a column.
enum Output : unsigned {
    kDocument = 1u << 0,  // result.json
    kTable = 1u << 1,     // summary.csv for rows, trials.csv for trials
    kPage = 1u << 2,      // report.html's results table
    kWindow = 1u << 3,    // the window's results list
    kTerminal = 1u << 4,  // the Linux program's closing table
    kScreens = kPage | kWindow | kTerminal,
    kFiles = kDocument | kTable,
};

// How a value is written.
enum class Kind {
    Integer,      // 32-bit, in decimal
    Number,       // a double: the file's general format; on screen by its Display
    Flag,         // true / false
    Pass,         // PASS / FAIL; on screen "通过 / PASS" or "失败 / FAIL"
    Accumulator,  // the reports' word ("fp16_acc"); on screen its label ("FP16")
    Text,         // written as it is (a digest)
    Range,        // two numbers; on screen "low – high"
};

// A number on screen: `digits` after the point, or significant digits when
// `significant`, between `prefix` and `suffix`. Below zero it is a dash.
struct Display {
    int digits = 0;
    bool significant = false;
    const char* prefix = "";
    const char* suffix = "";
};

// A value read from a record. Flags, passes and accumulators are 1 or 0.
struct Cell {
    double value = 0;
    double high = 0;         // Range: the upper end
    std::string_view text;   // Text
};

// The record's field a column shows, or nothing for a value computed from
// several fields.
template <typename Record>
using Field = std::variant<std::monostate, std::int32_t Record::*, double Record::*, bool Record::*,
                           std::string Record::*>;

template <typename Record>
struct Column {
    const char* key;      // member of result.json's object
    const char* csv;      // header in the table
    const char* label;    // bilingual, as the window's list heads it
    const char* heading;  // the page's header, bilingual; its English part heads the terminal's column
    const char* unit;
    Kind kind;
    Display display;
    // A negative value is a reading that was not taken: summary.csv leaves
    // its field empty (result.json and trials.csv keep the -1).
    bool negative_unknown;
    unsigned outputs;
    int width;  // in the window's list, at 96 DPI
    Field<Record> field;
    Cell (*compute)(const Record&) = nullptr;  // where there is no single field

    bool In(Output output) const { return (outputs & output) != 0; }
    Cell Read(const Record& record) const {
        if (compute != nullptr) return compute(record);
        return std::visit(
            [&](auto member) -> Cell {
                using Member = decltype(member);
                if constexpr (std::is_same_v<Member, std::monostate>) return {};
                else if constexpr (std::is_same_v<Member, std::string Record::*>) return {0, 0, record.*member};
                else return {static_cast<double>(record.*member), 0, {}};
            },
            field);
    }
    // Stores a value read back from result.json into the column's field.
    void Write(Record& record, const Cell& cell) const {
        std::visit(
            [&](auto member) {
                using Member = decltype(member);
                if constexpr (std::is_same_v<Member, std::monostate>) return;
                else if constexpr (std::is_same_v<Member, std::string Record::*>) record.*member = std::string(cell.text);
                else if constexpr (std::is_same_v<Member, bool Record::*>) record.*member = cell.value != 0;
                else if constexpr (std::is_same_v<Member, std::int32_t Record::*>)
                    record.*member = static_cast<std::int32_t>(cell.value);
                else record.*member = cell.value;
            },
            field);
    }
    // The page's and the terminal's header: the heading, else the label.
    std::string_view Heading() const { return *heading != '\0' ? heading : label; }
};

std::span<const Column<Row>> RowColumns();
std::span<const Column<TrialRecord>> TrialColumns();

// The English part of a bilingual text ("中位 / Median TFLOPS" -> "Median TFLOPS").
std::string_view English(std::string_view text);

}  // namespace fpbench::schema
