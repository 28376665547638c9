// The report files of a run on disk (their names in report_names.h, their
// contents built in documents.h and html_report.h): WriteReports is the only
// part of the reports that touches the file system.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "bench/records.h"
#include "report/documents.h"
#include "report/report_names.h"

namespace fpbench {


// Rewrites the five files in result.options.report_dir, which must exist,
// result.json last. Each file is written beside its final name and then
// swapped in, so a reader never finds a partly rewritten report where a
// complete one stood; a file that another program holds open is rewritten
// in place instead, or, when that is refused too, left as it is and
// returned as held (it never stops a run). With `last`, a held file is tried
// again for about three seconds, then its final content is written beside
// it, and the page is written once more to name where (beside its own name
// when the page is held). Throws std::runtime_error "Unable to write report
// files: <reason>" when a file cannot be created and "Report write failed:
// <reason>" when writing fails (a full disk), the reason as the C runtime
// gives it; no temporary file is left behind either way. Numbers that are
// not finite are null in the document and empty fields in the tables.
std::vector<HeldReport> WriteReports(const RunResult& result, bool last = false);

// Writes one file beside its final name and swaps it in, as the reports are
// written. Throws std::runtime_error "Unable to write <path>".
void WriteWholeFile(const std::filesystem::path& path, std::string content);

// After a write that failed for want of space: removes the other reports and
// writes result.json alone, with the run's final state. False when even that
// failed; result.json is then removed rather than left stale.
bool WriteDocumentOnly(const RunResult& result);

}  // namespace fpbench
