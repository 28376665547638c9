#include "gpu/telemetry.h"

#include <exception>

#include "gpu/cuda_driver.h"

namespace fpbench {

namespace {
struct NvmlEntryPoints {
#define FPBENCH_NVML_MEMBER(name, params) PFN_##name name = nullptr;
    FPBENCH_NVML_ENTRY_POINTS(FPBENCH_NVML_MEMBER)
#undef FPBENCH_NVML_MEMBER
};
}  // namespace

NvmlLibrary::NvmlLibrary(const std::string& uuid) {
    module_handle = platform::LoadGpuLibrary(platform::GpuLibrary::Nvml);
    if (module_handle == nullptr) return;
    NvmlEntryPoints entry;
    try {
#define FPBENCH_NVML_BIND(name, params) \
    entry.name = reinterpret_cast<PFN_##name>(ResolveEntryPoint(module_handle, #name));
        FPBENCH_NVML_ENTRY_POINTS(FPBENCH_NVML_BIND)
#undef FPBENCH_NVML_BIND
    } catch (const std::exception&) {
        return;  // telemetry is all or nothing; the library is freed on destruction
    }
    nvmlShutdown = entry.nvmlShutdown;
    nvmlDeviceGetClockInfo = entry.nvmlDeviceGetClockInfo;
    nvmlDeviceGetTemperature = entry.nvmlDeviceGetTemperature;
    nvmlDeviceGetPowerUsage = entry.nvmlDeviceGetPowerUsage;
    initialized = entry.nvmlInit_v2() == 0;
    if (!initialized) return;
    if (entry.nvmlDeviceGetHandleByUUID(uuid.c_str(), &device_handle) != 0) device_handle = nullptr;
}

NvmlLibrary::~NvmlLibrary() {
    if (initialized) nvmlShutdown();
    platform::FreeGpuLibrary(module_handle);
}

void SampleTelemetry(const NvmlLibrary& library, TelemetrySample& sample) noexcept {
    if (library.device_handle == nullptr) return;
    unsigned int value = 0;
    if (library.nvmlDeviceGetClockInfo(library.device_handle, nvml::kClockSm, &value) == 0)
        sample.sm_clock_mhz = static_cast<std::int32_t>(value);
    if (library.nvmlDeviceGetPowerUsage(library.device_handle, &value) == 0)
        sample.power_mw = static_cast<std::int32_t>(value);
    if (library.nvmlDeviceGetTemperature(library.device_handle, nvml::kTemperatureGpu, &value) == 0)
        sample.temperature_c = static_cast<std::int32_t>(value);
}

}  // namespace fpbench
