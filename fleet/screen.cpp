#include "fleet/screen.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "bench/number_format.h"
#include "bench/statistics.h"
#include "fleet/statistics.h"
#include "report/text_format.h"

namespace fpbench {
namespace {

using namespace judging;
constexpr const char* kVerdictWords[] = {"fail", "unreadable", "warn", "unstable", "ok", "superseded"};

std::string CohortOf(const DeviceInfo& device) {
    return device.name + " \xC2\xB7 " + std::to_string(device.sm_count) + " SMs \xC2\xB7 " +
           std::to_string(device.major) + "." + std::to_string(device.minor);
}

// A row that counts in its cohort: a completed run's, its checks passed.
bool Counts(const Gpu& gpu, const Row& row) {
    return gpu.verdict != Verdict::Superseded && gpu.folder.run && gpu.folder.run->status == run_status::kCompleted &&
           row.validation_passed && row.guards_intact && row.median_tflops > 0;
}

struct CohortRow {
    double median_tflops = -1, mad = -1;
    double median_clock = -1;
    std::size_t gpus = 0;
};

void JudgeRow(GpuRow& row, const CohortRow& cohort, bool throttled, const Thresholds& thresholds) {
    row.cohort_median = cohort.median_tflops;
    row.deviation_pct = cohort.median_tflops > 0 ? (row.median / cohort.median_tflops - 1) * 100 : GpuRow::kUnknown;
    if (cohort.gpus >= kZCohort && cohort.mad > 0) row.z = 0.6745 * (row.median - cohort.median_tflops) / cohort.mad;
    // "At least 7 % below" holds for 93 against 100, whatever the last bit of
    // the division; NaN compares false: no verdict from it.
    const double below = -row.deviation_pct + 1e-9;
    if (below >= thresholds.fail_below_pct) row.verdict = Verdict::Fail;
    else if (below >= thresholds.warn_below_pct || (row.z <= kRobustZ && below >= kZAlsoBelowPct)) row.verdict = Verdict::Warn;
    else if (row.noise_pct > kUnstableNoisePct) row.verdict = Verdict::Unstable;
    if (row.verdict == Verdict::Unstable) row.cause = "noise " + FormatDecimals(row.noise_pct, 1) + " %";
    if (row.verdict != Verdict::Fail && row.verdict != Verdict::Warn) return;
    // Slow because its clock is low or fell, or slow at a normal clock (its
    // FLOP per SM per clock is down as well).
    const bool low_clock = row.clock_mhz >= 0 && cohort.median_clock > 0 &&
                           row.clock_mhz <= cohort.median_clock * (1 - kClockBelowCohortPct / 100);
    row.cause = low_clock || throttled ? "clock" : "full clock";
}

// Deviation as a sort key: one that cannot be known (a failed check) sorts
// first within its verdict, so that the order stays a strict weak one.
double SortKey(double deviation_pct) { return std::isnan(deviation_pct) ? -HUGE_VAL : deviation_pct; }

bool Worse(const GpuRow& a, const GpuRow& b) {
    if (a.verdict != b.verdict) return a.verdict < b.verdict;
    return SortKey(a.deviation_pct) < SortKey(b.deviation_pct);
}

}  // namespace

const char* VerdictWord(Verdict verdict) { return kVerdictWords[static_cast<int>(verdict)]; }

bool FleetScreen::Flagged() const {
    return std::any_of(gpus.begin(), gpus.end(),
                       [](const Gpu& gpu) { return gpu.verdict != Verdict::Ok && gpu.verdict != Verdict::Superseded; });
}

FleetScreen ScreenFleet(std::vector<RunFolder> folders, const Thresholds& thresholds) {
    FleetScreen screen;
    screen.thresholds = thresholds;
    std::map<std::string, std::size_t> newest;  // UUID -> its GPU
    for (RunFolder& folder : folders) {
        Gpu& gpu = screen.gpus.emplace_back();
        gpu.folder = std::move(folder);
        if (!gpu.folder.run) {
            gpu.verdict = Verdict::Unreadable;
            gpu.cause = gpu.folder.problem;
            continue;
        }
        const RunResult& run = *gpu.folder.run;
        gpu.cohort = CohortOf(run.device);
        // A run that failed before it knew its GPU has no identity to share.
        if (run.device.uuid.empty()) continue;
        const auto [at, fresh] = newest.emplace(run.device.uuid, screen.gpus.size() - 1);
        if (fresh) continue;
        Gpu& other = screen.gpus[at->second];
        // Time stamps compare as text; the newest run of a GPU counts.
        Gpu& older = other.folder.run->started_utc <= run.started_utc ? other : gpu;
        if (&older == &other) at->second = screen.gpus.size() - 1;
        older.verdict = Verdict::Superseded;
    }
    for (Gpu& gpu : screen.gpus)
        if (gpu.verdict == Verdict::Superseded) gpu.cause = "a newer run of this GPU counts";

    // Each cohort's rows: the median of its GPUs' medians, their spread and
    // the median of their clocks.
    std::map<std::tuple<std::string, std::int32_t, bool>, std::vector<std::pair<double, double>>> samples;
    for (const Gpu& gpu : screen.gpus)
        if (gpu.folder.run)
            for (const Row& row : gpu.folder.run->rows)
                if (Counts(gpu, row)) samples[{gpu.cohort, row.n, row.fp16_accumulate}].emplace_back(row.median_tflops, row.sm_clock_mhz);
    std::map<std::tuple<std::string, std::int32_t, bool>, CohortRow> cohort_rows;
    for (const auto& [key, values] : samples) {
        std::vector<double> medians, clocks;
        for (const auto& [median, clock] : values) {
            medians.push_back(median);
            if (clock >= 0) clocks.push_back(clock);
        }
        cohort_rows[key] = {Median(medians), MedianAbsoluteDeviation(medians), Median(clocks), medians.size()};
    }

    std::map<std::string, std::size_t> cohort_sizes;
    for (Gpu& gpu : screen.gpus) {
        if (gpu.verdict == Verdict::Unreadable) continue;
        const RunResult& run = *gpu.folder.run;
        if (gpu.verdict != Verdict::Superseded) ++cohort_sizes[gpu.cohort];
        const bool throttled = FindClockDrop(run.trials).low_trials > 0;
        for (const Row& row : run.rows) {
            GpuRow& judged = gpu.rows.emplace_back();
            judged.n = row.n, judged.fp16_accumulate = row.fp16_accumulate;
            judged.median = row.median_tflops, judged.noise_pct = row.noise_pct, judged.clock_mhz = row.sm_clock_mhz;
            if (row.sm_clock_mhz > 0 && run.device.sm_count > 0)
                judged.per_clock = row.median_tflops * 1e12 / (run.device.sm_count * (row.sm_clock_mhz * 1e6));
            if (gpu.verdict == Verdict::Superseded) continue;
            if (!row.validation_passed || !row.guards_intact) {
                judged.verdict = Verdict::Fail;
                judged.cause = row.guards_intact ? "check failed" : "guards touched";
                continue;
            }
            JudgeRow(judged, cohort_rows[{gpu.cohort, row.n, row.fp16_accumulate}], throttled, thresholds);
        }
        std::sort(gpu.rows.begin(), gpu.rows.end(), Worse);
        if (gpu.verdict == Verdict::Superseded) continue;
        if (run.status != run_status::kCompleted) {
            gpu.verdict = Verdict::Fail;
            gpu.cause = "run " + run.status + (run.error.empty() ? "" : ": " + run.error);
        } else if (!gpu.rows.empty()) {
            gpu.verdict = gpu.rows.front().verdict;
            gpu.cause = gpu.rows.front().cause;
        }
    }
    for (const auto& [name, count] : cohort_sizes) screen.cohorts.push_back({name, count});
    std::stable_sort(screen.gpus.begin(), screen.gpus.end(), [](const Gpu& a, const Gpu& b) {
        if (a.verdict != b.verdict) return a.verdict < b.verdict;
        const double da = a.rows.empty() ? 0 : SortKey(a.rows.front().deviation_pct);
        const double db = b.rows.empty() ? 0 : SortKey(b.rows.front().deviation_pct);
        return da < db;
    });
    return screen;
}

std::string FleetSummary(const FleetScreen& screen, const std::filesystem::path& page) {
    std::size_t counts[6] = {};
    for (const Gpu& gpu : screen.gpus) ++counts[static_cast<int>(gpu.verdict)];
    std::string out = std::to_string(screen.gpus.size() - counts[1]) + " runs of " +
                      std::to_string(screen.gpus.size() - counts[1] - counts[5]) + " GPUs in " +
                      std::to_string(screen.cohorts.size()) + (screen.cohorts.size() == 1 ? " cohort" : " cohorts") +
                      ", " + std::to_string(counts[1]) + " unreadable folders\n";
    for (int v = 0; v < 6; ++v) out += std::string(v == 0 ? "" : "  ") + kVerdictWords[v] + ": " + std::to_string(counts[v]);
    out += "\n";
    std::vector<std::vector<std::string>> lines;
    for (const Gpu& gpu : screen.gpus) {
        if (gpu.verdict == Verdict::Ok || gpu.verdict == Verdict::Superseded) continue;
        const GpuRow* worst = gpu.rows.empty() ? nullptr : &gpu.rows.front();
        lines.push_back({VerdictWord(gpu.verdict), TerminalText(gpu.cause),
                         gpu.folder.run ? TerminalText(gpu.folder.run->device.uuid) : "",
                         worst && std::isfinite(worst->deviation_pct)
                             ? (worst->deviation_pct > 0 ? "+" : "") + FormatDecimals(worst->deviation_pct, 1) + " % at " +
                                   std::to_string(worst->n) + " " + Accumulator(worst->fp16_accumulate).label
                             : "",
                         TerminalText(gpu.folder.folder.string())});
    }
    if (!lines.empty()) out += "flagged, worst first:\n" + AlignedTable(lines, {true, true, true, true, true});
    return out + "page: " + page.string() + "\n";
}

std::string FleetCsv(const FleetScreen& screen) {
    std::string out = "folder,uuid,name,N,accumulator,median_TFLOPS,cohort_median_TFLOPS,deviation_pct,z,noise_pct,"
                      "SM_clock_MHz,verdict,cause\n";
    const auto number = [](double value, int precision) {
        return std::isfinite(value) && value >= -1e300 ? FormatGeneral(value, precision) : std::string();
    };
    for (const Gpu& gpu : screen.gpus) {
        const std::string head = CsvField(gpu.folder.folder.string()) + "," +
                                 (gpu.folder.run ? CsvField(gpu.folder.run->device.uuid) + "," +
                                                       CsvField(gpu.folder.run->device.name)
                                                 : std::string(","));
        if (gpu.rows.empty() || gpu.verdict == Verdict::Unreadable) {
            out += head + ",,,,,,,,," + VerdictWord(gpu.verdict) + "," + CsvField(gpu.cause) + "\n";
            continue;
        }
        for (const GpuRow& row : gpu.rows) {
            // A failed run's rows carry the run's verdict and cause.
            const bool run_failed = gpu.verdict == Verdict::Fail && gpu.folder.run->status != run_status::kCompleted;
            out += head + "," + std::to_string(row.n) + "," + Accumulator(row.fp16_accumulate).mode + "," +
                   number(row.median, 10) + "," + number(row.cohort_median, 10) + "," + number(row.deviation_pct, 6) +
                   "," + number(row.z, 6) + "," + (row.noise_pct >= 0 ? number(row.noise_pct, 6) : "") + "," +
                   (row.clock_mhz >= 0 ? std::to_string(row.clock_mhz) : "") + "," +
                   VerdictWord(run_failed || gpu.verdict == Verdict::Superseded ? gpu.verdict : row.verdict) + "," +
                   CsvField(run_failed || gpu.verdict == Verdict::Superseded ? gpu.cause : row.cause) + "\n";
        }
    }
    return out;
}

}  // namespace fpbench
