// ValidateOutput against outputs written by hand into simulated device memory: exact results, the tolerance edge and
// non-finite values.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "bench/validation.h"
#include "gpu/gpu_session.h"
#include "run/run_benchmark.h"

namespace fpbench {
namespace {

constexpr std::int32_t kN = 256;
constexpr std::size_t kMatrixBytes = 2 * kN * kN;

// s/256 in half precision, for |s| < 1024.
std::uint16_t HalfOfSixteenths(int s) {
    if (s == 0) return 0;
    const unsigned magnitude = static_cast<unsigned>(s < 0 ? -s : s);
    int k = 0;
    while ((magnitude >> (k + 1)) != 0) ++k;
    return static_cast<std::uint16_t>((s < 0 ? 0x8000 : 0) | ((k + 7) << 10) | ((magnitude << (10 - k)) - 1024));
}

class Validation : public ::testing::Test {
protected:
    void SetUp() override {
        session.Open(0);
        output = session.Allocate(kMatrixBytes + 2 * kGuardBytes);
        CheckCuda(driver, driver->cuMemsetD8_v2(output, kGuardFill, kMatrixBytes + 2 * kGuardBytes), "fill");
        for (std::size_t i = 0; i < 21; ++i) Offset(i, 0);
    }
    // Element i of the checked positions, off by `units` of 1/256 (or a raw value).
    void Offset(std::size_t i, int units, std::optional<std::uint16_t> raw = std::nullopt) {
        const SamplePosition p = SamplePositions(kN)[i];
        const std::uint16_t value = raw.value_or(HalfOfSixteenths(ExactSignSum(a, b, kN, p) + units));
        CheckCuda(driver, driver->cuMemcpyHtoD_v2(output + kGuardBytes + 2 * (p.row * kN + p.column), &value, 2), "set");
    }
    std::string Failure() try {
        ValidateOutput(driver, row, output + kGuardBytes, a, b);
        return "";
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    static Row Fresh() {
        Row fresh;
        return fresh.n = kN, fresh;
    }

    const std::atomic<bool> running{false};
    const std::vector<std::uint16_t> a = MakeHostMatrix(kN, 20261028, running);
    const std::vector<std::uint16_t> b = MakeHostMatrix(kN, 20261029, running);
    CudaDriver driver;
    GpuSession session{driver};
    CUdeviceptr output = 0;
    Row row = Fresh();
};

TEST_F(Validation, ExactResultsPassAndOneUnitOfErrorIsTheTolerance) {
    EXPECT_EQ(Failure() + Failure(), "");  // counts accumulate over calls
    EXPECT_EQ(std::tuple(row.checked_elements, row.max_abs_error, row.validation_passed, row.guards_intact),
              std::tuple(42, 0.0, true, true));

    Offset(7, -1);
    EXPECT_EQ(Failure(), "");
    EXPECT_EQ(row.max_abs_error, 0.00390625);
    Offset(9, 2);
    row = Fresh();
    EXPECT_EQ(Failure(), "Numerical spot check failed");
    // The failing position is counted.
    EXPECT_EQ(std::tuple(row.checked_elements, row.max_abs_error, row.validation_passed, row.guards_intact),
              std::tuple(10, 2 * 0.00390625, false, false));
}

// Not-a-number and infinity fail without being counted. Changed guard bytes fail whole runs in the engine's tests.
TEST_F(Validation, NonFiniteElementsFailUncounted) {
    for (const std::uint16_t value : {std::uint16_t{0x7E00}, std::uint16_t{0xFC00}}) {
        row = Fresh();
        Offset(3, 0, value);
        EXPECT_EQ(Failure(), "Nonfinite numerical result");
        EXPECT_EQ(row.checked_elements, 3);
    }
}

}  // namespace
}  // namespace fpbench
