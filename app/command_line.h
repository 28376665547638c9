// The process command line: option table and the number conversions its
// values go through.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bench/records.h"

namespace fpbench {

struct ParsedCommandLine {
    RunOptions options;
    bool headless = false;
};

// Reads the arguments that follow the program path. Throws std::runtime_error
// with the user-facing message of the first argument that fails.
ParsedCommandLine ParseCommandLine(const std::vector<std::wstring>& arguments);

// The decimal integer at the start of `text` as std::stoi reads it: white
// space, an optional sign, digits. `end` is where it stops, 0 when there is
// no digit; `value` saturates just beyond the 32-bit range.
struct ScannedInteger {
    std::int64_t value = 0;
    std::size_t end = 0;
};
ScannedInteger ScanInteger(std::wstring_view text);

// A decimal number on a wide string: leading white space, an optional sign,
// digits (for doubles a fraction and an exponent may follow) and nothing
// else, within the 32-bit range for integers. Failures carry the standard
// library's messages ("invalid stoi argument", "stod argument out of range",
// ...) as std::runtime_error.
std::int32_t ParseInt32(std::wstring_view text);
double ParseDouble(std::wstring_view text);

}  // namespace fpbench
