#include "sim/config.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

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

SimDevice ReadDevice(Reader& reader, int index) {
    SimDevice device;
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
    for (int i = 0; i < device_count; ++i) config.devices.push_back(ReadDevice(reader, i));

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

    const auto positive = [](double value) { return std::isfinite(value) && value > 0; };
    reader.Number<double>("TESSMOR_SIM_TFLOPS", config.tflops_fp16, positive);
    reader.Number<double>("TESSMOR_SIM_TFLOPS_FP32", config.tflops_fp32, positive);
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

    reader.Number<unsigned>("TESSMOR_SIM_NVML_CLOCK_MHZ", config.nvml_clock_mhz);
    reader.Number<unsigned>("TESSMOR_SIM_NVML_POWER_MW", config.nvml_power_mw);
    reader.Number<unsigned>("TESSMOR_SIM_NVML_TEMPERATURE_C", config.nvml_temperature_c);
    if (const auto text = reader.Text("TESSMOR_SIM_NVML_CLOCK_DROP")) {
        const auto fields = Split(*text, ':');
        const auto from = fields.size() == 2 ? ParseNumber<std::uint64_t>(fields[0]) : std::nullopt;
        const auto mhz = fields.size() == 2 ? ParseNumber<unsigned>(fields[1]) : std::nullopt;
        if (from && *from > 0 && mhz) {
            config.nvml_clock_drop_from = *from;
            config.nvml_clock_drop_mhz = *mhz;
        } else {
            reader.Warn("TESSMOR_SIM_NVML_CLOCK_DROP", *text);
        }
    }
    return config;
}

}  // namespace fpbench::sim
