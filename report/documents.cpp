#include "report/documents.h"

#include <cmath>
#include <cstdint>
#include <span>

#include "bench/kernel_catalogue.h"
#include "bench/number_format.h"
#include "platform/utf8.h"
#include "report/result_schema.h"

namespace fpbench {
namespace {

constexpr int kSummaryPrecision = 10;
constexpr int kTrialPrecision = 12;
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";  // summary.csv opens in a spreadsheet

std::string JsonValue(schema::Kind kind, const schema::Cell& cell) {
    using schema::Kind;
    switch (kind) {
        case Kind::Integer: return std::to_string(static_cast<std::int32_t>(cell.value));
        case Kind::Number: return JsonNumber(cell.value);
        case Kind::Flag: return cell.value != 0 ? "true" : "false";
        case Kind::Pass: return cell.value != 0 ? "\"PASS\"" : "\"FAIL\"";
        case Kind::Accumulator: return '"' + std::string(Accumulator(cell.value != 0).mode) + '"';
        case Kind::Text: return '"' + std::string(cell.text) + '"';
        case Kind::Range: return "[" + JsonNumber(cell.value) + "," + JsonNumber(cell.high) + "]";
    }
    return "null";
}

// A table field. A number that is not finite is empty; so, in the summary,
// is a reading that was not taken (the trial table keeps its -1).
std::string CsvValue(const schema::Kind kind, const schema::Cell& cell, int precision, bool blank_unknown) {
    using schema::Kind;
    if (blank_unknown && !(cell.value >= 0)) return {};
    switch (kind) {
        case Kind::Integer: return std::to_string(static_cast<std::int32_t>(cell.value));
        case Kind::Number: return std::isfinite(cell.value) ? FormatGeneral(cell.value, precision) : std::string();
        case Kind::Pass: return cell.value != 0 ? "PASS" : "FAIL";
        case Kind::Accumulator: return Accumulator(cell.value != 0).mode;
        default: return JsonValue(kind, cell);
    }
}

template <typename Record>
std::string RecordObject(const Record& record, std::span<const schema::Column<Record>> columns) {
    std::string out = "{";
    JsonMembers members(out);
    for (const auto& column : columns)
        if (column.In(schema::kDocument)) members.Value(column.key, JsonValue(column.kind, column.Read(record)));
    return out + '}';
}

std::string LimitationsArray() {
    std::string out = "[";
    for (const char* limitation : kLimitations) out += (out.size() > 1 ? "," : "") + JsonQuote(limitation);
    return out + ']';
}

std::string RowObject(const Row& row) { return RecordObject(row, schema::RowColumns()); }
std::string TrialObject(const TrialRecord& trial) { return RecordObject(trial, schema::TrialColumns()); }

std::string DeviceObject(const DeviceInfo& device) {
    std::string out = "{";
    JsonMembers(out)
        .Text("name", device.name)
        .Text("uuid", device.uuid)
        .Integer("sm_count", device.sm_count)
        .Integer("major", device.major)
        .Integer("minor", device.minor);
    return out + '}';
}

// Every element on a line of its own, the closing bracket too; an empty list
// is the bracket pair around one line feed.
template <typename Record>
std::string ArrayOf(const std::vector<Record>& records, std::string (*element)(const Record&)) {
    std::string out = "[";
    for (std::size_t i = 0; i < records.size(); ++i) out += (i == 0 ? "\n" : ",\n") + element(records[i]);
    return out + "\n]";
}

// A comma-separated table with CR LF line ends, every line the last too.
template <typename Record>
std::string Table(const std::vector<Record>& records, std::span<const schema::Column<Record>> columns,
                  std::string_view head, int precision, bool blank_unknown) {
    std::string out(head);
    const auto line = [&](const auto& field) {
        bool first = true;
        for (const auto& column : columns) {
            if (!column.In(schema::kTable)) continue;
            if (!first) out += ',';
            first = false;
            out += field(column);
        }
        out += "\r\n";
    };
    line([](const auto& column) { return std::string(column.csv); });
    for (const Record& record : records)
        line([&](const auto& column) {
            return CsvValue(column.kind, column.Read(record), precision, blank_unknown && column.negative_unknown);
        });
    return out;
}

// health.json's values: a reading NVML did not give is null.
std::string Count(std::int64_t value) { return value < 0 ? "null" : std::to_string(value); }
std::string Watts(std::int32_t milliwatts) { return milliwatts < 0 ? "null" : FormatGeneral(milliwatts / 1000.0, 15); }
std::string Quoted(const std::string& text) { return text.empty() ? "null" : JsonQuote(text); }

std::string Counters(const NvmlCounters& counters) {
    std::string violation = "{";
    for (std::size_t i = 0; i < kViolationPolicies.size(); ++i)
        violation += (i == 0 ? "\"" : ",\"") + std::string(kViolationPolicies[i].key) +
                     "\":" + Count(counters.violation_ns[i]);
    return JsonObject({{"violation_ns", violation + '}'},
                   {"ecc_volatile", JsonObject({{"corrected", Count(counters.ecc_corrected)},
                                            {"uncorrected", Count(counters.ecc_uncorrected)}})}});
}

std::string ReasonNames(std::int64_t mask) {
    if (mask < 0) return "null";
    std::string out = "[";
    for (const ClockReasonName& reason : kClockReasons)
        if ((static_cast<unsigned long long>(mask) & reason.bit) != 0)
            out += (out.size() > 1 ? ",\"" : "\"") + std::string(reason.key) + '"';
    return out + ']';
}

std::string TrialReasons(const TrialRecord& trial) {
    return JsonObject({{"n", std::to_string(trial.n)},
                   {"accumulator", '"' + std::string(Accumulator(trial.fp16_accumulate).mode) + '"'},
                   {"repetition", std::to_string(trial.repetition)},
                   {"order", std::to_string(trial.order)},
                   {"sm_clock_mhz", Count(trial.sm_clock_mhz)},
                   {"reasons", ReasonNames(trial.clock_reasons)}});
}

}  // namespace

std::string JsonQuote(std::string_view text) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '"' || byte == '\\') {
            quoted += '\\';
            quoted += text[at++];
        } else if (byte < 0x20) {
            quoted += "\\u00";
            quoted += kHexDigits[byte >> 4];
            quoted += kHexDigits[byte & 0xF];
            ++at;
        } else {
            // A device name cut inside a character, or stray bytes in a log,
            // must not make the document unreadable.
            const Utf8Sequence sequence = ScanUtf8(text, at);
            quoted += sequence.valid ? text.substr(at, sequence.length) : kUtf8Replacement;
            at += sequence.length;
        }
    }
    quoted += '"';
    return quoted;
}

std::string JsonNumber(double value) { return std::isfinite(value) ? FormatGeneral(value, 15) : "null"; }

std::string JsonObject(std::initializer_list<std::pair<std::string_view, std::string>> members) {
    std::string out = "{";
    JsonMembers object(out);
    for (const auto& [key, value] : members) object.Value(key, value);
    return out + '}';
}

JsonMembers& JsonMembers::Integer(std::string_view key, std::int32_t value) { return Value(key, std::to_string(value)); }
JsonMembers& JsonMembers::Number(std::string_view key, double value) { return Value(key, JsonNumber(value)); }
JsonMembers& JsonMembers::Boolean(std::string_view key, bool value) { return Value(key, value ? "true" : "false"); }
JsonMembers& JsonMembers::Text(std::string_view key, std::string_view value) { return Value(key, JsonQuote(value)); }
JsonMembers& JsonMembers::PlainText(std::string_view key, std::string_view value) {
    return Value(key, '"' + std::string(value) + '"');
}
JsonMembers& JsonMembers::LineBreak() {
    line_break_ = true;
    return *this;
}
JsonMembers& JsonMembers::Value(std::string_view key, std::string_view json) {
    if (!first_) out_ += ',';
    if (line_break_) out_ += '\n';
    first_ = line_break_ = false;
    out_ += '"';
    out_ += key;
    out_ += "\":";
    out_ += json;
    return *this;
}

std::string ResultDocument(const RunResult& result, std::string_view kernel_source_sha256) {
    std::string out = "{\n";
    JsonMembers(out)
        .Integer("schema_version", 1)
        .PlainText("app", kProgramVersion)
        .Text("status", result.status)
        .Text("started_utc", result.started_utc)
        .Text("finished_utc", result.finished_utc)
        .Text("error", result.error)
        .Boolean("cleanup_ok", result.cleanup_ok)
        .Text("backend", result.backend)
        .PlainText("kernel_source_sha256", kernel_source_sha256)
        .Value("device", DeviceObject(result.device))
        .LineBreak()
        .Integer("trials_per_mode", result.options.trials_per_mode)
        .Number("sample_ms", result.options.sample_ms)
        .Number("warmup_seconds", result.options.warmup_seconds)
        .PlainText("work", "row-major C=A*B, FP16 input/output, 2*N^3 FLOPs")
        .PlainText("timing",
                   "CUDA events around kernel batch; excludes allocation, transfers, validation and warmup")
        .Value("limitations", LimitationsArray())
        .LineBreak()
        .Value("rows", ArrayOf(result.rows, RowObject))
        .Value("trials", ArrayOf(result.trials, TrialObject));
    return out + "}\n";
}

std::string SummaryTable(const std::vector<Row>& rows) {
    return Table(rows, schema::RowColumns(), kUtf8Mark, kSummaryPrecision, true);
}

std::string TrialTable(const std::vector<TrialRecord>& trials) {
    return Table(trials, schema::TrialColumns(), "", kTrialPrecision, false);
}

std::string HealthDocument(const RunResult& result) {
    const RunHealth& health = result.health;
    const NvmlBoard& board = health.board;
    const ReasonTally& tally = result.reason_tally;
    std::string reason_trials = "{";
    for (std::size_t i = 0; i < std::size(kClockReasons); ++i)
        reason_trials += (i == 0 ? "\"" : ",\"") + std::string(kClockReasons[i].key) +
                         "\":" + (tally.known_trials == 0 ? "null" : std::to_string(tally.trials[i]));
    std::string trials = "[";
    for (std::size_t i = 0; i < result.trials.size(); ++i)
        trials += (i == 0 ? "\n" : ",\n") + TrialReasons(result.trials[i]);
    std::string out = "{\n";
    JsonMembers members(out);
    for (const auto& [key, value] : std::initializer_list<std::pair<std::string_view, std::string>>{
             {"schema_version", "1"},
             {"status", JsonQuote(result.status)},
             {"device", JsonObject({{"name", JsonQuote(result.device.name)}, {"uuid", JsonQuote(result.device.uuid)}})},
             {"driver_version", Quoted(board.driver_version)},
             {"vbios_version", Quoted(board.vbios_version)},
             {"power_limit_w", Watts(board.power_limit_mw)},
             {"default_power_limit_w", Watts(board.default_power_limit_mw)},
             {"slowdown_temperature_c", Count(board.slowdown_temperature_c)},
             {"pcie", JsonObject({{"generation", Count(board.pcie_generation)},
                              {"width", Count(board.pcie_width)},
                              {"max_generation", Count(board.pcie_max_generation)},
                              {"max_width", Count(board.pcie_max_width)}})},
             {"remapped_rows", JsonObject({{"corrected", Count(board.remapped_corrected)},
                                       {"uncorrected", Count(board.remapped_uncorrected)},
                                       {"pending", Count(board.remap_pending)},
                                       {"failure", Count(board.remap_failure)}})},
             {"retired_pages", JsonObject({{"single_bit_ecc", Count(board.retired_single_bit)},
                                       {"double_bit_ecc", Count(board.retired_double_bit)}})},
             {"before", Counters(health.before)},
             {"after", Counters(health.after)},
             {"uncorrected_ecc_during_run", Count(health.UncorrectedDuringRun())},
             {"trials_with_reasons", std::to_string(tally.known_trials)},
             {"reason_trials", reason_trials + '}'},
             {"trials", trials + "\n]"},
         })
        members.Value(key, value).LineBreak();
    return out + "\n}\n";
}

}  // namespace fpbench
