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
    std::vector<FailRule> fail_rules;
    std::vector<SignalRule> signal_rules;
    std::vector<HoldRule> hold_rules;
    std::vector<std::string> missing_exports;
    std::string trace_path;
    std::string live_path;
    bool no_driver = false;
    bool no_nvml = false;
    bool error_string_null = false;
    double tflops_fp16 = 100.0;
    double tflops_fp32 = 50.0;
    // Real host time that waiting for a batch takes (0: none), for watching
    // a run by hand.
    double batch_delay_ms = 0.0;
    ElapsedOverride elapsed = ElapsedOverride::None;
    std::optional<std::string> load_log;
    GemmFault gemm_fault = GemmFault::None;
    std::uint64_t gemm_fault_first_launch = 1;
    unsigned nvml_clock_mhz = 1800;
    unsigned nvml_power_mw = 250000;
    unsigned nvml_temperature_c = 65;
    // From this clock reading on (1-based; 0: never) the SM clock reads
    // nvml_clock_drop_mhz instead, as on a GPU that throttles.
    std::uint64_t nvml_clock_drop_from = 0;
    unsigned nvml_clock_drop_mhz = 0;
    // One line per value that could not be used (the default applies).
    std::vector<std::string> warnings;
};

// Returns the value of an environment variable, nullopt when unset.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

SimConfig ReadSimConfig(const EnvLookup& env);

}  // namespace fpbench::sim
