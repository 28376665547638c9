#include "fleet/screen.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <tuple>

#include "bench/number_format.h"
#include "bench/statistics.h"
#include "fleet/statistics.h"
#include "report/text_format.h"

namespace fpbench {
namespace {

using namespace judging;

// A run that did not complete fails its GPU only on evidence against the GPU
// or its node (a CUDA error, the driver or the GPU missing, a failed check,
// an impossible throughput). These first errors say nothing against it: the
// run was stopped, could not write its reports, or could not measure here.
constexpr const char* kNotAgainstTheGpu[] = {
    "Cancelled by user",
    "Report write failed",
    "Unable to write report files",
    "This build requires NVIDIA SM",
    "Selected matrices would use over",
};

// Errors that say the GPU's memory failed: its results cannot be trusted.
constexpr const char* kMemoryErrors[] = {"Uncorrected ECC errors"};

// The cause a held-back clock gets from the reason NVML gave for it, by the
// reason's name in health.json; the thermal reasons read alike.
struct ReasonCause {
    const char* key;
    const char* cause;
};
constexpr ReasonCause kReasonCauses[] = {
    {"power_cap", "power cap"},   {"thermal", "thermal"},       {"hw_thermal", "thermal"},
    {"hw_slowdown", "hardware slowdown"}, {"power_brake", "power brake"}, {"sync_boost", "sync boost"},
};

bool Lowered(const NvmlBoard& board) {
    return board.power_limit_mw > 0 && board.default_power_limit_mw > 0 &&
           board.power_limit_mw < board.default_power_limit_mw;
}

// Why a row's clock was low: the reason in force in most of its trials, else
// a power limit set below its default, else nothing said ("clock").
std::string ClockCause(const ClockReasonTally& trials, const NvmlBoard& board) {
    std::map<std::string, std::size_t> counts;
    for (const ReasonCause& reason : kReasonCauses)
        for (std::size_t k = 0; k < std::size(kClockReasons); ++k)
            if (std::string_view(kClockReasons[k].key) == reason.key && trials[k] > 0) counts[reason.cause] += trials[k];
    const auto most = std::max_element(counts.begin(), counts.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
    if (most != counts.end()) return most->first;
    return Lowered(board) ? "power limit lowered" : "clock";
}

// Facts of the board worth a look even on a GPU that is fast enough.
std::string BoardFacts(const NvmlBoard& board) {
    std::string facts;
    const auto add = [&](const std::string& fact) { facts += (facts.empty() ? "" : "; ") + fact; };
    if (board.remap_pending > 0) add("row remapping pending: reset the GPU");
    if (board.pcie_generation > 0 && board.pcie_max_generation > 0 && board.pcie_width > 0 && board.pcie_max_width > 0 &&
        (board.pcie_generation < board.pcie_max_generation || board.pcie_width < board.pcie_max_width))
        add("PCIe link gen " + std::to_string(board.pcie_generation) + " x" + std::to_string(board.pcie_width) +
            ", can be gen " + std::to_string(board.pcie_max_generation) + " x" + std::to_string(board.pcie_max_width));
    if (Lowered(board))
        add("power limit lowered: " + FormatGeneral(board.power_limit_mw / 1000.0, 6) + " W of " +
            FormatGeneral(board.default_power_limit_mw / 1000.0, 6) + " W");
    return facts;
}

std::pair<Verdict, std::string> UnfinishedRun(const FleetRun& run) {
    if (run.status == run_status::kRunning)
        return {Verdict::Incomplete, "run still running: the program was killed or its reports were lost"};
    const std::string cause = "run " + run.status + (run.error.empty() ? "" : ": " + run.error);
    if (run.status != run_status::kFailed) return {Verdict::Incomplete, cause};
    for (const char* begins : kMemoryErrors)
        if (run.error.starts_with(begins)) return {Verdict::Fail, "memory: " + run.error};
    for (const char* begins : kNotAgainstTheGpu)
        if (run.error.starts_with(begins)) return {Verdict::Incomplete, cause};
    return {Verdict::Fail, cause};
}

std::string Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t\r\n\v\f") - first + 1));
}

std::string CohortOf(const FleetDevice& device) {
    return Trimmed(device.name) + " \xC2\xB7 " + std::to_string(device.sm_count) + " SMs \xC2\xB7 " +
           std::to_string(device.major) + "." + std::to_string(device.minor);
}

// <...>/<node>/gpu<i>: the node's name, else empty.
std::string NodeOf(const std::filesystem::path& folder) {
    // A path with no "." or ".." component, no doubled separator and no
    // trailing one is its own normal form: its last two names are read off
    // the text, with no path made for each of a fleet's folders.
    const std::string_view text = folder.native();
    if (!text.empty() && text.front() != '.' && text.back() != '/' && text.find("/.") == std::string_view::npos &&
        text.find("//") == std::string_view::npos) {
        const std::size_t slash = text.rfind('/');
        if (slash == std::string_view::npos) return {};
        const std::string_view name = text.substr(slash + 1), parent = text.substr(0, slash);
        if (name.size() < 4 || !name.starts_with("gpu") ||
            name.find_first_not_of("0123456789", 3) != std::string_view::npos)
            return {};
        return std::string(parent.substr(parent.rfind('/') + 1));
    }
    const std::filesystem::path normal = folder.lexically_normal();
    const std::string name = (normal.has_filename() ? normal : normal.parent_path()).filename().string();
    if (name.size() < 4 || !name.starts_with("gpu") || name.find_first_not_of("0123456789", 3) != std::string::npos)
        return {};
    return (normal.has_filename() ? normal : normal.parent_path()).parent_path().filename().string();
}

// A run's span of time; one without its end (the program was killed) is taken
// to have ended as it began.
std::pair<std::string, std::string> Span(const FleetRun& run) {
    return {run.started_utc, run.finished_utc.empty() ? run.started_utc : run.finished_utc};
}

// Of the runs of one GPU, the newest (by start, then by path) counts; a run
// that ended before it began is superseded, one that overlaps it means that
// two tasks measured the same GPU at once: both are duplicates.
void SortOutReruns(std::vector<Gpu>& gpus) {
    // The GPUs by UUID, each UUID's in the fleet's order: one sort of
    // (UUID, number) pairs side by side rather than a map of a fleet's UUIDs.
    std::vector<std::pair<std::string_view, std::size_t>> by_uuid;
    for (std::size_t i = 0; i < gpus.size(); ++i)
        if (gpus[i].folder.run && !gpus[i].folder.run->device.uuid.empty())
            by_uuid.emplace_back(gpus[i].folder.run->device.uuid, i);
    std::sort(by_uuid.begin(), by_uuid.end());
    std::vector<std::size_t> runs;
    for (std::size_t first = 0, last = 0; first < by_uuid.size(); first = last) {
        while (last < by_uuid.size() && by_uuid[last].first == by_uuid[first].first) ++last;
        if (last - first < 2) continue;
        runs.clear();
        for (std::size_t k = first; k < last; ++k) runs.push_back(by_uuid[k].second);
        const auto order = [&](std::size_t i) { return std::tie(gpus[i].folder.run->started_utc, gpus[i].folder.folder); };
        std::sort(runs.begin(), runs.end(), [&](std::size_t a, std::size_t b) { return order(a) < order(b); });
        Gpu& newest = gpus[runs.back()];
        for (std::size_t k = 0; k + 1 < runs.size(); ++k) {
            Gpu& older = gpus[runs[k]];
            if (Span(*older.folder.run).second < newest.folder.run->started_utc) {
                older.verdict = Verdict::Superseded;
                older.cause = "a newer run of this GPU counts: " + newest.folder.folder.string();
                continue;
            }
            for (Gpu* both : {&older, &newest}) {
                both->verdict = Verdict::Duplicate;
                both->cause = "runs of this GPU overlap in time: " + older.folder.folder.string() + " and " +
                              newest.folder.folder.string();
            }
        }
    }
}

// A row's place in its run: the k-th row of a size and accumulator, for runs
// that list a size twice.
using RowKey = std::tuple<std::size_t, std::int32_t, bool, int>;  // by the cohort's number

struct CohortRow {
    std::vector<double> medians, clocks, per_clocks;
    double reference = -1, mad = -1, clock = -1, per_clock = -1;
};

// A row's FLOP per SM per clock, as reading it back worked it out.
double PerClock(const FleetRow& row) { return row.per_clock > 0 ? row.per_clock : GpuRow::kUnknown; }

// At least `percent` below `reference`, exactly so at the boundary whatever
// the last bit of the division; NaN compares false: no verdict from it.
bool AtLeastBelow(double deviation_pct, double percent) { return -deviation_pct >= percent - 1e-9; }

void JudgeRow(GpuRow& row, const CohortRow& cohort, const Thresholds& thresholds, const ClockReasonTally& trials,
              const NvmlBoard& board) {
    row.cohort_gpus = cohort.medians.size();
    if (row.cohort_gpus < 2) {
        row.verdict = Verdict::Alone;
        row.cause = Info(Verdict::Alone).meaning;
        return;
    }
    row.reference = cohort.reference;
    row.deviation_pct = (row.median / cohort.reference - 1) * 100;
    if (row.cohort_gpus >= kZCohort && cohort.mad > 0) row.z = 0.6745 * (row.median - cohort.reference) / cohort.mad;
    if (std::isfinite(row.per_clock) && cohort.per_clock > 0)
        row.per_clock_deviation_pct = (row.per_clock / cohort.per_clock - 1) * 100;
    if (AtLeastBelow(row.deviation_pct, thresholds.fail_below_pct)) row.verdict = Verdict::Fail;
    else if (AtLeastBelow(row.deviation_pct, thresholds.warn_below_pct) ||
             (row.z <= kRobustZ && AtLeastBelow(row.deviation_pct, kZAlsoBelowPct)))
        row.verdict = Verdict::Warn;
    else if (row.noise_pct > kUnstableNoisePct) row.verdict = Verdict::Unstable;
    if (row.verdict == Verdict::Unstable) row.cause = "noise " + FormatDecimals(row.noise_pct, 1) + " %";
    if (row.verdict != Verdict::Fail && row.verdict != Verdict::Warn) return;
    // From the row's own trials: slow because its clock is low, or slow at a
    // normal clock (its FLOP per SM per clock is down), or both.
    if (row.clock_mhz < 0 || !(cohort.clock > 0)) {
        row.cause = "no clock reading";
        return;
    }
    const bool low_clock = AtLeastBelow((row.clock_mhz / cohort.clock - 1) * 100, kClockBelowCohortPct);
    const bool per_clock_down = AtLeastBelow(row.per_clock_deviation_pct, kPerClockBelowPct);
    if (!low_clock) row.cause = "full clock";
    else row.cause = ClockCause(trials, board) + (per_clock_down ? " and full clock" : "");
}

// Deviation as a sort key: one that cannot be known sorts first within its
// verdict, so that the order stays a strict weak one.
double SortKey(double deviation_pct) { return std::isnan(deviation_pct) ? -HUGE_VAL : deviation_pct; }

bool Worse(const GpuRow& a, const GpuRow& b) {
    if (a.verdict != b.verdict) return a.verdict < b.verdict;
    return SortKey(a.deviation_pct) < SortKey(b.deviation_pct);
}

// A reason Slurm stores and prints: no control bytes.
std::string Printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return text;
}

// The GPUs in `order`, moved in place: a large fleet's GPUs are not held
// twice. A Gpu refers to its folder, so each is made again where it goes
// rather than assigned.
void Reorder(std::vector<Gpu>& gpus, const std::vector<std::size_t>& order) {
    const auto replace = [&](std::size_t at, Gpu&& from) {
        std::destroy_at(&gpus[at]);
        std::construct_at(&gpus[at], std::move(from));
    };
    std::vector<bool> placed(gpus.size());
    for (std::size_t start = 0; start < gpus.size(); ++start) {
        if (placed[start] || order[start] == start) continue;
        Gpu first(std::move(gpus[start]));
        std::size_t at = start;
        for (; order[at] != start; at = order[at]) {
            replace(at, std::move(gpus[order[at]]));
            placed[at] = true;
        }
        replace(at, std::move(first));
        placed[at] = true;
    }
}

std::vector<Node> NodesOf(const std::vector<Gpu>& gpus) {
    std::map<std::string, std::vector<const Gpu*>> by_node;
    for (const Gpu& gpu : gpus)
        if (!gpu.node.empty()) by_node[gpu.node].push_back(&gpu);
    std::vector<Node> nodes;
    for (const auto& [name, held] : by_node) {
        Node& node = nodes.emplace_back();
        node.name = name;
        const Gpu* worst = held.front();  // gpus are sorted worst first
        node.worst = worst->verdict;
        // The GPU by its UUID, else (a run that never knew it) by its folder.
        const bool named = worst->folder.run && !worst->folder.run->device.uuid.empty();
        const std::string what = std::string(Info(worst->verdict).word) + " " + worst->cause + " " +
                                 (named ? worst->folder.run->device.uuid : worst->folder.folder.string());
        if (Drains(worst->verdict) && IsNodeName(name)) {
            node.action = "drain";
            node.reason = Printable("tessmor-bench: " + what);
        } else if (Flagged(worst->verdict)) {
            node.action = "list";
            node.reason = Printable((IsNodeName(name) ? "" : "not a Slurm node name; ") + what);
        }
    }
    return nodes;
}

}  // namespace

bool IsNodeName(std::string_view name) {
    if (name.empty() || !std::isalnum(static_cast<unsigned char>(name.front()))) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
    });
}

bool FleetScreen::Flagged() const {
    return std::any_of(gpus.begin(), gpus.end(), [](const Gpu& gpu) { return fpbench::Flagged(gpu.verdict); });
}

FleetScreen ScreenFleet(std::vector<RunFolder> folders, const Thresholds& thresholds) {
    std::vector<FleetFolder> slim;
    slim.reserve(folders.size());
    for (RunFolder& folder : folders) slim.push_back(FleetFolderOf(std::move(folder)));
    return ScreenFleet(std::move(slim), thresholds);
}

FleetScreen ScreenFleet(std::vector<FleetFolder> folders, const Thresholds& thresholds) {
    FleetScreen screen;
    screen.thresholds = thresholds;
    screen.folders = std::move(folders);
    std::vector<Gpu> gpus;
    gpus.reserve(screen.folders.size());
    // Cohorts by number: a row's key then compares without its cohort's name.
    std::map<std::string, std::size_t> cohort_numbers;
    std::vector<std::size_t> cohort_of;
    cohort_of.reserve(screen.folders.size());
    const FleetDevice* last_device = nullptr;
    std::size_t last_gpu = 0;
    for (const FleetFolder& folder : screen.folders) {
        Gpu& gpu = gpus.emplace_back(folder);
        gpu.node = NodeOf(folder.folder);
        cohort_of.push_back(0);
        if (!folder.run) {
            gpu.verdict = folder.missing ? Verdict::Missing : Verdict::Unreadable;
            gpu.cause = folder.problem;
            continue;
        }
        // Neighbouring folders mostly hold the same model: its cohort is not made again.
        const FleetDevice& device = folder.run->device;
        if (last_device != nullptr && device.name == last_device->name && device.sm_count == last_device->sm_count &&
            device.major == last_device->major && device.minor == last_device->minor) {
            gpu.cohort = gpus[last_gpu].cohort;
            cohort_of.back() = cohort_of[last_gpu];
        } else {
            gpu.cohort = CohortOf(device);
            cohort_of.back() = cohort_numbers.try_emplace(gpu.cohort, cohort_numbers.size()).first->second;
        }
        last_device = &device, last_gpu = gpus.size() - 1;
        if (folder.run->status != run_status::kCompleted) std::tie(gpu.verdict, gpu.cause) = UnfinishedRun(*folder.run);
    }
    SortOutReruns(gpus);

    // A GPU counts in its cohort when its run completed and is the one that
    // counts; a row counts when its checks passed.
    const auto judged = [](const Gpu& gpu) { return gpu.folder.run && gpu.verdict == Verdict::Ok; };
    // The row keys of the GPU at hand, into one buffer kept from GPU to GPU.
    std::vector<RowKey> row_keys;
    const auto keys = [&](std::size_t i) {
        const std::vector<FleetRow>& rows = gpus[i].folder.run->rows;
        row_keys.clear();
        for (std::size_t r = 0; r < rows.size(); ++r) {
            int seen = 0;  // a run has a handful of rows
            for (std::size_t before = 0; before < r; ++before)
                seen += rows[before].n == rows[r].n && rows[before].fp16_accumulate == rows[r].fp16_accumulate;
            row_keys.emplace_back(cohort_of[i], rows[r].n, rows[r].fp16_accumulate, seen);
        }
    };
    std::map<RowKey, CohortRow> cohort_rows;
    std::vector<std::size_t> cohort_sizes(cohort_numbers.size());
    for (std::size_t g = 0; g < gpus.size(); ++g) {
        if (!judged(gpus[g])) continue;
        ++cohort_sizes[cohort_of[g]];
        const FleetRun& run = *gpus[g].folder.run;
        keys(g);
        for (std::size_t i = 0; i < run.rows.size(); ++i) {
            const FleetRow& row = run.rows[i];
            if (!(row.validation_passed && row.guards_intact)) continue;
            CohortRow& cohort = cohort_rows[row_keys[i]];
            cohort.medians.push_back(row.median_tflops);
            if (row.sm_clock_mhz > 0) cohort.clocks.push_back(row.sm_clock_mhz);
            if (const double per_clock = PerClock(row); std::isfinite(per_clock))
                cohort.per_clocks.push_back(per_clock);
        }
    }
    for (auto& [key, cohort] : cohort_rows) {
        const bool small = cohort.medians.size() <= kSmallCohort;
        cohort.reference = small ? *std::max_element(cohort.medians.begin(), cohort.medians.end())
                                 : SelectMedian(cohort.medians);
        cohort.mad = MedianAbsoluteDeviation(cohort.medians);
        cohort.clock = SelectMedian(cohort.clocks);
        cohort.per_clock = SelectMedian(cohort.per_clocks);
    }

    for (std::size_t g = 0; g < gpus.size(); ++g) {
        Gpu& gpu = gpus[g];
        if (!gpu.folder.run) continue;
        const FleetRun& run = *gpu.folder.run;
        keys(g);
        gpu.rows.reserve(run.rows.size());
        for (std::size_t i = 0; i < run.rows.size(); ++i) {
            const FleetRow& row = run.rows[i];
            GpuRow& judged_row = gpu.rows.emplace_back();
            judged_row.n = row.n, judged_row.fp16_accumulate = row.fp16_accumulate;
            judged_row.median = row.median_tflops, judged_row.noise_pct = row.noise_pct;
            judged_row.clock_mhz = row.sm_clock_mhz, judged_row.per_clock = PerClock(row);
            if (!judged(gpu)) {
                judged_row.verdict = gpu.verdict;
                judged_row.cause = gpu.cause;
                continue;
            }
            if (!row.validation_passed || !row.guards_intact) {
                judged_row.verdict = Verdict::Fail;
                judged_row.cause = row.guards_intact ? "check failed" : "guards touched";
                continue;
            }
            JudgeRow(judged_row, cohort_rows[row_keys[i]], thresholds, row.clock_reasons, run.board);
        }
        std::sort(gpu.rows.begin(), gpu.rows.end(), Worse);
        if (judged(gpu) && !gpu.rows.empty()) {
            gpu.verdict = gpu.rows.front().verdict;
            gpu.cause = gpu.rows.front().cause;
        }
        // The board's own word: memory that could not remap a row fails the
        // GPU; a pending remap, a slow link or a lowered power limit is worth
        // a look on a GPU that is otherwise fine.
        if (gpu.verdict == Verdict::Superseded || gpu.verdict == Verdict::Duplicate) continue;
        const auto judge_whole = [&](Verdict verdict, const std::string& cause) {
            gpu.verdict = verdict, gpu.cause = cause;
            for (GpuRow& row : gpu.rows)
                if (row.verdict > verdict) row.verdict = verdict, row.cause = cause;
        };
        if (run.board.remap_failure > 0 && !Drains(gpu.verdict))
            judge_whole(Verdict::Fail, "memory: row remapping failed");
        else if (const std::string facts = BoardFacts(run.board);
                 !facts.empty() && (gpu.verdict == Verdict::Ok || gpu.verdict == Verdict::Unstable))
            judge_whole(Verdict::Warn, facts);
    }
    for (const auto& [name, number] : cohort_numbers)
        if (cohort_sizes[number] > 0) screen.cohorts.push_back({name, cohort_sizes[number]});
    // Worst first, by number: a GPU moves once, into its place. The keys are
    // gathered side by side and the GPU's number breaks ties, as a stable
    // sort would, so that sorting does not chase each GPU's rows.
    std::vector<std::tuple<Verdict, double, std::size_t>> ranks(gpus.size());
    for (std::size_t i = 0; i < gpus.size(); ++i)
        ranks[i] = {gpus[i].verdict, gpus[i].rows.empty() ? 0 : SortKey(gpus[i].rows.front().deviation_pct), i};
    std::sort(ranks.begin(), ranks.end());
    std::vector<std::size_t> order(gpus.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = std::get<2>(ranks[i]);
    Reorder(gpus, order);
    screen.gpus = std::move(gpus);
    screen.nodes = NodesOf(screen.gpus);
    return screen;
}

}  // namespace fpbench
