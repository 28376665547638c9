#include "report/health.h"

#include <initializer_list>
#include <string_view>
#include <utility>

#include "bench/number_format.h"
#include "report/text_format.h"

namespace fpbench {
namespace {

std::string Count(std::int64_t value) { return value < 0 ? "null" : std::to_string(value); }
std::string Watts(std::int32_t milliwatts) { return milliwatts < 0 ? "null" : FormatGeneral(milliwatts / 1000.0, 15); }
std::string Quoted(const std::string& text) { return text.empty() ? "null" : JsonQuote(text); }

std::string Counters(const NvmlCounters& counters) {
    std::string violation = "{";
    for (std::size_t i = 0; i < kViolationPolicies.size(); ++i)
        violation += (i == 0 ? "\"" : ",\"") + std::string(kViolationPolicies[i].key) +
                     "\":" + Count(counters.violation_ns[i]);
    return JsonObject({{"violation_ns", violation + '}'},
                   {"ecc_volatile", JsonObject({{"corrected", Count(counters.ecc_corrected)},
                                            {"uncorrected", Count(counters.ecc_uncorrected)}})}});
}

std::string ReasonNames(std::int64_t mask) {
    if (mask < 0) return "null";
    std::string out = "[";
    for (const ClockReasonName& reason : kClockReasons)
        if ((static_cast<unsigned long long>(mask) & reason.bit) != 0)
            out += (out.size() > 1 ? ",\"" : "\"") + std::string(reason.key) + '"';
    return out + ']';
}

std::string TrialObject(const TrialRecord& trial) {
    return JsonObject({{"n", std::to_string(trial.n)},
                   {"accumulator", '"' + std::string(Accumulator(trial.fp16_accumulate).mode) + '"'},
                   {"repetition", std::to_string(trial.repetition)},
                   {"order", std::to_string(trial.order)},
                   {"sm_clock_mhz", Count(trial.sm_clock_mhz)},
                   {"reasons", ReasonNames(trial.clock_reasons)}});
}

}  // namespace

ReasonTally TallyClockReasons(std::span<const TrialRecord> trials) {
    ReasonTally tally;
    for (const TrialRecord& trial : trials) {
        if (trial.clock_reasons < 0) continue;
        ++tally.known_trials;
        for (std::size_t i = 0; i < std::size(kClockReasons); ++i)
            if ((static_cast<unsigned long long>(trial.clock_reasons) & kClockReasons[i].bit) != 0) ++tally.trials[i];
    }
    return tally;
}

std::string HealthDocument(const RunResult& result) {
    const RunHealth& health = result.health;
    const NvmlBoard& board = health.board;
    const ReasonTally tally = TallyClockReasons(result.trials);
    std::string reason_trials = "{";
    for (std::size_t i = 0; i < std::size(kClockReasons); ++i)
        reason_trials += (i == 0 ? "\"" : ",\"") + std::string(kClockReasons[i].key) +
                         "\":" + (tally.known_trials == 0 ? "null" : std::to_string(tally.trials[i]));
    std::string trials = "[";
    for (std::size_t i = 0; i < result.trials.size(); ++i)
        trials += (i == 0 ? "\n" : ",\n") + TrialObject(result.trials[i]);
    std::string out = "{\n";
    JsonMembers members(out);
    for (const auto& [key, value] : std::initializer_list<std::pair<std::string_view, std::string>>{
             {"schema_version", "1"},
             {"status", JsonQuote(result.status)},
             {"device", JsonObject({{"name", JsonQuote(result.device.name)}, {"uuid", JsonQuote(result.device.uuid)}})},
             {"driver_version", Quoted(board.driver_version)},
             {"vbios_version", Quoted(board.vbios_version)},
             {"power_limit_w", Watts(board.power_limit_mw)},
             {"default_power_limit_w", Watts(board.default_power_limit_mw)},
             {"slowdown_temperature_c", Count(board.slowdown_temperature_c)},
             {"pcie", JsonObject({{"generation", Count(board.pcie_generation)},
                              {"width", Count(board.pcie_width)},
                              {"max_generation", Count(board.pcie_max_generation)},
                              {"max_width", Count(board.pcie_max_width)}})},
             {"remapped_rows", JsonObject({{"corrected", Count(board.remapped_corrected)},
                                       {"uncorrected", Count(board.remapped_uncorrected)},
                                       {"pending", Count(board.remap_pending)},
                                       {"failure", Count(board.remap_failure)}})},
             {"retired_pages", JsonObject({{"single_bit_ecc", Count(board.retired_single_bit)},
                                       {"double_bit_ecc", Count(board.retired_double_bit)}})},
             {"before", Counters(health.before)},
             {"after", Counters(health.after)},
             {"uncorrected_ecc_during_run", Count(health.UncorrectedDuringRun())},
             {"trials_with_reasons", std::to_string(tally.known_trials)},
             {"reason_trials", reason_trials + '}'},
             {"trials", trials + "\n]"},
         })
        members.Value(key, value).LineBreak();
    return out + "\n}\n";
}

}  // namespace fpbench
