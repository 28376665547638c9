#include "fleet/compare.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <utility>

#include "bench/number_format.h"
#include "bench/statistics.h"
#include "fleet/statistics.h"
#include "fleet/thresholds.h"
#include "report/display.h"
#include "report/text_format.h"

namespace fpbench {
namespace {

using namespace judging;
using figures::Cell;
using figures::Kind;
using Key = std::pair<std::int32_t, bool>;
constexpr double kUnknown = RowComparison::kUnknown;
// A median change that is kSameWithinPct in decimal is judged as that much
// whatever the last bit of the division.
constexpr double kPctTolerance = 1e-9;


double ChangePct(double from, double to) { return from > 0 && to >= 0 ? (to / from - 1) * 100 : kUnknown; }

std::string Percent(double value) { return std::isfinite(value) ? FormatChange(value, 1) : std::string(kDash); }

Cell Value(double value) {
    Cell cell;
    cell.number = value;
    return cell;
}
Cell Words(std::string text, const char* tone = nullptr) {
    Cell cell;
    cell.text = std::move(text), cell.tone = tone;
    return cell;
}
Cell Tflops(double value) { return Value(value >= 0 ? value : kUnknown); }

// Every figure of a row, a line each in compare.csv's column order; the terminal and the page show those their
// outputs name. The accumulator is the reports' word in the file and its label on screens; the GPUs' names close
// each line of the file, which alone does not say what was compared.
constexpr figures::Figure<RowComparison> kFigures[] = {
    {"N", "规模 / N", Kind::Integer, 0, 0, figures::kAll,
     [](const RowComparison& row) { return Value(row.n > 0 ? row.n : -1.0); }},
    {"accumulator", "累加 / Accum.", Kind::Word, 0, 0, figures::kCsv,
     [](const RowComparison& row) { return Words(row.n > 0 ? Accumulator(row.fp16_accumulate).mode : ""); }},
    {"accumulator", "累加 / Accum.", Kind::Word, 0, 0, figures::kTerminal | figures::kPage,
     [](const RowComparison& row) { return Words(row.n > 0 ? Accumulator(row.fp16_accumulate).label : ""); }},
    {"base_median_TFLOPS", "基准 / Base TFLOPS", Kind::Number, 2, 10, figures::kAll,
     [](const RowComparison& row) { return Tflops(row.base_median); }},
    {"new_median_TFLOPS", "新 / New TFLOPS", Kind::Number, 2, 10, figures::kAll,
     [](const RowComparison& row) { return Tflops(row.new_median); }},
    {"change_pct", "变化 / Change", Kind::Change, 1, 10, figures::kAll,
     [](const RowComparison& row) { return Value(row.change_pct); }},
    {"p_value", "p", Kind::PValue, 2, 10, figures::kAll, [](const RowComparison& row) { return Value(row.p_value); }},
    {"base_SM_clock_MHz", "基准时钟 / Base MHz", Kind::Integer, 0, 0, figures::kCsv | figures::kPage,
     [](const RowComparison& row) { return Value(static_cast<double>(row.base_clock)); }},
    {"new_SM_clock_MHz", "新时钟 / New MHz", Kind::Integer, 0, 0, figures::kCsv | figures::kPage,
     [](const RowComparison& row) { return Value(static_cast<double>(row.new_clock)); }},
    {"clock_change_pct", "时钟变化 / Clock change", Kind::Change, 1, 10, figures::kCsv | figures::kPage,
     [](const RowComparison& row) { return Value(row.clock_change_pct); }},
    {"per_clock_change_pct", "每时钟变化 / Per-clock change", Kind::Change, 1, 10, figures::kCsv | figures::kPage,
     [](const RowComparison& row) { return Value(row.per_clock_change_pct); }},
    {"verdict", "判定 / Verdict", Kind::Word, 0, 0, figures::kAll,
     [](const RowComparison& row) { return Words(Info(row.verdict).word, Info(row.verdict).tone); }},
    {"note", "说明 / Note", Kind::Text, 0, 0, figures::kAll, [](const RowComparison& row) { return Words(row.note); }},
    {"base_GPU", "基准 GPU / Base GPU", Kind::Text, 0, 0, figures::kCsv,
     [](const RowComparison& row) { return Words(row.base_device); }},
    {"new_GPU", "新 GPU / New GPU", Kind::Text, 0, 0, figures::kCsv,
     [](const RowComparison& row) { return Words(row.new_device); }},
};

std::string Settings(const RunResult& run) {
    return std::to_string(run.options.trials_per_mode) + " trials, " + FormatGeneral(run.options.sample_ms, 6) +
           " ms per batch, " + FormatGeneral(run.options.warmup_seconds, 6) + " s warm-up";
}

std::string Failure(const char* side, const RunResult& run) {
    return std::string(side) + " run " + run.status + (run.error.empty() ? "" : ": " + run.error);
}

std::string RowName(const Key& key) { return "N = " + std::to_string(key.first) + " " + Accumulator(key.second).label; }

// The sizes of a run's rows, each once, in its order.
std::string Sizes(const RunResult& run) {
    std::vector<std::int32_t> sizes;
    for (const Row& row : run.rows)
        if (std::find(sizes.begin(), sizes.end(), row.n) == sizes.end()) sizes.push_back(row.n);
    std::string out;
    for (const std::int32_t n : sizes) out += (out.empty() ? "" : ", ") + std::to_string(n);
    return out.empty() ? "none" : out;
}

std::vector<double> Throughputs(const std::vector<const TrialRecord*>& trials) {
    std::vector<double> values;
    for (const TrialRecord* trial : trials) values.push_back(trial->tflops);
    return values;
}

void Judge(RowComparison& row, const Row& base, const Row& newer) {
    row.base_median = base.median_tflops, row.new_median = newer.median_tflops;
    row.base_clock = base.sm_clock_mhz, row.new_clock = newer.sm_clock_mhz;
    row.change_pct = ChangePct(row.base_median, row.new_median);
    row.p_value = MannWhitneyP(row.base_trials, row.new_trials);
    const bool clocks = row.base_clock > 0 && row.new_clock > 0;
    row.clock_change_pct = clocks ? ChangePct(row.base_clock, row.new_clock) : kUnknown;
    row.per_clock_change_pct = ChangePct(base.per_clock, newer.per_clock);
    if (!(base.validation_passed && base.guards_intact && newer.validation_passed && newer.guards_intact)) {
        row.verdict = Change::Failed;
        row.note = "a check failed";
        return;
    }
    // Whole MHz on both sides of the product, so a move of exactly kClockMovedPct is decided exactly.
    const double moved = std::fabs(static_cast<double>(row.new_clock) - row.base_clock);
    if (!clocks)
        row.note = "SM clock unknown";
    else if (100 * moved > kClockMovedPct * row.base_clock)
        row.note = "SM clock " + Percent(row.clock_change_pct) + ", per clock " + Percent(row.per_clock_change_pct);
    else
        row.note = "at the same clock";
    if (!std::isfinite(row.change_pct) || !std::isfinite(row.p_value)) {
        row.verdict = Change::Unclear;
        row.note = "a median or a trial's throughput is not a number";
    } else if (std::fabs(row.change_pct) < kSameWithinPct - kPctTolerance) {
        row.verdict = Change::Same;
    } else if (row.p_value < kSignificance) {
        row.verdict = row.change_pct < 0 ? Change::Slower : Change::Faster;
    } else {
        row.verdict = Change::Unclear;
        row.note = "too few trials or too much noise (p = " + FormatPValue(row.p_value) + "): run more trials";
    }
}

}  // namespace

std::span<const figures::Figure<RowComparison>> CompareFigures() { return kFigures; }

bool Comparison::Regressed() const {
    for (const RowComparison& row : rows)
        if (Info(row.verdict).flagged) return true;
    return false;
}

Comparison CompareRuns(const RunFolder& base, const RunFolder& newer) {
    Comparison comparison{base, newer, {}, {}};
    const RunResult& a = *base.run;
    const RunResult& b = *newer.run;
    const auto fact = [&](const char* what, bool same, const std::string& shared, const std::string& first,
                          const std::string& second) {
        comparison.facts.push_back(same ? Fact{what + (": the same" + shared), false}
                                        : Fact{what + (": different, " + first + " then " + second), true});
    };
    const auto gpu = [](const RunResult& run) { return run.device.name + " " + run.device.uuid; };
    fact("GPU", a.device.uuid == b.device.uuid, ", " + gpu(a), gpu(a), gpu(b));
    const auto source = [](const RunFolder& folder) { return "source " + folder.kernel_source_sha256.substr(0, 12); };
    fact("kernels", base.kernel_source_sha256 == newer.kernel_source_sha256 && a.backend == b.backend,
         " (" + source(base) + ", " + a.backend + ")", source(base) + " (" + a.backend + ")",
         source(newer) + " (" + b.backend + ")");
    fact("settings", Settings(a) == Settings(b), ", " + Settings(a), Settings(a), Settings(b));

    // The k-th row of a size and accumulator pairs with the k-th of the other run, in the base run's order.
    const std::vector<std::vector<const TrialRecord*>> base_trials = TrialsByRow(a), new_trials = TrialsByRow(b);
    std::map<Key, std::vector<std::size_t>> new_rows;
    for (std::size_t j = 0; j < b.rows.size(); ++j) new_rows[{b.rows[j].n, b.rows[j].fp16_accumulate}].push_back(j);
    std::map<Key, std::size_t> base_count;
    for (std::size_t i = 0; i < a.rows.size(); ++i) {
        const Key key{a.rows[i].n, a.rows[i].fp16_accumulate};
        const std::size_t k = base_count[key]++;
        if (k >= new_rows[key].size()) {
            comparison.facts.push_back({"only in the base run: " + RowName(key), true});
            continue;
        }
        const std::size_t j = new_rows[key][k];
        RowComparison& compared = comparison.rows.emplace_back();
        compared.n = key.first, compared.fp16_accumulate = key.second;
        compared.base_trials = Throughputs(base_trials[i]), compared.new_trials = Throughputs(new_trials[j]);
        Judge(compared, a.rows[i], b.rows[j]);
    }
    std::map<Key, std::size_t> new_count;
    for (const Row& row : b.rows)
        if (const Key key{row.n, row.fp16_accumulate}; new_count[key]++ >= base_count[key])
            comparison.facts.push_back({"only in the new run: " + RowName(key), true});
    const bool completed = a.status == run_status::kCompleted && b.status == run_status::kCompleted;
    if (completed && comparison.rows.empty())
        throw std::runtime_error("The runs have no matrix size and accumulator in common: base N = " + Sizes(a) +
                                 ", new N = " + Sizes(b));
    if (!completed) {
        if (comparison.rows.empty()) comparison.rows.emplace_back();
        for (RowComparison& row : comparison.rows) {
            row.verdict = Change::Failed;
            row.note = a.status != run_status::kCompleted ? Failure("base", a) : Failure("new", b);
        }
    }
    for (RowComparison& row : comparison.rows) row.base_device = a.device.name, row.new_device = b.device.name;
    return comparison;
}

std::string CompareText(const Comparison& comparison) {
    std::string out = "base: " + TerminalText(comparison.base.folder.string()) +
                      "\nnew:  " + TerminalText(comparison.newer.folder.string()) + "\n";
    for (const Fact& fact : comparison.facts) out += TerminalText(fact.text) + "\n";
    return out + figures::Terminal<RowComparison>(kFigures, comparison.rows);
}

std::string CompareCsv(const Comparison& comparison) { return figures::Csv<RowComparison>(kFigures, comparison.rows); }

}  // namespace fpbench
