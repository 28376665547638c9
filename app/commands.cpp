#include "app/commands.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "app/command_line.h"
#include "fleet/compare.h"
#include "fleet/run_folder.h"
#include "fleet/screen.h"
#include "fleet/verdicts.h"
#include "platform/platform.h"
#include "report/report_names.h"
#include "report/reports.h"

namespace fpbench {
namespace {

// The command's folders, output and, for fleet, thresholds (positive
// percentages, warn below fail), from the one command-line parser.
struct Parsed {
    std::vector<std::filesystem::path> folders;
    std::filesystem::path output;
    Thresholds thresholds;
};

Parsed Parse(const std::vector<std::wstring>& arguments, Command command) {
    const ParsedCommandLine line = ParseCommandLine(arguments, command);
    Parsed parsed{line.folders, line.options.report_dir, {}};
    parsed.thresholds.warn_below_pct = line.warn_below_pct.value_or(parsed.thresholds.warn_below_pct);
    parsed.thresholds.fail_below_pct = line.fail_below_pct.value_or(parsed.thresholds.fail_below_pct);
    if (!(parsed.thresholds.warn_below_pct < parsed.thresholds.fail_below_pct))
        throw std::runtime_error("--warn-below must be less than --fail-below");
    return parsed;
}

// An output folder must be new (its files would mix with an earlier
// command's) and outside every input: inside one, the next screen of that
// input would read it back.
void CheckOutput(const std::filesystem::path& output, const std::vector<std::filesystem::path>& inputs) {
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(output, error)))
        throw std::runtime_error(output.string() + " exists already; choose a new folder for the output");
    const std::filesystem::path target = std::filesystem::weakly_canonical(std::filesystem::absolute(output), error);
    for (const std::filesystem::path& input : inputs) {
        std::filesystem::path root = std::filesystem::weakly_canonical(std::filesystem::absolute(input), error);
        if (std::filesystem::is_regular_file(root, error)) root = root.parent_path();
        const auto [end, at] = std::mismatch(root.begin(), root.end(), target.begin(), target.end());
        if (end == root.end())
            throw std::runtime_error(output.string() + " is inside the input " + input.string() +
                                     "; choose an output folder outside it");
    }
}

// Writes the reports, creating the folder; a folder that cannot take them is
// the command's failure.
void WriteOut(const std::filesystem::path& folder, const std::vector<std::pair<const char*, std::string>>& files) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) throw std::runtime_error(folder.string() + ": " + error.message());
    for (const auto& [name, content] : files) WriteWholeFile(folder / name, content);
}

// A file too large to hold in memory at once (a large fleet's fleet.csv),
// written as it is made straight into the command's new folder.
void WriteStreamed(const std::filesystem::path& path, const std::function<void(std::ostream&)>& write) {
    std::ofstream out(path, std::ios::binary);
    if (out) write(out);
    out.close();
    if (!out) throw std::runtime_error("Unable to write " + path.string());
}

template <typename Command>
int Run(CommandOutput& output, Command command) {
    try {
        return command();
    } catch (const std::exception& error) {
        output.err += std::string(error.what()) + "\n";
        return exit_code::kFailed;
    }
}

}  // namespace

int CompareCommand(const std::vector<std::wstring>& arguments, CommandOutput& output) {
    return Run(output, [&] {
        const Parsed parsed = Parse(arguments, Command::Compare);
        if (parsed.folders.size() != 2) throw std::runtime_error("compare takes two run folders: BASE NEW");
        if (!parsed.output.empty()) CheckOutput(parsed.output, parsed.folders);
        const RunFolder base = ReadRunFolder(parsed.folders[0]), newer = ReadRunFolder(parsed.folders[1]);
        for (const RunFolder* folder : {&base, &newer})
            if (!folder->run) throw std::runtime_error(folder->problem);
        const Comparison comparison = CompareRuns(base, newer);
        output.out += CompareText(comparison);
        if (!parsed.output.empty()) {
            WriteOut(parsed.output, {{report_name::kCompareCsv, CompareCsv(comparison)},
                                     {report_name::kComparePage, CompareHtml(comparison)}});
            output.out += "page: " + (parsed.output / report_name::kComparePage).string() + "\n";
        }
        return comparison.Regressed() ? exit_code::kFlagged : exit_code::kClean;
    });
}

int FleetCommand(const std::vector<std::wstring>& arguments,
                 const std::function<std::filesystem::path()>& default_output, CommandOutput& output) {
    return Run(output, [&] {
        const Parsed parsed = Parse(arguments, Command::Fleet);
        if (parsed.folders.empty()) throw std::runtime_error("fleet takes one or more folders of runs");
        const std::filesystem::path folder = parsed.output.empty() ? default_output() : parsed.output;
        CheckOutput(folder, parsed.folders);
        const FleetScreen screen = ScreenFleet(FindFleetFolders(parsed.folders), parsed.thresholds);
        WriteOut(folder, {});
        WriteStreamed(folder / report_name::kFleetCsv, [&](std::ostream& out) { WriteFleetCsv(screen, out); });
        std::vector<std::pair<const char*, std::string>> files{{report_name::kFleetPage, FleetHtml(screen)}};
        if (!screen.nodes.empty()) files.emplace_back(report_name::kNodesCsv, NodesCsv(screen));
        WriteOut(folder, files);
        output.out += FleetSummary(screen, folder / report_name::kFleetPage);
        return screen.Flagged() ? exit_code::kFlagged : exit_code::kClean;
    });
}

}  // namespace fpbench
