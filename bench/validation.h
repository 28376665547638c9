// The numerical spot check of a GEMM output and its guard zones. The inputs
// are ±1/16 everywhere, so the exact value of every element is an integer
// multiple of 1/256 that the host computes from sign bits alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bench/records.h"
#include "gpu/cuda_driver.h"

namespace fpbench {

// The output buffer holds C between two guard zones of this many bytes; the
// zones, and C before each checked batch, are filled with kGuardFill.
inline constexpr std::size_t kGuardBytes = 256;
inline constexpr unsigned char kGuardFill = 0xA5;

struct SamplePosition {
    std::int32_t row = 0;
    std::int32_t column = 0;
    bool operator==(const SamplePosition&) const = default;
};

// The 21 positions checked for side n: the four corners and the centre, then
// 16 distinct ones drawn by a fixed xorshift sequence.
std::vector<SamplePosition> SamplePositions(std::int32_t n);

// IEEE half-precision bit pattern to single precision, exactly.
float HalfToFloat(std::uint16_t half);

// Σ_k ±1 over row r of A and column c of B: +1 where the sign bits agree.
std::int32_t ExactSignSum(const std::vector<std::uint16_t>& a, const std::vector<std::uint16_t>& b, std::int32_t n,
                          SamplePosition position);

// Checks C (2·n² bytes, 256 guard bytes of 0xA5 on each side) against host A
// and B; n comes from row.n. Accumulates checked_elements and max_abs_error,
// sets validation_passed and guards_intact, and throws on the first failure.
void ValidateOutput(const CudaDriver& driver, Row& row, CUdeviceptr c, const std::vector<std::uint16_t>& a,
                    const std::vector<std::uint16_t>& b);

}  // namespace fpbench
