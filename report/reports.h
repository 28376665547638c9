// The report files of a run: "result.json", "summary.csv", "trials.csv" and
// the page "report.html". Building their contents is pure (record in, bytes
// out); WriteReports is the only part that touches the file system.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "bench/records.h"

namespace fpbench {

// The whole content of each file.
std::string ResultDocument(const RunResult& result, std::string_view kernel_source_sha256);
std::string SummaryTable(const std::vector<Row>& rows);
std::string TrialTable(const std::vector<TrialRecord>& trials);

// Rewrites the four files in result.options.report_dir, which must exist,
// result.json last. Each file is written beside its final name and then
// swapped in, so a reader never finds a partly rewritten report where a
// complete one stood; a file that another program holds open is rewritten
// in place instead. Throws std::runtime_error "Unable to write report files"
// when a file cannot be created and "Report write failed" when writing or
// replacing fails; no temporary file is left behind either way. Numbers that
// are not finite are null in the document and empty fields in the tables.
void WriteReports(const RunResult& result);

}  // namespace fpbench
