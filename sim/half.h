// IEEE half precision <-> single precision, bit-exact, without relying on a
// compiler's half type.
#pragma once

#include <bit>
#include <cstdint>

namespace fpbench::sim {

inline float HalfToFloat(std::uint16_t half) {
    const std::uint32_t sign = static_cast<std::uint32_t>(half & 0x8000u) << 16;
    const std::uint32_t exponent = (half >> 10) & 0x1fu;
    std::uint32_t fraction = half & 0x3ffu;
    if (exponent == 0x1f) return std::bit_cast<float>(sign | 0x7f800000u | (fraction << 13));
    if (exponent != 0) return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (fraction << 13));
    if (fraction == 0) return std::bit_cast<float>(sign);
    // Subnormal half: normalise into the single-precision range.
    std::uint32_t shift = 0;
    while ((fraction & 0x400u) == 0) {
        fraction <<= 1;
        ++shift;
    }
    return std::bit_cast<float>(sign | ((113 - shift) << 23) | ((fraction & 0x3ffu) << 13));
}

// Rounds to nearest, ties to even; overflow gives infinity, NaN stays NaN.
inline std::uint16_t FloatToHalf(float value) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
    const std::uint32_t magnitude = bits & 0x7fffffffu;
    if (magnitude >= 0x7f800000u)  // infinity or NaN (kept quiet)
        return static_cast<std::uint16_t>(sign | 0x7c00u | (magnitude > 0x7f800000u ? 0x200u | ((magnitude >> 13) & 0x3ffu) : 0));
    if (magnitude >= 0x477ff000u) return static_cast<std::uint16_t>(sign | 0x7c00u);  // >= 65520
    const std::uint32_t exponent = magnitude >> 23;
    if (magnitude < 0x38800000u) {  // below 2^-14: subnormal half or zero
        const std::uint32_t shift = 126 - exponent;
        if (exponent == 0 || shift > 24) return sign;
        const std::uint32_t mantissa = (magnitude & 0x7fffffu) | 0x800000u;
        std::uint32_t result = mantissa >> shift;
        const std::uint32_t rest = mantissa & ((1u << shift) - 1);
        const std::uint32_t halfway = 1u << (shift - 1);
        if (rest > halfway || (rest == halfway && (result & 1u))) ++result;
        return static_cast<std::uint16_t>(sign | result);
    }
    std::uint32_t result = ((exponent - 112) << 10) | ((magnitude >> 13) & 0x3ffu);
    const std::uint32_t rest = magnitude & 0x1fffu;
    if (rest > 0x1000u || (rest == 0x1000u && (result & 1u))) ++result;  // a carry may reach the exponent
    return static_cast<std::uint16_t>(sign | result);
}

}  // namespace fpbench::sim
