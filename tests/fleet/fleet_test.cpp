// Run folders read back, two runs compared and fleets screened: the rank test against published exact values, the
// verdict rules at their boundaries, strict reading, and the commands over runs of the simulated GPU.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <regex>
#include <sstream>

#include "bench/kernel_catalogue.h"
#include "fleet/run_folder.h"
#include "fleet/screen.h"
#include "fleet/statistics.h"
#include "report/reports.h"
#include "report/sample_results.h"
#include "test_support.h"

namespace fpbench {
namespace {

namespace fs = std::filesystem;

// Two-sided p by enumerating every split of the pooled values: slow, and nothing like the program's counting.
double EnumeratedP(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> pooled = a;
    pooled.insert(pooled.end(), b.begin(), b.end());
    const auto rank_sum = [&](unsigned mask) {
        double sum = 0;
        for (std::size_t i = 0; i < pooled.size(); ++i) {
            if (!(mask >> i & 1)) continue;
            double below = 0, equal = 0;
            for (const double other : pooled) below += other < pooled[i], equal += other == pooled[i];
            sum += below + (equal + 1) / 2;
        }
        return sum;
    };
    const double expected = a.size() * (pooled.size() + 1) / 2.0, observed = rank_sum((1u << a.size()) - 1);
    double extreme = 0, all = 0;
    for (unsigned mask = 0; mask < 1u << pooled.size(); ++mask) {
        if (static_cast<std::size_t>(__builtin_popcount(mask)) != a.size()) continue;
        ++all;
        extreme += std::fabs(rank_sum(mask) - expected) >= std::fabs(observed - expected) - 1e-9;
    }
    return extreme / all;
}

// Published exact values (two-sided): 7 against 7 trials can reach p < 0.01, 2 against 2 cannot.
TEST(MannWhitney, ExactTwoSidedPValues) {
    const struct {
        std::vector<double> a, b;
        double p;
    } cases[] = {
        {{1, 2, 3}, {4, 5, 6, 7}, 2.0 / 35}, {{1, 2, 3, 4, 5}, {3.5, 6, 7, 8, 9}, 8.0 / 252},
        {{1, 2, 3, 4}, {5, 6, 7, 8}, 2.0 / 70}, {{8, 9, 10, 11, 12, 13, 14}, {1, 2, 3, 4, 5, 6, 7}, 2.0 / 3432},
        {{1, 2}, {3, 4}, 1.0 / 3}, {{5, 5, 5}, {5, 5, 5}, 1.0}, {{1}, {}, 1.0},
    };
    for (const auto& c : cases) EXPECT_NEAR(MannWhitneyP(c.a, c.b), c.p, 1e-12) << c.a.size() << "/" << c.b.size();
    for (const auto& [a, b] : {std::pair<std::vector<double>, std::vector<double>>{{1, 2, 2, 3}, {2, 3, 3, 4}},
                               {{100, 100, 99.5, 100, 101}, {99, 99, 99.5, 100, 98, 97}}})
        EXPECT_NEAR(MannWhitneyP(a, b), EnumeratedP(a, b), 1e-12);
}

// A GPU of a cohort, made as a result read back would be.
RunFolder MakeGpu(const std::string& uuid, double median, std::int32_t clock = 1800, double noise = 0.5,
              const std::string& name = "GPU A", std::int32_t dropped_clock = -1) {
    RunFolder folder;
    folder.folder = "screen/" + uuid;
    RunResult run;
    run.status = "completed";
    run.started_utc = "2026-12-01T00:00:00.000Z";
    run.device = {0, 84, 8, 6, name, uuid};
    Row row;
    row.n = 4096, row.median_tflops = median, row.sm_clock_mhz = clock, row.noise_pct = noise;
    row.validation_passed = row.guards_intact = true;
    run.rows = {row};
    for (const std::int32_t trial_clock : {clock, clock, dropped_clock < 0 ? clock : dropped_clock})
        run.trials.push_back(TrialRecord{.n = 4096, .tflops = median, .sm_clock_mhz = trial_clock});
    folder.run = run;
    return folder;
}

// The rules at their boundaries: the screened GPU "x" beside a cohort of the given medians.
TEST(FleetVerdicts, RulesHoldAtTheirBoundaries) {
    // Cohorts of the given medians; "x" makes one more.
    const std::vector<double> ten(10, 100.0), spread{100, 100.2, 100.4, 100.6};
    const struct {
        const char* what;
        std::vector<double> cohort;
        RunFolder x;
        const char* verdict;
        const char* cause;
    } cases[] = {
        {"3.5 % below", ten, MakeGpu("x", 96.5), "warn", "full clock"},
        {"just above 3.5 % below", ten, MakeGpu("x", 96.51), "ok", ""},
        {"7 % below", ten, MakeGpu("x", 93.0), "fail", "full clock"},
        {"just above 7 % below", ten, MakeGpu("x", 93.01), "warn", "full clock"},
        {"z -7.8 and 2.3 % below in a cohort of 5", spread, MakeGpu("x", 97.9), "warn", "full clock"},
        {"z but a cohort of 4", {100.2, 100.4, 100.6}, MakeGpu("x", 97.9), "ok", ""},
        {"z but no spread", {100, 100, 100, 100}, MakeGpu("x", 97.9), "ok", ""},
        {"z -7.8 but 1.9 % below", {100, 99.9, 99.8, 99.7}, MakeGpu("x", 97.9), "ok", ""},
        {"noise 2 %", ten, MakeGpu("x", 100, 1800, 2.0), "ok", ""},
        {"noise above 2 %", ten, MakeGpu("x", 100, 1800, 2.01), "unstable", "noise 2.0 %"},
        {"clock 3 % below", ten, MakeGpu("x", 95, 1746), "warn", "clock"},
        {"clock fell in the run", ten, MakeGpu("x", 95, 1800, 0.5, "GPU A", 1600), "warn", "clock"},
        {"another model", ten, MakeGpu("x", 50, 1800, 0.5, "GPU B"), "ok", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<RunFolder> folders{c.x};
        for (std::size_t i = 0; i < c.cohort.size(); ++i) folders.push_back(MakeGpu("c" + std::to_string(i), c.cohort[i]));
        const FleetScreen screen = ScreenFleet(folders);
        const auto x = std::find_if(screen.gpus.begin(), screen.gpus.end(), [](const Gpu& gpu) { return gpu.folder.run->device.uuid == "x"; });
        ASSERT_NE(x, screen.gpus.end());
        EXPECT_STREQ(VerdictWord(x->verdict), c.verdict);
        EXPECT_EQ(x->cause, c.cause);
        EXPECT_EQ(screen.Flagged(), std::string(c.verdict) != "ok");
    }
    // The thresholds are the user's to set.
    const FleetScreen lenient = ScreenFleet({MakeGpu("x", 93.0), MakeGpu("a", 100), MakeGpu("b", 100)}, {5, 10});
    EXPECT_STREQ(VerdictWord(lenient.gpus.front().verdict), "warn");
}

// Reading is strict: the member that breaks the format is named, and a folder without a document says why.
TEST(ReadRunFolder, NamesWhatIsMissingOrMistyped) {
    test::TempDir temp;
    RunResult run = report_samples::FailedRunWithoutTelemetry();  // quotes and control characters in its texts
    run.options.report_dir = temp.path() / "run";
    fs::create_directories(run.options.report_dir);
    WriteReports(run);
    const std::string document = test::ReadFileBytes(run.options.report_dir / "result.json");
    const RunFolder read = ReadRunFolder(run.options.report_dir);
    ASSERT_TRUE(read.run) << read.problem;
    EXPECT_EQ(std::tuple(read.run->device.name, read.run->error, read.run->rows.at(0).median_tflops, read.run->trials.at(1).gemms,
                         read.kernel_source_sha256),
              std::tuple(run.device.name, run.error, 400.5, 43, std::string(KernelSourceSha256)));
    const struct {
        std::string from, to, problem;
    } cases[] = {
        {"\"median_tflops\":400.5,", "", "member \"rows[0].median_tflops\" is missing"},
        {"\"gemms\":44", "\"gemms\":\"44\"", "member \"trials[0].gemms\" is not an integer"},
        {"\"mode\":\"fp16_acc\"", "\"mode\":\"fp64_acc\"", "member \"rows[0].mode\" is not fp16_acc or fp32_acc"},
        {"\"sm_count\":128", "\"sm_count\":12.8", "member \"device.sm_count\" is not an integer"},
        {"\"rows\":[", "\"rows\":{", "not valid JSON"},
        {"\"schema_version\":1", "\"schema_version\":2", "member \"schema_version\" is not 1"},
    };
    for (const auto& c : cases) {
        std::string broken = document;
        broken.replace(broken.find(c.from), c.from.size(), c.to);
        test::WriteFileBytes(temp.path() / "result.json", broken);
        const RunFolder folder = ReadRunFolder(temp.path() / "result.json");
        EXPECT_FALSE(folder.run);
        EXPECT_NE(folder.problem.find(c.problem), std::string::npos) << folder.problem;
    }
    fs::create_directories(temp.path() / "never" / "started");
    test::WriteFileBytes(temp.path() / "never" / "started" / "task-error.txt", "exit status 127\nmore");
    fs::create_directories(temp.path() / "never" / "empty");
    const auto found = FindRunFolders({temp.path() / "never"});
    ASSERT_EQ(found.size(), 2u);
    EXPECT_NE(found[0].problem.find("no result.json in"), std::string::npos);
    EXPECT_EQ(found[1].problem, "no result.json; task-error.txt: exit status 127");
}

// The commands over runs of the simulated GPU, as a user runs them.
class Commands : public ::testing::Test {
protected:
    fs::path Run(const std::string& name, const std::vector<std::string>& env, const std::string& trials = "7") {
        const fs::path dir = temp.path() / name;
        Command({"--output", dir.string(), "--sizes", "256", "--trials", trials, "--sample-ms", "10", "--warmup-seconds", "0"}, env);
        return dir;
    }
    test::ProcessResult Command(std::vector<std::string> arguments, const std::vector<std::string>& env = {}) {
        arguments.insert(arguments.begin(), test::BuildProgram(test::kProgramName).string());
        return test::RunWithSim(arguments, env);
    }
    test::TempDir temp;
};

// The verdict and its note on each line of the table, as "N ACCUMULATOR VERDICT NOTE".
std::vector<std::string> Verdicts(const std::string& table) {
    std::vector<std::string> found;
    const std::regex line(R"((\d+) +(FP\d\d) +\S+ +\S+ +\S+ %? *\S+ +(same|faster|slower|unclear|failed) +(.*))");
    std::istringstream in(table);
    for (std::string text; std::getline(in, text);)
        if (std::smatch m; std::regex_match(text, m, line)) found.push_back(m[1].str() + " " + m[2].str() + " " + m[3].str() + " " + m[4].str());
    return found;
}

TEST_F(Commands, CompareTellsSlowerFromNoiseAndFromAFallingClock) {
    const fs::path base = Run("base", {}), again = Run("again", {}), slower = Run("slower", {"TESSMOR_SIM_TFLOPS=90"});
    const fs::path throttled = Run("throttled", {"TESSMOR_SIM_NVML_CLOCK_DROP=1:1500"});
    const fs::path few = Run("few", {"TESSMOR_SIM_TFLOPS=90"}, "2"), few_base = Run("few-base", {}, "2");
    const fs::path failed = Run("failed", {"TESSMOR_SIM_DEVICE0_CC=7.5"});
    const struct {
        fs::path base, newer;
        int exit_code;
        std::vector<std::string> verdicts;
    } cases[] = {
        {base, again, 0, {"256 FP16 same at the same clock", "256 FP32 same at the same clock"}},
        {base, slower, 2, {"256 FP16 slower at the same clock", "256 FP32 same at the same clock"}},
        {slower, base, 0, {"256 FP16 faster at the same clock", "256 FP32 same at the same clock"}},
        {base, throttled, 2, {"256 FP16 slower SM clock -16.7 %, per clock 0.0 %",
                              "256 FP32 slower SM clock -16.7 %, per clock 0.0 %"}},
        {few_base, few, 0, {"256 FP16 unclear too few trials or too much noise (p = 0.33): run more trials",
                            "256 FP32 same at the same clock"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.newer.filename().string());
        const test::ProcessResult compared = Command({"compare", c.base.string(), (c.newer / "result.json").string()});
        EXPECT_EQ(compared.exit_code, c.exit_code) << compared.err;
        EXPECT_EQ(Verdicts(compared.out), c.verdicts) << compared.out;
    }
    // A run that did not complete fails every comparison; what cannot be read is the command's failure, named.
    const test::ProcessResult against_failed = Command({"compare", base.string(), failed.string(), "--output", (temp.path() / "out").string()});
    EXPECT_EQ(against_failed.exit_code, 2);
    EXPECT_NE(against_failed.out.find("failed   new run failed: This build requires NVIDIA SM 8.6"), std::string::npos)
        << against_failed.out;
    EXPECT_TRUE(fs::is_regular_file(temp.path() / "out" / "compare.csv"));
    EXPECT_TRUE(fs::is_regular_file(temp.path() / "out" / "compare.html"));
    fs::create_directory(temp.path() / "empty");
    const test::ProcessResult unreadable = Command({"compare", base.string(), (temp.path() / "empty").string()});
    EXPECT_EQ(unreadable.exit_code, 1);
    EXPECT_EQ(unreadable.err, "no result.json in " + (temp.path() / "empty").string() + "\n");
}

// A fleet of simulated GPUs: one 10 % slow at its normal clock, one throttled to 1700 MHz, one whose run failed, one
// folder that never got its reports, one GPU run twice, and a second model of its own.
TEST_F(Commands, FleetFlagsTheSlowGpusWithTheirCauses) {
    const auto uuid = [](int i) { return "TESSMOR_SIM_DEVICE0_UUID=0000000000000000000000000000" + std::to_string(1000 + i); };
    Run("fleet/node3/gpu0", {uuid(5), "TESSMOR_SIM_TFLOPS=50"});  // an older run of node1/gpu5's GPU
    for (int i = 0; i < 6; ++i) Run("fleet/node1/gpu" + std::to_string(i), {uuid(i)});
    Run("fleet/node2/gpu0", {uuid(10), "TESSMOR_SIM_TFLOPS=90", "TESSMOR_SIM_TFLOPS_FP32=45"});
    Run("fleet/node2/gpu1", {uuid(11), "TESSMOR_SIM_NVML_CLOCK_DROP=1:1700"});
    Run("fleet/node2/gpu2", {uuid(12), "TESSMOR_SIM_DEVICE0_CC=8.0"});
    fs::create_directories(temp.path() / "fleet" / "node2" / "gpu3");
    Run("fleet/node3/gpu1", {uuid(20), "TESSMOR_SIM_DEVICE0_NAME=Other GPU", "TESSMOR_SIM_TFLOPS=50"});
    const test::ProcessResult fleet = Command({"fleet", (temp.path() / "fleet").string(), "--output", (temp.path() / "out").string()});
    EXPECT_EQ(fleet.exit_code, 2) << fleet.err;
    std::map<std::string, std::string> verdicts;  // folder → "verdict cause" of its first (worst) line
    std::istringstream csv(test::ReadFileBytes(temp.path() / "out" / "fleet.csv"));
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "folder,uuid,name,N,accumulator,median_TFLOPS,cohort_median_TFLOPS,deviation_pct,z,noise_pct,"
                    "SM_clock_MHz,verdict,cause");
    std::vector<std::string> order;
    while (std::getline(csv, line)) {
        const std::string folder = fs::path(line.substr(0, line.find(','))).lexically_relative(temp.path() / "fleet").string();
        const std::size_t verdict = line.rfind(',', line.rfind(',') - 1);
        if (verdicts.emplace(folder, line.substr(verdict + 1)).second) order.push_back(folder);
    }
    EXPECT_EQ(verdicts["node2/gpu0"], "fail,full clock");
    EXPECT_EQ(verdicts["node2/gpu1"], "warn,clock");
    EXPECT_TRUE(verdicts["node2/gpu2"].starts_with("fail,run failed: This build requires")) << verdicts["node2/gpu2"];
    EXPECT_TRUE(verdicts["node2/gpu3"].starts_with("unreadable,no result.json")) << verdicts["node2/gpu3"];
    EXPECT_TRUE(verdicts["node3/gpu0"].starts_with("superseded,")) << verdicts["node3/gpu0"];
    for (const char* ok : {"node1/gpu0", "node1/gpu5", "node3/gpu1"}) EXPECT_EQ(verdicts[ok], "ok,") << ok;
    ASSERT_GE(order.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 3),
              (std::vector<std::string>{"node2/gpu0", "node2/gpu2", "node2/gpu3"}));  // worst first
    EXPECT_NE(fleet.out.find("fail: 2  unreadable: 1  warn: 1  unstable: 0  ok: 7  superseded: 1"), std::string::npos) << fleet.out;
    EXPECT_NE(fleet.out.find("page: " + (temp.path() / "out" / "fleet.html").string()), std::string::npos);
}

}  // namespace
}  // namespace fpbench
