#include "ui/window_logic.h"

#include <iomanip>
#include <locale>
#include <sstream>

#include "app/command_line.h"
#include "app/text.h"
#include "ui/window_texts.h"

namespace fpbench {

std::wstring GpuEntryText(const DeviceInfo& device) {
    std::wstring text = std::to_wstring(device.ordinal) + L": " + WideFromUtf8(device.name) + L"  ·  " +
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
    if (scanned.end == 0 || scanned.end != text.size() || scanned.value < 1 || scanned.value > 50) return std::nullopt;
    return static_cast<std::int32_t>(scanned.value);
}

std::vector<std::int32_t> SizesForChoice(std::ptrdiff_t index) {
    switch (index) {
        case 1: return {4096};
        case 2: return {8192};
        case 3: return {1024};
        default: return RunOptions{}.sizes;
    }
}

std::wstring FormatFixed(double value, int decimals) {
    if (value < 0) return texts::kDash;
    std::wostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(decimals) << value;
    return out.str();
}

std::wstring FormatInt(std::int32_t value) { return std::to_wstring(value); }

std::array<std::wstring, 8> ResultRowTexts(const Row& row) {
    return {
        FormatInt(row.n),
        row.fp16_accumulate ? L"FP16" : L"FP32",
        FormatFixed(row.median_tflops, 2),
        FormatFixed(row.min_tflops, 2) + texts::kRangeSeparator + FormatFixed(row.max_tflops, 2),
        row.sm_clock_mhz < 0 ? std::wstring(texts::kDash) : FormatInt(row.sm_clock_mhz),
        FormatFixed(row.power_w, 1),
        row.temperature_c < 0 ? std::wstring(texts::kDash) : FormatInt(row.temperature_c),
        row.validation_passed && row.guards_intact ? texts::kPass : texts::kFail,
    };
}

const wchar_t* OutcomeStatusText(std::string_view status) {
    if (status == run_status::kCompleted) return texts::kCompleted;
    if (status == run_status::kCancelled) return texts::kStopped;
    return texts::kFailed;
}

std::wstring AboutBoxText(std::string_view licence_notice) {
    return texts::kAboutText + WideFromUtf8(licence_notice);
}

}  // namespace fpbench
