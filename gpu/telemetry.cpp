#include "gpu/telemetry.h"

#include <cstring>
#include <exception>
#include <utility>
#include <limits>

#include "gpu/cuda_driver.h"

namespace fpbench {

NvmlLibrary::NvmlLibrary(const std::string& uuid) {
    module_handle_ = platform::LoadGpuLibrary(platform::GpuLibrary::Nvml);
    if (module_handle_ == nullptr) return;
    NvmlApi entry;
    try {
#define FPBENCH_NVML_BIND(name, params) \
    entry.name = reinterpret_cast<PFN_##name>(ResolveEntryPoint(module_handle_, #name));
        FPBENCH_NVML_ENTRY_POINTS(FPBENCH_NVML_BIND)
#undef FPBENCH_NVML_BIND
    } catch (const std::exception&) {
        return;  // telemetry is all or nothing; the library is freed on destruction
    }
#define FPBENCH_NVML_BIND_OPTIONAL(name, params) \
    entry.name = reinterpret_cast<PFN_##name>(platform::LookupSymbol(module_handle_, #name));
    FPBENCH_NVML_OPTIONAL_ENTRY_POINTS(FPBENCH_NVML_BIND_OPTIONAL)
#undef FPBENCH_NVML_BIND_OPTIONAL
    api_ = entry;
    initialized_ = api_.nvmlInit_v2() == 0;
    if (!initialized_) return;
    if (api_.nvmlDeviceGetHandleByUUID(uuid.c_str(), &device_handle_) != 0) device_handle_ = nullptr;
}

NvmlLibrary::~NvmlLibrary() {
    if (initialized_) api_.nvmlShutdown();
    platform::FreeGpuLibrary(module_handle_);
}

void SampleTelemetry(const NvmlLibrary& library, TelemetrySample& sample) noexcept {
    if (library.device_handle_ == nullptr) return;
    unsigned int value = 0;
    if (library.api_.nvmlDeviceGetClockInfo(library.device_handle_, nvml::kClockSm, &value) == 0)
        sample.sm_clock_mhz = static_cast<std::int32_t>(value);
    if (library.api_.nvmlDeviceGetPowerUsage(library.device_handle_, &value) == 0)
        sample.power_mw = static_cast<std::int32_t>(value);
    if (library.api_.nvmlDeviceGetTemperature(library.device_handle_, nvml::kTemperatureGpu, &value) == 0)
        sample.temperature_c = static_cast<std::int32_t>(value);
    // Drivers before 535 know the reasons only by their older name.
    const auto reasons = library.api_.nvmlDeviceGetCurrentClocksEventReasons != nullptr
                             ? library.api_.nvmlDeviceGetCurrentClocksEventReasons
                             : library.api_.nvmlDeviceGetCurrentClocksThrottleReasons;
    unsigned long long mask = 0;
    if (reasons != nullptr && reasons(library.device_handle_, &mask) == 0 &&
        mask <= static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max()))
        sample.clock_reasons = static_cast<std::int64_t>(mask);
}

std::int32_t MaxSmClockMhz(const NvmlLibrary& library) noexcept {
    unsigned int value = 0;
    if (library.device_handle_ == nullptr || library.api_.nvmlDeviceGetMaxClockInfo == nullptr ||
        library.api_.nvmlDeviceGetMaxClockInfo(library.device_handle_, nvml::kClockSm, &value) != 0)
        return -1;
    // A zero maximum would make every batch impossible: unknown instead.
    return value > 0 && value <= static_cast<unsigned>(std::numeric_limits<std::int32_t>::max())
               ? static_cast<std::int32_t>(value)
               : -1;
}

namespace {

// Calls an optional entry point that is there; false when it is not or fails.
template <typename Entry, typename... Arguments>
bool Call(Entry entry, Arguments... arguments) {
    return entry != nullptr && entry(arguments...) == 0;
}

template <typename Target, typename Value>
void Store(Target& target, Value value) {
    if (value <= static_cast<unsigned long long>(std::numeric_limits<Target>::max())) target = static_cast<Target>(value);
}

}  // namespace

void ReadCounters(const NvmlLibrary& library, NvmlCounters& counters) noexcept {
    const nvmlDevice_t device = library.device_handle_;
    if (device == nullptr) return;
    const NvmlApi& api = library.api_;
    for (std::size_t i = 0; i < kViolationPolicies.size(); ++i)
        if (nvmlViolationTime_t time{}; Call(api.nvmlDeviceGetViolationStatus, device, kViolationPolicies[i].policy, &time))
            Store(counters.violation_ns[i], time.violationTime);
    unsigned long long count = 0;
    if (Call(api.nvmlDeviceGetTotalEccErrors, device, nvml::kMemoryErrorCorrected, nvml::kVolatileEcc, &count))
        Store(counters.ecc_corrected, count);
    if (Call(api.nvmlDeviceGetTotalEccErrors, device, nvml::kMemoryErrorUncorrected, nvml::kVolatileEcc, &count))
        Store(counters.ecc_uncorrected, count);
}

void ReadBoard(const NvmlLibrary& library, NvmlBoard& board) noexcept {
    const NvmlApi& api = library.api_;
    char text[nvml::kDriverVersionBufferSize] = {};
    if (library.initialized_ && Call(api.nvmlSystemGetDriverVersion, text, nvml::kDriverVersionBufferSize))
        board.driver_version.assign(text, strnlen(text, sizeof text));
    const nvmlDevice_t device = library.device_handle_;
    if (device == nullptr) return;
    char vbios[nvml::kVbiosVersionBufferSize] = {};
    if (Call(api.nvmlDeviceGetVbiosVersion, device, vbios, nvml::kVbiosVersionBufferSize))
        board.vbios_version.assign(vbios, strnlen(vbios, sizeof vbios));
    unsigned int rows[4] = {};
    if (Call(api.nvmlDeviceGetRemappedRows, device, &rows[0], &rows[1], &rows[2], &rows[3])) {
        Store(board.remapped_corrected, rows[0]);
        Store(board.remapped_uncorrected, rows[1]);
        Store(board.remap_pending, rows[2]);
        Store(board.remap_failure, rows[3]);
    } else {
        // Asked with no buffer, NVML gives the count, saying the buffer is too small when there are pages.
        for (auto [cause, target] : {std::pair{nvml::kRetiredMultipleSingleBit, &board.retired_single_bit},
                                     std::pair{nvml::kRetiredDoubleBit, &board.retired_double_bit}}) {
            unsigned int pages = 0;
            const nvmlReturn_t code = api.nvmlDeviceGetRetiredPages == nullptr
                                          ? nvml::kErrorNotSupported
                                          : api.nvmlDeviceGetRetiredPages(device, cause, &pages, nullptr);
            if (code == 0 || code == nvml::kErrorInsufficientSize) Store(*target, pages);
        }
    }
    for (auto [entry, target] : {std::pair{api.nvmlDeviceGetCurrPcieLinkGeneration, &board.pcie_generation},
                                 std::pair{api.nvmlDeviceGetCurrPcieLinkWidth, &board.pcie_width},
                                 std::pair{api.nvmlDeviceGetMaxPcieLinkGeneration, &board.pcie_max_generation},
                                 std::pair{api.nvmlDeviceGetMaxPcieLinkWidth, &board.pcie_max_width},
                                 std::pair{api.nvmlDeviceGetEnforcedPowerLimit, &board.power_limit_mw},
                                 std::pair{api.nvmlDeviceGetPowerManagementDefaultLimit, &board.default_power_limit_mw}})
        if (unsigned int value = 0; Call(entry, device, &value)) Store(*target, value);
    unsigned int slowdown = 0;
    if (Call(api.nvmlDeviceGetTemperatureThreshold, device, nvml::kTemperatureThresholdSlowdown, &slowdown))
        Store(board.slowdown_temperature_c, slowdown);
}

}  // namespace fpbench
