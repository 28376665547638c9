#include "app/report_paths.h"

#include <stdexcept>
#include <system_error>

namespace fpbench {

std::filesystem::path ExecutableDirectory() {
    const auto path = platform::ExecutablePath();
    if (!path) throw std::runtime_error("Cannot find executable path");
    return path->parent_path();
}

std::filesystem::path ReportRootFor(const std::filesystem::path& executable_directory,
                                    std::optional<std::filesystem::path> (*local_app_data)()) {
    const auto primary = executable_directory / "Reports";
    // Usable when files can be made in it or, while it does not exist yet, in
    // the folder that will hold it. Nothing is created here: the first run
    // folder brings it into being, so a refused run leaves nothing behind.
    // A link whose target is gone is not "missing": no folder can be made
    // under its name.
    std::error_code error;
    const bool usable = std::filesystem::is_directory(primary, error)
                            ? platform::IsWritableDirectory(primary)
                            : std::filesystem::symlink_status(primary, error).type() ==
                                      std::filesystem::file_type::not_found &&
                                  platform::IsWritableDirectory(executable_directory);
    if (usable) return primary;
    // The known folder is asked for only when the primary root fails.
    const auto folder = local_app_data();
    if (!folder) throw std::runtime_error("No writable report directory");
    return *folder / "TessmorBench" / "Reports";
}

std::filesystem::path ReportRoot() {
    return ReportRootFor(ExecutableDirectory(), platform::LocalAppDataFolder);
}

std::wstring RunFolderName(const std::string& timestamp) {
    std::wstring name = platform::WideFromUtf8(timestamp);
    for (wchar_t& ch : name)
        if (ch == L':' || ch == L'.') ch = L'-';
    return name;
}

std::filesystem::path RunFolderPath(const std::filesystem::path& root) {
    return root / platform::PathFromWide(RunFolderName(UtcTimestamp()));
}

}  // namespace fpbench
