// How the Linux program judges numbers read back from run folders: the
// thresholds of compare and fleet, from which the verdicts, the pages' notes
// and the usage text take their numbers.
#pragma once

#include <cstddef>

namespace fpbench::judging {

// compare: a change of the median of at least this is judged by the rank test
// at this significance, below it "same"; a clock that moved more than this is
// named beside the verdict. Beyond kExactTrials pooled trials the rank test
// takes its normal approximation.
inline constexpr double kSameWithinPct = 1.0;
inline constexpr double kSignificance = 0.01;
inline constexpr double kClockMovedPct = 2.0;
inline constexpr std::size_t kExactTrials = 40;

// fleet: a GPU this far below its cohort's reference (the median; the fastest
// GPU in a cohort of two or three) is flagged; so is one the robust z-score
// singles out while it is at least kZAlsoBelowPct below, in a cohort of at
// least kZCohort GPUs; a GPU whose own trials spread more than
// kUnstableNoisePct is unstable. A slow row's cause is "clock" when its SM
// clock is at least kClockBelowCohortPct below the cohort's, "full clock"
// when its FLOP per SM per clock is at least kPerClockBelowPct below.
inline constexpr double kWarnBelowPct = 3.5;
inline constexpr double kFailBelowPct = 7.0;
inline constexpr double kRobustZ = -3.5;
inline constexpr double kZAlsoBelowPct = 2.0;
inline constexpr std::size_t kZCohort = 5;
inline constexpr std::size_t kSmallCohort = 3;
inline constexpr double kUnstableNoisePct = 2.0;
inline constexpr double kClockBelowCohortPct = 3.0;
inline constexpr double kPerClockBelowPct = 3.0;

}  // namespace fpbench::judging
