// "report.html": the run at a glance for a browser, one self-contained page
// (inline CSS and SVG, no script, nothing loaded from anywhere).
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "bench/records.h"
#include "report/report_names.h"

namespace fpbench {

// The whole page for the result as it stands (running, finished or failed),
// with where the final content of each held report went. Outside texts (the
// device's name and UUID, the error) sit in isolated spans, so that none can
// reorder the page's own text.
// `held`: report files another program held at the end, and where their final
// content went.
std::string HtmlReport(const RunResult& result, std::string_view kernel_source_sha256,
                       std::span<const HeldReport> held = {});

}  // namespace fpbench
