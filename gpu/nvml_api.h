// Types and entry points of NVML that the program binds at run time, declared
// from NVIDIA's published interface.
#pragma once

#include "gpu/api_call.h"

extern "C" {
using nvmlReturn_t = int;
using nvmlDevice_t = struct nvmlDevice_st*;
using nvmlClockType_t = int;
using nvmlTemperatureSensors_t = int;
}

// The six entry points telemetry needs, in lookup order: X(name, parameter list).
#define FPBENCH_NVML_ENTRY_POINTS(X)                                                            \
    X(nvmlInit_v2, (void))                                                                      \
    X(nvmlShutdown, (void))                                                                     \
    X(nvmlDeviceGetHandleByUUID, (const char* uuid, nvmlDevice_t* device))                      \
    X(nvmlDeviceGetClockInfo, (nvmlDevice_t device, nvmlClockType_t type, unsigned int* clock)) \
    X(nvmlDeviceGetTemperature,                                                                 \
      (nvmlDevice_t device, nvmlTemperatureSensors_t sensorType, unsigned int* temp))           \
    X(nvmlDeviceGetPowerUsage, (nvmlDevice_t device, unsigned int* power))

// Entry points that older drivers or other vendors' builds may lack: each one
// missing leaves only its own figure unknown.
#define FPBENCH_NVML_OPTIONAL_ENTRY_POINTS(X) \
    X(nvmlDeviceGetMaxClockInfo, (nvmlDevice_t device, nvmlClockType_t type, unsigned int* clock))

#define FPBENCH_NVML_DECLARE_PFN(name, params) \
    using PFN_##name = nvmlReturn_t(FPBENCH_GPUAPI*) params;
FPBENCH_NVML_ENTRY_POINTS(FPBENCH_NVML_DECLARE_PFN)
FPBENCH_NVML_OPTIONAL_ENTRY_POINTS(FPBENCH_NVML_DECLARE_PFN)
#undef FPBENCH_NVML_DECLARE_PFN

namespace fpbench::nvml {
inline constexpr nvmlClockType_t kClockSm = 1;
inline constexpr nvmlTemperatureSensors_t kTemperatureGpu = 0;
}  // namespace fpbench::nvml
