#include "ui/window_logic.h"

#include <iomanip>
#include <locale>
#include <sstream>

#include "app/command_line.h"
#include "report/result_schema.h"
#include "report/display.h"
#include "report/text_format.h"
#include "ui/layout.h"
#include "platform/platform.h"
#include "ui/window_texts.h"

namespace fpbench {

std::wstring GpuEntryText(const DeviceInfo& device) {
    std::wstring text = std::to_wstring(device.ordinal) + L": " + platform::WideFromUtf8(device.name) + L"  ·  " +
                        std::to_wstring(device.sm_count) + L" SM";
    if (!IsSupportedDevice(device)) text += texts::kUnsupportedSuffix;
    return text;
}

GpuChoices ListGpuChoices(const std::vector<DeviceInfo>& devices) {
    GpuChoices choices;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        choices.entries.push_back(GpuEntryText(devices[i]));
        if (!choices.selection && IsSupportedDevice(devices[i])) choices.selection = i;
    }
    return choices;
}

bool CanStartOn(const std::vector<DeviceInfo>& devices, std::ptrdiff_t index) {
    return index >= 0 && static_cast<std::size_t>(index) < devices.size() &&
           IsSupportedDevice(devices[static_cast<std::size_t>(index)]);
}

std::optional<std::int32_t> ParseTrials(std::wstring_view text) {
    const ScannedInteger scanned = ScanInteger(text);
    if (scanned.end == 0 || scanned.end != text.size() || scanned.value < limits::kMinTrials ||
        scanned.value > limits::kMaxTrials)
        return std::nullopt;
    return static_cast<std::int32_t>(scanned.value);
}

std::wstring TrialsRangeText() {
    const std::wstring low = std::to_wstring(limits::kMinTrials), high = std::to_wstring(limits::kMaxTrials);
    return L"轮次请输入 " + low + L"～" + high + L" / Enter " + low + L"–" + high + L" trials";
}

std::vector<std::int32_t> SizesForChoice(std::ptrdiff_t index) {
    const auto& choice = index >= 0 && static_cast<std::size_t>(index) < std::size(texts::kSizeChoices)
                             ? texts::kSizeChoices[index]
                             : texts::kSizeChoices[0];
    return {choice.sizes.begin(), choice.sizes.end()};
}

std::wstring FormatFixed(double value, int decimals) {
    if (value < 0) return texts::kDash;
    std::wostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(decimals) << value;
    return out.str();
}

std::wstring FormatInt(std::int32_t value) { return std::to_wstring(value); }

std::vector<ListColumn> ResultListColumns(int dpi) {
    std::vector<ListColumn> columns;
    for (const auto& column : schema::RowColumns())
        if (column.In(schema::kWindow)) columns.push_back({platform::WideFromUtf8(column.label), ToPixels(column.width, dpi)});
    return columns;
}

namespace {
std::wstring WindowCell(const schema::Column<Row>& column, const Row& row) {
    using schema::Kind;
    const schema::Cell cell = column.Read(row);
    const int digits = column.display.digits;
    switch (column.kind) {
        case Kind::Integer:
            return column.negative_unknown && cell.value < 0 ? std::wstring(texts::kDash)
                                                              : FormatInt(static_cast<std::int32_t>(cell.value));
        case Kind::Number: return FormatFixed(cell.value, digits);
        case Kind::Accumulator: return platform::WideFromUtf8(Accumulator(cell.value != 0).label);
        case Kind::Pass: return cell.value != 0 ? texts::kPass : texts::kFail;
        case Kind::Range: return FormatFixed(cell.value, digits) + texts::kRangeSeparator + FormatFixed(cell.high, digits);
        default: return platform::WideFromUtf8(cell.text);
    }
}
}  // namespace

std::vector<std::wstring> ResultRowTexts(const Row& row) {
    std::vector<std::wstring> cells;
    for (const auto& column : schema::RowColumns())
        if (column.In(schema::kWindow)) cells.push_back(WindowCell(column, row));
    return cells;
}

const wchar_t* OutcomeStatusText(std::string_view status) {
    if (status == run_status::kCompleted) return texts::kCompleted;
    if (status == run_status::kCancelled) return texts::kStopped;
    return texts::kFailed;
}

std::vector<std::wstring> ReportProblemLines(const RunReports& reports) {
    std::vector<std::wstring> lines;
    if (reports.files == ReportFiles::DocumentOnly) lines.push_back(texts::kOnlyDocument);
    if (reports.files == ReportFiles::None && reports.created_folder) lines.push_back(texts::kNothingWritten);
    for (const HeldReport& held : reports.held)
        lines.push_back(texts::kHeldReport + platform::WideFromUtf8(held.name) + texts::kWrittenBeside +
                        platform::WideFromUtf8(held.written_as));
    return lines;
}

std::vector<std::wstring> HealthLogLines(const RunResult& result) {
    std::vector<std::wstring> lines;
    for (const std::string& note : HealthNotes(result)) lines.push_back(texts::kHealthLine + platform::WideFromUtf8(note));
    return lines;
}

std::wstring AboutBoxText(std::string_view licence_notice) {
    return platform::WideFromUtf8(kProgramVersion) + texts::kAboutText + platform::WideFromUtf8(licence_notice);
}

}  // namespace fpbench
