// The Linux program: the headless benchmark (every start is headless, there
// is no window here), a device listing, the usage and the version. What the
// Windows program shows in its error box goes to stderr as one line; a run
// reports its progress, its rows and where its reports are on stderr.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/command_line.h"
#include "app/commands.h"
#include "app/entry.h"
#include "app/report_paths.h"
#include "app/screen_command.h"
#include "bench/kernel_catalogue.h"
#include "bench/limits.h"
#include "fleet/thresholds.h"
#include "bench/number_format.h"
#include "bench/statistics.h"
#include "gpu/devices.h"
#include "report/display.h"
#include "report/text_format.h"

namespace {

// The usage, its ranges and defaults taken from the limits the run enforces.
std::string Usage() {
    using fpbench::Command;
    using fpbench::OptionsUsage;
    const auto number = [](double value) { return fpbench::FormatGeneral(value, 6); };
    return "Usage: tessmor-bench [--headless] [--sizes N,...] [--trials K] [--sample-ms MS]\n"
           "                     [--warmup-seconds S] [--device I] [--output DIR]\n"
           "       tessmor-bench compare BASE NEW [--output DIR]\n"
           "       tessmor-bench fleet DIR... [--output DIR] [--warn-below PCT] [--fail-below PCT]\n"
           "       tessmor-bench screen [--devices LIST] [--one-at-a-time] [--output DIR] [run options]\n"
           "       tessmor-bench --list-devices | --help | --version\n"
           "\n"
           "Times one dense FP16 matrix multiplication C = A*B (N x N, 2*N^3 operations) on the\n"
           "tensor cores of an NVIDIA GPU, once with FP16 and once with FP32 accumulation, checks\n"
           "the results, and reports TFLOPS, SM clock, power and temperature. Needs the NVIDIA\n"
           "driver (libcuda.so.1; libnvidia-ml.so.1 for the telemetry) and compute capability 8.6\n"
           "or newer. Progress, a closing table and the report folder are written to stderr.\n"
           "\n"
           "Options of a run (each value is the next argument, a decimal number where one is asked for):\n" +
           OptionsUsage(Command::Run) +
           "  --list-devices       list the GPUs and whether they are supported\n"
           "  --help, --version    this text; the program's version and kernel source digest\n"
           "\n"
           "The report folder holds result.json, summary.csv, trials.csv and report.html (open it\n"
           "in a browser), rewritten after every finished size and complete at the end.\n"
           "\n"
           "SIGINT, SIGTERM or SIGHUP stop the run after its current batch, with complete reports;\n"
           "a second signal ends the program at once.\n"
           "\n"
           "compare reads two run folders (or their result.json) and judges each size and\n"
           "accumulator: slower or faster when the medians differ by at least " +
           number(fpbench::judging::kSameWithinPct) + " % and a Mann-Whitney\n"
           "test of the trials gives p < " + number(fpbench::judging::kSignificance) +
           ", same below " + number(fpbench::judging::kSameWithinPct) +
           " %, unclear otherwise; --output writes compare.csv\n"
           "and compare.html.\n" +
           OptionsUsage(Command::Compare) +
           "fleet reads every run folder under the folders given and compares each GPU with the\n"
           "GPUs of its model (its median; its fastest GPU in a cohort of two or three): fail at\n"
           "least --fail-below % (default " + number(fpbench::judging::kFailBelowPct) +
           ") below, warn at least --warn-below % (default " + number(fpbench::judging::kWarnBelowPct) + "),\n"
           "unstable when its own trials spread more than " + number(fpbench::judging::kUnstableNoisePct) +
           " %, alone without another GPU of its model;\n"
           "a run that failed on evidence against its GPU fails it, one that was stopped or killed\n"
           "is incomplete; expected.txt lists the folders a screen expects (missing when absent).\n"
           "It writes fleet.csv, fleet.html and, for folders laid out as <node>/gpu<i>, nodes.csv.\n" +
           OptionsUsage(Command::Fleet) +
           "screen runs the benchmark on every supported GPU of this machine at the same time, one\n"
           "process per GPU into DIR/gpu<i>, so that a shared power supply or cooling shows, then\n"
           "judges them as fleet does and writes fleet.csv, nodes.csv and fleet.html into DIR.\n"
           "A signal stops every GPU after its current batch; a second one ends them at once.\n" +
           OptionsUsage(Command::Screen) +
           "\n"
           "Exit codes: 0 the run completed and its results passed the checks, or an information\n"
           "option succeeded, or compare, fleet and screen found nothing to report; 1 the arguments\n"
           "were wrong, the run failed or was stopped, or compare, fleet or screen could not do its\n"
           "job; 2 compare found a slower or failed row, or fleet or screen flagged a GPU.\n";
}

// Progress and results go to stderr. When nobody reads it any more (the end
// of a closed pipe: SIGPIPE is ignored), the printing stops, not the run.
class Terminal {
public:
    void Line(const std::string& text) {
        if (closed_) return;
        const std::string line = text + '\n';
        if (std::fwrite(line.data(), 1, line.size(), stderr) != line.size() || std::fflush(stderr) != 0) closed_ = true;
    }

private:
    bool closed_ = false;
};

// stdout may be a full disk or a closed pipe; saying nothing then would look
// like success.
int WriteOut(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return fpbench::exit_code::kClean;
    fpbench::platform::ShowErrorBox(L"Unable to write to standard output");
    return fpbench::exit_code::kFailed;
}

// Names come from the driver: shown escaped, so that none can forge a line.
int ListDevices() {
    std::string listing;
    try {
        for (const auto& device : fpbench::EnumerateDevices()) {
            listing += std::to_string(device.ordinal) + ": " + fpbench::TerminalText(device.name) + " | " +
                       fpbench::TerminalText(device.uuid) + " | " + std::to_string(device.sm_count) +
                       " SMs | compute capability " + std::to_string(device.major) + "." +
                       std::to_string(device.minor) + " | " +
                       (fpbench::IsSupportedDevice(device) ? "supported" : "not supported (needs 8.6 or newer)") + "\n";
        }
    } catch (const std::exception& error) {
        fpbench::platform::ShowErrorBox(fpbench::platform::WideFromUtf8(error.what()));
        return fpbench::exit_code::kFailed;
    }
    if (listing.empty()) {
        fpbench::platform::ShowErrorBox(L"No CUDA device found");
        return fpbench::exit_code::kFailed;
    }
    return WriteOut(listing);
}

void PrintResult(Terminal& terminal, const fpbench::FinishedRun& finished) {
    using fpbench::TerminalText;
    const fpbench::RunResult& result = finished.result;
    if (!result.rows.empty()) {
        std::string table = fpbench::TerminalTable(result.rows);
        table.pop_back();
        terminal.Line(table);
    }
    for (const std::string& note : fpbench::BatchCapNotes(result)) terminal.Line(note);
    const fpbench::ClockDrop& drop = result.clock_drop;
    if (drop.low_trials > 0)
        terminal.Line("SM clock below " + fpbench::FormatGeneral(fpbench::limits::kLowClockShare * 100, 6) +
                      " % of its peak in " + std::to_string(drop.low_trials) + " of " + std::to_string(drop.trials) +
                      " trials: the GPU may have throttled");
    for (const std::string& note : fpbench::HealthNotes(result)) terminal.Line(note);
    terminal.Line("status: " + result.status + (result.error.empty() ? "" : " (" + TerminalText(result.error) + ")"));
    // Only a folder this run made holds its reports; one that existed
    // already belongs to an earlier run. The path is printed as its bytes.
    const std::string folder = result.options.report_dir.native();
    switch (finished.reports.files) {
        case fpbench::ReportFiles::Complete:
            terminal.Line("reports: " + folder);
            terminal.Line("page: " + (result.options.report_dir / fpbench::report_name::kPage).native());
            break;
        case fpbench::ReportFiles::DocumentOnly:
            terminal.Line("reports incomplete: only result.json could be written, in " + folder);
            break;
        case fpbench::ReportFiles::None:
            if (finished.reports.created_folder) terminal.Line("reports incomplete: nothing could be written into " + folder);
            break;
    }
    for (const fpbench::HeldReport& held : finished.reports.held)
        terminal.Line("held by another program: " + held.name + "; its final content is in " +
                      (result.options.report_dir / held.written_as).native());
}

}  // namespace

// compare, fleet and screen: what they found on stdout, their errors on stderr
// (screen's progress goes there as it comes). fleet and screen make a new
// folder under the report root unless told where.
int RunCommand(const std::vector<std::wstring>& arguments) {
    fpbench::CommandOutput output;
    const std::wstring& command = arguments.front();
    const std::vector<std::wstring> rest(arguments.begin() + 1, arguments.end());
    const auto new_folder = [&command] {
        const std::wstring name = command + L"-" + fpbench::RunFolderName(fpbench::UtcTimestamp());
        return fpbench::ReportRoot() / fpbench::platform::PathFromWide(name);
    };
    const int code = command == L"compare" ? fpbench::CompareCommand(rest, output)
                     : command == L"fleet" ? fpbench::FleetCommand(rest, new_folder, output)
                                           : fpbench::ScreenCommand(rest, new_folder, output);
    std::fwrite(output.err.data(), 1, output.err.size(), stderr);
    const int written = WriteOut(output.out);
    return code != fpbench::exit_code::kClean ? code : written;
}

int main() {
    const auto arguments = fpbench::platform::CommandLineArguments();
    if (arguments && !arguments->empty() &&
        (arguments->front() == L"compare" || arguments->front() == L"fleet" || arguments->front() == L"screen"))
        return RunCommand(*arguments);
    if (arguments && arguments->size() == 1) {
        const std::wstring& only = arguments->front();
        if (only == L"--list-devices") return ListDevices();
        if (only == L"--help") return WriteOut(Usage());
        if (only == L"--version")
            return WriteOut(std::string(fpbench::kProgramVersion) + "\nkernel source SHA-256 " +
                            fpbench::KernelSourceSha256 + "\n");
    }

    Terminal terminal;
    fpbench::EntryRoads roads;  // no window: every start is headless
    roads.headless_progress.on_status = [&](const std::wstring& text) {
        terminal.Line(fpbench::platform::Utf8FromWide(text));
    };
    roads.headless_finished = [&](const fpbench::FinishedRun& finished) { PrintResult(terminal, finished); };
    roads.headless_stop = &fpbench::platform::StopOnSignals();
    return fpbench::RunEntry(arguments, roads);
}
