#include "report/reports.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "bench/kernel_catalogue.h"
#include "platform/platform.h"
#include "report/documents.h"
#include "report/display.h"

namespace fpbench {
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

std::vector<HeldReport> WriteReports(const RunResult& result, bool last) {
    const std::filesystem::path& directory = result.options.report_dir;
    std::string summary = SummaryTable(result.rows), trials = TrialTable(result.trials);
    std::string health = HealthDocument(result), document = ResultDocument(result, KernelSourceSha256);
    std::string html = HtmlReport(result, KernelSourceSha256);
    // The document comes last, so that a reader who finds N rows in it finds
    // them in the other files too. All are opened before any is checked.
    std::deque<PendingFile> files;
    for (auto& [name, text] : {std::pair{report_name::kSummary, &summary}, {report_name::kTrials, &trials},
                               {report_name::kPage, &html}, {report_name::kHealth, &health},
                               {report_name::kDocument, &document}})
        files.emplace_back(directory, name, std::move(*text));
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
    std::string noted = HtmlReport(result, KernelSourceSha256, held);
    const auto page =
        std::find_if(held.begin(), held.end(), [](const HeldReport& file) { return file.name == report_name::kPage; });
    PendingFile again(directory, page == held.end() ? report_name::kPage : page->written_as.c_str(), std::move(noted));
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
