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

std::string FormatChange(double percent, int decimals) {
    std::string digits = FormatDecimals(percent, decimals);
    const bool zero = digits.find_first_not_of("-0.") == std::string::npos;
    if (zero && digits.front() == '-') digits.erase(0, 1);
    return (percent > 0 && !zero ? "+" : "") + digits + " %";
}

std::string FormatPValue(double p) { return p < 0.0001 ? "< 0.0001" : FormatGeneral(p, 2); }

}  // namespace fpbench
