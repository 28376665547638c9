#include "fleet/run_folder.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <set>
#include <thread>
#include <tuple>

#include <nlohmann/json.hpp>

#include "report/result_schema.h"
#include "bench/number_format.h"
#include "bench/statistics.h"
#include "bench/tensor_peak.h"
#include "platform/platform.h"
#include "report/report_names.h"

namespace fpbench {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A document that breaks the format, with the member that breaks it.
class Malformed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Type { Integer, Number, Boolean, Text, Object, Array };

const char* TypeName(Type type) {
    switch (type) {
        case Type::Integer: return "an integer";
        case Type::Number: return "a number";
        case Type::Boolean: return "true or false";
        case Type::Text: return "a string";
        case Type::Object: return "an object";
        case Type::Array: return "an array";
    }
    return "";
}

bool Is(const json& value, Type type) {
    switch (type) {
        case Type::Integer: return value.is_number_integer();
        case Type::Number: return value.is_number() || value.is_null();  // null: a value JSON cannot hold
        case Type::Boolean: return value.is_boolean();
        case Type::Text: return value.is_string();
        case Type::Object: return value.is_object();
        case Type::Array: return value.is_array();
    }
    return false;
}

const json& Member(const json& object, const std::string& where, const char* key, Type type) {
    const auto found = object.find(key);
    if (found != object.end() && Is(*found, type)) return *found;
    // The member's full name only when it is needed: ten thousand documents
    // have a quarter of a million members.
    const std::string name = where.empty() ? key : where + "." + key;
    if (found == object.end()) throw Malformed("member \"" + name + "\" is missing");
    throw Malformed("member \"" + name + "\" is not " + TypeName(type));
}

double NumberOf(const json& value) {
    return value.is_null() ? std::numeric_limits<double>::quiet_NaN() : value.get<double>();
}

Type TypeOf(schema::Kind kind) {
    switch (kind) {
        case schema::Kind::Integer: return Type::Integer;
        case schema::Kind::Flag: return Type::Boolean;
        case schema::Kind::Accumulator:
        case schema::Kind::Text: return Type::Text;
        default: return Type::Number;
    }
}

// One row or trial object, member by member as the schema writes it.
template <typename Record>
Record ReadRecord(const json& object, const std::string& where, std::span<const schema::Column<Record>> columns) {
    if (!object.is_object()) throw Malformed("member \"" + where + "\" is not an object");
    Record record{};
    for (const auto& column : columns) {
        if (!column.In(schema::kDocument)) continue;
        const json& value = Member(object, where, column.key, TypeOf(column.kind));
        schema::Cell cell;
        std::string text;
        if (column.kind == schema::Kind::Accumulator) {
            text = value.get<std::string>();
            if (text != Accumulator(true).mode && text != Accumulator(false).mode)
                throw Malformed("member \"" + where + "." + column.key + "\" is not " + Accumulator(true).mode + " or " +
                                Accumulator(false).mode);
            cell.value = text == Accumulator(true).mode ? 1 : 0;
        } else if (value.is_string()) {
            text = value.get<std::string>();
            cell.text = text;
        } else {
            cell.value = value.is_boolean() ? value.get<bool>() : NumberOf(value);
        }
        column.Write(record, cell);
    }
    return record;
}

template <typename Record>
std::vector<Record> ReadArray(const json& document, const char* key) {
    std::vector<Record> records;
    const json& array = Member(document, "", key, Type::Array);
    records.reserve(array.size());
    const auto columns = [] {
        if constexpr (std::is_same_v<Record, Row>) return schema::RowColumns();
        else return schema::TrialColumns();
    }();
    for (std::size_t i = 0; i < array.size(); ++i)
        records.push_back(ReadRecord<Record>(array[i], std::string(key) + "[" + std::to_string(i) + "]", columns));
    return records;
}

// "YYYY-MM-DDThh:mm:ss.mmmZ", as the program stamps its runs; such stamps
// order as text.
bool IsTimestamp(std::string_view text) {
    constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (text.size() != kShape.size()) return false;
    for (std::size_t i = 0; i < kShape.size(); ++i)
        if (kShape[i] == 'd' ? !(text[i] >= '0' && text[i] <= '9') : text[i] != kShape[i]) return false;
    const auto number = [&](std::size_t at, std::size_t digits) {
        int value = 0;
        for (std::size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    const int month = number(5, 2), day = number(8, 2);
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && number(11, 2) <= 23 && number(14, 2) <= 59 &&
           number(17, 2) <= 60;
}

std::string Timestamp(const json& document, const char* key, bool may_be_empty) {
    std::string text = Member(document, "", key, Type::Text).get<std::string>();
    if (!(IsTimestamp(text) || (may_be_empty && text.empty())))
        throw Malformed("member \"" + std::string(key) + "\" is not a UTC time stamp (YYYY-MM-DDThh:mm:ss.mmmZ)");
    return text;
}

// A figure a measurement gives is finite and positive; a reading of the
// telemetry is -1 (not taken) or more.
template <typename Record>
void CheckFigures(const Record& record, const std::string& where, std::span<const schema::Column<Record>> columns) {
    for (const auto& column : columns) {
        if (!column.In(schema::kDocument)) continue;
        const std::string_view unit = column.unit, key = column.key;
        const double value = column.Read(record).value;
        const bool measured = unit == "TFLOPS" || unit == "ms" || key == "n" || key == "gemms";
        if (measured && !(std::isfinite(value) && value > 0))
            throw Malformed("member \"" + where + "." + column.key + "\" is " +
                            (std::isnan(value) ? std::string("null") : FormatGeneral(value, 6)) +
                            ", not a positive number");
        if (!measured && column.negative_unknown && !(value >= -1))
            throw Malformed("member \"" + where + "." + column.key + "\" is " + FormatGeneral(value, 6) +
                            ", not a reading");
    }
}

// No throughput above what the GPU can reach enters a median: such a figure
// comes from launches that did no work or a broken timer.
void CheckBound(const RunResult& run) {
    std::int32_t clock = -1;
    for (const TrialRecord& trial : run.trials) clock = std::max(clock, trial.sm_clock_mhz);
    const double bound = ThroughputBoundTflops(run.device, clock);
    const auto check = [&](double tflops, const std::string& member) {
        if (!(tflops <= bound))
            throw Malformed("member \"" + member + "\" is " + FormatGeneral(tflops, 6) + " TFLOPS, above the " +
                            FormatGeneral(bound, 6) + " TFLOPS the document's GPU can reach (" +
                            std::to_string(run.device.sm_count) + " SMs, compute capability " +
                            std::to_string(run.device.major) + "." + std::to_string(run.device.minor) + ")");
    };
    for (std::size_t i = 0; i < run.rows.size(); ++i) {
        check(run.rows[i].median_tflops, "rows[" + std::to_string(i) + "].median_tflops");
        check(run.rows[i].max_tflops, "rows[" + std::to_string(i) + "].max_tflops");
    }
    for (std::size_t i = 0; i < run.trials.size(); ++i) check(run.trials[i].tflops, "trials[" + std::to_string(i) + "].tflops");
}

RunResult ReadDocument(const json& document, std::string& kernel_source_sha256) {
    if (!document.is_object()) throw Malformed("the document is not a JSON object");
    if (Member(document, "", "schema_version", Type::Integer).get<int>() != 1)
        throw Malformed("member \"schema_version\" is not 1");
    RunResult run;
    run.status = Member(document, "", "status", Type::Text).get<std::string>();
    run.started_utc = Timestamp(document, "started_utc", false);
    run.finished_utc = Timestamp(document, "finished_utc", true);
    run.error = Member(document, "", "error", Type::Text).get<std::string>();
    run.cleanup_ok = Member(document, "", "cleanup_ok", Type::Boolean).get<bool>();
    run.backend = Member(document, "", "backend", Type::Text).get<std::string>();
    kernel_source_sha256 = Member(document, "", "kernel_source_sha256", Type::Text).get<std::string>();
    const json& device = Member(document, "", "device", Type::Object);
    run.device.name = Member(device, "device", "name", Type::Text).get<std::string>();
    run.device.uuid = Member(device, "device", "uuid", Type::Text).get<std::string>();
    run.device.sm_count = Member(device, "device", "sm_count", Type::Integer).get<std::int32_t>();
    run.device.major = Member(device, "device", "major", Type::Integer).get<std::int32_t>();
    run.device.minor = Member(device, "device", "minor", Type::Integer).get<std::int32_t>();
    run.options.trials_per_mode = Member(document, "", "trials_per_mode", Type::Integer).get<std::int32_t>();
    run.options.sample_ms = NumberOf(Member(document, "", "sample_ms", Type::Number));
    run.options.warmup_seconds = NumberOf(Member(document, "", "warmup_seconds", Type::Number));
    run.rows = ReadArray<Row>(document, "rows");
    run.trials = ReadArray<TrialRecord>(document, "trials");
    for (std::size_t i = 0; i < run.rows.size(); ++i)
        CheckFigures(run.rows[i], "rows[" + std::to_string(i) + "]", schema::RowColumns());
    for (std::size_t i = 0; i < run.trials.size(); ++i)
        CheckFigures(run.trials[i], "trials[" + std::to_string(i) + "]", schema::TrialColumns());
    if (!run.rows.empty() || !run.trials.empty()) {
        if (run.device.sm_count <= 0) throw Malformed("member \"device.sm_count\" is not a positive number");
        CheckBound(run);
    }
    run.options.sizes.clear();
    for (const Row& row : run.rows)
        if (row.fp16_accumulate) run.options.sizes.push_back(row.n);
    return run;
}

bool IsRegularFile(const fs::path& path) {
    const auto identity = platform::IdentityOf(path);
    return identity && identity->regular_file;
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// One document, read or refused with its reason.
RunFolder ReadDocumentFile(const fs::path& document, const fs::path& folder) {
    RunFolder read;
    read.folder = folder;
    if (!IsRegularFile(document)) {
        read.problem = document.string() + ": not a regular file";
        return read;
    }
    std::ifstream in(document, std::ios::binary);
    if (!in) {
        read.problem = document.string() + ": cannot be read";
        return read;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    try {
        RunResult run = ReadDocument(json::parse(bytes.str()), read.kernel_source_sha256);
        run.options.report_dir = folder;
        SetRowFigures(run);
        SetPeakShares(run);
        read.run = std::move(run);
    } catch (const json::exception& invalid) {
        read.problem = document.string() + ": not valid JSON (" + invalid.what() + ")";
    } catch (const Malformed& malformed) {
        read.problem = document.string() + ": " + malformed.what();
    }
    return read;
}

// result.json, and the result-N.json a held result.json's final content went
// to, that are regular files.
std::vector<fs::path> Documents(const fs::path& folder) {
    std::vector<fs::path> documents;
    if (IsRegularFile(folder / report_name::kDocument)) documents.push_back(folder / report_name::kDocument);
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 12 && name.starts_with("result-") && name.ends_with(".json") &&
            name.find_first_not_of("0123456789", 7) == name.size() - 5 && IsRegularFile(entry.path()))
            documents.push_back(entry.path());
    }
    std::sort(documents.begin() + (documents.empty() ? 0 : 1), documents.end());
    return documents;
}

bool HoldsDocument(const fs::path& folder) { return !Documents(folder).empty(); }

}  // namespace

RunFolder ReadRunFolder(const fs::path& folder_or_document) {
    if (IsRegularFile(folder_or_document)) return ReadDocumentFile(folder_or_document, folder_or_document.parent_path());
    const fs::path& folder = folder_or_document;
    const std::vector<fs::path> documents = Documents(folder);
    if (documents.empty()) {
        RunFolder read;
        read.folder = folder;
        std::error_code error;
        const fs::path note = folder / report_name::kTaskError;
        if (fs::exists(folder / report_name::kDocument, error)) {
            read.problem = (folder / report_name::kDocument).string() + ": not a regular file";
        } else if (IsRegularFile(note)) {
            std::istringstream lines(ReadBytes(note));
            std::string first;
            std::getline(lines, first);
            read.problem = "no result.json; task-error.txt: " + first;
        } else {
            read.problem = "no result.json in " + folder.string();
        }
        return read;
    }
    // The newest finished document tells the run's end; without one, the
    // newest started. result.json comes first, so it wins a tie.
    std::optional<RunFolder> chosen;
    RunFolder first_problem;
    for (const fs::path& document : documents) {
        RunFolder read = ReadDocumentFile(document, folder);
        if (!read.run) {
            if (first_problem.problem.empty()) first_problem = std::move(read);
            continue;
        }
        const auto key = [](const RunResult& run) {
            const bool finished = run.status != run_status::kRunning;
            return std::tuple(finished, finished ? run.finished_utc : run.started_utc);
        };
        if (!chosen || key(*read.run) > key(*chosen->run)) chosen = std::move(read);
    }
    return chosen ? std::move(*chosen) : first_problem;
}

std::vector<RunFolder> FindRunFolders(const std::vector<fs::path>& roots) {
    std::vector<fs::path> found;
    std::vector<fs::path> expected;
    std::set<std::pair<std::uint64_t, std::uint64_t>> visited;
    const auto search = [&](const auto& self, const fs::path& folder) -> void {
        const auto identity = platform::IdentityOf(folder);
        if (!identity || !visited.insert(identity->Key()).second) return;
        if (HoldsDocument(folder)) {
            found.push_back(folder);
            return;
        }
        if (IsRegularFile(folder / kExpectedList)) {
            std::istringstream lines(ReadBytes(folder / kExpectedList));
            std::size_t number = 0;
            for (std::string line; std::getline(lines, line);) {
                ++number;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line.empty() || line.front() == '#') continue;
                const fs::path relative = fs::path(line).lexically_normal();
                if (relative.is_absolute() || relative.empty() || *relative.begin() == "..")
                    throw std::runtime_error((folder / kExpectedList).string() + ", line " + std::to_string(number) +
                                             ": not a run folder below this folder");
                expected.push_back((folder / relative).lexically_normal());
            }
        }
        std::vector<fs::path> subfolders;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            const auto child = platform::IdentityOf(entry.path());
            if (child && child->directory) subfolders.push_back(entry.path());
        }
        std::sort(subfolders.begin(), subfolders.end());
        if (subfolders.empty()) {
            const bool own_output = IsRegularFile(folder / report_name::kFleetCsv) ||
                                    IsRegularFile(folder / report_name::kCompareCsv);
            if (!own_output) found.push_back(folder);
            return;
        }
        for (const fs::path& subfolder : subfolders) self(self, subfolder);
    };
    std::vector<RunFolder> read;
    std::vector<fs::path> documents;  // roots that are documents themselves
    for (const fs::path& root : roots) {
        const auto identity = platform::IdentityOf(root);
        if (identity && identity->regular_file) {
            found.push_back(root);
            continue;
        }
        if (!identity || !identity->directory) throw std::runtime_error(root.string() + ": no such folder");
        search(search, root);
    }
    // Parsing dominates a large fleet: one reader per core, each taking the
    // next folder, the results in the order found.
    read.resize(found.size());
    std::atomic<std::size_t> next{0};
    const auto reader = [&] {
        for (std::size_t i; (i = next++) < found.size();) read[i] = ReadRunFolder(found[i]);
    };
    std::vector<std::thread> readers(std::max(1u, std::min(8u, std::thread::hardware_concurrency())) - 1);
    for (std::thread& thread : readers) thread = std::thread(reader);
    reader();
    for (std::thread& thread : readers) thread.join();
    // An expected folder that is not there: its task never ran.
    std::set<fs::path> present;
    for (const fs::path& folder : found) present.insert(folder.lexically_normal());
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    for (const fs::path& folder : expected) {
        std::error_code error;
        if (present.count(folder) != 0 || fs::exists(folder, error)) continue;
        RunFolder missing;
        missing.folder = folder;
        missing.missing = true;
        missing.problem = "expected by " + std::string(kExpectedList) + ", but no folder: its task never ran";
        read.push_back(std::move(missing));
    }
    return read;
}

}  // namespace fpbench
