#include "app/commands.h"

#include <stdexcept>

#include "app/command_line.h"
#include "fleet/compare.h"
#include "fleet/run_folder.h"
#include "fleet/screen.h"
#include "platform/platform.h"
#include "report/reports.h"

namespace fpbench {
namespace {

struct Parsed {
    std::vector<std::filesystem::path> folders;
    std::filesystem::path output;
    Thresholds thresholds;
};

// Folders, and the options a command takes: --output, and for fleet the two
// thresholds (positive percentages, warn below fail).
Parsed Parse(const std::vector<std::wstring>& arguments, bool thresholds) {
    Parsed parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        const bool option = argument == L"--output" || (thresholds && (argument == L"--warn-below" || argument == L"--fail-below"));
        if (!option) {
            if (argument.starts_with(L"--")) throw std::runtime_error("Unknown argument: " + platform::Utf8FromWide(argument));
            parsed.folders.push_back(platform::PathFromWide(argument));
            continue;
        }
        if (i + 1 == arguments.size()) throw std::runtime_error("Missing argument");
        const std::wstring& value = arguments[++i];
        if (argument == L"--output") {
            if (value.empty()) throw std::runtime_error("Report directory is required");
            parsed.output = platform::PathFromWide(value);
            continue;
        }
        double& target = argument == L"--warn-below" ? parsed.thresholds.warn_below_pct : parsed.thresholds.fail_below_pct;
        target = ParseDouble(value);
        if (!(target > 0 && target < 100)) throw std::runtime_error(platform::Utf8FromWide(argument) + " takes a percentage above 0 and below 100");
    }
    if (!(parsed.thresholds.warn_below_pct < parsed.thresholds.fail_below_pct))
        throw std::runtime_error("--warn-below must be less than --fail-below");
    return parsed;
}

// Writes the reports, creating the folder; a folder that cannot take them is
// the command's failure.
void WriteOut(const std::filesystem::path& folder, const std::vector<std::pair<const char*, std::string>>& files) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) throw std::runtime_error(folder.string() + ": " + error.message());
    for (const auto& [name, content] : files) WriteWholeFile(folder / name, content);
}

template <typename Command>
int Run(CommandOutput& output, Command command) {
    try {
        return command();
    } catch (const std::exception& error) {
        output.err += std::string(error.what()) + "\n";
        return 1;
    }
}

}  // namespace

int CompareCommand(const std::vector<std::wstring>& arguments, CommandOutput& output) {
    return Run(output, [&] {
        const Parsed parsed = Parse(arguments, false);
        if (parsed.folders.size() != 2) throw std::runtime_error("compare takes two run folders: BASE NEW");
        const RunFolder base = ReadRunFolder(parsed.folders[0]), newer = ReadRunFolder(parsed.folders[1]);
        for (const RunFolder* folder : {&base, &newer})
            if (!folder->run) throw std::runtime_error(folder->problem);
        const Comparison comparison = CompareRuns(base, newer);
        output.out += CompareText(comparison);
        if (!parsed.output.empty()) {
            WriteOut(parsed.output, {{"compare.csv", CompareCsv(comparison)}, {"compare.html", CompareHtml(comparison)}});
            output.out += "page: " + (parsed.output / "compare.html").string() + "\n";
        }
        return comparison.Regressed() ? 2 : 0;
    });
}

int FleetCommand(const std::vector<std::wstring>& arguments,
                 const std::function<std::filesystem::path()>& default_output, CommandOutput& output) {
    return Run(output, [&] {
        const Parsed parsed = Parse(arguments, true);
        if (parsed.folders.empty()) throw std::runtime_error("fleet takes one or more folders of runs");
        const FleetScreen screen = ScreenFleet(FindRunFolders(parsed.folders), parsed.thresholds);
        const std::filesystem::path folder = parsed.output.empty() ? default_output() : parsed.output;
        WriteOut(folder, {{"fleet.csv", FleetCsv(screen)}, {"fleet.html", FleetHtml(screen)}});
        output.out += FleetSummary(screen, folder / "fleet.html");
        return screen.Flagged() ? 2 : 0;
    });
}

}  // namespace fpbench
