// What the simulated GPU libraries read from the environment each time they
// are loaded. Parsing is pure: the caller supplies the variable lookup.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fpbench::sim {

using Uuid = std::array<unsigned char, 16>;

struct SimDevice {
    std::string name;
    Uuid uuid{};
    int sm_count = 0;
    int cc_major = 0;
    int cc_minor = 0;
    std::uint64_t free_bytes = 0;
    std::uint64_t total_bytes = 0;
    // Modelled rates of the two accumulators at the SM clock `clock_mhz`; a
    // GPU whose clock falls runs that much slower.
    double tflops_fp16 = 100.0;
    double tflops_fp32 = 50.0;
    unsigned clock_mhz = 1800;
    // The highest SM clock the board names (NVML's maximum, the driver's
    // clock rate attribute); 0: clock_mhz.
    unsigned max_clock_mhz = 0;
    // From this SM clock reading on (1-based; 0: never) the clock is
    // clock_drop_mhz, as on a GPU that throttles.
    std::uint64_t clock_drop_from = 0;
    unsigned clock_drop_mhz = 0;
    // The power reading, and what the device draws from a shared supply
    // while it is busy.
    unsigned power_mw = 250000;
    // At this GEMM launch on the device (1-based; 0: never) the process
    // raises `launch_signal`, so that one screen child alone crashes.
    std::uint64_t signal_launch = 0;
    int launch_signal = 0;
    // NVML's health answers: the reason bits (nvmlClocksEventReasons) in
    // force while the clock drop is, the rise of the volatile uncorrected
    // ECC count once the device has run, the row remapping flags, the
    // current PCIe link and the enforced power limit.
    unsigned long long clock_reasons = 0;
    std::uint64_t ecc_uncorrected = 0;
    unsigned remap_pending = 0;
    unsigned remap_failed = 0;
    unsigned pcie_generation = 4;
    unsigned pcie_width = 16;
    unsigned power_limit_w = 300;
    unsigned MaxClock() const { return max_clock_mhz != 0 ? max_clock_mhz : clock_mhz; }
    // The SM clock at the `reading`-th reading.
    unsigned ClockAt(std::uint64_t reading) const {
        return clock_drop_from != 0 && reading >= clock_drop_from ? clock_drop_mhz : clock_mhz;
    }
};

// Entry point `entry` returns `code` on `count` calls (all, when unset)
// starting at its `first_call`-th call (1-based).
struct FailRule {
    std::string entry;
    std::uint64_t first_call = 1;
    int code = 999;
    std::optional<std::uint64_t> count;

    bool Fails(std::uint64_t call) const {
        return call >= first_call && (!count || call - first_call < *count);
    }
};

// At the `call`-th call of `entry` since load the library raises `signal` in
// the calling thread (POSIX only), as a user's Ctrl+C would arrive mid-run.
struct SignalRule {
    std::string entry;
    std::uint64_t call = 1;
    int signal = 0;
};

// At the `call`-th call of `entry` since load the calling thread stops before
// the call runs until a test lets it go, so that the test acts at a known
// point of a run (Windows only: the named events `event`.reached and
// `event`.release).
struct HoldRule {
    std::string entry;
    std::uint64_t call = 1;
    std::string event;
};

enum class GemmFault { None, Wrong, Nan, Inf, GuardBefore, GuardAfter, NoWrite };
enum class ElapsedOverride { None, Zero, Nan, Negative };

struct SimConfig {
    std::vector<SimDevice> devices;
    // What CUDA_VISIBLE_DEVICES leaves the driver, by index into `devices`,
    // renumbered from 0 in this order (NVML sees every device).
    std::vector<std::size_t> visible;
    std::vector<FailRule> fail_rules;
    std::vector<SignalRule> signal_rules;
    std::vector<HoldRule> hold_rules;
    std::vector<std::string> missing_exports;
    std::string trace_path;
    std::string live_path;
    bool no_driver = false;
    bool no_nvml = false;
    bool error_string_null = false;
    // Seeded trial-to-trial spread: each timed interval between two events
    // lasts (1 + noise_pct / 100 · z) times as long, z standard normal.
    double noise_pct = 0.0;
    std::uint32_t noise_seed = 1;
    // Real host time that waiting for a batch takes (0: none), for watching
    // a run by hand.
    double batch_delay_ms = 0.0;
    ElapsedOverride elapsed = ElapsedOverride::None;
    std::optional<std::string> load_log;
    GemmFault gemm_fault = GemmFault::None;
    std::uint64_t gemm_fault_first_launch = 1;
    // Processes sharing one simulated machine (Linux): a power supply of this
    // many watts (0: none), the file that holds which devices are busy, and a
    // barrier that holds each device at its first launch until this many are
    // busy (0: none), the last one then sending `barrier_signal` (0: none) to
    // its parent process.
    unsigned shared_power_w = 0;
    std::string shared_state_path;
    unsigned busy_barrier = 0;
    int barrier_signal = 0;
    unsigned nvml_temperature_c = 65;
    // One line per value that could not be used (the default applies).
    std::vector<std::string> warnings;
};

// Returns the value of an environment variable, nullopt when unset.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

SimConfig ReadSimConfig(const EnvLookup& env);

}  // namespace fpbench::sim
