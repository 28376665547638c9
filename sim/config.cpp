#include "sim/config.h"

#include "gpu/devices.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>
#include <tuple>
#include <utility>

namespace fpbench::sim {
namespace {

constexpr int kMaxDevices = 64;
constexpr std::size_t kMaxNameBytes = 255;
constexpr std::uint64_t kGiB = 1024ull * 1024 * 1024;

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

template <typename T>
std::optional<T> ParseNumber(std::string_view text) {
    T value{};
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    return value;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 32 hexadecimal digits; a "GPU-" prefix and hyphens are allowed so that the
// text NVML prints can be pasted back.
std::optional<Uuid> ParseUuid(std::string_view text) {
    if (text.substr(0, 4) == "GPU-") text.remove_prefix(4);
    Uuid uuid{};
    std::size_t digits = 0;
    for (char c : text) {
        if (c == '-') continue;
        const int value = HexDigit(c);
        if (value < 0 || digits == 32) return std::nullopt;
        uuid[digits / 2] = static_cast<unsigned char>(uuid[digits / 2] * 16 + value);
        ++digits;
    }
    if (digits != 32) return std::nullopt;
    return uuid;
}

// Distinct per device, with a leading zero nibble in byte 0.
Uuid DefaultUuid(int device) {
    Uuid uuid{};
    for (int i = 0; i < 15; ++i) uuid[i] = static_cast<unsigned char>(0x0a + 0x11 * i);
    uuid[15] = static_cast<unsigned char>(device);
    return uuid;
}

class Reader {
public:
    Reader(const EnvLookup& env, SimConfig& config) : env_(env), config_(config) {}

    std::optional<std::string> Text(const std::string& name) const { return env_(name.c_str()); }

    bool Flag(const std::string& name) const {
        const auto value = Text(name);
        return value && !value->empty() && *value != "0";
    }

    template <typename T>
    void Number(const std::string& name, T& target, bool (*valid)(T) = nullptr) {
        const auto text = Text(name);
        if (!text) return;
        const auto value = ParseNumber<T>(*text);
        if (value && (valid == nullptr || valid(*value)))
            target = *value;
        else
            Warn(name, *text);
    }

    void Warn(const std::string& name, std::string_view value) {
        config_.warnings.push_back(name + "=" + std::string(value) + " is not usable; the default applies");
    }

private:
    const EnvLookup& env_;
    SimConfig& config_;
};

// "K:MHZ": from the K-th SM clock reading on, the clock is MHZ.
bool ClockDrop(Reader& reader, const std::string& name, SimDevice& device) {
    const auto text = reader.Text(name);
    if (!text) return false;
    const auto fields = Split(*text, ':');
    const auto from = fields.size() == 2 ? ParseNumber<std::uint64_t>(fields[0]) : std::nullopt;
    const auto mhz = fields.size() == 2 ? ParseNumber<unsigned>(fields[1]) : std::nullopt;
    if (!from || *from == 0 || !mhz) {
        reader.Warn(name, *text);
        return false;
    }
    device.clock_drop_from = *from;
    device.clock_drop_mhz = *mhz;
    return true;
}

// NAME[+NAME...]: NVML's published clock reason bits, by the knob's names.
struct ReasonKnob {
    const char* name;
    unsigned long long bit;
};
constexpr ReasonKnob kReasonKnobs[] = {
    {"power_cap", 0x4}, {"hw_slowdown", 0x8}, {"sync_boost", 0x10}, {"thermal", 0x20}, {"power_brake", 0x80}};

// "A:B", two numbers.
std::optional<std::pair<unsigned, unsigned>> Pair(std::string_view text) {
    const auto fields = Split(text, ':');
    const auto a = fields.size() == 2 ? ParseNumber<unsigned>(fields[0]) : std::nullopt;
    const auto b = fields.size() == 2 ? ParseNumber<unsigned>(fields[1]) : std::nullopt;
    if (!a || !b) return std::nullopt;
    return std::pair{*a, *b};
}

// The health knobs, for every device (TESSMOR_SIM_<KNOB>) or for one.
void ReadHealth(Reader& reader, const std::string& prefix, SimDevice& device) {
    if (const auto text = reader.Text(prefix + "CLOCK_REASONS")) {
        unsigned long long bits = 0;
        bool valid = true;
        for (const auto name : Split(*text, '+')) {
            const auto* known = std::find_if(std::begin(kReasonKnobs), std::end(kReasonKnobs),
                                             [&](const ReasonKnob& knob) { return name == knob.name; });
            valid = valid && known != std::end(kReasonKnobs);
            if (valid) bits |= known->bit;
        }
        if (valid)
            device.clock_reasons = bits;
        else
            reader.Warn(prefix + "CLOCK_REASONS", *text);
    }
    reader.Number<std::uint64_t>(prefix + "ECC_UNCORRECTED", device.ecc_uncorrected);
    for (const auto& [knob, first, second] : {std::tuple{"REMAPPED", &device.remap_pending, &device.remap_failed},
                                              std::tuple{"PCIE", &device.pcie_generation, &device.pcie_width}}) {
        const auto text = reader.Text(prefix + knob);
        if (!text) continue;
        if (const auto pair = Pair(*text))
            std::tie(*first, *second) = *pair;
        else
            reader.Warn(prefix + knob, *text);
    }
    reader.Number<unsigned>(prefix + "POWER_LIMIT_W", device.power_limit_w);
}

bool Positive(double value) { return std::isfinite(value) && value > 0; }

// The rates and the clocks, for every device (TESSMOR_SIM_<KNOB>) or for one
// (TESSMOR_SIM_DEVICE<i>_<KNOB>, which wins).
void ReadSpeed(Reader& reader, const std::string& prefix, SimDevice& device, bool per_device) {
    reader.Number<double>(prefix + "TFLOPS", device.tflops_fp16, Positive);
    reader.Number<double>(prefix + "TFLOPS_FP32", device.tflops_fp32, Positive);
    reader.Number<unsigned>(prefix + (per_device ? "CLOCK_MHZ" : "NVML_CLOCK_MHZ"), device.clock_mhz);
    reader.Number<unsigned>(prefix + "MAX_CLOCK_MHZ", device.max_clock_mhz);
    ClockDrop(reader, prefix + (per_device ? "CLOCK_DROP" : "NVML_CLOCK_DROP"), device);
    reader.Number<unsigned>(prefix + (per_device ? "POWER_MW" : "NVML_POWER_MW"), device.power_mw);
}

// CUDA_VISIBLE_DEVICES as NVIDIA's driver reads it: ordinals or UUIDs
// ("GPU-..." or a unique beginning of one), separated by commas; the first
// invalid entry hides itself and everything after it.
std::vector<std::size_t> VisibleDevices(const std::optional<std::string>& list, const std::vector<SimDevice>& devices) {
    std::vector<std::size_t> visible;
    if (!list) {
        for (std::size_t i = 0; i < devices.size(); ++i) visible.push_back(i);
        return visible;
    }
    for (std::string_view entry : Split(*list, ',')) {
        while (!entry.empty() && entry.front() == ' ') entry.remove_prefix(1);
        std::optional<std::size_t> found;
        if (const auto ordinal = ParseNumber<std::size_t>(entry); ordinal && *ordinal < devices.size()) found = ordinal;
        for (std::size_t i = 0; !found && entry.starts_with("GPU-") && i < devices.size(); ++i)
            if (FormatUuid(devices[i].uuid).starts_with(entry)) found = i;
        if (!found || std::find(visible.begin(), visible.end(), *found) != visible.end()) break;
        visible.push_back(*found);
    }
    return visible;
}

SimDevice ReadDevice(Reader& reader, int index, const SimDevice& defaults) {
    SimDevice device = defaults;
    device.name = "Tessmor Simulated GPU";
    device.uuid = DefaultUuid(index);
    device.sm_count = 84;
    device.cc_major = 8;
    device.cc_minor = 6;
    device.free_bytes = 24 * kGiB;

    const std::string prefix = "TESSMOR_SIM_DEVICE" + std::to_string(index) + "_";
    if (auto name = reader.Text(prefix + "NAME")) {
        if (name->size() > kMaxNameBytes) {
            reader.Warn(prefix + "NAME", "(longer than 255 bytes)");
            name->resize(kMaxNameBytes);
        }
        device.name = *name;
    }
    if (const auto text = reader.Text(prefix + "UUID")) {
        if (const auto uuid = ParseUuid(*text))
            device.uuid = *uuid;
        else
            reader.Warn(prefix + "UUID", *text);
    }
    reader.Number<int>(prefix + "SM", device.sm_count);
    if (const auto text = reader.Text(prefix + "CC")) {
        const auto parts = Split(*text, '.');
        const auto major = parts.size() == 2 ? ParseNumber<int>(parts[0]) : std::nullopt;
        const auto minor = parts.size() == 2 ? ParseNumber<int>(parts[1]) : std::nullopt;
        if (major && minor) {
            device.cc_major = *major;
            device.cc_minor = *minor;
        } else {
            reader.Warn(prefix + "CC", *text);
        }
    }
    reader.Number<std::uint64_t>(prefix + "FREE_BYTES", device.free_bytes);
    device.total_bytes = std::max(device.free_bytes, 24 * kGiB);
    reader.Number<std::uint64_t>(prefix + "TOTAL_BYTES", device.total_bytes);
    ReadSpeed(reader, prefix, device, true);
    ReadHealth(reader, prefix, device);
    if (const auto text = reader.Text(prefix + "SIGNAL")) {
        const auto fields = Split(*text, ':');
        const auto launch = fields.size() == 2 ? ParseNumber<std::uint64_t>(fields[0]) : std::nullopt;
        const auto signal = fields.size() == 2 ? ParseNumber<int>(fields[1]) : std::nullopt;
        if (launch && *launch > 0 && signal && *signal > 0) {
            device.signal_launch = *launch;
            device.launch_signal = *signal;
        } else {
            reader.Warn(prefix + "SIGNAL", *text);
        }
    }
    return device;
}

std::optional<FailRule> ParseFailRule(std::string_view text) {
    const auto fields = Split(text, ':');
    if (fields.size() > 4 || fields[0].empty()) return std::nullopt;
    FailRule rule;
    rule.entry = std::string(fields[0]);
    if (fields.size() > 1 && !fields[1].empty()) {
        const auto first = ParseNumber<std::uint64_t>(fields[1]);
        if (!first || *first == 0) return std::nullopt;
        rule.first_call = *first;
    }
    if (fields.size() > 2 && !fields[2].empty()) {
        const auto code = ParseNumber<int>(fields[2]);
        if (!code) return std::nullopt;
        rule.code = *code;
    }
    if (fields.size() > 3 && !fields[3].empty()) {
        rule.count = ParseNumber<std::uint64_t>(fields[3]);
        if (!rule.count) return std::nullopt;
    }
    return rule;
}

std::optional<GemmFault> ParseGemmFaultKind(std::string_view kind) {
    if (kind == "wrong") return GemmFault::Wrong;
    if (kind == "nan") return GemmFault::Nan;
    if (kind == "inf") return GemmFault::Inf;
    if (kind == "guard-before") return GemmFault::GuardBefore;
    if (kind == "guard-after") return GemmFault::GuardAfter;
    if (kind == "nowrite") return GemmFault::NoWrite;
    return std::nullopt;
}

}  // namespace

SimConfig ReadSimConfig(const EnvLookup& env) {
    SimConfig config;
    Reader reader(env, config);

    int device_count = 1;
    reader.Number<int>("TESSMOR_SIM_DEVICES", device_count, [](int n) { return n >= 0 && n <= kMaxDevices; });
    SimDevice defaults;
    ReadSpeed(reader, "TESSMOR_SIM_", defaults, false);
    ReadHealth(reader, "TESSMOR_SIM_", defaults);
    for (int i = 0; i < device_count; ++i) config.devices.push_back(ReadDevice(reader, i, defaults));
    config.visible = VisibleDevices(reader.Text("CUDA_VISIBLE_DEVICES"), config.devices);

    if (const auto text = reader.Text("TESSMOR_SIM_FAIL")) {
        for (const auto item : Split(*text, ',')) {
            if (item.empty()) continue;
            if (auto rule = ParseFailRule(item))
                config.fail_rules.push_back(std::move(*rule));
            else
                reader.Warn("TESSMOR_SIM_FAIL", item);
        }
    }
    if (const auto text = reader.Text("TESSMOR_SIM_SIGNAL")) {
        for (const auto item : Split(*text, ',')) {
            const auto fields = Split(item, ':');
            const auto call = fields.size() == 3 ? ParseNumber<std::uint64_t>(fields[1]) : std::nullopt;
            const auto signal = fields.size() == 3 ? ParseNumber<int>(fields[2]) : std::nullopt;
            if (call && *call > 0 && signal && !fields[0].empty())
                config.signal_rules.push_back({std::string(fields[0]), *call, *signal});
            else
                reader.Warn("TESSMOR_SIM_SIGNAL", item);
        }
    }
    if (const auto text = reader.Text("TESSMOR_SIM_HOLD")) {
        for (const auto item : Split(*text, ',')) {
            const auto fields = Split(item, ':');
            const auto call = fields.size() == 3 ? ParseNumber<std::uint64_t>(fields[1]) : std::nullopt;
            if (call && *call > 0 && !fields[0].empty() && !fields[2].empty())
                config.hold_rules.push_back({std::string(fields[0]), *call, std::string(fields[2])});
            else
                reader.Warn("TESSMOR_SIM_HOLD", item);
        }
    }
    if (const auto text = reader.Text("TESSMOR_SIM_MISSING_EXPORT")) {
        for (const auto item : Split(*text, ','))
            if (!item.empty()) config.missing_exports.emplace_back(item);
    }
    config.trace_path = reader.Text("TESSMOR_SIM_TRACE").value_or("");
    config.live_path = reader.Text("TESSMOR_SIM_LIVE").value_or("");
    config.no_driver = reader.Flag("TESSMOR_SIM_NO_DRIVER");
    config.no_nvml = reader.Flag("TESSMOR_SIM_NO_NVML");
    config.error_string_null = reader.Flag("TESSMOR_SIM_ERROR_STRING_NULL");

    if (const auto text = reader.Text("TESSMOR_SIM_NOISE")) {
        const auto fields = Split(*text, ':');
        const auto pct = ParseNumber<double>(fields[0]);
        const auto seed = fields.size() == 2 ? ParseNumber<std::uint32_t>(fields[1]) : std::optional<std::uint32_t>(1);
        if (pct && *pct >= 0 && *pct < 50 && seed && *seed != 0 && fields.size() <= 2) {
            config.noise_pct = *pct;
            config.noise_seed = *seed;
        } else {
            reader.Warn("TESSMOR_SIM_NOISE", *text);
        }
    }
    reader.Number<double>("TESSMOR_SIM_BATCH_DELAY_MS", config.batch_delay_ms,
                          [](double value) { return std::isfinite(value) && value >= 0 && value <= 60000; });

    if (const auto text = reader.Text("TESSMOR_SIM_ELAPSED")) {
        if (*text == "zero")
            config.elapsed = ElapsedOverride::Zero;
        else if (*text == "nan")
            config.elapsed = ElapsedOverride::Nan;
        else if (*text == "negative")
            config.elapsed = ElapsedOverride::Negative;
        else
            reader.Warn("TESSMOR_SIM_ELAPSED", *text);
    }
    // An empty log cannot be told apart from an unset variable on Windows.
    if (auto text = reader.Text("TESSMOR_SIM_LOAD_LOG"); text && !text->empty()) config.load_log = std::move(text);

    if (const auto text = reader.Text("TESSMOR_SIM_GEMM_FAULT")) {
        const auto fields = Split(*text, ':');
        const auto kind = ParseGemmFaultKind(fields[0]);
        const auto first = fields.size() == 2 ? ParseNumber<std::uint64_t>(fields[1]) : std::optional<std::uint64_t>(1);
        if (kind && first && *first > 0 && fields.size() <= 2) {
            config.gemm_fault = *kind;
            config.gemm_fault_first_launch = *first;
        } else {
            reader.Warn("TESSMOR_SIM_GEMM_FAULT", *text);
        }
    }

    reader.Number<unsigned>("TESSMOR_SIM_SHARED_POWER_W", config.shared_power_w);
    config.shared_state_path = reader.Text("TESSMOR_SIM_SHARED_STATE").value_or("");
    if (const auto text = reader.Text("TESSMOR_SIM_BUSY_BARRIER")) {
        const auto fields = Split(*text, ':');
        const auto count = ParseNumber<unsigned>(fields[0]);
        const auto signal = fields.size() == 2 ? ParseNumber<int>(fields[1]) : std::optional<int>(0);
        if (count && *count > 0 && signal && *signal >= 0 && fields.size() <= 2) {
            config.busy_barrier = *count;
            config.barrier_signal = *signal;
        } else {
            reader.Warn("TESSMOR_SIM_BUSY_BARRIER", *text);
        }
    }
    reader.Number<unsigned>("TESSMOR_SIM_NVML_TEMPERATURE_C", config.nvml_temperature_c);
    return config;
}

}  // namespace fpbench::sim
