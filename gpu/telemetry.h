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

    // The library loaded, whether or not it knows the GPU.
    bool Loaded() const { return module_handle_ != nullptr; }

private:
    friend void SampleTelemetry(const NvmlLibrary& library, TelemetrySample& sample) noexcept;

    platform::LibraryHandle module_handle_ = nullptr;
    nvmlDevice_t device_handle_ = nullptr;  // null: no readings
    PFN_nvmlShutdown nvmlShutdown_ = nullptr;
    PFN_nvmlDeviceGetClockInfo nvmlDeviceGetClockInfo_ = nullptr;
    PFN_nvmlDeviceGetTemperature nvmlDeviceGetTemperature_ = nullptr;
    PFN_nvmlDeviceGetPowerUsage nvmlDeviceGetPowerUsage_ = nullptr;
    bool initialized_ = false;  // nvmlShutdown is owed
};

// Overwrites each field whose reading succeeds (clock, power, temperature).
void SampleTelemetry(const NvmlLibrary& library, TelemetrySample& sample) noexcept;

}  // namespace fpbench
