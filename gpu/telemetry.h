// Optional NVML telemetry of the benchmarked GPU: SM clock, board power and
// temperature. Any NVML problem only leaves readings at -1.
#pragma once

#include <cstdint>
#include <string>

#include "gpu/nvml_api.h"
#include "platform/platform.h"

namespace fpbench {

struct TelemetrySample {
    std::int32_t sm_clock_mhz = -1;
    std::int32_t power_mw = -1;
    std::int32_t temperature_c = -1;
};

class NvmlLibrary {
public:
    // Opens NVML for the GPU with this "GPU-..." UUID text. Never throws for
    // an NVML problem; device_handle stays null then.
    explicit NvmlLibrary(const std::string& uuid);
    ~NvmlLibrary();
    NvmlLibrary(const NvmlLibrary&) = delete;
    NvmlLibrary& operator=(const NvmlLibrary&) = delete;

    platform::LibraryHandle module_handle = nullptr;
    nvmlDevice_t device_handle = nullptr;
    PFN_nvmlShutdown nvmlShutdown = nullptr;
    PFN_nvmlDeviceGetClockInfo nvmlDeviceGetClockInfo = nullptr;
    PFN_nvmlDeviceGetTemperature nvmlDeviceGetTemperature = nullptr;
    PFN_nvmlDeviceGetPowerUsage nvmlDeviceGetPowerUsage = nullptr;
    bool initialized = false;
};

// Overwrites each field whose reading succeeds (clock, power, temperature).
void SampleTelemetry(const NvmlLibrary& library, TelemetrySample& sample) noexcept;

}  // namespace fpbench
