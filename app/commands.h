// The Linux program's commands that read run folders back: compare two runs,
// screen a fleet of GPUs. Each returns its exit code: 0 nothing to report, 2
// something slower, failed or flagged, 1 when it could not do its job (the
// message, naming the file, is in `err`).
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace fpbench {

struct CommandOutput {
    std::string out, err;
};

// compare BASE NEW [--output DIR]
int CompareCommand(const std::vector<std::wstring>& arguments, CommandOutput& output);

// fleet DIR... [--output DIR] [--warn-below PCT] [--fail-below PCT]; without
// --output the reports go to `default_output()`.
int FleetCommand(const std::vector<std::wstring>& arguments,
                 const std::function<std::filesystem::path()>& default_output, CommandOutput& output);

}  // namespace fpbench
