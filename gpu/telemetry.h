// Optional NVML telemetry of the benchmarked GPU: SM clock, board power,
// temperature and why the clocks are held back, the highest SM clock it can
// run at, and its health (counters read before and after a run, the board's
// limits and links). Any NVML problem only leaves readings at -1 (or empty).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "gpu/nvml_api.h"
#include "platform/platform.h"

namespace fpbench {

struct TelemetrySample {
    std::int32_t sm_clock_mhz = -1;
    std::int32_t power_mw = -1;
    std::int32_t temperature_c = -1;
    // nvmlClocksEventReasons bits in force after the batch.
    std::int64_t clock_reasons = -1;
};

// The violation counters a run reads, in the order of NvmlCounters::violation_ns.
struct ViolationPolicy {
    nvmlPerfPolicyType_t policy;
    const char* key;  // health.json
};
inline constexpr std::array<ViolationPolicy, 4> kViolationPolicies{{{nvml::kPerfPolicyPower, "power"},
                                                                    {nvml::kPerfPolicyThermal, "thermal"},
                                                                    {nvml::kPerfPolicyReliability, "reliability"},
                                                                    {nvml::kPerfPolicyBoardLimit, "board_limit"}}};

// Counters that grow while the GPU runs, read before and after a run.
struct NvmlCounters {
    // Time held below the applications clocks by each policy, since the driver loaded.
    std::array<std::int64_t, kViolationPolicies.size()> violation_ns{-1, -1, -1, -1};
    std::int64_t ecc_corrected = -1;  // volatile: since the driver loaded
    std::int64_t ecc_uncorrected = -1;
};

// What the board is and how it is set up, read once at the end of a run.
struct NvmlBoard {
    std::int32_t remapped_corrected = -1;
    std::int32_t remapped_uncorrected = -1;
    std::int32_t remap_pending = -1;
    std::int32_t remap_failure = -1;
    // Only where rows are not remapped (before Ampere).
    std::int32_t retired_single_bit = -1;
    std::int32_t retired_double_bit = -1;
    std::int32_t pcie_generation = -1;
    std::int32_t pcie_width = -1;
    std::int32_t pcie_max_generation = -1;
    std::int32_t pcie_max_width = -1;
    std::int32_t power_limit_mw = -1;
    std::int32_t default_power_limit_mw = -1;
    std::int32_t slowdown_temperature_c = -1;
    std::string driver_version;
    std::string vbios_version;
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
    friend void ReadCounters(const NvmlLibrary& library, NvmlCounters& counters) noexcept;
    friend void ReadBoard(const NvmlLibrary& library, NvmlBoard& board) noexcept;

    platform::LibraryHandle module_handle_ = nullptr;
    nvmlDevice_t device_handle_ = nullptr;  // null: no readings
    NvmlApi api_;
    bool initialized_ = false;  // nvmlShutdown is owed
};

// Overwrites each field whose reading succeeds (clock, power, temperature,
// clock reasons).
void SampleTelemetry(const NvmlLibrary& library, TelemetrySample& sample) noexcept;

// The highest SM clock the GPU can run at, as NVML reports it; -1 when NVML
// cannot say.
std::int32_t MaxSmClockMhz(const NvmlLibrary& library) noexcept;

// Each reading NVML gives overwrites its field; the others keep theirs.
void ReadCounters(const NvmlLibrary& library, NvmlCounters& counters) noexcept;
void ReadBoard(const NvmlLibrary& library, NvmlBoard& board) noexcept;

}  // namespace fpbench
