// ValidateOutput against outputs written by hand into simulated device
// memory: exact results, the tolerance edge, non-finite values and guards.
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <stdexcept>

#include "bench/run_benchmark.h"
#include "bench/validation.h"
#include "gpu/cuda_driver.h"

namespace fpbench {
namespace {

constexpr std::int32_t kN = 256;
constexpr std::size_t kMatrixBytes = 2 * kN * kN;

// s/256 in half precision, for 0 < |s| < 1024.
std::uint16_t HalfOfSixteenths(int s) {
    if (s == 0) return 0;
    const unsigned magnitude = static_cast<unsigned>(s < 0 ? -s : s);
    int k = 0;
    while ((magnitude >> (k + 1)) != 0) ++k;
    const unsigned fraction = (magnitude << (10 - k)) - 1024;
    return static_cast<std::uint16_t>((s < 0 ? 0x8000 : 0) | ((k + 7) << 10) | fraction);
}

class Validation : public ::testing::Test {
protected:
    void SetUp() override {
        OpenGpuContext(driver, 0);
        CheckCuda(driver, driver.cuMemAlloc_v2(&output, kMatrixBytes + 512), "alloc");
        driver.allocations.push_back(output);
        CheckCuda(driver, driver.cuMemsetD8_v2(output, 0xA5, kMatrixBytes + 512), "fill");
        for (const SamplePosition p : SamplePositions(kN)) SetElement(p, HalfOfSixteenths(ExactSignSum(a, b, kN, p)));
        row.n = kN;
    }
    CUdeviceptr C() const { return output + 256; }
    void SetElement(SamplePosition p, std::uint16_t value) {
        CheckCuda(driver, driver.cuMemcpyHtoD_v2(C() + 2 * (p.row * kN + p.column), &value, 2), "set");
    }
    void Offset(std::size_t index, int sixteenths) {
        const SamplePosition p = SamplePositions(kN)[index];
        SetElement(p, HalfOfSixteenths(ExactSignSum(a, b, kN, p) + sixteenths));
    }
    std::string Failure() {
        try {
            ValidateOutput(driver, row, C(), a, b);
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "";
    }

    const std::atomic<bool> running{false};
    const std::vector<std::uint16_t> a = MakeHostMatrix(kN, 20261028, running);
    const std::vector<std::uint16_t> b = MakeHostMatrix(kN, 20261029, running);
    CudaDriver driver;
    CUdeviceptr output = 0;
    Row row;
};

TEST_F(Validation, ExactOutputPassesAndCountsAccumulateOverCalls) {
    EXPECT_EQ(Failure(), "");
    EXPECT_EQ(Failure(), "");
    EXPECT_EQ(row.checked_elements, 42);
    EXPECT_EQ(row.max_abs_error, 0.0);
    EXPECT_TRUE(row.validation_passed && row.guards_intact);
}

TEST_F(Validation, OneUnitOfErrorPassesAndTwoFail) {
    Offset(7, -1);
    EXPECT_EQ(Failure(), "");
    EXPECT_EQ(row.max_abs_error, 0.00390625);
    Offset(9, 2);
    row = Row{};
    row.n = kN;
    EXPECT_EQ(Failure(), "Numerical spot check failed");
    EXPECT_EQ(row.checked_elements, 10);  // the failing position is counted
    EXPECT_EQ(row.max_abs_error, 2 * 0.00390625);
    EXPECT_FALSE(row.validation_passed || row.guards_intact);
}

TEST_F(Validation, NonFiniteElementsAreNotCounted) {
    for (const std::uint16_t value : {std::uint16_t{0x7E00}, std::uint16_t{0xFC00}}) {
        row.checked_elements = 0;
        SetElement(SamplePositions(kN)[3], value);
        EXPECT_EQ(Failure(), "Nonfinite numerical result");
        EXPECT_EQ(row.checked_elements, 3);
    }
}

TEST_F(Validation, OneChangedGuardByteOnEitherSideFails) {
    for (const std::size_t at : {std::size_t{0}, 255 + 256 + kMatrixBytes}) {
        const unsigned char changed = 0xA4;
        CheckCuda(driver, driver.cuMemcpyHtoD_v2(output + at, &changed, 1), "poke");
        row = Row{};
        row.n = kN;
        EXPECT_EQ(Failure(), "Output allocation guard modified");
        EXPECT_EQ(row.checked_elements, 21);
        EXPECT_FALSE(row.validation_passed || row.guards_intact);
        CheckCuda(driver, driver.cuMemsetD8_v2(output + at, 0xA5, 1), "restore");
    }
}

}  // namespace
}  // namespace fpbench
