#include "app/screen_command.h"

#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "app/command_line.h"
#include "bench/number_format.h"
#include "bench/run_steps.h"
#include "fleet/run_folder.h"
#include "fleet/screen.h"
#include "gpu/devices.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "report/report_names.h"
#include "report/reports.h"
#include "report/text_format.h"

namespace fpbench {
namespace {

namespace fs = std::filesystem;

// One GPU of the screen and what its child has told so far.
struct Screened {
    DeviceInfo device;
    fs::path folder;
    std::string output;   // everything the child printed, for the evidence
    std::size_t shown = 0;  // how much of `output` has been read as lines
    std::string status;   // its latest progress line
    std::string row;      // its latest finished row, from its result.json
    std::size_t rows = 0;   // rows shown
    fs::file_time_type document_time{};

    std::string Name() const { return "gpu" + std::to_string(device.ordinal); }
};

// The GPUs asked for, in ordinal order: every one, or those listed by
// ordinal or UUID (a unique beginning of one, as CUDA_VISIBLE_DEVICES takes).
std::vector<DeviceInfo> Choose(const std::vector<DeviceInfo>& devices, const std::wstring& list) {
    if (list.empty()) return devices;
    std::vector<bool> chosen(devices.size());
    std::size_t from = 0;
    for (std::size_t to; from <= list.size(); from = to + 1) {
        to = std::min(list.find(L',', from), list.size());
        const std::string entry = platform::Utf8FromWide(list.substr(from, to - from));
        std::size_t found = devices.size(), matches = 0;
        for (std::size_t i = 0; i < devices.size(); ++i) {
            const bool ordinal = !entry.empty() && entry.find_first_not_of("0123456789") == std::string::npos &&
                                 entry == std::to_string(devices[i].ordinal);
            if (ordinal || (entry.starts_with("GPU-") && devices[i].uuid.starts_with(entry))) found = i, ++matches;
        }
        if (matches != 1)
            throw std::runtime_error("--devices: " + TerminalText(entry) + (matches == 0 ? " is no GPU of this machine" : " names more than one GPU") +
                                     " (--list-devices shows them)");
        chosen[found] = true;
    }
    std::vector<DeviceInfo> picked;
    for (std::size_t i = 0; i < devices.size(); ++i)
        if (chosen[i]) picked.push_back(devices[i]);
    return picked;
}

// The run options as given, for every child; the device and the folder are
// the screen's to set.
std::vector<std::string> RunArguments(const std::vector<std::wstring>& arguments) {
    std::vector<std::string> forwarded;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == L"--one-at-a-time") continue;
        if (arguments[i] == L"--devices" || arguments[i] == L"--output") {
            ++i;
            continue;
        }
        forwarded.push_back(platform::PathFromWide(arguments[i]).native());
    }
    return forwarded;
}

// Progress on stderr. On a terminal one line per GPU, redrawn in place;
// otherwise every line of every child, named by its GPU, and its rows.
class Progress {
public:
    explicit Progress(const std::vector<Screened>& gpus) : gpus_(gpus), columns_(platform::TerminalColumns()) {}

    void Line(const std::string& text) {
        Clear();
        Write(text + "\n");
        Draw();
    }
    void ChildLine(const Screened& gpu, const std::string& line) {
        if (columns_ == 0) Write(gpu.Name() + ": " + line + "\n");
        Draw();
    }
    void Row(const Screened& gpu) {
        if (columns_ == 0) Write(gpu.Name() + ": " + gpu.row + "\n");
        Draw();
    }

private:
    void Write(const std::string& text) {
        if (!closed_ && (std::fwrite(text.data(), 1, text.size(), stderr) != text.size() || std::fflush(stderr) != 0))
            closed_ = true;
    }
    // Code points, so that no line wraps and the redraw stays in place.
    std::string Cut(const std::string& text) const {
        std::size_t points = 0, at = 0;
        for (; at < text.size(); ++at)
            if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 && ++points == static_cast<std::size_t>(columns_))
                break;
        return text.substr(0, at);
    }
    void Draw() {
        if (columns_ == 0) return;
        std::string frame;
        for (const Screened& gpu : gpus_)
            frame += "\x1b[2K" + Cut(gpu.Name() + "  " + gpu.status + (gpu.row.empty() ? "" : "  |  " + gpu.row)) + "\n";
        if (drawn_ && frame == frame_) return;
        Write((drawn_ ? "\x1b[" + std::to_string(gpus_.size()) + "F" : "") + frame);
        frame_ = std::move(frame);
        drawn_ = true;
    }
    void Clear() {
        if (columns_ == 0 || !drawn_) return;
        Write("\x1b[" + std::to_string(gpus_.size()) + "F\x1b[J");
        drawn_ = false;
    }

    const std::vector<Screened>& gpus_;
    int columns_;
    std::string frame_;  // what the terminal shows
    bool drawn_ = false, closed_ = false;
};

// The progress texts carry a Chinese label before " / "; the live line keeps
// the English one.
std::string StatusOf(const std::string& line) {
    if (line.starts_with("status: ")) return line;
    const std::size_t label = line.find(" / ");
    return label != std::string::npos && line.find(": ", label) != std::string::npos ? line.substr(label + 3) : "";
}

// The child's rows finished since the last look (size and accumulator,
// median TFLOPS, SM clock, temperature), read back from its result.json,
// which it rewrites after every row: its own status lines carry no figures.
// Its last look, when it has ended, does not trust the time stamp's grain.
void ReadRows(Screened& gpu, Progress& progress, bool ended = false) {
    std::error_code error;
    const fs::file_time_type time = fs::last_write_time(gpu.folder / report_name::kDocument, error);
    if (error || (time == gpu.document_time && !ended)) return;
    gpu.document_time = time;
    const RunFolder folder = ReadRunFolder(gpu.folder);
    for (; folder.run && gpu.rows < folder.run->rows.size(); ++gpu.rows) {
        const fpbench::Row& row = folder.run->rows[gpu.rows];
        gpu.row = std::to_string(row.n) + " " + Accumulator(row.fp16_accumulate).label + " " +
                  FormatDecimals(row.median_tflops, 2) + " TFLOPS, " + std::to_string(row.sm_clock_mhz) + " MHz, " +
                  std::to_string(row.temperature_c) + " \u00b0C";
        progress.Row(gpu);
    }
}

// A child that left no result.json, or was killed, leaves its reason and its
// output, as a Slurm task does: the GPU is then unreadable with a cause, not
// missing, or incomplete with the signal that ended it.
std::string Evidence(Screened& gpu, const platform::ChildEvent& end) {
    std::error_code error;
    const bool document = fs::exists(gpu.folder / report_name::kDocument, error);
    if (document && end.signal == 0) return "";
    const std::string how = end.signal != 0 ? "killed by signal " + std::to_string(end.signal)
                                            : "exit status " + std::to_string(end.exit_status);
    const std::string why = document ? "tessmor-bench was " + how + " before its run ended"
                                     : "tessmor-bench left no result.json (" + how + ")";
    fs::create_directories(gpu.folder, error);
    WriteWholeFile(gpu.folder / report_name::kTaskError, why + "\n--- its output:\n" + gpu.output);
    return why;
}

}  // namespace

int ScreenCommand(const std::vector<std::wstring>& arguments,
                  const std::function<fs::path()>& default_output, CommandOutput& output) {
    try {
        // First, before the driver starts threads that would take a signal.
        platform::Children children;
        const ParsedCommandLine line = ParseCommandLine(arguments, Command::Screen);
        if (!line.folders.empty())
            throw std::runtime_error("Unknown argument: " + line.folders.front().string());
        const fs::path folder = line.options.report_dir.empty() ? default_output() : line.options.report_dir;
        RunOptions options = line.options;
        options.report_dir = folder;
        CheckRunOptions(options);
        const std::vector<DeviceInfo> devices = EnumerateDevices();
        if (devices.empty()) throw std::runtime_error("No CUDA device found");

        std::vector<Screened> gpus;
        std::vector<std::string> skipped;
        for (const DeviceInfo& device : Choose(devices, line.devices)) {
            if (IsSupportedDevice(device)) {
                gpus.emplace_back().device = device;
                gpus.back().folder = folder / gpus.back().Name();
            } else {
                skipped.push_back("gpu" + std::to_string(device.ordinal) + ": " + TerminalText(device.name) +
                                  " is not supported (needs 8.6 or newer); skipped");
            }
        }
        if (gpus.empty()) throw std::runtime_error("No supported GPU to screen");
        std::error_code error;
        if (fs::exists(fs::symlink_status(folder, error)))
            throw std::runtime_error(folder.string() + " exists already; choose a new folder for the screen");
        fs::create_directories(folder, error);
        if (error) throw std::runtime_error(folder.string() + ": " + error.message());
        // Before any child starts: one that never runs is then missing.
        std::string expected = "# The run folders of this screen, one per GPU; tessmor-bench fleet counts a GPU whose "
                               "folder is absent as missing.\n";
        for (const Screened& gpu : gpus) expected += gpu.Name() + "\n";
        WriteWholeFile(folder / kExpectedList, expected);

        Progress progress(gpus);
        for (const std::string& text : skipped) progress.Line(text);
        const std::vector<std::string> run_arguments = RunArguments(arguments);
        std::size_t started = 0;
        const auto start = [&] {
            Screened& gpu = gpus[started++];
            std::vector<std::string> child{"--device", std::to_string(gpu.device.ordinal), "--output", gpu.folder.native()};
            child.insert(child.end(), run_arguments.begin(), run_arguments.end());
            children.Start("/proc/self/exe", child);
            gpu.status = "started";
        };
        while (started < (line.one_at_a_time ? 1 : gpus.size())) start();
        for (int stops = 0; children.Running() > 0;) {
            const platform::ChildEvent event = children.Next();
            Screened& gpu = gpus[event.child];
            switch (event.kind) {
                case platform::ChildEvent::Kind::Output:
                    gpu.output += event.text;
                    for (std::size_t end; (end = gpu.output.find('\n', gpu.shown)) != std::string::npos;) {
                        const std::string text = gpu.output.substr(gpu.shown, end - gpu.shown);
                        gpu.shown = end + 1;
                        if (const std::string status = StatusOf(text); !status.empty()) gpu.status = status;
                        progress.ChildLine(gpu, text);
                        ReadRows(gpu, progress);
                    }
                    break;
                case platform::ChildEvent::Kind::Ended:
                    ReadRows(gpu, progress, true);
                    if (const std::string why = Evidence(gpu, event); !why.empty()) {
                        gpu.status = why;
                        progress.Line(gpu.Name() + ": " + why + "; its output is in " +
                                      (gpu.folder / report_name::kTaskError).native());
                    }
                    if (stops == 0 && started < gpus.size()) start();
                    break;
                case platform::ChildEvent::Kind::StopSignal:
                    if (++stops > 1) {
                        children.Kill();
                        platform::EndBySignal(event.signal);
                    }
                    children.Signal(event.signal);
                    progress.Line("signal " + std::to_string(event.signal) +
                                  ": every GPU stops after its current batch; a second signal ends them at once");
                    break;
            }
        }

        const FleetScreen screen = ScreenFleet(FindFleetFolders({folder}));
        WriteWholeFile(folder / report_name::kFleetCsv, FleetCsv(screen));
        WriteWholeFile(folder / report_name::kFleetPage, FleetHtml(screen));
        if (!screen.nodes.empty()) WriteWholeFile(folder / report_name::kNodesCsv, NodesCsv(screen));
        output.out += FleetSummary(screen, folder / report_name::kFleetPage);
        return screen.Flagged() ? exit_code::kFlagged : exit_code::kClean;
    } catch (const std::exception& error) {
        output.err += std::string(error.what()) + "\n";
        return exit_code::kFailed;
    }
}

}  // namespace fpbench
