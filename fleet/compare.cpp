#include "fleet/compare.h"

#include <cmath>
#include <limits>
#include <map>

#include "bench/limits.h"
#include "bench/number_format.h"
#include "fleet/statistics.h"
#include "report/text_format.h"

namespace fpbench {
namespace {

using namespace judging;
constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();

double PerClock(double tflops, std::int32_t clock_mhz, std::int32_t sm_count) {
    return clock_mhz > 0 && sm_count > 0 ? tflops * 1e12 / (sm_count * (clock_mhz * 1e6)) : kUnknown;
}

double Change(double from, double to) { return from > 0 && to >= 0 ? (to / from - 1) * 100 : kUnknown; }

// A change in percent with its sign; one that rounds to nothing has none.
std::string Percent(double value) {
    if (!std::isfinite(value)) return std::string(kDash);
    const double rounded = std::round(value * 10) / 10;
    return (rounded > 0 ? "+" : "") + FormatDecimals(rounded == 0 ? 0.0 : rounded, 1) + " %";
}

std::vector<double> TrialsOf(const RunResult& run, std::int32_t n, bool fp16) {
    std::vector<double> values;
    for (const TrialRecord& trial : run.trials)
        if (trial.n == n && trial.fp16_accumulate == fp16) values.push_back(trial.tflops);
    return values;
}

std::string Settings(const RunResult& run) {
    return std::to_string(run.options.trials_per_mode) + " trials, " + FormatGeneral(run.options.sample_ms, 6) +
           " ms per batch, " + FormatGeneral(run.options.warmup_seconds, 6) + " s warm-up";
}

std::string Failure(const char* side, const RunResult& run) {
    return std::string(side) + " run " + run.status + (run.error.empty() ? "" : ": " + run.error);
}

void Judge(RowComparison& row, const Row& base, const Row& newer, const RunResult& base_run, const RunResult& new_run) {
    row.base_median = base.median_tflops, row.new_median = newer.median_tflops;
    row.base_clock = base.sm_clock_mhz, row.new_clock = newer.sm_clock_mhz;
    row.base_trials = TrialsOf(base_run, row.n, row.fp16_accumulate);
    row.new_trials = TrialsOf(new_run, row.n, row.fp16_accumulate);
    row.change_pct = Change(row.base_median, row.new_median);
    row.p_value = MannWhitneyP(row.base_trials, row.new_trials);
    row.clock_change_pct = row.base_clock > 0 && row.new_clock > 0 ? Change(row.base_clock, row.new_clock) : kUnknown;
    row.per_clock_change_pct = Change(PerClock(row.base_median, row.base_clock, base_run.device.sm_count),
                                      PerClock(row.new_median, row.new_clock, new_run.device.sm_count));
    if (!(base.validation_passed && base.guards_intact && newer.validation_passed && newer.guards_intact)) {
        row.verdict = "failed";
        row.note = "a check failed";
        return;
    }
    if (!std::isfinite(row.clock_change_pct))
        row.note = "SM clock unknown";
    else if (std::fabs(row.clock_change_pct) > kClockMovedPct)
        row.note = "SM clock " + Percent(row.clock_change_pct) + ", per clock " + Percent(row.per_clock_change_pct);
    else
        row.note = "at the same clock";
    if (std::fabs(row.change_pct) < kSameWithinPct) {
        row.verdict = "same";
    } else if (row.p_value < kSignificance) {
        row.verdict = row.change_pct < 0 ? "slower" : "faster";
    } else {
        row.verdict = "unclear";
        row.note = "too few trials or too much noise (p = " + FormatGeneral(row.p_value, 2) + "): run more trials";
    }
}

}  // namespace

bool Comparison::Regressed() const {
    for (const RowComparison& row : rows)
        if (row.verdict == "slower" || row.verdict == "failed") return true;
    return false;
}

Comparison CompareRuns(const RunFolder& base, const RunFolder& newer) {
    Comparison comparison{base, newer, {}, {}};
    const RunResult& a = *base.run;
    const RunResult& b = *newer.run;
    comparison.facts.push_back(a.device.uuid == b.device.uuid
                                   ? "GPU: the same, " + a.device.name + " " + a.device.uuid
                                   : "GPU: different, " + a.device.name + " " + a.device.uuid + " then " +
                                         b.device.name + " " + b.device.uuid);
    comparison.facts.push_back(base.kernel_source_sha256 == newer.kernel_source_sha256 && a.backend == b.backend
                                   ? "kernels: the same (source " + base.kernel_source_sha256.substr(0, 12) + ", " +
                                         a.backend + ")"
                                   : "kernels: different, source " + base.kernel_source_sha256.substr(0, 12) + " (" +
                                         a.backend + ") then " + newer.kernel_source_sha256.substr(0, 12) + " (" +
                                         b.backend + ")");
    comparison.facts.push_back(Settings(a) == Settings(b) ? "settings: the same, " + Settings(a)
                                                          : "settings: different, " + Settings(a) + " then " + Settings(b));

    // Rows in the order of the base run, then those only the new run has.
    std::map<std::pair<std::int32_t, bool>, const Row*> new_rows;
    for (const Row& row : b.rows) new_rows[{row.n, row.fp16_accumulate}] = &row;
    const bool completed = a.status == run_status::kCompleted && b.status == run_status::kCompleted;
    for (const Row& row : a.rows) {
        const auto found = new_rows.find({row.n, row.fp16_accumulate});
        if (found == new_rows.end()) {
            comparison.facts.push_back("only in the base run: N = " + std::to_string(row.n) + " " +
                                       Accumulator(row.fp16_accumulate).label);
            continue;
        }
        RowComparison& compared = comparison.rows.emplace_back();
        compared.n = row.n, compared.fp16_accumulate = row.fp16_accumulate;
        Judge(compared, row, *found->second, a, b);
        new_rows.erase(found);
    }
    for (const auto& [key, row] : new_rows)
        comparison.facts.push_back("only in the new run: N = " + std::to_string(key.first) + " " +
                                   Accumulator(key.second).label);
    if (!completed) {
        if (comparison.rows.empty()) comparison.rows.emplace_back();
        for (RowComparison& row : comparison.rows) {
            row.verdict = "failed";
            row.note = a.status != run_status::kCompleted ? Failure("base", a) : Failure("new", b);
        }
    }
    return comparison;
}

std::string CompareText(const Comparison& comparison) {
    std::string out = "base: " + comparison.base.folder.string() + "\nnew:  " + comparison.newer.folder.string() + "\n";
    for (const std::string& fact : comparison.facts) out += TerminalText(fact) + "\n";
    std::vector<std::vector<std::string>> lines{{"N", "Accum.", "Base TFLOPS", "New TFLOPS", "Change", "p", "Verdict", ""}};
    for (const RowComparison& row : comparison.rows)
        lines.push_back({row.n > 0 ? std::to_string(row.n) : std::string(kDash),
                         row.n > 0 ? Accumulator(row.fp16_accumulate).label : "", Reading(row.base_median, 2),
                         Reading(row.new_median, 2), Percent(row.change_pct), Reading(row.p_value, {2, true}),
                         row.verdict, TerminalText(row.note)});
    return out + AlignedTable(lines, {false, true, false, false, false, false, true, true});
}

std::string CompareCsv(const Comparison& comparison) {
    std::string out =
        "N,accumulator,base_median_TFLOPS,new_median_TFLOPS,change_pct,p_value,base_SM_clock_MHz,new_SM_clock_MHz,"
        "clock_change_pct,per_clock_change_pct,verdict,note\n";
    const auto number = [](double value) { return std::isfinite(value) ? FormatGeneral(value, 10) : std::string(); };
    for (const RowComparison& row : comparison.rows)
        out += (row.n > 0 ? std::to_string(row.n) + "," + Accumulator(row.fp16_accumulate).mode : std::string(",")) +
               "," + number(row.base_median) + "," + number(row.new_median) + "," + number(row.change_pct) + "," +
               number(row.p_value) + "," + (row.base_clock >= 0 ? std::to_string(row.base_clock) : "") + "," +
               (row.new_clock >= 0 ? std::to_string(row.new_clock) : "") + "," + number(row.clock_change_pct) + "," +
               number(row.per_clock_change_pct) + "," + row.verdict + "," + CsvField(row.note) + "\n";
    return out;
}

}  // namespace fpbench
