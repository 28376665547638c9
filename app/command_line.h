// The process command line: option table and the number conversions its
// values go through.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/records.h"

namespace fpbench {

// What a command line asks for: a benchmark run (both programs), or, in the
// Linux program, comparing two runs, screening a fleet or every GPU of this
// machine at once.
enum class Command { Run, Compare, Fleet, Screen };

struct ParsedCommandLine {
    RunOptions options;
    bool headless = false;
    // compare and fleet: the run folders given, and the fleet's thresholds
    // where the command line sets them (their ranges and defaults are the
    // fleet's to check).
    std::vector<std::filesystem::path> folders;
    std::optional<double> warn_below_pct, fail_below_pct;
    // screen: the GPUs asked for (ordinals or UUIDs, comma-separated; empty:
    // every one), and whether they run one after another.
    std::wstring devices;
    bool one_at_a_time = false;
};

// Reads the arguments of a command (after the program path, and after the
// command's word for compare and fleet) through one option table. Throws
// std::runtime_error with the user-facing message of the first argument that
// fails.
ParsedCommandLine ParseCommandLine(const std::vector<std::wstring>& arguments, Command command = Command::Run);

// The options a command takes, as the usage lists them: one entry per option,
// its value, and what it does, from the same table the parser reads.
std::string OptionsUsage(Command command);

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
