#include "report/reports.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "bench/kernel_catalogue.h"
#include "bench/number_format.h"
#include "report/result_schema.h"
#include "platform/platform.h"
#include "report/health.h"
#include "report/html_report.h"
#include "report/text_format.h"

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

}  // namespace

namespace {

// How long the last write waits for a held file to be let go (a spreadsheet
// saving, a virus scanner reading) before its content goes beside it.
constexpr auto kHeldPatience = std::chrono::seconds(3);
constexpr auto kHeldRetryPause = std::chrono::milliseconds(100);

// The failure with the system's reason for it, where the C runtime gave one.
std::runtime_error WriteFailure(const char* what, int error) {
    return std::runtime_error(error == 0 ? std::string(what)
                                         : std::string(what) + ": " + std::generic_category().message(error));
}

// One report file on its way to disk: written under "<name>.tmp" and then
// moved over the final name, or, when something holds the final file open,
// rewritten in place. The temporary file goes away with the owner.
class PendingFile {
public:
    PendingFile(const std::filesystem::path& directory, const char* name, std::string contents)
        : target_(directory / name), temporary_(target_), contents_(std::move(contents)) {
        temporary_ += ".tmp";
        // A leftover of an interrupted write (read-only, say) must not stand in the way.
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
        errno = 0;
        stream_.open(temporary_, std::ios::binary | std::ios::trunc);
        created_ = stream_.is_open();
        if (!created_) error_ = errno;
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() {
        if (stream_.is_open()) stream_.close();
        if (created_ && !replaced_) {
            std::error_code ignored;
            std::filesystem::remove(temporary_, ignored);
        }
    }

    bool IsOpen() const { return stream_.is_open(); }
    // errno of the failed open, write or close; 0 when none failed or the
    // runtime named no reason.
    int Error() const { return error_; }

    // The file is closed here, so a failure to flush counts as a write error:
    // an incomplete file must never replace a complete one.
    bool WriteAndClose() {
        errno = 0;
        stream_.write(contents_.data(), static_cast<std::streamsize>(contents_.size()));
        if (stream_.fail()) error_ = errno;
        errno = 0;
        stream_.close();
        if (stream_.fail() && error_ == 0) error_ = errno;
        return !stream_.fail();
    }

    // A reader that holds the file open (an editor, a tail tool) keeps it
    // from being replaced on Windows; it then gets the new bytes in place.
    // False when neither works: another program holds the file.
    bool Replace() {
        replaced_ = platform::ReplaceFile(temporary_, target_);
        return replaced_ || platform::RewriteFileInPlace(target_, contents_);
    }

    // The content under the first free name beside the target ("summary-2.csv");
    // that name, or "" when none could be taken.
    std::string MoveBeside() {
        const std::filesystem::path stem = target_.stem(), extension = target_.extension();
        for (int k = 2; k <= 1000; ++k) {
            std::string suffix = std::to_string(k);
            suffix.insert(suffix.begin(), '-');
            const std::filesystem::path free = target_.parent_path() / (stem.string() + suffix + extension.string());
            std::error_code error;
            if (std::filesystem::exists(free, error) || error) continue;
            if (!platform::ReplaceFile(temporary_, free)) return {};
            replaced_ = true;
            return free.filename().string();
        }
        return {};
    }

    std::string Name() const { return target_.filename().string(); }

private:
    std::filesystem::path target_;
    std::filesystem::path temporary_;
    std::string contents_;
    std::ofstream stream_;
    bool created_ = false;
    bool replaced_ = false;
    int error_ = 0;
};

}  // namespace

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

std::vector<HeldReport> WriteReports(const RunResult& result, bool last) {
    const std::filesystem::path& directory = result.options.report_dir;
    // All are opened before any is checked. The document comes last, so that
    // a reader who finds N rows in it finds them in the other files too.
    std::array<PendingFile, 5> files{
        PendingFile(directory, report_name::kSummary, SummaryTable(result.rows)),
        PendingFile(directory, report_name::kTrials, TrialTable(result.trials)),
        PendingFile(directory, report_name::kPage, HtmlReport(result, KernelSourceSha256)),
        PendingFile(directory, report_name::kHealth, HealthDocument(result)),
        PendingFile(directory, report_name::kDocument, ResultDocument(result, KernelSourceSha256)),
    };
    for (const PendingFile& file : files)
        if (!file.IsOpen()) throw WriteFailure("Unable to write report files", file.Error());

    int error = 0;
    bool written = true;
    for (PendingFile& file : files) {
        written = file.WriteAndClose() && written;
        if (error == 0) error = file.Error();
    }
    if (!written) throw WriteFailure("Report write failed", error);

    // Every file that can be brought up to date is, whichever is held.
    std::vector<PendingFile*> held_files;
    for (PendingFile& file : files)
        if (!file.Replace()) held_files.push_back(&file);
    const auto deadline = std::chrono::steady_clock::now() + kHeldPatience;
    while (last && !held_files.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kHeldRetryPause);
        std::erase_if(held_files, [](PendingFile* file) { return file->Replace(); });
    }
    std::vector<HeldReport> held;
    for (PendingFile* file : held_files) held.push_back({file->Name(), last ? file->MoveBeside() : ""});
    if (!last || held.empty()) return held;
    for (const HeldReport& file : held)
        if (file.written_as.empty()) throw std::runtime_error("Report write failed");

    // The page was written before the held files were known; it is written
    // again to say where their content went, beside its name if it is held
    // itself. Where that fails, the first page stands: complete, without the note.
    const auto page =
        std::find_if(held.begin(), held.end(), [](const HeldReport& file) { return file.name == report_name::kPage; });
    PendingFile again(directory, page == held.end() ? report_name::kPage : page->written_as.c_str(),
                      HtmlReport(result, KernelSourceSha256, held));
    if (again.IsOpen() && again.WriteAndClose()) again.Replace();
    return held;
}

void WriteWholeFile(const std::filesystem::path& path, std::string content) {
    PendingFile file(path.parent_path(), path.filename().string().c_str(), std::move(content));
    if (!file.IsOpen() || !file.WriteAndClose() || !file.Replace()) throw std::runtime_error("Unable to write " + path.string());
}

bool WriteDocumentOnly(const RunResult& result) {
    const std::filesystem::path& directory = result.options.report_dir;
    std::error_code ignored;
    for (const char* name : {report_name::kSummary, report_name::kTrials, report_name::kPage, report_name::kHealth}) {
        std::filesystem::remove(directory / name, ignored);
        std::filesystem::remove(directory / (std::string(name) + ".tmp"), ignored);
    }
    PendingFile document(directory, report_name::kDocument, ResultDocument(result, KernelSourceSha256));
    if (document.IsOpen() && document.WriteAndClose() && document.Replace()) return true;
    // A document that still says "running" would tell a false story.
    std::filesystem::remove(directory / report_name::kDocument, ignored);
    return false;
}

}  // namespace fpbench
