// fleet's figures, described once: fleet.csv (a line per GPU and row), the
// terminal's list of flagged GPUs and the page's tables (a line per GPU, its
// worst row) are all printed from this table.
#pragma once

#include <span>
#include <vector>

#include "fleet/figures.h"
#include "fleet/screen.h"

namespace fpbench {

// A GPU and one of its rows (none for a GPU without rows).
struct FleetLine {
    const Gpu* gpu;
    const GpuRow* row;
};

std::span<const figures::Figure<FleetLine>> FleetFigures();

// Every GPU's rows, worst first; or only each GPU's worst row.
std::vector<FleetLine> FleetLines(const std::vector<Gpu>& gpus, bool every_row);

}  // namespace fpbench
