// What every exported entry point of a simulated library does around its
// body: take the library's one lock, count the call, hold it where a test
// asked to, apply an injected failure, and trace the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/os.h"

namespace fpbench::sim {

class EntryGate {
public:
    // `names`: the library's entry points, indexed as the callers index them.
    EntryGate(std::span<const char* const> names, const SimConfig& config);

    // Counts one call, raising a signal where a rule asks; the call's number.
    std::uint64_t CountCall(std::size_t entry);
    // The result code to return instead when a rule fails the call.
    std::optional<int> InjectedResult(std::size_t entry, std::uint64_t call) const;
    // The event name of a rule that holds the call; null when none does.
    const std::string* HoldEvent(std::size_t entry, std::uint64_t call) const;
    void Trace(std::size_t entry, int result) const;
    // Listed in TESSMOR_SIM_MISSING_EXPORT.
    bool Missing(std::size_t entry) const { return missing_[entry]; }
    std::mutex& Mutex() { return mutex_; }

private:
    std::span<const char* const> names_;
    std::vector<std::vector<FailRule>> rules_;
    std::vector<std::vector<SignalRule>> signals_;
    std::vector<std::vector<HoldRule>> holds_;
    std::vector<std::uint64_t> calls_;
    std::vector<bool> missing_;
    std::string trace_path_;
    std::mutex mutex_;
};

// Runs `body` (returning the result code) as entry `entry` under the gate; an
// escaping exception becomes `exception_result`. A failed injected call runs
// nothing, so it has no other effect. A held call waits without the lock, so
// that other threads may use the library meanwhile.
template <typename Body>
int RunEntry(EntryGate& gate, std::size_t entry, int exception_result, Body&& body) {
    std::unique_lock lock(gate.Mutex());
    const std::uint64_t call = gate.CountCall(entry);
    if (const std::string* event = gate.HoldEvent(entry, call)) {
        lock.unlock();
        HoldUntilReleased(*event);
        lock.lock();
    }
    int result = exception_result;
    if (const auto injected = gate.InjectedResult(entry, call)) {
        result = *injected;
    } else {
        try {
            result = body();
        } catch (...) {
            result = exception_result;
        }
    }
    gate.Trace(entry, result);
    return result;
}

}  // namespace fpbench::sim
