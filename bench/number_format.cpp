#include "bench/number_format.h"

#include <array>
#include <charconv>

namespace fpbench {
namespace {

// std::to_chars is specified as printf in the "C" locale, yet consults no
// locale, so the bytes are the same on every OS and from every thread.
std::string ToChars(double value, std::chars_format format, int precision) {
    std::array<char, 400> buffer;  // any double in fixed notation at the few decimals used
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, format, precision);
    return error == std::errc{} ? std::string(buffer.data(), end) : std::string();
}

}  // namespace

std::string FormatGeneral(double value, int precision) {
    return ToChars(value, std::chars_format::general, precision);
}

std::string FormatDecimals(double value, int decimals) { return ToChars(value, std::chars_format::fixed, decimals); }

}  // namespace fpbench
