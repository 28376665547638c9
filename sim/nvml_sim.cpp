// The simulated NVIDIA Management Library (libnvidia-ml.so.1 / nvml.dll):
// the entry points the program binds, over the same simulated devices
// as the simulated CUDA driver. Test support only.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gpu/devices.h"
#include "gpu/nvml_api.h"
#include "sim/config.h"
#include "sim/entry_gate.h"
#include "sim/exports.h"
#include "sim/os.h"
#include "sim/shared_machine.h"

#if defined(_WIN32)
#include <windows.h>
#endif

struct nvmlDevice_st {
    std::string uuid_text;
};

namespace fpbench::sim {
namespace {

#define SIM_NVML_ENUM(name, params) name,
enum class NvmlEntry : std::size_t {
    FPBENCH_NVML_ENTRY_POINTS(SIM_NVML_ENUM) FPBENCH_NVML_OPTIONAL_ENTRY_POINTS(SIM_NVML_ENUM)
};
#undef SIM_NVML_ENUM
#define SIM_NVML_NAME(name, params) #name,
constexpr const char* kNvmlEntryNames[] = {FPBENCH_NVML_ENTRY_POINTS(SIM_NVML_NAME)
                                               FPBENCH_NVML_OPTIONAL_ENTRY_POINTS(SIM_NVML_NAME)};
#undef SIM_NVML_NAME

constexpr nvmlReturn_t kSuccess = 0;
constexpr nvmlReturn_t kUninitialized = 1;
constexpr nvmlReturn_t kInvalidArgument = 2;
constexpr nvmlReturn_t kNotFound = 6;
constexpr nvmlReturn_t kUnknown = 999;
// The published values (nvmlClockType_t, nvmlTemperatureSensors_t), written
// out here rather than taken from the program's headers.
constexpr nvmlClockType_t kClockGraphics = 0;
constexpr nvmlClockType_t kClockSm = 1;
constexpr nvmlClockType_t kClockMemory = 2;
constexpr nvmlClockType_t kClockVideo = 3;
constexpr nvmlTemperatureSensors_t kTemperatureGpu = 0;
constexpr nvmlReturn_t kNotSupported = 3;
constexpr nvmlReturn_t kInsufficientSize = 7;
constexpr unsigned long long kReasonSwPowerCap = 0x4;
constexpr unsigned long long kReasonHwSlowdown = 0x8;
constexpr unsigned long long kReasonSwThermalSlowdown = 0x20;
constexpr unsigned long long kReasonHwPowerBrakeSlowdown = 0x80;
constexpr nvmlPerfPolicyType_t kPolicyPower = 0;
constexpr nvmlPerfPolicyType_t kPolicyThermal = 1;
constexpr nvmlPerfPolicyType_t kPolicyBoardLimit = 3;
constexpr nvmlPerfPolicyType_t kPolicyReliability = 5;
constexpr nvmlPerfPolicyType_t kPolicyTotalBaseClocks = 11;
constexpr nvmlTemperatureThresholds_t kThresholdShutdown = 0;
constexpr nvmlTemperatureThresholds_t kThresholdSlowdown = 1;
// Each SM clock reading under a drop counts as this long below the clocks.
constexpr unsigned long long kThrottledReadingNs = 100'000'000;
constexpr const char* kDriverVersion = "550.54.15";
constexpr const char* kVbiosVersion = "94.02.71.40.A5";

class NvmlSimulator {
public:
    explicit NvmlSimulator(SimConfig loaded) : config(std::move(loaded)), gate(kNvmlEntryNames, config) {
        for (const auto& device : config.devices)
            devices.push_back(std::make_unique<nvmlDevice_st>(nvmlDevice_st{FormatUuid(device.uuid)}));
    }

    bool KnownDevice(nvmlDevice_t device) const {
        for (const auto& owned : devices)
            if (owned.get() == device) return true;
        return false;
    }

    SimConfig config;
    EntryGate gate;
    std::vector<std::unique_ptr<nvmlDevice_st>> devices;
    int init_count = 0;  // nvmlInit_v2 calls not yet balanced by nvmlShutdown
    std::vector<std::uint64_t> clock_readings = std::vector<std::uint64_t>(config.devices.size());
    SharedMachine machine{config};

    // The SM clock at a reading, lowered while an overdrawn shared supply
    // throttles the device.
    unsigned SmClock(std::size_t index, std::uint64_t reading) const {
        return static_cast<unsigned>(config.devices[index].ClockAt(reading) * machine.ClockFactor(index) + 0.5);
    }

    // SM clock readings so far that the clock drop was in force for.
    std::uint64_t ThrottledReadings(std::size_t index) const {
        const std::uint64_t from = config.devices[index].clock_drop_from, readings = clock_readings[index];
        return from != 0 && readings >= from ? readings - from + 1 : 0;
    }

    // The reasons at the latest SM clock reading: the knob's while the drop
    // is in force, the power cap while a shared supply throttles the device.
    unsigned long long Reasons(std::size_t index) const {
        unsigned long long bits = ThrottledReadings(index) > 0 ? config.devices[index].clock_reasons : 0;
        return machine.ClockFactor(index) < 1.0 ? bits | kReasonSwPowerCap : bits;
    }

    std::size_t IndexOf(nvmlDevice_t device) const {
        for (std::size_t i = 0; i < devices.size(); ++i)
            if (devices[i].get() == device) return i;
        return devices.size();
    }
};

NvmlSimulator* g_simulator = nullptr;

// Every entry but nvmlInit_v2 needs the library initialised.
template <typename Body>
nvmlReturn_t Enter(NvmlEntry entry, Body&& body) {
    NvmlSimulator* simulator = g_simulator;
    if (simulator == nullptr) return kUninitialized;
    return RunEntry(simulator->gate, static_cast<std::size_t>(entry), kUnknown, [&]() -> nvmlReturn_t {
        if (entry != NvmlEntry::nvmlInit_v2 && simulator->init_count == 0) return kUninitialized;
        return body(*simulator);
    });
}

// A reading of a device handle: checks the handle and the output.
template <typename Read>
nvmlReturn_t Reading(NvmlEntry entry, nvmlDevice_t device, unsigned int* out, Read&& read) {
    return Enter(entry, [&](NvmlSimulator& s) {
        if (!s.KnownDevice(device) || out == nullptr) return kInvalidArgument;
        return read(s);
    });
}

#if !defined(_WIN32)
// Consulted by the export resolvers.
bool ExportPresent(NvmlEntry entry) {
    return g_simulator == nullptr || !g_simulator->gate.Missing(static_cast<std::size_t>(entry));
}
#endif

bool LoadSimulator(bool honour_no_nvml) {
    SimConfig config = ReadSimConfig(GetEnvironment);
    if (honour_no_nvml && config.no_nvml) return false;
    g_simulator = new NvmlSimulator(std::move(config));
    return true;
}

void UnloadSimulator(bool process_exit) {
    if (!process_exit) delete g_simulator;
    g_simulator = nullptr;
}

}  // namespace
}  // namespace fpbench::sim

using fpbench::sim::NvmlEntry;
using fpbench::sim::NvmlSimulator;
namespace sim = fpbench::sim;

extern "C" {

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlInit_v2(void) {
    return sim::Enter(NvmlEntry::nvmlInit_v2, [](NvmlSimulator& s) {
        ++s.init_count;
        return sim::kSuccess;
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlShutdown(void) {
    return sim::Enter(NvmlEntry::nvmlShutdown, [](NvmlSimulator& s) {
        --s.init_count;
        return sim::kSuccess;
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetHandleByUUID(const char* uuid, nvmlDevice_t* device) {
    return sim::Enter(NvmlEntry::nvmlDeviceGetHandleByUUID, [&](NvmlSimulator& s) {
        if (uuid == nullptr || device == nullptr) return sim::kInvalidArgument;
        for (const auto& owned : s.devices) {
            if (owned->uuid_text == uuid) {
                *device = owned.get();
                return sim::kSuccess;
            }
        }
        return sim::kNotFound;
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetClockInfo(nvmlDevice_t device, nvmlClockType_t type,
                                                            unsigned int* clock) {
    return sim::Reading(NvmlEntry::nvmlDeviceGetClockInfo, device, clock, [&](NvmlSimulator& s) {
        const std::size_t index = s.IndexOf(device);
        const sim::SimDevice& simulated = s.config.devices[index];
        // Each clock its own value, as on a real board, so that a program
        // asking for the wrong one reads something else than the SM clock.
        switch (type) {
            case sim::kClockSm: *clock = s.SmClock(index, ++s.clock_readings[index]); return sim::kSuccess;
            case sim::kClockGraphics: *clock = simulated.clock_mhz + 15; return sim::kSuccess;
            case sim::kClockMemory: *clock = 9501; return sim::kSuccess;
            case sim::kClockVideo: *clock = 1650; return sim::kSuccess;
            default: return sim::kInvalidArgument;
        }
    });
}

// The board's limits: other values than the current clocks, so that a
// program asking for the wrong one reads something else.
nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetMaxClockInfo(nvmlDevice_t device, nvmlClockType_t type,
                                                               unsigned int* clock) {
    return sim::Reading(NvmlEntry::nvmlDeviceGetMaxClockInfo, device, clock, [&](NvmlSimulator& s) {
        const sim::SimDevice& simulated = s.config.devices[s.IndexOf(device)];
        switch (type) {
            case sim::kClockSm: *clock = simulated.MaxClock(); return sim::kSuccess;
            case sim::kClockGraphics: *clock = simulated.MaxClock() + 15; return sim::kSuccess;
            case sim::kClockMemory: *clock = 10501; return sim::kSuccess;
            case sim::kClockVideo: *clock = 1950; return sim::kSuccess;
            default: return sim::kInvalidArgument;
        }
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetTemperature(nvmlDevice_t device, nvmlTemperatureSensors_t sensorType,
                                                              unsigned int* temp) {
    return sim::Reading(NvmlEntry::nvmlDeviceGetTemperature, device, temp, [&](NvmlSimulator& s) {
        if (sensorType != sim::kTemperatureGpu) return sim::kInvalidArgument;
        *temp = s.config.nvml_temperature_c;
        return sim::kSuccess;
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetPowerUsage(nvmlDevice_t device, unsigned int* power) {
    return sim::Reading(NvmlEntry::nvmlDeviceGetPowerUsage, device, power, [&](NvmlSimulator& s) {
        *power = s.config.devices[s.IndexOf(device)].power_mw;
        return sim::kSuccess;
    });
}

// The reasons, under both of their published names.
nvmlReturn_t ClocksReasons(NvmlEntry entry, nvmlDevice_t device, unsigned long long* reasons) {
    return sim::Enter(entry, [&](NvmlSimulator& s) {
        if (!s.KnownDevice(device) || reasons == nullptr) return sim::kInvalidArgument;
        *reasons = s.Reasons(s.IndexOf(device));
        return sim::kSuccess;
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetCurrentClocksEventReasons(nvmlDevice_t device,
                                                                            unsigned long long* reasons) {
    return ClocksReasons(NvmlEntry::nvmlDeviceGetCurrentClocksEventReasons, device, reasons);
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetCurrentClocksThrottleReasons(nvmlDevice_t device,
                                                                               unsigned long long* reasons) {
    return ClocksReasons(NvmlEntry::nvmlDeviceGetCurrentClocksThrottleReasons, device, reasons);
}

// Time below the clocks grows with the throttled readings, for the policy
// that the drop's reasons belong to.
nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetViolationStatus(nvmlDevice_t device, nvmlPerfPolicyType_t policy,
                                                                  nvmlViolationTime_t* time) {
    return sim::Enter(NvmlEntry::nvmlDeviceGetViolationStatus, [&](NvmlSimulator& s) {
        if (!s.KnownDevice(device) || time == nullptr || policy < sim::kPolicyPower ||
            (policy > sim::kPolicyReliability && policy < 10) || policy > sim::kPolicyTotalBaseClocks)
            return sim::kInvalidArgument;
        const std::size_t index = s.IndexOf(device);
        const unsigned long long reasons = s.config.devices[index].clock_reasons;
        const bool counts = policy >= 10 ||
                            (policy == sim::kPolicyPower && (reasons & (sim::kReasonSwPowerCap | sim::kReasonHwPowerBrakeSlowdown))) ||
                            (policy == sim::kPolicyThermal && (reasons & sim::kReasonSwThermalSlowdown)) ||
                            (policy == sim::kPolicyBoardLimit && (reasons & sim::kReasonHwSlowdown));
        time->referenceTime = 1'767'225'600'000'000ull;
        time->violationTime = counts && reasons != 0 ? s.ThrottledReadings(index) * sim::kThrottledReadingNs : 0;
        return sim::kSuccess;
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetEnforcedPowerLimit(nvmlDevice_t device, unsigned int* limit) {
    return sim::Reading(NvmlEntry::nvmlDeviceGetEnforcedPowerLimit, device, limit, [&](NvmlSimulator& s) {
        *limit = s.config.devices[s.IndexOf(device)].power_limit_w * 1000;
        return sim::kSuccess;
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetPowerManagementDefaultLimit(nvmlDevice_t device, unsigned int* limit) {
    return sim::Reading(NvmlEntry::nvmlDeviceGetPowerManagementDefaultLimit, device, limit, [&](NvmlSimulator&) {
        *limit = 300000;
        return sim::kSuccess;
    });
}

// Corrected errors never; the uncorrected ones once the device has run.
nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetTotalEccErrors(nvmlDevice_t device, nvmlMemoryErrorType_t type,
                                                                 nvmlEccCounterType_t counter, unsigned long long* count) {
    return sim::Enter(NvmlEntry::nvmlDeviceGetTotalEccErrors, [&](NvmlSimulator& s) {
        if (!s.KnownDevice(device) || count == nullptr || type < 0 || type > 1 || counter < 0 || counter > 1)
            return sim::kInvalidArgument;
        const std::size_t index = s.IndexOf(device);
        *count = type == 1 && s.clock_readings[index] > 0 ? s.config.devices[index].ecc_uncorrected : 0;
        return sim::kSuccess;
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetRemappedRows(nvmlDevice_t device, unsigned int* corrected,
                                                               unsigned int* uncorrected, unsigned int* pending,
                                                               unsigned int* failure) {
    return sim::Enter(NvmlEntry::nvmlDeviceGetRemappedRows, [&](NvmlSimulator& s) {
        if (!s.KnownDevice(device) || !corrected || !uncorrected || !pending || !failure) return sim::kInvalidArgument;
        const sim::SimDevice& simulated = s.config.devices[s.IndexOf(device)];
        *corrected = 0;
        *uncorrected = 0;
        *pending = simulated.remap_pending;
        *failure = simulated.remap_failed;
        return sim::kSuccess;
    });
}

// No page was ever retired; asked without a buffer, the count alone.
nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetRetiredPages(nvmlDevice_t device, nvmlPageRetirementCause_t cause,
                                                               unsigned int* count, unsigned long long*) {
    return sim::Reading(NvmlEntry::nvmlDeviceGetRetiredPages, device, count, [&](NvmlSimulator&) {
        if (cause < 0 || cause > 1) return sim::kInvalidArgument;
        *count = 0;
        return sim::kSuccess;
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetCurrPcieLinkGeneration(nvmlDevice_t device, unsigned int* value) {
    return sim::Reading(NvmlEntry::nvmlDeviceGetCurrPcieLinkGeneration, device, value, [&](NvmlSimulator& s) {
        *value = s.config.devices[s.IndexOf(device)].pcie_generation;
        return sim::kSuccess;
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetCurrPcieLinkWidth(nvmlDevice_t device, unsigned int* value) {
    return sim::Reading(NvmlEntry::nvmlDeviceGetCurrPcieLinkWidth, device, value, [&](NvmlSimulator& s) {
        *value = s.config.devices[s.IndexOf(device)].pcie_width;
        return sim::kSuccess;
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetMaxPcieLinkGeneration(nvmlDevice_t device, unsigned int* value) {
    return sim::Reading(NvmlEntry::nvmlDeviceGetMaxPcieLinkGeneration, device, value, [&](NvmlSimulator&) {
        *value = 4;
        return sim::kSuccess;
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetMaxPcieLinkWidth(nvmlDevice_t device, unsigned int* value) {
    return sim::Reading(NvmlEntry::nvmlDeviceGetMaxPcieLinkWidth, device, value, [&](NvmlSimulator&) {
        *value = 16;
        return sim::kSuccess;
    });
}

// A version text into the caller's buffer, NUL included, as NVML does.
nvmlReturn_t CopyVersion(const char* text, char* buffer, unsigned int length) {
    if (buffer == nullptr) return sim::kInvalidArgument;
    if (std::strlen(text) + 1 > length) return sim::kInsufficientSize;
    std::memcpy(buffer, text, std::strlen(text) + 1);
    return sim::kSuccess;
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlSystemGetDriverVersion(char* version, unsigned int length) {
    return sim::Enter(NvmlEntry::nvmlSystemGetDriverVersion,
                      [&](NvmlSimulator&) { return CopyVersion(sim::kDriverVersion, version, length); });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetVbiosVersion(nvmlDevice_t device, char* version, unsigned int length) {
    return sim::Enter(NvmlEntry::nvmlDeviceGetVbiosVersion, [&](NvmlSimulator& s) {
        return s.KnownDevice(device) ? CopyVersion(sim::kVbiosVersion, version, length) : sim::kInvalidArgument;
    });
}

nvmlReturn_t FPBENCH_GPUAPI SimImpl_nvmlDeviceGetTemperatureThreshold(nvmlDevice_t device,
                                                                       nvmlTemperatureThresholds_t type,
                                                                       unsigned int* temp) {
    return sim::Reading(NvmlEntry::nvmlDeviceGetTemperatureThreshold, device, temp, [&](NvmlSimulator&) {
        switch (type) {
            case sim::kThresholdShutdown: *temp = 95; return sim::kSuccess;
            case sim::kThresholdSlowdown: *temp = 90; return sim::kSuccess;
            default: return sim::kNotSupported;
        }
    });
}

}  // extern "C"

// Asked by the simulated driver, which times a batch at the clock its
// reading will show.
extern "C" SIM_HELPER_EXPORT unsigned tessmor_sim_next_sm_clock(const unsigned char* uuid) {
    NvmlSimulator* s = sim::g_simulator;
    if (s == nullptr || uuid == nullptr) return 0;
    std::lock_guard lock(s->gate.Mutex());
    for (std::size_t i = 0; i < s->config.devices.size(); ++i)
        if (std::equal(s->config.devices[i].uuid.begin(), s->config.devices[i].uuid.end(), uuid))
            return s->SmClock(i, s->clock_readings[i] + 1);
    return 0;
}

#define SIM_NVML_EXPORT(name, params) \
    SIM_DEFINE_EXPORT(nvmlReturn_t, name, params, fpbench::sim::ExportPresent(NvmlEntry::name))
FPBENCH_NVML_ENTRY_POINTS(SIM_NVML_EXPORT)
FPBENCH_NVML_OPTIONAL_ENTRY_POINTS(SIM_NVML_EXPORT)
#undef SIM_NVML_EXPORT

SIM_DEFINE_LIBRARY_LIFETIME()
