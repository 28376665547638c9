#include "app/entry.h"

#include <exception>

#include "app/command_line.h"
#include "app/report_paths.h"
#include "run/run_benchmark.h"

namespace fpbench {

RunOptions HeadlessOptions(RunOptions options, const std::function<std::filesystem::path()>& report_root) {
    if (options.report_dir.empty()) {
        options.report_dir = RunFolderPath(report_root());
        options.unique_report_dir = true;
    }
    return options;
}

int RunEntry(const std::optional<std::vector<std::wstring>>& arguments, const EntryRoads& roads) {
    if (!arguments) return exit_code::kFailed;
    try {
        ParsedCommandLine parsed = ParseCommandLine(*arguments);
        if (!parsed.headless && roads.window) return roads.window(parsed.options);
        const RunOptions options = HeadlessOptions(parsed.options, [] { return ReportRoot(); });
        const std::atomic<bool> never_stopped{false};
        const FinishedRun finished =
            RunBenchmark(options, roads.headless_stop ? *roads.headless_stop : never_stopped,
                         roads.headless_progress.on_status, roads.headless_progress.on_row);
        if (roads.headless_finished) roads.headless_finished(finished);
        return finished.result.status == run_status::kCompleted ? exit_code::kClean : exit_code::kFailed;
    } catch (const std::exception& error) {
        platform::ShowErrorBox(platform::WideFromUtf8(error.what()));
        return exit_code::kFailed;
    }
}

}  // namespace fpbench
