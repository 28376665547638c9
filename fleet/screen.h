// Many GPUs screened at once: each compared with its cohort (same name, SM
// count and compute capability), per matrix side and accumulator, and judged;
// the nodes that hold them, when the folders follow a screen's layout
// (<screen>/<node>/gpu<i>), with what --drain does to each.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <limits>
#include <string>
#include <vector>

#include "fleet/run_folder.h"
#include "fleet/thresholds.h"
#include "fleet/verdicts.h"

namespace fpbench {

struct Thresholds {
    double warn_below_pct = judging::kWarnBelowPct;
    double fail_below_pct = judging::kFailBelowPct;
};

// The small members come first: a fleet holds hundreds of thousands of rows.
struct GpuRow {
    static constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();
    std::int32_t n = 0;
    std::int32_t clock_mhz = -1;
    Verdict verdict = Verdict::Ok;
    bool fp16_accumulate = true;
    // The cohort's reference is its median, or its fastest GPU's median in a
    // cohort of two or three; `deviation_pct` is from it.
    double median = kUnknown, reference = kUnknown, deviation_pct = kUnknown;
    double z = kUnknown;  // robust z-score, where the cohort allows one
    double noise_pct = -1;
    double per_clock = kUnknown;                 // FLOP per SM per clock cycle
    double per_clock_deviation_pct = kUnknown;  // from the cohort's median
    std::size_t cohort_gpus = 0;
    std::string cause;
};

struct Gpu {
    explicit Gpu(const FleetFolder& read) : folder(read) {}
    const FleetFolder& folder;  // its run, in FleetScreen::folders
    Verdict verdict = Verdict::Ok;
    std::string cause;
    std::string cohort;        // "name · SMs · compute capability"; empty without a run
    std::string node;          // the folder holding gpu<i>, when the layout is followed
    std::vector<GpuRow> rows;  // worst first; none for a run without rows
};

struct Cohort {
    std::string name;
    std::size_t gpus = 0;
};

struct Node {
    std::string name;
    Verdict worst = Verdict::Ok;
    const char* action = "none";  // drain, list or none
    std::string reason;
};

struct FleetScreen {
    FleetScreen() = default;
    // Its GPUs refer to its runs: a screen is moved, never copied.
    FleetScreen(FleetScreen&&) = default;
    FleetScreen& operator=(FleetScreen&&) = default;

    std::vector<FleetFolder> folders;  // as read, each as FleetFolderOf leaves it
    std::vector<Gpu> gpus;  // worst first, the unreadable, missing and superseded included
    std::vector<Cohort> cohorts;
    std::vector<Node> nodes;  // empty unless folders follow the screen layout
    Thresholds thresholds;
    // Exit code 2: anything flagged.
    bool Flagged() const;
};

// Every folder becomes a GPU of the screen; the screen keeps the folders. Of runs of the same GPU (by UUID)
// the newest counts and those that ended before it began are superseded;
// those whose times overlap it are duplicates.
FleetScreen ScreenFleet(std::vector<FleetFolder> folders, const Thresholds& thresholds = {});
// Runs read whole, each kept as FleetFolderOf leaves it.
FleetScreen ScreenFleet(std::vector<RunFolder> folders, const Thresholds& thresholds = {});

// The counts per verdict, the flagged GPUs worst first, and the page.
std::string FleetSummary(const FleetScreen& screen, const std::filesystem::path& page);
// fleet.csv: one line per GPU and row, worst first; streamed line by line,
// as a large fleet's is tens of megabytes.
std::string FleetCsv(const FleetScreen& screen);
void WriteFleetCsv(const FleetScreen& screen, std::ostream& out);
// nodes.csv: one line per node: its worst verdict, the action, the reason.
std::string NodesCsv(const FleetScreen& screen);
// fleet.html.
std::string FleetHtml(const FleetScreen& screen);

// Whether Slurm could take this as one node's name: letters, digits, '.',
// '_' and '-', beginning with a letter or digit (no hostlist brackets,
// commas or spaces).
bool IsNodeName(std::string_view name);

}  // namespace fpbench
