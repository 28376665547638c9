// Types and entry points of NVML that the program binds at run time, declared
// from NVIDIA's published interface.
#pragma once

#include "gpu/api_call.h"

extern "C" {
using nvmlReturn_t = int;
using nvmlDevice_t = struct nvmlDevice_st*;
using nvmlClockType_t = int;
using nvmlTemperatureSensors_t = int;
using nvmlPerfPolicyType_t = int;
using nvmlMemoryErrorType_t = int;
using nvmlEccCounterType_t = int;
using nvmlTemperatureThresholds_t = int;
using nvmlPageRetirementCause_t = int;
struct nvmlViolationTime_t {
    unsigned long long referenceTime;  // microseconds
    unsigned long long violationTime;  // nanoseconds
};
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
#define FPBENCH_NVML_OPTIONAL_ENTRY_POINTS(X)                                                               \
    X(nvmlDeviceGetMaxClockInfo, (nvmlDevice_t device, nvmlClockType_t type, unsigned int* clock))                 \
    X(nvmlDeviceGetCurrentClocksEventReasons, (nvmlDevice_t device, unsigned long long* reasons))                  \
    X(nvmlDeviceGetCurrentClocksThrottleReasons, (nvmlDevice_t device, unsigned long long* reasons))               \
    X(nvmlDeviceGetViolationStatus,                                                                                \
      (nvmlDevice_t device, nvmlPerfPolicyType_t perfPolicyType, nvmlViolationTime_t* violTime))                   \
    X(nvmlDeviceGetEnforcedPowerLimit, (nvmlDevice_t device, unsigned int* limit))                                 \
    X(nvmlDeviceGetPowerManagementDefaultLimit, (nvmlDevice_t device, unsigned int* defaultLimit))                 \
    X(nvmlDeviceGetTotalEccErrors, (nvmlDevice_t device, nvmlMemoryErrorType_t errorType,                          \
                                    nvmlEccCounterType_t counterType, unsigned long long* eccCounts))              \
    X(nvmlDeviceGetRemappedRows, (nvmlDevice_t device, unsigned int* corrRows, unsigned int* uncRows,              \
                                  unsigned int* isPending, unsigned int* failureOccurred))                         \
    X(nvmlDeviceGetRetiredPages, (nvmlDevice_t device, nvmlPageRetirementCause_t cause, unsigned int* pageCount,   \
                                  unsigned long long* addresses))                                                  \
    X(nvmlDeviceGetCurrPcieLinkGeneration, (nvmlDevice_t device, unsigned int* currLinkGen))                       \
    X(nvmlDeviceGetMaxPcieLinkGeneration, (nvmlDevice_t device, unsigned int* maxLinkGen))                         \
    X(nvmlDeviceGetCurrPcieLinkWidth, (nvmlDevice_t device, unsigned int* currLinkWidth))                          \
    X(nvmlDeviceGetMaxPcieLinkWidth, (nvmlDevice_t device, unsigned int* maxLinkWidth))                            \
    X(nvmlSystemGetDriverVersion, (char* version, unsigned int length))                                           \
    X(nvmlDeviceGetVbiosVersion, (nvmlDevice_t device, char* version, unsigned int length))                        \
    X(nvmlDeviceGetTemperatureThreshold,                                                                           \
      (nvmlDevice_t device, nvmlTemperatureThresholds_t thresholdType, unsigned int* temp))

#define FPBENCH_NVML_DECLARE_PFN(name, params) \
    using PFN_##name = nvmlReturn_t(FPBENCH_GPUAPI*) params;
FPBENCH_NVML_ENTRY_POINTS(FPBENCH_NVML_DECLARE_PFN)
FPBENCH_NVML_OPTIONAL_ENTRY_POINTS(FPBENCH_NVML_DECLARE_PFN)
#undef FPBENCH_NVML_DECLARE_PFN

namespace fpbench::nvml {
inline constexpr nvmlClockType_t kClockSm = 1;
inline constexpr nvmlTemperatureSensors_t kTemperatureGpu = 0;
inline constexpr nvmlReturn_t kErrorNotSupported = 3;
inline constexpr nvmlReturn_t kErrorInsufficientSize = 7;
// nvmlClocksEventReasons: why the clocks are below their maximum, one bit each.
inline constexpr unsigned long long kReasonGpuIdle = 0x1;
inline constexpr unsigned long long kReasonApplicationsClocksSetting = 0x2;
inline constexpr unsigned long long kReasonSwPowerCap = 0x4;
inline constexpr unsigned long long kReasonHwSlowdown = 0x8;
inline constexpr unsigned long long kReasonSyncBoost = 0x10;
inline constexpr unsigned long long kReasonSwThermalSlowdown = 0x20;
inline constexpr unsigned long long kReasonHwThermalSlowdown = 0x40;
inline constexpr unsigned long long kReasonHwPowerBrakeSlowdown = 0x80;
inline constexpr unsigned long long kReasonDisplayClockSetting = 0x100;
inline constexpr nvmlPerfPolicyType_t kPerfPolicyPower = 0;
inline constexpr nvmlPerfPolicyType_t kPerfPolicyThermal = 1;
inline constexpr nvmlPerfPolicyType_t kPerfPolicyBoardLimit = 3;
inline constexpr nvmlPerfPolicyType_t kPerfPolicyReliability = 5;
inline constexpr nvmlMemoryErrorType_t kMemoryErrorCorrected = 0;
inline constexpr nvmlMemoryErrorType_t kMemoryErrorUncorrected = 1;
inline constexpr nvmlEccCounterType_t kVolatileEcc = 0;
inline constexpr nvmlPageRetirementCause_t kRetiredMultipleSingleBit = 0;
inline constexpr nvmlPageRetirementCause_t kRetiredDoubleBit = 1;
inline constexpr nvmlTemperatureThresholds_t kTemperatureThresholdSlowdown = 1;
// NVML_SYSTEM_DRIVER_VERSION_BUFFER_SIZE, NVML_DEVICE_VBIOS_VERSION_BUFFER_SIZE.
inline constexpr unsigned int kDriverVersionBufferSize = 80;
inline constexpr unsigned int kVbiosVersionBufferSize = 32;
}  // namespace fpbench::nvml
