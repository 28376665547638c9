// Many GPUs screened at once: each compared with its cohort (same name, SM
// count and compute capability), per matrix side and accumulator, and judged.
#pragma once

#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "bench/limits.h"
#include "fleet/run_folder.h"

namespace fpbench {

// Worst first.
enum class Verdict { Fail, Unreadable, Warn, Unstable, Ok, Superseded };
const char* VerdictWord(Verdict verdict);

struct Thresholds {
    double warn_below_pct = judging::kWarnBelowPct;
    double fail_below_pct = judging::kFailBelowPct;
};

struct GpuRow {
    static constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();
    std::int32_t n = 0;
    bool fp16_accumulate = true;
    double median = kUnknown, cohort_median = kUnknown, deviation_pct = kUnknown;
    double z = kUnknown;  // robust z-score, where the cohort allows one
    double noise_pct = -1;
    std::int32_t clock_mhz = -1;
    double per_clock = kUnknown;  // FLOP per SM per clock cycle
    Verdict verdict = Verdict::Ok;
    std::string cause;
};

struct Gpu {
    RunFolder folder;
    Verdict verdict = Verdict::Ok;
    std::string cause;
    std::string cohort;        // "name · SMs · compute capability"; empty when unreadable
    std::vector<GpuRow> rows;  // worst first; none for a run without rows
};

struct Cohort {
    std::string name;
    std::size_t gpus = 0;
};

struct FleetScreen {
    std::vector<Gpu> gpus;  // worst first, the unreadable and the superseded included
    std::vector<Cohort> cohorts;
    Thresholds thresholds;
    // Exit code 2: anything but ok (superseded runs aside).
    bool Flagged() const;
};

// Every folder becomes a GPU of the screen: unreadable ones as such; of runs
// of the same GPU (by UUID) the newest counts and the others are superseded.
FleetScreen ScreenFleet(std::vector<RunFolder> folders, const Thresholds& thresholds = {});

// The counts per verdict, the flagged GPUs worst first, and the page.
std::string FleetSummary(const FleetScreen& screen, const std::filesystem::path& page);
// fleet.csv: one line per GPU and row, worst first.
std::string FleetCsv(const FleetScreen& screen);
// fleet.html.
std::string FleetHtml(const FleetScreen& screen);

}  // namespace fpbench
