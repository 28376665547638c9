// health.json: why the GPU ran as it did, beside a run's result.json. Per
// trial the clock reasons in force (by their names in kClockReasons), per run
// the violation time and ECC counts before and after, the remapped rows, the
// PCIe link, the power limit and the versions. Building it is pure.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include "bench/records.h"
#include "report/report_names.h"

namespace fpbench {

// How many trials had each reason of kClockReasons in force, of the trials
// whose reasons NVML told.
struct ReasonTally {
    std::size_t known_trials = 0;
    std::array<std::size_t, std::size(kClockReasons)> trials{};
};
ReasonTally TallyClockReasons(std::span<const TrialRecord> trials);

// The whole content of health.json; unknown readings are null.
std::string HealthDocument(const RunResult& result);

}  // namespace fpbench
