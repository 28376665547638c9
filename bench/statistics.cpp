#include "bench/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <numeric>
#include <utility>

namespace fpbench {

double Median(std::vector<double> values) {
    if (values.empty()) return -1.0;
    std::sort(values.begin(), values.end());
    const std::size_t k = values.size();
    if (k % 2 == 1) return values[k / 2];
    return (values[k / 2 - 1] + values[k / 2]) * 0.5;
}

double NoisePercent(std::span<const double> values) {
    if (values.size() < 2) return -1.0;
    const double mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
    if (!(mean > 0)) return -1.0;
    double squares = 0;
    for (const double value : values) squares += (value - mean) * (value - mean);
    return std::sqrt(squares / static_cast<double>(values.size() - 1)) / mean * 100.0;
}

void SummarizeMode(Row& row, std::span<const TrialRecord> trials) {
    std::vector<double> throughput;
    std::vector<double> times;
    std::vector<double> clocks;
    std::vector<double> watts;
    std::vector<double> batches;
    for (const TrialRecord& trial : trials) {
        // Selected by size and accumulator, not by position: the run
        // interleaves the two modes of a size.
        if (trial.n != row.n || trial.fp16_accumulate != row.fp16_accumulate) continue;
        throughput.push_back(trial.tflops);
        times.push_back(trial.ms_per_gemm);
        batches.push_back(trial.batch_ms);
        if (trial.gemms >= limits::kMaxLaunchesPerBatch) row.launches_capped = true;
        if (trial.sm_clock_mhz >= 0) clocks.push_back(static_cast<double>(trial.sm_clock_mhz));
        if (trial.power_mw >= 0) watts.push_back(trial.power_mw / 1000.0);
        row.temperature_c = std::max(row.temperature_c, trial.temperature_c);
    }

    row.noise_pct = NoisePercent(throughput);
    row.batch_ms = Median(batches);
    row.median_tflops = Median(throughput);
    row.median_ms = Median(times);
    if (!throughput.empty()) {
        const auto [smallest, largest] = std::minmax_element(throughput.begin(), throughput.end());
        row.min_tflops = *smallest;
        row.max_tflops = *largest;
    }
    // Truncation toward zero; an empty list yields Median's -1.
    row.sm_clock_mhz = static_cast<std::int32_t>(Median(std::move(clocks)));
    row.power_w = Median(std::move(watts));
}

std::vector<std::vector<const TrialRecord*>> TrialsByRow(const RunResult& run) {
    using Key = std::pair<std::int32_t, bool>;
    // Per size and accumulator, its stretches of trials in the run's order.
    std::map<Key, std::vector<std::vector<const TrialRecord*>>> stretches;
    const std::size_t per_mode = static_cast<std::size_t>(std::max(1, run.options.trials_per_mode));
    for (const TrialRecord& trial : run.trials) {
        auto& own = stretches[{trial.n, trial.fp16_accumulate}];
        // An occurrence ends with its last repetition, or where the repetitions count again.
        if (own.empty() || own.back().size() >= per_mode || trial.repetition < own.back().back()->repetition)
            own.emplace_back();
        own.back().push_back(&trial);
    }
    std::map<Key, std::size_t> seen;
    std::vector<std::vector<const TrialRecord*>> by_row(run.rows.size());
    for (std::size_t i = 0; i < run.rows.size(); ++i) {
        const Key key{run.rows[i].n, run.rows[i].fp16_accumulate};
        auto& own = stretches[key];
        if (const std::size_t k = seen[key]++; k < own.size()) by_row[i] = std::move(own[k]);
    }
    return by_row;
}

void SetRowFigures(RunResult& result) {
    const std::vector<std::vector<const TrialRecord*>> by_row = TrialsByRow(result);
    for (std::size_t i = 0; i < result.rows.size(); ++i) {
        Row& row = result.rows[i];
        std::vector<TrialRecord> own;
        for (const TrialRecord* trial : by_row[i]) own.push_back(*trial);
        Row summary;
        summary.n = row.n;
        summary.fp16_accumulate = row.fp16_accumulate;
        SummarizeMode(summary, own);
        row.noise_pct = summary.noise_pct;
        row.batch_ms = summary.batch_ms;
        row.launches_capped = summary.launches_capped;
    }
}

bool IsLowClock(const TrialRecord& trial, std::int32_t peak_mhz) {
    return trial.sm_clock_mhz >= 0 && trial.sm_clock_mhz < limits::kLowClockShare * peak_mhz;
}

ClockDrop FindClockDrop(std::span<const TrialRecord> trials) {
    ClockDrop drop;
    drop.trials = trials.size();
    for (const TrialRecord& trial : trials) drop.peak_mhz = std::max(drop.peak_mhz, trial.sm_clock_mhz);
    for (const TrialRecord& trial : trials) drop.low_trials += IsLowClock(trial, drop.peak_mhz) ? 1 : 0;
    return drop;
}

ReasonTally TallyClockReasons(std::span<const TrialRecord> trials) {
    ReasonTally tally;
    for (const TrialRecord& trial : trials) {
        if (trial.clock_reasons < 0) continue;
        ++tally.known_trials;
        for (std::size_t i = 0; i < std::size(kClockReasons); ++i)
            if ((static_cast<unsigned long long>(trial.clock_reasons) & kClockReasons[i].bit) != 0) ++tally.trials[i];
    }
    return tally;
}

}  // namespace fpbench
