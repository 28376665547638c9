#include "report/reports.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <system_error>

#include "bench/kernel_catalogue.h"
#include "platform/platform.h"
#include "report/html_report.h"

namespace fpbench {
namespace {

constexpr int kDocumentPrecision = 15;
constexpr int kSummaryPrecision = 10;
constexpr int kTrialPrecision = 12;

constexpr std::string_view kLimitations =
    "[\"Fixed precompiled GEMM backend, not cuBLAS or an exhaustive peak search\","
    "\"No matched locked baseline; no unlock speedup inferred\","
    "\"21 numerical samples checked first and last trial, plus output guards; not exhaustive "
    "stability testing\","
    "\"NVML readings after each batch have sensor refresh latency\"]";

constexpr std::string_view kSummaryHeader =
    "\xEF\xBB\xBF"
    "N,accumulator,median_TFLOPS,min_TFLOPS,max_TFLOPS,median_ms,SM_clock_MHz,power_W,max_temp_C,"
    "validation,max_abs_error\r\n";

constexpr std::string_view kTrialHeader =
    "N,accumulator,repetition,order,gemms,batch_ms,ms_per_gemm,TFLOPS,SM_clock_MHz,power_mW,"
    "temperature_C\r\n";

// The members of one JSON object in order, with the separating commas.
class Members {
public:
    explicit Members(std::string& out) : out_(out) {}

    Members& Integer(std::string_view key, std::int32_t value) { return Value(key, std::to_string(value)); }
    // JSON has no infinity or not-a-number: such a value is null.
    Members& Number(std::string_view key, double value) {
        return Value(key, std::isfinite(value) ? FormatGeneral(value, kDocumentPrecision) : "null");
    }
    Members& Boolean(std::string_view key, bool value) { return Value(key, value ? "true" : "false"); }
    Members& Text(std::string_view key, std::string_view value) { return Value(key, JsonQuote(value)); }
    // Constants and digests never hold a character that needs escaping.
    Members& PlainText(std::string_view key, std::string_view value) {
        return Value(key, '"' + std::string(value) + '"');
    }
    // The next member starts on a new line.
    Members& LineBreak() {
        line_break_ = true;
        return *this;
    }
    // A value that is already JSON text.
    Members& Value(std::string_view key, std::string_view json) {
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

std::string RowObject(const Row& row) {
    std::string out = "{";
    Members(out)
        .Integer("n", row.n)
        .PlainText("mode", ModeName(row.fp16_accumulate))
        .Number("median_tflops", row.median_tflops)
        .Number("min_tflops", row.min_tflops)
        .Number("max_tflops", row.max_tflops)
        .Number("median_ms", row.median_ms)
        .Integer("sm_clock_mhz", row.sm_clock_mhz)
        .Number("power_w", row.power_w)
        .Integer("temperature_c", row.temperature_c)
        .Integer("checked_elements", row.checked_elements)
        .Number("max_abs_error", row.max_abs_error)
        .Boolean("validation_passed", row.validation_passed)
        .Boolean("guards_intact", row.guards_intact)
        .PlainText("cubin_sha256", row.cubin_sha256);
    return out + '}';
}

std::string TrialObject(const TrialRecord& trial) {
    std::string out = "{";
    Members(out)
        .Integer("n", trial.n)
        .PlainText("mode", ModeName(trial.fp16_accumulate))
        .Integer("repetition", trial.repetition)
        .Integer("order", trial.order)
        .Integer("gemms", trial.gemms)
        .Number("batch_ms", trial.batch_ms)
        .Number("ms_per_gemm", trial.ms_per_gemm)
        .Number("tflops", trial.tflops)
        .Integer("sm_clock_mhz", trial.sm_clock_mhz)
        .Integer("power_mw", trial.power_mw)
        .Integer("temperature_c", trial.temperature_c);
    return out + '}';
}

std::string DeviceObject(const DeviceInfo& device) {
    std::string out = "{";
    Members(out)
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

// A table cell: a value that is not finite leaves its field empty, as an
// unknown reading does.
std::string CsvNumber(double value, int precision) {
    return std::isfinite(value) ? FormatGeneral(value, precision) : std::string();
}

}  // namespace

Utf8Sequence ScanUtf8(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return {1, true};
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {1, false};
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (at + k >= text.size() || byte(at + k) < (k == 1 ? low : 0x80) || byte(at + k) > (k == 1 ? high : 0xBF))
            return {k, false};
    }
    return {length, true};
}

namespace {

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
        stream_.open(temporary_, std::ios::binary | std::ios::trunc);
        created_ = stream_.is_open();
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

    // The file is closed here, so a failure to flush counts as a write error:
    // an incomplete file must never replace a complete one.
    bool WriteAndClose() {
        stream_.write(contents_.data(), static_cast<std::streamsize>(contents_.size()));
        stream_.close();
        return !stream_.fail();
    }

    // A reader that holds the file open (an editor, a tail tool) keeps it
    // from being replaced on Windows; it then gets the new bytes in place.
    bool Replace() {
        replaced_ = platform::ReplaceFile(temporary_, target_);
        return replaced_ || platform::RewriteFileInPlace(target_, contents_);
    }

private:
    std::filesystem::path target_;
    std::filesystem::path temporary_;
    std::string contents_;
    std::ofstream stream_;
    bool created_ = false;
    bool replaced_ = false;
};

}  // namespace

std::string FormatGeneral(double value, int precision) {
    // std::to_chars is specified as printf's %g in the "C" locale, yet, unlike
    // printf or a stream, it consults no locale (process-wide or imbued) and no
    // C runtime, so the bytes are the same on every OS and from every thread.
    std::array<char, 64> buffer;
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                            std::chars_format::general, precision);
    if (error != std::errc{}) return {};  // cannot happen: 64 bytes hold any double at <= 17 digits
    return std::string(buffer.data(), end);
}

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
            quoted += sequence.valid ? text.substr(at, sequence.length) : "\xEF\xBF\xBD";
            at += sequence.length;
        }
    }
    quoted += '"';
    return quoted;
}

std::string ResultDocument(const RunResult& result, std::string_view kernel_source_sha256) {
    std::string out = "{\n";
    Members(out)
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
        .Value("limitations", kLimitations)
        .LineBreak()
        .Value("rows", ArrayOf(result.rows, RowObject))
        .Value("trials", ArrayOf(result.trials, TrialObject));
    return out + "}\n";
}

std::string SummaryTable(const std::vector<Row>& rows) {
    std::string out(kSummaryHeader);
    for (const Row& row : rows) {
        out += std::to_string(row.n) + ',' + ModeName(row.fp16_accumulate) + ',';
        for (const double value : {row.median_tflops, row.min_tflops, row.max_tflops, row.median_ms})
            out += CsvNumber(value, kSummaryPrecision) + ',';
        // Unknown telemetry leaves its field empty; the comparison on power
        // is also false for not-a-number.
        if (row.sm_clock_mhz >= 0) out += std::to_string(row.sm_clock_mhz);
        out += ',';
        if (row.power_w >= 0.0) out += FormatGeneral(row.power_w, kSummaryPrecision);
        out += ',';
        if (row.temperature_c >= 0) out += std::to_string(row.temperature_c);
        out += ',';
        out += row.validation_passed ? "PASS," : "FAIL,";
        out += CsvNumber(row.max_abs_error, kSummaryPrecision) + "\r\n";
    }
    return out;
}

std::string TrialTable(const std::vector<TrialRecord>& trials) {
    std::string out(kTrialHeader);
    for (const TrialRecord& trial : trials) {
        out += std::to_string(trial.n) + ',' + ModeName(trial.fp16_accumulate) + ',' +
               std::to_string(trial.repetition) + ',' + std::to_string(trial.order) + ',' +
               std::to_string(trial.gemms) + ',';
        for (const double value : {trial.batch_ms, trial.ms_per_gemm, trial.tflops})
            out += CsvNumber(value, kTrialPrecision) + ',';
        out += std::to_string(trial.sm_clock_mhz) + ',' + std::to_string(trial.power_mw) + ',' +
               std::to_string(trial.temperature_c) + "\r\n";
    }
    return out;
}

void WriteReports(const RunResult& result) {
    const std::filesystem::path& directory = result.options.report_dir;
    // All are opened before any is checked. The document comes last, so that
    // a reader who finds N rows in it finds them in the other files too.
    std::array<PendingFile, 4> files{
        PendingFile(directory, "summary.csv", SummaryTable(result.rows)),
        PendingFile(directory, "trials.csv", TrialTable(result.trials)),
        PendingFile(directory, "report.html", HtmlReport(result, KernelSourceSha256)),
        PendingFile(directory, "result.json", ResultDocument(result, KernelSourceSha256)),
    };
    for (const PendingFile& file : files)
        if (!file.IsOpen()) throw std::runtime_error("Unable to write report files");

    bool written = true;
    for (PendingFile& file : files) written = file.WriteAndClose() && written;
    if (!written) throw std::runtime_error("Report write failed");

    // Every file that can be brought up to date is, even when another fails.
    bool replaced = true;
    for (PendingFile& file : files) replaced = file.Replace() && replaced;
    if (!replaced) throw std::runtime_error("Report write failed");
}

}  // namespace fpbench
