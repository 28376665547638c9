// Where run folders live and how they are named.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/utc_timestamp.h"

namespace fpbench {

// Directory of the running program. Throws "Cannot find executable path".
std::filesystem::path ExecutableDirectory();

// "Reports" beside the program where files can be made in it (or, before it
// exists, beside it), else the local application data folder joined with
// "TessmorBench" and "Reports". Neither is created here.
// Throws "No writable report directory" or ExecutableDirectory's error.
std::filesystem::path ReportRoot();
// The same decision for given folders, without asking the system for them.
std::filesystem::path ReportRootFor(const std::filesystem::path& executable_directory,
                                    std::optional<std::filesystem::path> (*local_app_data)());

// root joined with the run folder name of the current UTC time, e.g.
// 2026-12-05T13-29-23-123Z. Touches nothing on disk.
std::filesystem::path RunFolderPath(const std::filesystem::path& root);
std::wstring RunFolderName(const std::string& timestamp);

}  // namespace fpbench
