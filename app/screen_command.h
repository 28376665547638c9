// The Linux program's screen of this machine: the headless benchmark on every
// supported GPU at the same time, one child process per GPU, so that a shared
// power supply or cooling shows, then every GPU judged with fleet's rules.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/commands.h"

namespace fpbench {

// screen [--devices LIST] [--one-at-a-time] [--output DIR] [run options]:
// each GPU's run in DIR/gpu<i>, then fleet.csv, nodes.csv and fleet.html in
// DIR (default: `default_output()`). Progress goes straight to stderr; the
// verdicts and the page into `output.out`, an error into `output.err`. Exit
// code 0 every GPU ok, 2 anything flagged, 1 it could not do its job.
int ScreenCommand(const std::vector<std::wstring>& arguments,
                  const std::function<std::filesystem::path()>& default_output, CommandOutput& output);

}  // namespace fpbench
