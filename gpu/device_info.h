// Identity of one CUDA device.
#pragma once

#include <cstdint>
#include <string>

namespace fpbench {

// Who named the highest SM clock a GPU can run at.
enum class MaxClockSource { Unknown, Nvml, CudaAttribute };

struct DeviceInfo {
    std::int32_t ordinal = 0;
    std::int32_t sm_count = 0;
    std::int32_t major = 0;
    std::int32_t minor = 0;
    std::string name;  // UTF-8, as the driver reports it, without NUL
    std::string uuid;  // "GPU-xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"
    // The highest SM clock the GPU can run at, -1 unknown: what bounds the
    // throughput it can reach. Not part of the reports.
    std::int32_t max_sm_clock_mhz = -1;
    MaxClockSource max_sm_clock_source = MaxClockSource::Unknown;
};

// The support rule shared by the run driver, the window and --list-devices.
inline bool IsSupportedDevice(const DeviceInfo& device) {
    return device.major * 10 + device.minor >= 86;
}

}  // namespace fpbench
