// Run folders read back: a run's result document, strictly, into the records
// that wrote it, and the run folders under a folder.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "bench/records.h"

namespace fpbench {

// How many of a row's trials the driver held the clock back in, per reason
// in kClockReasons' order; a trial without a reading counts in none.
using ClockReasonTally = std::array<std::uint16_t, std::size(kClockReasons)>;

struct RunFolder {
    std::filesystem::path folder;
    std::optional<RunResult> run;  // absent: the folder is unreadable, or missing
    std::string problem;           // why, naming the file and the member
    std::string kernel_source_sha256;
    // An expected run folder (expected.txt) that does not exist: its task
    // never ran.
    bool missing = false;
};

// Of a run, what judging a fleet reads, so that a hundred thousand runs fit in
// memory: the trials are let go once each row's clock reasons are tallied.
struct FleetRow {
    double median_tflops = 0.0;
    double noise_pct = -1.0;
    double per_clock = -1.0;
    std::int32_t n = 0;
    std::int32_t sm_clock_mhz = -1;
    bool fp16_accumulate = true;
    bool validation_passed = false;
    bool guards_intact = false;
    ClockReasonTally clock_reasons{};
};

struct FleetDevice {
    std::string name;
    std::string uuid;
    std::int32_t sm_count = 0;
    std::int32_t major = 0;
    std::int32_t minor = 0;
};

struct FleetRun {
    FleetDevice device;
    std::string status;
    std::string error;
    std::string started_utc;
    std::string finished_utc;
    std::vector<FleetRow> rows;
    NvmlBoard board;
};

struct FleetFolder {
    std::filesystem::path folder;
    std::optional<FleetRun> run;  // absent: the folder is unreadable, or missing
    std::string problem;
    bool missing = false;
};

// A run folder as a fleet keeps it: its texts moved, its trials tallied.
FleetFolder FleetFolderOf(RunFolder folder);

// Reads a run folder's newest finished document (result.json, or the
// result-N.json its final state went to when another program held
// result.json), or the document itself when given the file. Text that is not
// JSON, a member missing or of another type, a time stamp that is not one, and
// a figure that is not finite and positive or lies above what the document's
// GPU can reach make the folder unreadable, the member named. The figures the
// document does not carry (each row's noise, batch time and share of the
// peak) are worked out again from its trials. Only regular files are opened.
RunFolder ReadRunFolder(const std::filesystem::path& folder_or_document);

// The run folders under each root, at any depth, each folder visited once
// however many links lead to it, in path order: a folder holding result.json
// is a run folder; one holding fleet.csv or compare.csv and no subfolder is
// this program's own output and is passed over; any other folder without
// subfolders is listed as unreadable (a run that never wrote its reports). An
// expected.txt in a folder lists the run folders expected below it, one
// relative path per line (`#` begins a comment line): one that does not exist
// is listed as missing. Throws std::runtime_error naming a root that does not
// exist or an expected.txt line that is not a relative path inside its folder.
std::vector<RunFolder> FindRunFolders(const std::vector<std::filesystem::path>& roots);
// The same folders, each run as FleetFolderOf leaves it as soon as it is read.
std::vector<FleetFolder> FindFleetFolders(const std::vector<std::filesystem::path>& roots);

// The name of the file that lists a screen's expected run folders.
inline constexpr const char* kExpectedList = "expected.txt";

}  // namespace fpbench
