// The Linux program: the headless benchmark and a device listing. What the
// Windows program shows in its error box goes to stderr as one line; a
// headless run reports its progress and its rows on stderr, stdout stays empty.
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/entry.h"
#include "app/text.h"
#include "gpu/devices.h"

namespace {

void PrintLine(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

int ListDevices() {
    try {
        for (const auto& device : fpbench::EnumerateDevices()) {
            std::printf("%d: %s | %s | %d SMs | compute capability %d.%d | %s\n", device.ordinal,
                        device.name.c_str(), device.uuid.c_str(), device.sm_count, device.major,
                        device.minor,
                        fpbench::IsSupportedDevice(device) ? "supported" : "not supported (needs 8.6 or newer)");
        }
        return 0;
    } catch (const std::exception& error) {
        fpbench::platform::ShowErrorBox(fpbench::WideFromUtf8(error.what()));
        return 1;
    }
}

void PrintResult(const fpbench::RunResult& result) {
    if (!result.rows.empty()) {
        PrintLine("     N  accumulator  median TFLOPS  min TFLOPS  max TFLOPS  median ms  check");
        for (const auto& row : result.rows) {
            char line[160];
            std::snprintf(line, sizeof line, "%6d  %-11s  %13.2f  %10.2f  %10.2f  %9.4f  %s", row.n,
                          fpbench::ModeName(row.fp16_accumulate), row.median_tflops, row.min_tflops,
                          row.max_tflops, row.median_ms, row.validation_passed ? "PASS" : "FAIL");
            PrintLine(line);
        }
    }
    PrintLine("status: " + result.status + (result.error.empty() ? "" : " (" + result.error + ")"));
    // A run rejected before it created its folder wrote no reports.
    std::error_code ignored;
    if (std::filesystem::exists(result.options.report_dir / "result.json", ignored))
        PrintLine("reports: " + fpbench::Utf8FromWide(fpbench::platform::WideFromPath(result.options.report_dir)));
}

}  // namespace

int main() {
    const auto arguments = fpbench::platform::CommandLineArguments();
    if (arguments && arguments->size() == 1 && (*arguments)[0] == L"--list-devices") return ListDevices();

    fpbench::EntryRoads roads;
    roads.window = [](const fpbench::RunOptions&) -> int {
        throw std::runtime_error("The window is part of the Windows program; use --headless or --list-devices");
    };
    roads.headless_progress.on_status = [](const std::wstring& text) { PrintLine(fpbench::Utf8FromWide(text)); };
    roads.headless_finished = PrintResult;
    return fpbench::RunEntry(arguments, roads);
}
