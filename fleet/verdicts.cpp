#include "fleet/verdicts.h"

namespace fpbench {
namespace {

// In the order of the enums.
constexpr VerdictInfo kFleet[] = {
    {"fail", "失败 / fail", "bad", true, true,
     "a check failed, the throughput was impossible, a CUDA error, the driver or the GPU missing, or too slow"},
    {"duplicate", "重复 / duplicate", "bad", true, false,
     "two runs of this GPU at the same time: the scheduler did not give each task a GPU of its own"},
    {"incomplete", "未完成 / incomplete", "odd", true, false,
     "the run was cancelled, stopped, killed or could not write its reports"},
    {"missing", "缺失 / missing", "odd", true, false, "an expected GPU left no folder: its task never ran"},
    {"unreadable", "不可读 / unreadable", "odd", true, false, "no readable, valid result.json"},
    {"warn", "警告 / warn", "warn", true, false, "slower than its cohort"},
    {"alone", "孤立 / alone", "mild", true, false, "no other GPU of this model to compare with"},
    {"unstable", "不稳定 / unstable", "mild", true, false, "its own trials spread too much: run it again"},
    {"ok", "正常 / ok", "muted", false, false, "as fast as its cohort, steady"},
    {"superseded", "已替代 / superseded", "faint", false, false, "a newer run of this GPU counts"},
};

constexpr VerdictInfo kCompare[] = {
    {"failed", "失败 / failed", "bad", true, false, "a run did not complete or a check failed"},
    {"slower", "变慢 / slower", "bad", true, false, "slower, beyond the noise"},
    {"unclear", "不确定 / unclear", "warn", false, false, "too few trials or too much noise to tell"},
    {"faster", "变快 / faster", "good", false, false, "faster, beyond the noise"},
    {"same", "相同 / same", "muted", false, false, "within the threshold"},
};

constexpr Verdict kAll[] = {Verdict::Fail,  Verdict::Duplicate, Verdict::Incomplete, Verdict::Missing,
                            Verdict::Unreadable, Verdict::Warn, Verdict::Alone,      Verdict::Unstable,
                            Verdict::Ok,    Verdict::Superseded};
static_assert(std::size(kFleet) == kVerdicts && std::size(kAll) == kVerdicts && std::size(kCompare) == kChanges);

}  // namespace

const VerdictInfo& Info(Verdict verdict) { return kFleet[static_cast<std::size_t>(verdict)]; }
const VerdictInfo& Info(Change change) { return kCompare[static_cast<std::size_t>(change)]; }
std::span<const Verdict> AllVerdicts() { return kAll; }

}  // namespace fpbench
