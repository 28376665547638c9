// The process entry shared by both programs: parse the command line, run
// the headless benchmark or the window, and turn any escaping error into the
// error box and exit code 1.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bench/records.h"
#include "run/run_benchmark.h"

namespace fpbench {

struct EntryRoads {
    // The window mode, given the parsed options; returns the exit code.
    // Empty where there is no window (Linux): every start is headless.
    std::function<int(const RunOptions&)> window;
    // Progress of a headless run (the Linux program prints it; empty on Windows).
    ProgressSink headless_progress;
    // Called with the finished headless run before the exit code is returned.
    std::function<void(const FinishedRun&)> headless_finished;
    // The stop request of a headless run (Linux: a signal); none when null.
    const std::atomic<bool>* headless_stop = nullptr;
};

// The options of a headless run: without --output, a new run folder named
// after the time under the report root, taking the next free name ("-2",
// "-3", ...) when another run started in the same millisecond.
RunOptions HeadlessOptions(RunOptions options, const std::function<std::filesystem::path()>& report_root);

// `arguments` are those after the program path; nullopt when the command
// line could not be split (exit code 1, nothing shown).
int RunEntry(const std::optional<std::vector<std::wstring>>& arguments, const EntryRoads& roads);

}  // namespace fpbench
