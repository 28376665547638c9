// The verdicts of fleet and compare, one line each: the word the CSV files and
// the terminal print, the bilingual label, the severity (the order of the
// enums, worst first), the page's tone, and what follows from it: a flag
// (exit code 2, listed) and, for fleet, whether --drain takes the GPU's node
// out of service. No verdict word is written anywhere else.
#pragma once

#include <cstddef>
#include <span>

namespace fpbench {

// A GPU of a fleet, worst first.
enum class Verdict { Fail, Duplicate, Incomplete, Missing, Unreadable, Warn, Alone, Unstable, Ok, Superseded };

// A row of a comparison, worst first.
enum class Change { Failed, Slower, Unclear, Faster, Same };

// The page's colours per tone: bad, warn, mild, odd, muted, good, faint.
struct VerdictInfo {
    const char* word;
    const char* label;  // "失败 / fail"
    const char* tone;
    bool flagged;
    bool drains;
    const char* meaning;  // what it means, for the page's legend
};

const VerdictInfo& Info(Verdict verdict);
const VerdictInfo& Info(Change change);
inline constexpr std::size_t kVerdicts = static_cast<std::size_t>(Verdict::Superseded) + 1;
inline constexpr std::size_t kChanges = static_cast<std::size_t>(Change::Same) + 1;
std::span<const Verdict> AllVerdicts();

inline bool Flagged(Verdict verdict) { return Info(verdict).flagged; }
inline bool Drains(Verdict verdict) { return Info(verdict).drains; }

}  // namespace fpbench
