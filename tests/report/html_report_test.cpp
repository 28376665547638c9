// The page "report.html": what a reader must find in it, written out by hand.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bench/tensor_peak.h"

#include "platform/utf8.h"
#include "report/display.h"
#include "report/sample_results.h"

namespace fpbench {
namespace {

using namespace fpbench::report_samples;

const std::string kPolicy =
    "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">";

// The body rows of one table, each as its cell texts (markup removed) joined by '|'.
std::vector<std::string> TableRows(const std::string& page, const std::string& id) {
    std::vector<std::string> rows;
    const auto begin = page.find("<tbody>", page.find("<table id=\"" + id + '"')), end = page.find("</table>", begin);
    for (auto at = page.find("<tr>", begin); at < end; at = page.find("<tr>", at + 1)) {
        std::string row;
        for (auto k = at; page.compare(k, 5, "</tr>") != 0; k = page[k] == '<' ? page.find('>', k) + 1 : k + 1)
            row += page.compare(k, 5, "</td>") == 0 ? "|" : page[k] == '<' ? "" : page.substr(k, 1);
        rows.push_back(row.substr(0, row.size() - 1));
    }
    return rows;
}

// Whether every bidirectional control on the page sits in an isolated span, a <bdi> element or, where no element
// can go, a U+2068..U+2069 pair, so that outside text cannot reorder the page's own ("PASS", the status) around it.
bool ControlsIsolated(const std::string& page) {
    int elements = 0, spans = 0;
    for (std::size_t at = 0; at < page.size();) {
        elements += page.compare(at, 5, "<bdi>") == 0 ? 1 : page.compare(at, 6, "</bdi>") == 0 ? -1 : 0;
        const char32_t c = DecodeUtf8(page, at);
        const bool control = c == 0x61C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                             (c >= 0x2066 && c <= 0x2069);
        if (elements > 0 || !control) continue;
        if (c == 0x2068) ++spans;
        else if (c == 0x2069 ? --spans < 0 : spans == 0) return false;
    }
    return elements == 0 && spans == 0;
}

TEST(HtmlReport, ShowsTheRunItsRowsAndWhatIsUnknown) {
    const std::string rlo = "\u202E", pdi = "\u2069";  // the override turns "PASS" that follows it into "SSAP"
    RunResult completed = CompletedRun(), hostile;
    completed.device.name += " " + rlo + "LIAF";
    completed.device.uuid += pdi + rlo;
    hostile.status = "cancelled";
    hostile.device.name = "<script>alert(1)</script>" + pdi + rlo;
    hostile.error = "\"><img src=x onerror=alert(1)> \xFF\xC3 end" + rlo;
    struct Case {
        const char* name;
        RunResult result;
        std::string banner;  // must come before the first section; empty: no banner at all
        std::vector<std::string> results, per_clock, present, absent;
    };
    const std::vector<Case> cases = {
        {"completed", completed, "",
         {"256|FP16|1234.57|\u00b1 0.4 %|771.8 %|1200.50 \u2013 1250.25|0.02710|\u2014|1905|320.5|64|通过 / PASS",
          "256|FP32|0.40|\u2014|0.3 %|0.10 \u2013 120.00|0.00001000|\u2014|1800|255.0|70|通过 / PASS",
          "1024|FP16|71.23|\u2014|44.5 %|70.50 \u2013 72.00|2.510|\u2014|1807|287.1|66|失败 / FAIL",
          "1024|FP32|68.00|\u2014|42.5 %|67.75 \u2013 68.50|0.0001230|\u2014|0|0.0|0|失败 / FAIL"},
         {"256|FP16|1234.57|1905|7903.3", "256|FP32|0.40|1800|2.7", "1024|FP16|71.23|1807|480.7",
          "1024|FP32|68.00|0|\u2014"},
         {"NVIDIA GeForce RTX 3090", "GPU-5a6b7c8d-0001-0203-0405-060708090a0b", "<dd>8.6</dd>", "<dd>82</dd>",
          "embedded sm_86 cubin", "Tessmor Bench 1.0", "2025-01-02T03:04:05.678Z", "2025-01-02T03:04:09.012Z",
          "已完成 / Completed", "结果 / Results", "1 of 4 trials", "<svg"}, {}},
        {"failed without telemetry", FailedRunWithoutTelemetry(), "运行失败 / The run failed",
         {"8192|FP16|400.50|\u2014|101.9 %|399.25 \u2013 401.75|2.750|\u2014|\u2014|\u2014|\u2014|通过 / PASS"},
         {"8192|FP16|400.50|\u2014|\u2014"},
         {"RTX 4090 \u2014 \u6D4B\u8BD5", "(719)\nsaid &quot;no&quot;\tthen \\ and \uFFFD</bdi></pre>",
          "No SM clock readings", "NVML gave no power or temperature readings"},
         {">-1<", "class=\"clock", "class=\"power", "class=\"low"}},
        {"failed before the device", FailedBeforeDevice(), "NVIDIA CUDA driver not found.", {}, {},
         {"<dd>\u2014</dd>", "No finished rows so far.", "No trials so far."}, {"<svg", "<table"}},
        {"hostile texts", hostile, "运行已取消 / The run was stopped", {}, {},
         {"&lt;script&gt;alert(1)&lt;/script&gt;", "&quot;&gt;&lt;img src=x onerror=alert(1)&gt; \uFFFD\uFFFD end"},
         {"<img", "<script"}},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.name);
        SetDerivedFigures(c.result);  // as the run does before every write
        const std::string page = HtmlReport(c.result, std::string(64, 'a'));
        EXPECT_NE(page.find(kPolicy), std::string::npos);
        for (const char* load : {"<script", "src=\"", "href=", "url(", "@import", "<link"})
            EXPECT_EQ(page.find(load), std::string::npos) << load;
        for (std::size_t at = 0; at < page.size(); at += ScanUtf8(page, at).length)
            ASSERT_TRUE(ScanUtf8(page, at).valid) << "byte " << at;
        EXPECT_EQ(TableRows(page, "results"), c.results);
        EXPECT_EQ(TableRows(page, "per-clock"), c.per_clock);
        for (const std::string& text : c.present) EXPECT_NE(page.find(text), std::string::npos) << text;
        for (const std::string& text : c.absent) EXPECT_EQ(page.find(text), std::string::npos) << text;
        EXPECT_TRUE(ControlsIsolated(page));
        if (c.banner.empty()) EXPECT_EQ(page.find("class=\"banner"), std::string::npos);
        else EXPECT_LT(page.find(c.banner), page.find("<section>"));
    }
}

// Missing readings are gaps, never zeros (a line broken at each); the marks of a real run show in the browser test.
TEST(HtmlReport, LeavesGapsForMissingReadings) {
    RunResult result = CompletedRun();
    result.trials.clear();
    const int milliwatts[] = {250000, -1, 260000, 255000, -1, -1, 240000};
    for (int i = 0; i < 7; ++i) result.trials.push_back(MakeTrial(256, i % 2 == 0, i / 2, i % 2, 10, 1, 1, 50, 1800, milliwatts[i], 60));
    SetDerivedFigures(result);
    const std::string page = HtmlReport(result, std::string(64, 'a'));
    std::vector<int> marked;  // the trial numbers of the power marks
    for (auto at = page.find("<circle class=\"power\""); at != std::string::npos; at = page.find("<circle class=\"power\"", at + 1))
        marked.push_back(std::stoi(page.substr(page.find("data-trial=\"", at) + 12)));
    EXPECT_EQ(marked, (std::vector<int>{1, 3, 4, 7}));
    const auto line = page.find("<path class=\"power\"");
    EXPECT_EQ(std::count(page.begin() + line, page.begin() + page.find("/>", line), 'M'), 3);
    EXPECT_NE(page.find("No clock drop"), std::string::npos);
}

}  // namespace
}  // namespace fpbench
