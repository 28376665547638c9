#include "app/command_line.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "platform/platform.h"

namespace fpbench {
namespace {

// The white-space set of the "C" locale, which is the one the conversions
// see: the process never calls setlocale.
bool IsSpace(wchar_t c) {
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

std::size_t SkipSpace(std::wstring_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && IsSpace(text[pos])) {
        ++pos;
    }
    return pos;
}

[[noreturn]] void Fail(const char* message) {
    throw std::runtime_error(message);
}

enum class Option { Headless, Output, Trials, SampleMs, WarmupSeconds, Device, Sizes };

struct OptionName {
    std::wstring_view name;
    Option option;
};

constexpr OptionName kOptions[] = {
    {L"--headless", Option::Headless},
    {L"--output", Option::Output},
    {L"--trials", Option::Trials},
    {L"--sample-ms", Option::SampleMs},
    {L"--warmup-seconds", Option::WarmupSeconds},
    {L"--device", Option::Device},
    {L"--sizes", Option::Sizes},
};

const OptionName* FindOption(const std::wstring& argument) {
    for (const OptionName& entry : kOptions) {
        if (argument == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

// Fields up to each ','; a trailing comma ends the list because getline then
// extracts nothing, while an empty field between commas still reaches the
// integer conversion and fails there.
std::vector<std::int32_t> ParseSizes(const std::wstring& value) {
    std::vector<std::int32_t> sizes;
    std::wistringstream stream(value);
    std::wstring field;
    while (std::getline(stream, field, L',')) {
        sizes.push_back(ParseInt32(field));
    }
    if (sizes.empty()) {
        Fail("At least one size is required");
    }
    return sizes;
}

}  // namespace

ScannedInteger ScanInteger(std::wstring_view text) {
    std::size_t pos = SkipSpace(text);
    bool negative = false;
    if (pos < text.size() && (text[pos] == L'+' || text[pos] == L'-')) {
        negative = text[pos] == L'-';
        ++pos;
    }
    const std::size_t first_digit = pos;
    // Saturates one step past the range so that any number of digits is safe.
    constexpr std::int64_t kCap = std::int64_t{1} << 32;
    std::int64_t magnitude = 0;
    for (; pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9'; ++pos)
        if (magnitude < kCap) magnitude = magnitude * 10 + (text[pos] - L'0');
    if (pos == first_digit) return {};
    return {negative ? -magnitude : magnitude, pos};
}

// Every character of a value belongs to the number: "5x", "1e1" or "0x10"
// is a typing mistake, not 5, 1 or 0.
std::int32_t ParseInt32(std::wstring_view text) {
    const ScannedInteger scanned = ScanInteger(text);
    if (scanned.end == 0 || scanned.end != text.size()) Fail("invalid stoi argument");
    if (scanned.value < std::numeric_limits<std::int32_t>::min() ||
        scanned.value > std::numeric_limits<std::int32_t>::max()) {
        Fail("stoi argument out of range");
    }
    return static_cast<std::int32_t>(scanned.value);
}

// Decimal only, as the usage says: digits with an optional fraction and
// exponent; from_chars gives the same correctly rounded, locale-free result
// on every target.
double ParseDouble(std::wstring_view text) {
    text.remove_prefix(SkipSpace(text));
    std::string ascii;
    for (const wchar_t c : text) {
        if (static_cast<std::uint32_t>(c) >= 0x80) Fail("invalid stod argument");
        ascii.push_back(static_cast<char>(c));
    }
    std::string_view rest = ascii;
    const bool negative = !rest.empty() && rest[0] == '-';
    if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) rest.remove_prefix(1);
    // from_chars would also take "inf", "nan" and a second sign.
    if (rest.empty() || !(std::isdigit(static_cast<unsigned char>(rest[0])) || rest[0] == '.'))
        Fail("invalid stod argument");
    double value = 0.0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value, std::chars_format::general);
    if (error == std::errc::invalid_argument || end != rest.data() + rest.size()) Fail("invalid stod argument");
    // Overflow and underflow both count as out of range, subnormal results
    // included, as the Windows runtime's conversion reports them.
    const bool underflow = value != 0.0 && std::fabs(value) < std::numeric_limits<double>::min();
    if (error == std::errc::result_out_of_range || underflow) Fail("stod argument out of range");
    return negative ? -value : value;
}

ParsedCommandLine ParseCommandLine(const std::vector<std::wstring>& arguments) {
    ParsedCommandLine parsed;
    RunOptions& options = parsed.options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const OptionName* entry = FindOption(arguments[i]);
        if (entry == nullptr) {
            throw std::runtime_error("Unknown argument: " + platform::Utf8FromWide(arguments[i]));
        }
        if (entry->option == Option::Headless) {
            parsed.headless = true;
            continue;
        }
        if (i + 1 == arguments.size()) {
            Fail("Missing argument");
        }
        const std::wstring& value = arguments[++i];
        switch (entry->option) {
            case Option::Output:
                // An empty name would quietly mean "the default folder".
                if (value.empty()) Fail("Report directory is required");
                options.report_dir = platform::PathFromWide(value);
                break;
            case Option::Trials:
                options.trials_per_mode = ParseInt32(value);
                break;
            case Option::SampleMs:
                options.sample_ms = ParseDouble(value);
                break;
            case Option::WarmupSeconds:
                options.warmup_seconds = ParseDouble(value);
                break;
            case Option::Device:
                options.device = ParseInt32(value);
                break;
            case Option::Sizes:
                options.sizes = ParseSizes(value);
                break;
            case Option::Headless:
                break;
        }
    }
    return parsed;
}

}  // namespace fpbench
