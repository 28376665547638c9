// The 32-bit xorshift step (shifts 13, 17, 5) that draws the host matrices and
// the checked positions. The run and its check must draw the same sequence,
// so there is exactly one definition.
#pragma once

#include <cstdint>

namespace fpbench {

constexpr std::uint32_t XorShift32(std::uint32_t x) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
}

}  // namespace fpbench
