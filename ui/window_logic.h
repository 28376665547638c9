// The window's decisions and texts that need no window system: the GPU
// list, the trials box, the results-list cells, the outcome line and the
// About text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/records.h"
#include "gpu/device_info.h"
#include "run/run_benchmark.h"

namespace fpbench {

// "0: NAME  ·  68 SM", with the unsupported note for devices below 8.6.
std::wstring GpuEntryText(const DeviceInfo& device);

struct GpuChoices {
    std::vector<std::wstring> entries;        // one per device, in order
    std::optional<std::size_t> selection;     // the first supported device
};
GpuChoices ListGpuChoices(const std::vector<DeviceInfo>& devices);

// Whether a run may start on the combo selection `index` (-1: none).
bool CanStartOn(const std::vector<DeviceInfo>& devices, std::ptrdiff_t index);

// The trials box: optional leading white space, an optional sign and decimal
// digits, nothing else, saturating beyond 32 bits; valid within the limits.
std::optional<std::int32_t> ParseTrials(std::wstring_view text);
// The status line for a trial count outside them.
std::wstring TrialsRangeText();

// Matrix sides for the size-list selection (-1: none, the default pair).
std::vector<std::int32_t> SizesForChoice(std::ptrdiff_t index);

// "—" for a negative value, else fixed-point with `decimals` digits, classic
// locale, no grouping.
std::wstring FormatFixed(double value, int decimals);
std::wstring FormatInt(std::int32_t value);

// The results list: the headers and widths (pixels at `dpi`) of the columns
// the result's schema gives the window, and the cells of one line.
struct ListColumn {
    std::wstring header;
    int width;
};
std::vector<ListColumn> ResultListColumns(int dpi);
std::vector<std::wstring> ResultRowTexts(const Row& row);

// The status line after a run, chosen by the result's status alone.
const wchar_t* OutcomeStatusText(std::string_view status);

// Log lines after a run whose reports are not all up to date: a disk that
// filled up, files another program held.
std::vector<std::wstring> ReportProblemLines(const RunReports& reports);

// Log lines after a run, one per reason that held the SM clock back and
// per other health finding, as the terminal says them.
std::vector<std::wstring> HealthLogLines(const RunResult& result);

// The About box body: the fixed text, then the licence notice (UTF-8).
std::wstring AboutBoxText(std::string_view licence_notice);

}  // namespace fpbench
