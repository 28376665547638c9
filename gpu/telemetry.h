// Optional NVML telemetry of the benchmarked GPU: SM clock, board power and
// temperature, and the highest SM clock it can run at. Any NVML problem only
// leaves readings at -1.
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

// The bound entry points: every required one, or none; an optional one the
// library lacks stays null.
struct NvmlApi {
#define FPBENCH_NVML_MEMBER(name, params) PFN_##name name = nullptr;
    FPBENCH_NVML_ENTRY_POINTS(FPBENCH_NVML_MEMBER)
    FPBENCH_NVML_OPTIONAL_ENTRY_POINTS(FPBENCH_NVML_MEMBER)
#undef FPBENCH_NVML_MEMBER
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
    friend std::int32_t MaxSmClockMhz(const NvmlLibrary& library) noexcept;

    platform::LibraryHandle module_handle_ = nullptr;
    nvmlDevice_t device_handle_ = nullptr;  // null: no readings
    NvmlApi api_;
    bool initialized_ = false;  // nvmlShutdown is owed
};

// Overwrites each field whose reading succeeds (clock, power, temperature).
void SampleTelemetry(const NvmlLibrary& library, TelemetrySample& sample) noexcept;

// The highest SM clock the GPU can run at, as NVML reports it; -1 when NVML
// cannot say.
std::int32_t MaxSmClockMhz(const NvmlLibrary& library) noexcept;

}  // namespace fpbench
