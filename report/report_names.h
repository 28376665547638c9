// The names of the files a run, compare and fleet write, spelled once.
#pragma once

#include <string>

namespace fpbench::report_name {

inline constexpr const char* kDocument = "result.json";
inline constexpr const char* kSummary = "summary.csv";
inline constexpr const char* kTrials = "trials.csv";
inline constexpr const char* kPage = "report.html";
// Why the GPU ran as it did: NVML's throttle reasons and health readings.
inline constexpr const char* kHealth = "health.json";
// Left by a screen's task whose program wrote no document.
inline constexpr const char* kTaskError = "task-error.txt";
inline constexpr const char* kCompareCsv = "compare.csv";
inline constexpr const char* kComparePage = "compare.html";
inline constexpr const char* kFleetCsv = "fleet.csv";
inline constexpr const char* kNodesCsv = "nodes.csv";
inline constexpr const char* kFleetPage = "fleet.html";

}  // namespace fpbench::report_name

namespace fpbench {

// A report file that another program held open (on Windows, opened without
// sharing writes), so that it could be neither replaced nor rewritten; on the
// last write its final content goes beside it under a free name.
struct HeldReport {
    std::string name;        // "summary.csv"
    std::string written_as;  // "summary-2.csv"; empty before the last write
};

}  // namespace fpbench
