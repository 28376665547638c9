#include "sim/entry_gate.h"

#include <algorithm>

#include "sim/os.h"

namespace fpbench::sim {

EntryGate::EntryGate(std::span<const char* const> names, const SimConfig& config)
    : names_(names),
      rules_(names.size()),
      signals_(names.size()),
      holds_(names.size()),
      calls_(names.size(), 0),
      missing_(names.size(), false),
      trace_path_(config.trace_path) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (const auto& rule : config.fail_rules)
            if (rule.entry == names[i]) rules_[i].push_back(rule);
        for (const auto& rule : config.signal_rules)
            if (rule.entry == names[i]) signals_[i].push_back(rule);
        for (const auto& rule : config.hold_rules)
            if (rule.entry == names[i]) holds_[i].push_back(rule);
        missing_[i] = std::find(config.missing_exports.begin(), config.missing_exports.end(), names[i]) !=
                      config.missing_exports.end();
    }
}

std::uint64_t EntryGate::CountCall(std::size_t entry) {
    const std::uint64_t call = ++calls_[entry];
    for (const auto& rule : signals_[entry])
        if (rule.call == call) RaiseSignal(rule.signal);
    return call;
}

std::optional<int> EntryGate::InjectedResult(std::size_t entry, std::uint64_t call) const {
    for (const auto& rule : rules_[entry])
        if (rule.Fails(call)) return rule.code;
    return std::nullopt;
}

const std::string* EntryGate::HoldEvent(std::size_t entry, std::uint64_t call) const {
    for (const auto& rule : holds_[entry])
        if (rule.call == call) return &rule.event;
    return nullptr;
}

void EntryGate::Trace(std::size_t entry, int result) const {
    if (trace_path_.empty()) return;
    AppendToFile(trace_path_, std::string(names_[entry]) + " " + std::to_string(result) + "\n");
}

}  // namespace fpbench::sim
