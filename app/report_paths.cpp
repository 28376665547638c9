#include "app/report_paths.h"

#include <stdexcept>
#include <system_error>

#include "app/text.h"

namespace fpbench {

std::filesystem::path ExecutableDirectory() {
    const auto path = platform::ExecutablePath();
    if (!path) throw std::runtime_error("Cannot find executable path");
    return path->parent_path();
}

std::filesystem::path ReportRootFor(const std::filesystem::path& executable_directory,
                                    std::optional<std::filesystem::path> (*local_app_data)()) {
    const auto primary = executable_directory / "Reports";
    std::error_code error;
    std::filesystem::create_directories(primary, error);
    if (!error) return primary;
    // The known folder is asked for only when the primary root fails.
    const auto folder = local_app_data();
    if (!folder) throw std::runtime_error("No writable report directory");
    return *folder / "TessmorBench" / "Reports";
}

std::filesystem::path ReportRoot() {
    return ReportRootFor(ExecutableDirectory(), platform::LocalAppDataFolder);
}

std::wstring RunFolderName(const std::string& timestamp) {
    std::wstring name = WideFromUtf8(timestamp);
    for (wchar_t& ch : name)
        if (ch == L':' || ch == L'.') ch = L'-';
    return name;
}

std::filesystem::path RunFolderPath(const std::filesystem::path& root) {
    return root / platform::PathFromWide(RunFolderName(UtcTimestamp()));
}

}  // namespace fpbench
