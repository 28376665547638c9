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

// std::stoi / std::stod semantics on a wide string (base 10 for integers,
// 32-bit range on every target), with the standard library's messages
// ("invalid stoi argument", "stod argument out of range", ...) but thrown as
// std::runtime_error. Leading white space and trailing garbage are ignored.
std::int32_t ParseInt32(std::wstring_view text);
double ParseDouble(std::wstring_view text);

}  // namespace fpbench
