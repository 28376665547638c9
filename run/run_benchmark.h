// The one entry into the engine: a whole benchmark run, from the option
// checks to the final reports. Every failure and a stop request end up in
// the returned result; nothing escapes to the caller.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bench/records.h"
#include "report/report_names.h"

namespace fpbench {

// What became of a run's report folder: every report, only result.json (the
// disk was full), or nothing (the folder was removed).
enum class ReportFiles { None, Complete, DocumentOnly };

struct RunReports {
    bool created_folder = false;  // this run created options.report_dir: the reports there are its own
    ReportFiles files = ReportFiles::None;
    // Reports another program held open at the end, and where their final
    // content went.
    std::vector<HeldReport> held;
};

struct FinishedRun {
    RunResult result;
    RunReports reports;
};

// Runs options.sizes in order on options.device and writes the reports into
// options.report_dir, which the run creates. Options that cannot run (limits,
// sizes without a kernel, a device that does not exist) are refused before
// anything is created. stop_requested is only read, at fixed check points; a
// set flag ends the run "cancelled". The callbacks may be empty and run
// synchronously on the calling thread.
FinishedRun RunBenchmark(const RunOptions& options, const std::atomic<bool>& stop_requested,
                         std::function<void(const std::wstring&)> on_status, std::function<void(const Row&)> on_row);

// The deterministic n×n input: half-precision ±1/16 with the sign taken from
// a xorshift sequence started at `seed`. Throws "Cancelled by user" when the
// stop flag is seen set (checked every 2^20 elements).
std::vector<std::uint16_t> MakeHostMatrix(std::int32_t n, std::uint32_t seed, const std::atomic<bool>& stop_requested);

}  // namespace fpbench
