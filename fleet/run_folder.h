// Run folders read back: a run's result.json, strictly, into the records that
// wrote it, and the run folders under a folder.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bench/records.h"

namespace fpbench {

struct RunFolder {
    std::filesystem::path folder;
    std::optional<RunResult> run;  // absent: the folder is unreadable
    std::string problem;           // why, naming the file and the member
    std::string kernel_source_sha256;
};

// Reads FOLDER/result.json (or the document itself, when given the file).
// Text that is not JSON, a member missing or of another type make the folder
// unreadable. The figures the document does not carry (each row's noise,
// batch time and share of the peak) are worked out again from its trials.
RunFolder ReadRunFolder(const std::filesystem::path& folder_or_document);

// The run folders under each root, searched a few levels deep, in path order:
// a folder holding result.json is a run folder; one holding fleet.csv or
// compare.csv is this program's own output and is passed over; any other
// folder without subfolders is listed as unreadable (a run that never wrote
// its reports). Throws std::runtime_error naming a root that does not exist.
std::vector<RunFolder> FindRunFolders(const std::vector<std::filesystem::path>& roots);

}  // namespace fpbench
