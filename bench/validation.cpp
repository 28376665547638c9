#include "bench/validation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "bench/xorshift.h"

namespace fpbench {
namespace {

constexpr double kUnit = 0.00390625;  // 1/256: one input product, and the tolerance

}  // namespace

std::vector<SamplePosition> SamplePositions(std::int32_t n) {
    std::vector<SamplePosition> positions{{0, 0}, {n - 1, n - 1}, {0, n - 1}, {n - 1, 0}, {n / 2, n / 2}};
    const auto side = static_cast<std::uint32_t>(n);
    std::uint32_t x = 9041;
    while (positions.size() < 21) {
        x = XorShift32(x);
        const auto row = static_cast<std::int32_t>(x % side);
        x = XorShift32(x);
        const auto column = static_cast<std::int32_t>(x % side);
        const SamplePosition drawn{row, column};
        if (std::find(positions.begin(), positions.end(), drawn) == positions.end()) positions.push_back(drawn);
    }
    return positions;
}

float HalfToFloat(std::uint16_t half) {
    const int exponent = (half >> 10) & 31;
    const int fraction = half & 0x3FF;
    float value;
    if (exponent == 31)
        value = fraction == 0 ? std::numeric_limits<float>::infinity() : std::numeric_limits<float>::quiet_NaN();
    else if (exponent != 0)
        value = std::ldexp(static_cast<float>(fraction + 1024), exponent - 25);
    else
        value = std::ldexp(static_cast<float>(fraction), -24);
    return (half & 0x8000) != 0 ? -value : value;
}

std::int32_t ExactSignSum(const std::vector<std::uint16_t>& a, const std::vector<std::uint16_t>& b, std::int32_t n,
                          SamplePosition position) {
    const auto side = static_cast<std::size_t>(n);
    const std::uint16_t* a_row = a.data() + static_cast<std::size_t>(position.row) * side;
    const std::uint16_t* b_column = b.data() + static_cast<std::size_t>(position.column);
    std::int32_t sum = 0;
    for (std::size_t k = 0; k < side; ++k) sum += ((a_row[k] ^ b_column[k * side]) & 0x8000) == 0 ? 1 : -1;
    return sum;
}

void ValidateOutput(const CudaDriver& driver, Row& row, CUdeviceptr c, const std::vector<std::uint16_t>& a,
                    const std::vector<std::uint16_t>& b) {
    const std::int32_t n = row.n;
    for (const SamplePosition position : SamplePositions(n)) {
        const std::int32_t expected = ExactSignSum(a, b, n, position);
        const std::uint64_t index =
            static_cast<std::uint64_t>(position.row) * static_cast<std::uint64_t>(n) + static_cast<std::uint64_t>(position.column);
        std::uint16_t element = 0;
        const CUresult code = driver->cuMemcpyDtoH_v2(&element, c + 2 * index, sizeof element);
        if (code != 0) throw std::runtime_error(CudaErrorMessage(driver, code, "validation copy"));
        const double error = std::fabs(static_cast<double>(HalfToFloat(element)) - expected * kUnit);
        if (!std::isfinite(error)) throw std::runtime_error("Nonfinite numerical result");
        row.max_abs_error = std::max(error, row.max_abs_error);
        row.checked_elements += 1;
        if (error > kUnit) throw std::runtime_error("Numerical spot check failed");
    }

    const std::uint64_t matrix_bytes = 2ull * static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(n);
    bool intact = true;
    for (const CUdeviceptr zone : {c - kGuardBytes, c + matrix_bytes}) {
        std::array<unsigned char, kGuardBytes> bytes{};
        const CUresult code = driver->cuMemcpyDtoH_v2(bytes.data(), zone, bytes.size());
        if (code != 0) throw std::runtime_error(CudaErrorMessage(driver, code, "guard copy"));
        // After a damaged first zone the second is still copied, so that a
        // failing copy is reported either way, but no longer compared.
        if (intact) intact = std::all_of(bytes.begin(), bytes.end(), [](unsigned char v) { return v == kGuardFill; });
    }
    row.validation_passed = intact;
    row.guards_intact = intact;
    if (!intact) throw std::runtime_error("Output allocation guard modified");
}

}  // namespace fpbench
