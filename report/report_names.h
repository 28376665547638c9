// The names of the files a run, compare and fleet write, spelled once.
#pragma once

namespace fpbench::report_name {

inline constexpr const char* kDocument = "result.json";
inline constexpr const char* kSummary = "summary.csv";
inline constexpr const char* kTrials = "trials.csv";
inline constexpr const char* kPage = "report.html";
// Left by a screen's task whose program wrote no document.
inline constexpr const char* kTaskError = "task-error.txt";
inline constexpr const char* kCompareCsv = "compare.csv";
inline constexpr const char* kComparePage = "compare.html";
inline constexpr const char* kFleetCsv = "fleet.csv";
inline constexpr const char* kNodesCsv = "nodes.csv";
inline constexpr const char* kFleetPage = "fleet.html";

}  // namespace fpbench::report_name
