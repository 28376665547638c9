#include "fleet/run_folder.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <limits>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <set>
#include <thread>
#include <tuple>

#include <simdjson.h>

#include "report/result_schema.h"
#include "bench/number_format.h"
#include "bench/statistics.h"
#include "bench/tensor_peak.h"
#include "platform/platform.h"
#include "report/report_names.h"

namespace fpbench {
namespace {

namespace fs = std::filesystem;
namespace dom = simdjson::dom;
using dom::element;
using dom::element_type;

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

bool Is(element value, Type type) {
    const element_type kind = value.type();
    const bool integer = kind == element_type::INT64 || kind == element_type::UINT64;
    switch (type) {
        case Type::Integer: return integer;
        case Type::Number:  // null: a value JSON cannot hold
            return integer || kind == element_type::DOUBLE || kind == element_type::NULL_VALUE;
        case Type::Boolean: return kind == element_type::BOOL;
        case Type::Text: return kind == element_type::STRING;
        case Type::Object: return kind == element_type::OBJECT;
        case Type::Array: return kind == element_type::ARRAY;
    }
    return false;
}

// The member's full name is made only when it is refused: ten thousand
// documents have a quarter of a million members.
[[noreturn]] void Refuse(const std::string& name, bool missing, Type type) {
    throw Malformed("member \"" + name + (missing ? "\" is missing" : "\" is not " + std::string(TypeName(type))));
}

element Member(dom::object object, const char* where, const char* key, Type type) {
    element value;
    const bool found = object.at_key(key).get(value) == simdjson::SUCCESS;
    if (found && Is(value, type)) return value;
    Refuse(*where == '\0' ? std::string(key) : std::string(where) + "." + key, !found, type);
}

// Values of a type Is() has checked.
double NumberOf(element value) {
    switch (value.type()) {
        case element_type::INT64: return static_cast<double>(value.get_int64().value_unsafe());
        case element_type::UINT64: return static_cast<double>(value.get_uint64().value_unsafe());
        case element_type::DOUBLE: return value.get_double().value_unsafe();
        default: return std::numeric_limits<double>::quiet_NaN();  // null
    }
}
std::int32_t IntegerOf(element value) { return static_cast<std::int32_t>(NumberOf(value)); }
std::string_view TextOf(element value) { return value.get_string().value_unsafe(); }
bool FlagOf(element value) { return value.get_bool().value_unsafe(); }

Type TypeOf(schema::Kind kind) {
    switch (kind) {
        case schema::Kind::Integer: return Type::Integer;
        case schema::Kind::Flag: return Type::Boolean;
        case schema::Kind::Accumulator:
        case schema::Kind::Text: return Type::Text;
        default: return Type::Number;
    }
}

// "rows[3]", made only for a message.
std::string Where(const char* array, std::size_t index) { return std::string(array) + "[" + std::to_string(index) + "]"; }

constexpr std::size_t kMostColumns = 64;

// The columns' keys, measured once for all of an array's records.
template <typename Record>
std::array<std::string_view, kMostColumns> KeysOf(std::span<const schema::Column<Record>> columns) {
    if (columns.size() > kMostColumns) throw std::logic_error("a record of more than 64 columns");
    std::array<std::string_view, kMostColumns> keys;
    for (std::size_t i = 0; i < columns.size(); ++i) keys[i] = columns[i].key;
    return keys;
}

// One row or trial object, member by member as the schema writes it. One pass
// over the object puts each member under its column, trying the column after
// the last first, as the writer orders them; of a member given twice the last
// counts.
template <typename Record>
Record ReadRecord(element value, const char* array, std::size_t index, std::span<const schema::Column<Record>> columns,
                  const std::array<std::string_view, kMostColumns>& keys, std::array<element, kMostColumns>& members) {
    dom::object object;
    if (value.get(object) != simdjson::SUCCESS) throw Malformed("member \"" + Where(array, index) + "\" is not an object");
    std::uint64_t present = 0;
    std::size_t next = 0;
    for (const dom::key_value_pair member : object) {
        std::size_t column = next < columns.size() && member.key == keys[next] ? next : columns.size();
        for (std::size_t i = 0; column == columns.size() && i < columns.size(); ++i)
            if (member.key == keys[i]) column = i;
        if (column == columns.size() || !columns[column].In(schema::kDocument)) continue;
        members[column] = member.value;
        present |= std::uint64_t{1} << column;
        next = column + 1;
    }
    Record record{};
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const schema::Column<Record>& column = columns[i];
        if (!column.In(schema::kDocument)) continue;
        const Type type = TypeOf(column.kind);
        const bool missing = (present >> i & 1) == 0;
        if (missing || !Is(members[i], type)) Refuse(Where(array, index) + "." + column.key, missing, type);
        const element member = members[i];
        schema::Cell cell;
        if (column.kind == schema::Kind::Accumulator) {
            const std::string_view text = TextOf(member);
            if (text != Accumulator(true).mode && text != Accumulator(false).mode)
                throw Malformed("member \"" + Where(array, index) + "." + column.key + "\" is not " +
                                Accumulator(true).mode + " or " + Accumulator(false).mode);
            cell.value = text == Accumulator(true).mode ? 1 : 0;
        } else if (type == Type::Text) {
            cell.text = TextOf(member);
        } else {
            cell.value = type == Type::Boolean ? FlagOf(member) : NumberOf(member);
        }
        column.Write(record, cell);
    }
    return record;
}

template <typename Record>
std::vector<Record> ReadArray(dom::object document, const char* key) {
    const dom::array array = Member(document, "", key, Type::Array).get_array().value_unsafe();
    const auto columns = [] {
        if constexpr (std::is_same_v<Record, Row>) return schema::RowColumns();
        else return schema::TrialColumns();
    }();
    const auto keys = KeysOf<Record>(columns);
    std::array<element, kMostColumns> members;  // made once: a fleet has millions of records
    std::vector<Record> records;
    records.reserve(array.size());
    for (const element value : array)
        records.push_back(ReadRecord<Record>(value, key, records.size(), columns, keys, members));
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

std::string Timestamp(dom::object document, const char* key, bool may_be_empty) {
    const std::string_view text = TextOf(Member(document, "", key, Type::Text));
    if (!(IsTimestamp(text) || (may_be_empty && text.empty())))
        throw Malformed("member \"" + std::string(key) + "\" is not a UTC time stamp (YYYY-MM-DDThh:mm:ss.mmmZ)");
    return std::string(text);
}

// A figure a measurement gives is finite and positive; a reading of the
// telemetry is -1 (not taken) or more.
template <typename Record>
void CheckFigure(const Record& record, const char* array, std::size_t index, const schema::Column<Record>& column,
                 bool measured) {
    if (!column.In(schema::kDocument)) return;
    const double value = column.Read(record).value;
    if (measured && !(std::isfinite(value) && value > 0))
        throw Malformed("member \"" + Where(array, index) + "." + column.key + "\" is " +
                        (std::isnan(value) ? std::string("null") : FormatGeneral(value, 6)) +
                        ", not a positive number");
    if (!measured && column.negative_unknown && !(value >= -1))
        throw Malformed("member \"" + Where(array, index) + "." + column.key + "\" is " + FormatGeneral(value, 6) +
                        ", not a reading");
}

// Which columns are measurements is told by their unit or key once per array,
// not once per record.
template <typename Record>
void CheckFigures(std::span<const Record> records, const char* array, std::span<const schema::Column<Record>> columns) {
    std::uint64_t measured = 0;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const std::string_view unit = columns[i].unit, key = columns[i].key;
        if (unit == "TFLOPS" || unit == "ms" || key == "n" || key == "gemms") measured |= std::uint64_t{1} << i;
    }
    for (std::size_t index = 0; index < records.size(); ++index)
        for (std::size_t i = 0; i < columns.size(); ++i)
            CheckFigure(records[index], array, index, columns[i], (measured >> i & 1) != 0);
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
        if (run.rows[i].median_tflops <= bound && run.rows[i].max_tflops <= bound) continue;
        check(run.rows[i].median_tflops, Where("rows", i) + ".median_tflops");
        check(run.rows[i].max_tflops, Where("rows", i) + ".max_tflops");
    }
    for (std::size_t i = 0; i < run.trials.size(); ++i)
        if (!(run.trials[i].tflops <= bound)) check(run.trials[i].tflops, Where("trials", i) + ".tflops");
}

RunResult ReadDocument(element root, std::string& kernel_source_sha256) {
    dom::object document;
    if (root.get(document) != simdjson::SUCCESS) throw Malformed("the document is not a JSON object");
    if (NumberOf(Member(document, "", "schema_version", Type::Integer)) != 1)
        throw Malformed("member \"schema_version\" is not 1");
    RunResult run;
    run.status = TextOf(Member(document, "", "status", Type::Text));
    run.started_utc = Timestamp(document, "started_utc", false);
    run.finished_utc = Timestamp(document, "finished_utc", true);
    run.error = TextOf(Member(document, "", "error", Type::Text));
    run.cleanup_ok = FlagOf(Member(document, "", "cleanup_ok", Type::Boolean));
    run.backend = TextOf(Member(document, "", "backend", Type::Text));
    kernel_source_sha256 = TextOf(Member(document, "", "kernel_source_sha256", Type::Text));
    const dom::object device = Member(document, "", "device", Type::Object).get_object().value_unsafe();
    run.device.name = TextOf(Member(device, "device", "name", Type::Text));
    run.device.uuid = TextOf(Member(device, "device", "uuid", Type::Text));
    run.device.sm_count = IntegerOf(Member(device, "device", "sm_count", Type::Integer));
    run.device.major = IntegerOf(Member(device, "device", "major", Type::Integer));
    run.device.minor = IntegerOf(Member(device, "device", "minor", Type::Integer));
    run.options.trials_per_mode = IntegerOf(Member(document, "", "trials_per_mode", Type::Integer));
    run.options.sample_ms = NumberOf(Member(document, "", "sample_ms", Type::Number));
    run.options.warmup_seconds = NumberOf(Member(document, "", "warmup_seconds", Type::Number));
    run.rows = ReadArray<Row>(document, "rows");
    run.trials = ReadArray<TrialRecord>(document, "trials");
    CheckFigures<Row>(run.rows, "rows", schema::RowColumns());
    CheckFigures<TrialRecord>(run.trials, "trials", schema::TrialColumns());
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

// A listed name against one of ours, which are ASCII, whatever the platform's
// characters.
bool Named(const fs::path::string_type& name, std::string_view ours) {
    return name.size() == ours.size() && std::equal(ours.begin(), ours.end(), name.begin());
}

// "result-N.json": where a held result.json's final content went.
bool IsHeldDocument(const fs::path::string_type& name) {
    constexpr std::string_view kBegins = "result-", kEnds = ".json";
    if (name.size() <= kBegins.size() + kEnds.size()) return false;
    if (!std::equal(kBegins.begin(), kBegins.end(), name.begin()) ||
        !std::equal(kEnds.begin(), kEnds.end(), name.end() - static_cast<std::ptrdiff_t>(kEnds.size())))
        return false;
    return std::all_of(name.begin() + kBegins.size(), name.end() - kEnds.size(), [](auto c) { return c >= '0' && c <= '9'; });
}

// What a folder's listing tells: its documents and the notes beside them,
// each a regular file unless said.
struct Listed {
    fs::path folder;
    bool document = false;                     // result.json
    bool other_document = false;               // a result.json that is not a regular file
    std::vector<fs::path::string_type> held;   // result-N.json, in order
    bool task_error = false, health = false;
    bool IsRun() const { return document || !held.empty(); }
};

Listed ListedOf(const fs::path& folder, const platform::FolderListing& listing) {
    Listed listed;
    listed.folder = folder;
    for (const platform::FolderEntry& entry : listing.entries) {
        if (Named(entry.name, report_name::kDocument)) {
            (entry.regular_file ? listed.document : listed.other_document) = true;
        } else if (entry.regular_file) {
            if (Named(entry.name, report_name::kHealth)) listed.health = true;
            else if (Named(entry.name, report_name::kTaskError)) listed.task_error = true;
            else if (IsHeldDocument(entry.name)) listed.held.push_back(entry.name);
        }
    }
    std::sort(listed.held.begin(), listed.held.end());
    return listed;
}

// A folder's listing; one that cannot be read lists nothing.
std::optional<platform::FolderListing> ListingOf(const fs::path& folder) {
    if (auto listing = platform::ListFolder(folder)) return listing;
    const auto identity = platform::IdentityOf(folder);
    if (!identity || !identity->directory) return std::nullopt;
    return platform::FolderListing{*identity, {}};
}

// Reads documents one after another, each parsed once straight into its
// records; the parser's buffers and the file's bytes are kept for the next
// document, so a reader belongs to one thread.
class DocumentReader {
public:
    // One document, a regular file, read or refused with its reason; without
    // `figures`, the rows' figures that the trials give are left unworked.
    RunFolder Read(const fs::path& document, const fs::path& folder, bool figures = true) {
        RunFolder read;
        read.folder = folder;
        std::size_t size = 0;
        if (!Load(document, size)) {
            read.problem = document.string() + ": cannot be read";
            return read;
        }
        element root;
        if (const auto error = parser_.parse(bytes_.data(), size, false).get(root)) {
            read.problem = document.string() + ": not valid JSON (" + simdjson::error_message(error) + ")";
            return read;
        }
        try {
            RunResult run = ReadDocument(root, read.kernel_source_sha256);
            run.options.report_dir = folder;
            if (figures) {
                SetRowFigures(run);
                SetDerivedFigures(run);
            }
            read.run = std::move(run);
        } catch (const Malformed& malformed) {
            read.problem = document.string() + ": " + malformed.what();
        }
        return read;
    }

    // health.json beside the run (a regular file), where it is one of this
    // GPU's: each trial's clock reasons and the board's facts the judging
    // uses. It is optional: one that cannot be read leaves them unknown.
    void ReadHealth(const fs::path& folder, RunResult& run) {
        std::size_t size = 0;
        element root;
        if (!Load(folder / report_name::kHealth, size) || parser_.parse(bytes_.data(), size, false).get(root)) return;
        dom::object health, device, board;
        std::string_view uuid;
        if (root.get(health) || health["device"].get(device) || device["uuid"].get(uuid) || uuid != run.device.uuid)
            return;
        const auto integer = [](simdjson::simdjson_result<element> value, std::int32_t& into) {
            std::int64_t number = 0;
            if (value.get(number) == simdjson::SUCCESS && number >= 0 && number <= INT32_MAX) into = static_cast<std::int32_t>(number);
        };
        const auto milliwatts = [](simdjson::simdjson_result<element> value, std::int32_t& into) {
            double watts = 0;
            if (value.get(watts) == simdjson::SUCCESS && watts >= 0 && watts < 1e6) into = static_cast<std::int32_t>(watts * 1000 + 0.5);
        };
        milliwatts(health["power_limit_w"], run.health.board.power_limit_mw);
        milliwatts(health["default_power_limit_w"], run.health.board.default_power_limit_mw);
        integer(health["pcie"]["generation"], run.health.board.pcie_generation);
        integer(health["pcie"]["width"], run.health.board.pcie_width);
        integer(health["pcie"]["max_generation"], run.health.board.pcie_max_generation);
        integer(health["pcie"]["max_width"], run.health.board.pcie_max_width);
        integer(health["remapped_rows"]["pending"], run.health.board.remap_pending);
        integer(health["remapped_rows"]["failure"], run.health.board.remap_failure);
        dom::array trials;
        if (health["trials"].get(trials) || trials.size() != run.trials.size()) return;
        std::size_t i = 0;
        for (element trial : trials) {
            dom::array reasons;
            TrialRecord& record = run.trials[i++];
            if (trial["reasons"].get(reasons)) continue;
            record.clock_reasons = 0;
            for (element reason : reasons) {
                std::string_view name;
                if (reason.get(name)) continue;
                for (const ClockReasonName& known : kClockReasons)
                    if (name == known.key) record.clock_reasons |= static_cast<std::int64_t>(known.bit);
            }
        }
    }

private:
    // The file's bytes into bytes_, padded as simdjson reads past the end;
    // false when it cannot be opened.
    bool Load(const fs::path& path, std::size_t& size) {
        const std::optional<std::size_t> read = platform::ReadFileInto(path, bytes_, simdjson::SIMDJSON_PADDING);
        if (read) size = *read;
        return read.has_value();
    }

    dom::parser parser_;
    std::string bytes_;
};

// A folder's newest finished document, from what its listing holds.
RunFolder ReadFolder(DocumentReader& reader, const Listed& listed, bool figures = true) {
    const fs::path& folder = listed.folder;
    if (!listed.IsRun()) {
        RunFolder read;
        read.folder = folder;
        if (listed.other_document) {
            read.problem = (folder / report_name::kDocument).string() + ": not a regular file";
        } else if (listed.task_error) {
            std::istringstream lines(ReadBytes(folder / report_name::kTaskError));
            std::string first;
            std::getline(lines, first);
            read.problem = "no result.json; task-error.txt: " + first;
        } else {
            read.problem = "no result.json in " + folder.string();
        }
        return read;
    }
    std::vector<fs::path> documents;
    if (listed.document) documents.push_back(folder / report_name::kDocument);
    for (const fs::path::string_type& name : listed.held) documents.push_back(folder / name);
    // The newest finished document tells the run's end; without one, the
    // newest started. result.json comes first, so it wins a tie.
    std::optional<RunFolder> chosen;
    RunFolder first_problem;
    for (const fs::path& document : documents) {
        RunFolder read = reader.Read(document, folder, figures);
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
    if (!chosen) return first_problem;
    if (listed.health) reader.ReadHealth(folder, *chosen->run);
    return std::move(*chosen);
}

}  // namespace

namespace {

// What a fleet keeps of a run. Without `figures_set` the rows' noise and FLOP
// per SM per clock are worked out here, as SetRowFigures and SetDerivedFigures
// would, from the one division of the trials into rows the tallies need too.
FleetFolder Slim(RunFolder folder, bool figures_set) {
    FleetFolder slim;
    slim.folder = std::move(folder.folder);
    slim.problem = std::move(folder.problem);
    slim.missing = folder.missing;
    if (!folder.run) return slim;
    RunResult& run = *folder.run;
    FleetRun& kept = slim.run.emplace();
    kept.device = {std::move(run.device.name), std::move(run.device.uuid), run.device.sm_count, run.device.major,
                   run.device.minor};
    kept.status = std::move(run.status);
    kept.error = std::move(run.error);
    kept.started_utc = std::move(run.started_utc);
    kept.finished_utc = std::move(run.finished_utc);
    kept.board = run.health.board;
    kept.rows.reserve(run.rows.size());
    const std::vector<std::vector<const TrialRecord*>> trials_of = TrialsByRow(run);
    std::vector<double> throughput;
    for (std::size_t i = 0; i < run.rows.size(); ++i) {
        const Row& row = run.rows[i];
        FleetRow& slim_row = kept.rows.emplace_back(FleetRow{row.median_tflops, row.noise_pct, row.per_clock, row.n,
                                                             row.sm_clock_mhz, row.fp16_accumulate,
                                                             row.validation_passed, row.guards_intact, {}});
        if (!figures_set) {
            throughput.clear();
            for (const TrialRecord* trial : trials_of[i]) throughput.push_back(trial->tflops);
            slim_row.noise_pct = NoisePercent(throughput);
            slim_row.per_clock = FlopPerSmClock(row.median_tflops, row.sm_clock_mhz, run.device.sm_count);
        }
        for (const TrialRecord* trial : trials_of[i])
            for (std::size_t k = 0; k < std::size(kClockReasons) && trial->clock_reasons >= 0; ++k)
                if ((trial->clock_reasons & static_cast<std::int64_t>(kClockReasons[k].bit)) != 0)
                    ++slim_row.clock_reasons[k];
    }
    return slim;
}

FleetFolder SlimUnworked(RunFolder folder) { return Slim(std::move(folder), false); }

}  // namespace

FleetFolder FleetFolderOf(RunFolder folder) { return Slim(std::move(folder), true); }

RunFolder ReadRunFolder(const fs::path& folder_or_document) {
    DocumentReader reader;
    if (IsRegularFile(folder_or_document)) return reader.Read(folder_or_document, folder_or_document.parent_path());
    const auto listing = ListingOf(folder_or_document);
    return ReadFolder(reader, ListedOf(folder_or_document, listing ? *listing : platform::FolderListing{}));
}

namespace {

// The walk FindRunFolders and FindFleetFolders share; `keep` makes each run
// folder read into what is kept of it.
template <typename Folder>
std::vector<Folder> FindFolders(const std::vector<fs::path>& roots, Folder (*keep)(RunFolder), bool figures) {
    struct Found {
        Listed listed;
        bool document = false;  // a root that is a document itself
    };
    // The walk lists folders in path order on this thread while readers parse
    // the run folders it has found so far, on every core: on a warm cache a
    // large fleet's walk is a third of the work, and would otherwise come
    // first. Deques keep each folder and its slot in place as they grow.
    std::deque<Found> found;
    std::deque<Folder> read;
    std::mutex mutex;
    std::condition_variable more;
    bool walked = false;
    std::size_t next = 0;
    const auto reader = [&] {
        DocumentReader documents;
        for (;;) {
            const Found* folder = nullptr;
            Folder* slot = nullptr;
            {
                std::unique_lock lock(mutex);
                more.wait(lock, [&] { return next < found.size() || walked; });
                if (next == found.size()) return;
                folder = &found[next], slot = &read[next];
                ++next;
            }
            const Listed& listed = folder->listed;
            *slot = keep(folder->document ? documents.Read(listed.folder, listed.folder.parent_path(), figures)
                                          : ReadFolder(documents, listed, figures));
        }
    };
    const auto add = [&](Found folder) {
        {
            const std::lock_guard lock(mutex);
            found.push_back(std::move(folder));
            read.emplace_back();
        }
        more.notify_one();
    };
    std::vector<std::thread> readers(std::max(1u, std::min(8u, std::thread::hardware_concurrency())) - 1);
    for (std::thread& thread : readers) thread = std::thread(reader);
    const auto walk_ended = [&] {
        {
            const std::lock_guard lock(mutex);
            walked = true;
        }
        more.notify_all();
    };
    // However the walk ends, the readers are told and waited for.
    const auto join = [&] {
        walk_ended();
        for (std::thread& thread : readers)
            if (thread.joinable()) thread.join();
    };
    struct Joined {
        const std::function<void()> join;
        ~Joined() { join(); }
    } joined{join};

    std::vector<fs::path> expected;
    std::set<std::pair<std::uint64_t, std::uint64_t>> visited;
    // One listing a folder tells all: its documents, its notes and its subfolders.
    const auto search = [&](const auto& self, const fs::path& folder) -> void {
        const auto listing = ListingOf(folder);
        if (!listing || !visited.insert(listing->identity.Key()).second) return;
        Listed listed = ListedOf(folder, *listing);
        // A folder with result.json is a run folder whatever else it holds.
        if (listed.IsRun()) {
            add({std::move(listed)});
            return;
        }
        bool expected_list = false, own_output = false;
        std::vector<fs::path> subfolders;
        for (const platform::FolderEntry& entry : listing->entries) {
            if (entry.directory) subfolders.push_back(folder / entry.name);
            expected_list |= entry.regular_file && Named(entry.name, kExpectedList);
            own_output |= entry.regular_file &&
                          (Named(entry.name, report_name::kFleetCsv) || Named(entry.name, report_name::kCompareCsv));
        }
        if (expected_list) {
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
        std::sort(subfolders.begin(), subfolders.end());
        if (subfolders.empty()) {
            if (!own_output) add({std::move(listed)});
            return;
        }
        for (const fs::path& subfolder : subfolders) self(self, subfolder);
    };
    for (const fs::path& root : roots) {
        const auto identity = platform::IdentityOf(root);
        if (identity && identity->regular_file) {
            Found document;
            document.listed.folder = root;
            document.document = true;
            add(std::move(document));
            continue;
        }
        if (!identity || !identity->directory) throw std::runtime_error(root.string() + ": no such folder");
        search(search, root);
    }
    walk_ended();
    reader();
    join();

    // An expected folder that is not there: its task never ran.
    std::set<fs::path> present;
    for (std::size_t i = 0; !expected.empty() && i < found.size(); ++i) present.insert(found[i].listed.folder.lexically_normal());
    found.clear();
    std::vector<Folder> runs;
    runs.reserve(read.size());
    for (; !read.empty(); read.pop_front()) runs.push_back(std::move(read.front()));  // the deque's blocks go as they empty
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    for (const fs::path& folder : expected) {
        std::error_code error;
        if (present.count(folder) != 0 || fs::exists(folder, error)) continue;
        Folder missing;
        missing.folder = folder;
        missing.missing = true;
        missing.problem = "expected by " + std::string(kExpectedList) + ", but no folder: its task never ran";
        runs.push_back(std::move(missing));
    }
    return runs;
}

RunFolder AsRead(RunFolder folder) { return folder; }

}  // namespace

std::vector<RunFolder> FindRunFolders(const std::vector<fs::path>& roots) { return FindFolders(roots, &AsRead, true); }

// The rows' figures are not worked out as each document is read: of them a
// fleet keeps two, which SlimUnworked works out from the trials it tallies.
std::vector<FleetFolder> FindFleetFolders(const std::vector<fs::path>& roots) {
    return FindFolders(roots, &SlimUnworked, false);
}

}  // namespace fpbench
