// Two runs compared: the rank test against published exact values and its approximation, the verdict rules at their
// boundaries, and the compare command over runs of the simulated GPU.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <sstream>

#include "commands_fixture.h"
#include "fleet/compare.h"
#include "bench/statistics.h"
#include "bench/tensor_peak.h"
#include "fleet/statistics.h"
#include "test_support.h"

namespace fpbench {
namespace {

namespace fs = std::filesystem;
using test::Commands;

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

// Either side of 40 pooled trials: 20 against 20 still exact; 20 against 21 (shifted by 3.5 or 4.5, or heavily tied)
// within 40 % of the exact p (counted offline), which the tied case meets only with the tie correction. A trial that
// is not a number gives no p.
TEST(MannWhitney, ApproximatesBeyondFortyTrialsAndRefusesNaN) {
    const auto shifted = [](double by, int count) {
        std::vector<double> values(count);
        for (int i = 0; i < count; ++i) values[i] = i + 1 + by;
        return values;
    };
    const double nan = std::nan("");
    const struct {
        std::vector<double> a, b;
        double p, relative_error;
    } cases[] = {
        {shifted(0, 20), shifted(3.5, 20), 0.08591401998569383, 0},
        {shifted(0, 20), shifted(3.5, 21), 0.05459420984518389, 0.4},
        {shifted(0, 20), shifted(4.5, 21), 0.01840926889236723, 0.4},
        {{1, 1, 2, 2, 2, 1, 1, 2, 2, 2, 1, 1, 2, 2, 2, 1, 1, 2, 2, 2},
         {1, 2, 2, 2, 3, 1, 2, 2, 2, 3, 1, 2, 2, 2, 3, 1, 2, 2, 2, 3, 3}, 0.03890543004463621, 0.4},
        {{1, nan, 3}, {4, 5}, nan, 0},
        {shifted(0, 30), {1, 2, 3, nan, 5, 6, 7, 8, 9, 10, 11}, nan, 0},
    };
    for (const auto& c : cases) {
        const double p = MannWhitneyP(c.a, c.b);
        if (std::isnan(c.p)) EXPECT_TRUE(std::isnan(p)) << p;
        else EXPECT_NEAR(p, c.p, std::max(1e-12, c.relative_error * c.p)) << c.a.size() << "/" << c.b.size();
    }
}

// A completed run as one read back: a FP16 row per list of trial TFLOPS, at one SM clock.
RunFolder MakeRun(const std::vector<std::pair<std::int32_t, std::vector<double>>>& rows, std::int32_t clock = 1800,
                  const std::string& name = "GPU A", const std::string& uuid = "GPU-a") {
    RunFolder folder;
    folder.folder = "runs/" + uuid, folder.run = RunResult{}, folder.kernel_source_sha256 = "53dc94c99abe0000";
    RunResult& run = *folder.run;
    run.status = run_status::kCompleted, run.backend = "cubin", run.device = {0, 84, 8, 6, name, uuid};
    run.options.trials_per_mode = rows.empty() ? 1 : static_cast<std::int32_t>(rows[0].second.size());
    for (const auto& [n, trials] : rows) {
        Row& row = run.rows.emplace_back();
        row.n = n, row.sm_clock_mhz = clock, row.median_tflops = Median(trials), row.validation_passed = row.guards_intact = true;
        for (std::size_t r = 0; r < trials.size(); ++r)
            run.trials.push_back({.n = n, .repetition = static_cast<std::int32_t>(r), .tflops = trials[r], .sm_clock_mhz = clock});
    }
    SetDerivedFigures(run);
    return folder;
}

// The verdict rule where it turns: medians exactly 1 % apart in decimal (below it in binary), a steady 0.5 %, p =
// 0.029 on 4 trials, a clock move of 2.5 % and of exactly 2 %, a trial that is not a number.
TEST(CompareVerdicts, RulesHoldAtTheirBoundaries) {
    const std::vector<double> hundred(7, 100.0), four(4, 100.0);
    const struct {
        std::vector<double> base, newer;
        std::int32_t base_clock, new_clock;
        const char* verdict;
    } cases[] = {
        {std::vector(7, 50.05), std::vector(7, 49.5495), 1800, 1800, "slower at the same clock"},
        {std::vector(7, 49.5495), std::vector(7, 50.05), 1800, 1800, "faster at the same clock"},
        {hundred, std::vector(7, 99.5), 1800, 1800, "same at the same clock"},
        {four, std::vector(4, 95.0), 1800, 1800, "unclear too few trials or too much noise (p = 0.029): run more trials"},
        {hundred, hundred, 2000, 1950, "same SM clock -2.5 %, per clock +2.6 %"},
        {hundred, hundred, 2000, 1960, "same at the same clock"},
        {{100, 100, std::nan(""), 100}, four, 1800, 1800, "unclear a median or a trial's throughput is not a number"},
    };
    for (const auto& c : cases) {
        const Comparison compared = CompareRuns(MakeRun({{256, c.base}}, c.base_clock), MakeRun({{256, c.newer}}, c.new_clock));
        ASSERT_EQ(compared.rows.size(), 1u);
        EXPECT_EQ(Info(compared.rows[0].verdict).word + (" " + compared.rows[0].note), c.verdict);
    }
}

// A size listed twice pairs occurrence with occurrence, each on its own trials; the head names what differs; compare.csv
// keeps a hostile device name one text cell; runs with no row in common are an error.
TEST(CompareVerdicts, PairsRowsInOrderAndWritesTheirFigures) {
    const std::vector<double> hundred(7, 100.0), ninety(7, 90.0);
    const RunFolder base = MakeRun({{256, hundred}, {256, ninety}, {1024, hundred}}, 1800, "=GPU \"A\", 1");
    RunFolder newer = MakeRun({{256, ninety}, {256, hundred}, {4096, hundred}}, 1800, "GPU B", "GPU-b");
    newer.kernel_source_sha256 = "0123456789abcdef";
    const Comparison comparison = CompareRuns(base, newer);
    EXPECT_TRUE(comparison.Regressed());
    EXPECT_EQ(CompareText(comparison),
              "base: runs/GPU-a\nnew:  runs/GPU-b\nGPU: different, =GPU \"A\", 1 GPU-a then GPU B GPU-b\n"
              "kernels: different, source 53dc94c99abe (cubin) then source 0123456789ab (cubin)\n"
              "settings: the same, 7 trials, 120 ms per batch, 0.4 s warm-up\n"
              "only in the base run: N = 1024 FP16\nonly in the new run: N = 4096 FP16\n"
              "  N  Accum.  Base TFLOPS  New TFLOPS   Change        p  Verdict  Note\n"
              "256  FP16         100.00       90.00  -10.0 %  0.00058  slower   at the same clock\n"
              "256  FP16          90.00      100.00  +11.1 %  0.00058  faster   at the same clock\n");
    const std::string csv = CompareCsv(comparison);
    EXPECT_EQ(csv,
              "N,accumulator,base_median_TFLOPS,new_median_TFLOPS,change_pct,p_value,base_SM_clock_MHz,new_SM_clock_MHz,"
              "clock_change_pct,per_clock_change_pct,verdict,note,base_GPU,new_GPU\n"
              "256,fp16_acc,100,90,-10,0.0005827505828,1800,1800,0,-10,slower,at the same clock,\"'=GPU \"\"A\"\", 1\",GPU B\n"
              "256,fp16_acc,90,100,11.11111111,0.0005827505828,1800,1800,0,11.11111111,faster,at the same clock,"
              "\"'=GPU \"\"A\"\", 1\",GPU B\n");
    // Read back as a spreadsheet would: the name is one cell, and not a formula.
    std::vector<std::string> cells(1);
    for (std::size_t i = csv.find('\n') + 1, quoted = 0; csv[i] != '\n'; ++i) {
        if (csv[i] == '"' && quoted && csv[i + 1] == '"') cells.back() += csv[++i];
        else if (csv[i] == '"') quoted = !quoted;
        else if (csv[i] == ',' && !quoted) cells.emplace_back();
        else cells.back() += csv[i];
    }
    EXPECT_EQ(cells, (std::vector<std::string>{"256", "fp16_acc", "100", "90", "-10", "0.0005827505828", "1800", "1800", "0",
                                               "-10", "slower", "at the same clock", "'=GPU \"A\", 1", "GPU B"}));
    EXPECT_EQ(test::ErrorOf([] { CompareRuns(MakeRun({{256, {1.0}}, {512, {1.0}}}), MakeRun({{1024, {1.0}}})); }),
              "The runs have no matrix size and accumulator in common: base N = 256, 512, new N = 1024");
}

// The verdict and its note on each line of the table, as "N ACCUMULATOR VERDICT NOTE".
std::vector<std::string> Verdicts(const std::string& table) {
    std::vector<std::string> found;
    const std::regex line(R"((\d+) +(FP\d\d) +\S+ +\S+ +\S+ %? +(?:< )?\S+ +(same|faster|slower|unclear|failed) +(.*))");
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
    // A run that did not complete fails every comparison; a folder it cannot read or an argument it does not take is
    // the command's failure, named.
    const test::ProcessResult against_failed = Command({"compare", base.string(), failed.string(), "--output", (temp.path() / "out").string()});
    EXPECT_EQ(against_failed.exit_code, 2);
    EXPECT_NE(against_failed.out.find("failed   new run failed: This build requires NVIDIA SM 8.6"), std::string::npos)
        << against_failed.out;
    EXPECT_TRUE(fs::is_regular_file(temp.path() / "out" / "compare.csv"));
    EXPECT_TRUE(fs::is_regular_file(temp.path() / "out" / "compare.html"));
    const std::string empty = (temp.path() / "empty").string();
    fs::create_directory(empty);
    for (const auto& [arguments, error] :
         {std::pair<std::vector<std::string>, std::string>{{"compare", base.string()}, "compare takes two run folders: BASE NEW"},
          {{"compare", base.string(), again.string(), "--frob"}, "Unknown argument: --frob"},
          {{"compare", base.string(), empty}, "no result.json in " + empty}}) {
        const test::ProcessResult refused = Command(arguments);
        EXPECT_EQ(std::pair(refused.exit_code, refused.err), std::pair(1, error + "\n")) << arguments.back();
    }
}

}  // namespace
}  // namespace fpbench
