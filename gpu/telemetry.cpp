#include "gpu/telemetry.h"

#include <exception>
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

}  // namespace fpbench
