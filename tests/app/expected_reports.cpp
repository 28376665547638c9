#include "expected_reports.h"

#include <algorithm>
#include <regex>
#include <set>

#include "bench/kernel_catalogue.h"
#include "test_support.h"

namespace fpbench::test {
namespace {

namespace fs = std::filesystem;

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// The value of a string member of the document, or "" when it is missing.
std::string Member(const std::string& document, const std::string& key) {
    const std::string opening = "\"" + key + "\":\"";
    const auto start = document.find(opening);
    if (start == std::string::npos) return "";
    const auto value = start + opening.size();
    const auto end = document.find('"', value);
    return end == std::string::npos ? "" : document.substr(value, end - value);
}

bool IsTimestamp(const std::string& text) {
    static const std::regex kFormat(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)");
    return std::regex_match(text, kFormat);
}

}  // namespace

std::string FillPlaceholders(std::string expected, const std::string& actual_document) {
    const std::string started = Member(actual_document, "started_utc");
    const std::string finished = Member(actual_document, "finished_utc");
    // A malformed stamp keeps its placeholder, so the comparison shows it.
    if (IsTimestamp(started)) ReplaceAll(expected, "@STARTED_UTC@", started);
    if (IsTimestamp(finished)) ReplaceAll(expected, "@FINISHED_UTC@", finished);
    if (IsTimestamp(started) && IsTimestamp(finished)) {
        EXPECT_LE(started, finished) << "the run finished before it started";
    }

    ReplaceAll(expected, "@KERNEL_SOURCE_SHA256@", KernelSourceSha256);
    for (const KernelEntry& entry : KernelCatalogue()) {
        const std::string name =
            "@CUBIN_" + std::to_string(entry.n) + (entry.fp16_accumulate ? "_FP16@" : "_FP32@");
        ReplaceAll(expected, name, entry.sha256);
    }
    return expected;
}

::testing::AssertionResult ReportsMatch(const fs::path& report_dir, const std::string& expected_case,
                                        const std::vector<std::string>& also_present) {
    const fs::path expected_dir = fs::path(TESSMOR_EXPECTED_DIR) / expected_case;
    // The page is checked by its own tests; here it only has to be there.
    std::set<std::string> expected_names(also_present.begin(), also_present.end());
    expected_names.insert("report.html");
    for (const auto& file : fs::directory_iterator(expected_dir)) expected_names.insert(file.path().filename().string());

    std::set<std::string> actual_names;
    std::error_code error;
    for (const auto& file : fs::directory_iterator(report_dir, error)) actual_names.insert(file.path().filename().string());
    if (error) return ::testing::AssertionFailure() << "no report folder " << report_dir.string();
    if (actual_names != expected_names) {
        auto failure = ::testing::AssertionFailure() << "the report folder holds:";
        for (const auto& name : actual_names) failure << " " << name;
        return failure;
    }

    const fs::path document_path = report_dir / "result.json";
    const std::string document = fs::is_regular_file(document_path) ? ReadFileBytes(document_path) : "";
    for (const auto& file : fs::directory_iterator(expected_dir)) {
        const std::string name = file.path().filename().string();
        const std::string expected = FillPlaceholders(ReadFileBytes(file.path()), document);
        const std::string actual = ReadFileBytes(report_dir / name);
        if (actual != expected) {
            // The first differing line is what a reader needs; gtest's own
            // diff of two long one-line JSON members is unreadable.
            std::size_t at = 0;
            while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
            const std::size_t line_start = expected.rfind('\n', at == 0 ? 0 : at - 1);
            const std::size_t from = line_start == std::string::npos ? 0 : line_start + 1;
            return ::testing::AssertionFailure()
                   << name << " differs from expected/" << expected_case << " at byte " << at << "\n  expected: "
                   << expected.substr(from, expected.find('\n', at) - from) << "\n  actual:   "
                   << actual.substr(from, actual.find('\n', at) - from);
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace fpbench::test
