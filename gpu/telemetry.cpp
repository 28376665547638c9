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
    module_handle_ = platform::LoadGpuLibrary(platform::GpuLibrary::Nvml);
    if (module_handle_ == nullptr) return;
    NvmlEntryPoints entry;
    try {
#define FPBENCH_NVML_BIND(name, params) \
    entry.name = reinterpret_cast<PFN_##name>(ResolveEntryPoint(module_handle_, #name));
        FPBENCH_NVML_ENTRY_POINTS(FPBENCH_NVML_BIND)
#undef FPBENCH_NVML_BIND
    } catch (const std::exception&) {
        return;  // telemetry is all or nothing; the library is freed on destruction
    }
    nvmlShutdown_ = entry.nvmlShutdown;
    nvmlDeviceGetClockInfo_ = entry.nvmlDeviceGetClockInfo;
    nvmlDeviceGetTemperature_ = entry.nvmlDeviceGetTemperature;
    nvmlDeviceGetPowerUsage_ = entry.nvmlDeviceGetPowerUsage;
    initialized_ = entry.nvmlInit_v2() == 0;
    if (!initialized_) return;
    if (entry.nvmlDeviceGetHandleByUUID(uuid.c_str(), &device_handle_) != 0) device_handle_ = nullptr;
}

NvmlLibrary::~NvmlLibrary() {
    if (initialized_) nvmlShutdown_();
    platform::FreeGpuLibrary(module_handle_);
}

void SampleTelemetry(const NvmlLibrary& library, TelemetrySample& sample) noexcept {
    if (library.device_handle_ == nullptr) return;
    unsigned int value = 0;
    if (library.nvmlDeviceGetClockInfo_(library.device_handle_, nvml::kClockSm, &value) == 0)
        sample.sm_clock_mhz = static_cast<std::int32_t>(value);
    if (library.nvmlDeviceGetPowerUsage_(library.device_handle_, &value) == 0)
        sample.power_mw = static_cast<std::int32_t>(value);
    if (library.nvmlDeviceGetTemperature_(library.device_handle_, nvml::kTemperatureGpu, &value) == 0)
        sample.temperature_c = static_cast<std::int32_t>(value);
}

}  // namespace fpbench
