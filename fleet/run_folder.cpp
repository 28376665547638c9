#include "fleet/run_folder.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "bench/result_schema.h"
#include "bench/statistics.h"
#include "bench/tensor_peak.h"

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

RunResult ReadDocument(const json& document, std::string& kernel_source_sha256) {
    if (!document.is_object()) throw Malformed("the document is not a JSON object");
    if (Member(document, "", "schema_version", Type::Integer).get<int>() != 1)
        throw Malformed("member \"schema_version\" is not 1");
    RunResult run;
    run.status = Member(document, "", "status", Type::Text).get<std::string>();
    run.started_utc = Member(document, "", "started_utc", Type::Text).get<std::string>();
    run.finished_utc = Member(document, "", "finished_utc", Type::Text).get<std::string>();
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
    run.options.sizes.clear();
    for (const Row& row : run.rows)
        if (row.fp16_accumulate) run.options.sizes.push_back(row.n);
    return run;
}

bool Holds(const fs::path& folder, const char* name) {
    std::error_code error;
    return fs::is_regular_file(folder / name, error);
}

}  // namespace

RunFolder ReadRunFolder(const fs::path& folder_or_document) {
    RunFolder read;
    std::error_code error;
    const bool document_given = fs::is_regular_file(folder_or_document, error);
    read.folder = document_given ? folder_or_document.parent_path() : folder_or_document;
    const fs::path document = document_given ? folder_or_document : folder_or_document / "result.json";
    std::ifstream in(document, std::ios::binary);
    if (!in) {
        read.problem = document.string() + ": cannot be read";
        if (!document_given && Holds(read.folder, "task-error.txt")) {
            std::ifstream note(read.folder / "task-error.txt");
            std::string first;
            std::getline(note, first);
            read.problem = "no result.json; task-error.txt: " + first;
        } else if (!fs::exists(document, error)) {
            read.problem = "no result.json in " + read.folder.string();
        }
        return read;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    try {
        RunResult run = ReadDocument(json::parse(bytes.str()), read.kernel_source_sha256);
        run.options.report_dir = read.folder;
        run.created_report_dir = true;
        run.report_files = ReportFiles::Complete;
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

std::vector<RunFolder> FindRunFolders(const std::vector<fs::path>& roots) {
    constexpr int kDepth = 4;  // screen folder / node / gpu, and one more
    std::vector<fs::path> found;
    const auto search = [&](const auto& self, const fs::path& folder, int depth) -> void {
        if (Holds(folder, "result.json")) {
            found.push_back(folder);
            return;
        }
        if (Holds(folder, "fleet.csv") || Holds(folder, "compare.csv")) return;
        std::vector<fs::path> subfolders;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error))
            if (entry.is_directory(error)) subfolders.push_back(entry.path());
        std::sort(subfolders.begin(), subfolders.end());
        if (subfolders.empty() || depth == 0) {
            found.push_back(folder);
            return;
        }
        for (const fs::path& subfolder : subfolders) self(self, subfolder, depth - 1);
    };
    for (const fs::path& root : roots) {
        std::error_code error;
        if (fs::is_regular_file(root, error)) {
            found.push_back(root);
            continue;
        }
        if (!fs::is_directory(root, error)) throw std::runtime_error(root.string() + ": no such folder");
        search(search, root, kDepth);
    }
    // Parsing dominates a large fleet: one reader per core, each taking the
    // next folder, the results in the order found.
    std::vector<RunFolder> read(found.size());
    std::atomic<std::size_t> next{0};
    const auto reader = [&] {
        for (std::size_t i; (i = next++) < found.size();) read[i] = ReadRunFolder(found[i]);
    };
    std::vector<std::thread> readers(std::max(1u, std::min(8u, std::thread::hardware_concurrency())) - 1);
    for (std::thread& thread : readers) thread = std::thread(reader);
    reader();
    for (std::thread& thread : readers) thread.join();
    return read;
}

}  // namespace fpbench
