#include "expected_reports.h"

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

// The value of a time stamp member of the document, when it is well-formed.
std::string Stamp(const std::string& document, const std::string& key) {
    std::smatch match;
    const std::regex member("\"" + key + R"(":"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)\")");
    return std::regex_search(document, match, member) ? match[1].str() : "";
}

std::set<std::string> Names(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& file : fs::directory_iterator(folder, error)) names.insert(file.path().filename().string());
    return names;
}

}  // namespace

::testing::AssertionResult ReportsMatch(const fs::path& report_dir, const std::string& expected_case) {
    const fs::path expected_dir = fs::path(TESSMOR_EXPECTED_DIR) / expected_case;
    std::set<std::string> expected_names = Names(expected_dir);
    expected_names.insert("report.html");  // checked by its own tests
    if (Names(report_dir) != expected_names) return ::testing::AssertionFailure() << "the report folder holds other files";

    const std::string document = ReadFileBytes(report_dir / "result.json");
    if (!IsJson(document)) return ::testing::AssertionFailure() << "result.json is not JSON";
    const std::string started = Stamp(document, "started_utc"), finished = Stamp(document, "finished_utc");
    if (started.empty() || finished.empty() || finished < started)
        return ::testing::AssertionFailure() << "time stamps " << started << " .. " << finished;
    for (const auto& file : fs::directory_iterator(expected_dir)) {
        std::string expected = ReadFileBytes(file.path());
        ReplaceAll(expected, "@STARTED_UTC@", started);
        ReplaceAll(expected, "@FINISHED_UTC@", finished);
        ReplaceAll(expected, "@KERNEL_SOURCE_SHA256@", KernelSourceSha256);
        for (const KernelEntry& entry : KernelCatalogue())
            ReplaceAll(expected, "@CUBIN_" + std::to_string(entry.n) + (entry.fp16_accumulate ? "_FP16@" : "_FP32@"),
                       entry.sha256);
        const std::string actual = ReadFileBytes(report_dir / file.path().filename());
        if (actual == expected) continue;
        // The first differing line is what a reader needs.
        std::size_t at = 0;
        while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
        const std::size_t from = at == 0 ? 0 : expected.rfind('\n', at - 1) + 1;
        return ::testing::AssertionFailure() << file.path().filename().string() << " differs at byte " << at
                                             << "\n  expected: " << expected.substr(from, expected.find('\n', at) - from)
                                             << "\n  actual:   " << actual.substr(from, actual.find('\n', at) - from);
    }
    return ::testing::AssertionSuccess();
}

}  // namespace fpbench::test
