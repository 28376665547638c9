#include "app/command_line.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "bench/number_format.h"
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

// A command's option: its name, the placeholder of its value (none for a
// flag), the commands that take it, what it stores, and its usage text, whose
// ranges and defaults come from the limits the run enforces.
struct OptionSpec {
    std::wstring_view name;
    const char* value;
    unsigned commands;
    void (*apply)(ParsedCommandLine& parsed, const std::wstring& value);
    std::string (*help)();
};

constexpr unsigned Bit(Command command) { return 1u << static_cast<unsigned>(command); }
constexpr unsigned kRun = Bit(Command::Run), kCompare = Bit(Command::Compare), kFleet = Bit(Command::Fleet),
                   kScreen = Bit(Command::Screen);

std::vector<std::int32_t> ParseSizes(const std::wstring& value);

std::string Number(double value) { return FormatGeneral(value, 6); }

double Percentage(const std::wstring& name, const std::wstring& value) {
    const double percent = ParseDouble(value);
    if (!(percent > 0 && percent < 100))
        throw std::runtime_error(platform::Utf8FromWide(name) + " takes a percentage above 0 and below 100");
    return percent;
}

const OptionSpec kOptions[] = {
    {L"--sizes", "N,...", kRun | kScreen,
     [](ParsedCommandLine& p, const std::wstring& v) { p.options.sizes = ParseSizes(v); },
     [] {
         std::string sizes;
         for (const std::int32_t n : limits::kDefaultSizes) sizes += (sizes.empty() ? "" : ",") + std::to_string(n);
         return "matrix sides in run order, each 256, 1024, 4096 or 8192; at most\n" +
                std::to_string(limits::kMaxSizes) + " (default " + sizes + ")";
     }},
    {L"--trials", "K", kRun | kScreen, [](ParsedCommandLine& p, const std::wstring& v) { p.options.trials_per_mode = ParseInt32(v); },
     [] {
         return "timed batches per size and accumulator, " + std::to_string(limits::kMinTrials) + ".." +
                std::to_string(limits::kMaxTrials) + " (default " + std::to_string(limits::kDefaultTrials) + ")";
     }},
    {L"--sample-ms", "MS", kRun | kScreen, [](ParsedCommandLine& p, const std::wstring& v) { p.options.sample_ms = ParseDouble(v); },
     [] {
         return "GPU time of one batch in milliseconds, " + Number(limits::kMinSampleMs) + ".." +
                Number(limits::kMaxSampleMs) + " (default " + Number(limits::kDefaultSampleMs) + ")";
     }},
    {L"--warmup-seconds", "S", kRun | kScreen,
     [](ParsedCommandLine& p, const std::wstring& v) { p.options.warmup_seconds = ParseDouble(v); },
     [] {
         return "warm-up per size and accumulator, at most " + Number(limits::kMaxWarmupSeconds) +
                "; 0 or less: one\nround of " + std::to_string(limits::kWarmUpLaunches) + " launches (default " +
                Number(limits::kDefaultWarmupSeconds) + ")";
     }},
    {L"--device", "I", kRun, [](ParsedCommandLine& p, const std::wstring& v) { p.options.device = ParseInt32(v); },
     [] {
         return "CUDA device ordinal, as --list-devices shows it (default " + std::to_string(limits::kDefaultDevice) +
                ")";
     }},
    {L"--output", "DIR", kRun | kCompare | kFleet | kScreen,
     [](ParsedCommandLine& p, const std::wstring& v) {
         // An empty name would quietly mean "the default folder".
         if (v.empty()) Fail("Report directory is required");
         p.options.report_dir = platform::PathFromWide(v);
     },
     [] {
         return std::string("the report folder; it must not exist yet (a run's default: a new\n"
                            "folder named after the UTC start time under Reports/ beside the\n"
                            "program, or else under $XDG_DATA_HOME or ~/.local/share, in\n"
                            "TessmorBench/Reports; compare writes nothing without it; fleet's\n"
                            "default: fleet-<time> under Reports/; outside the folders read;\n"
                            "screen's: screen-<time> under Reports/)");
     }},
    {L"--warn-below", "PCT", kFleet,
     [](ParsedCommandLine& p, const std::wstring& v) { p.warn_below_pct = Percentage(L"--warn-below", v); },
     [] { return std::string("fleet: warn at least PCT % below the cohort's reference"); }},
    {L"--fail-below", "PCT", kFleet,
     [](ParsedCommandLine& p, const std::wstring& v) { p.fail_below_pct = Percentage(L"--fail-below", v); },
     [] { return std::string("fleet: fail at least PCT % below the cohort's reference"); }},
    {L"--devices", "LIST", kScreen, [](ParsedCommandLine& p, const std::wstring& v) { p.devices = v; },
     [] { return std::string("screen: the GPUs, by ordinal or UUID, comma-separated (default: all)"); }},
    {L"--one-at-a-time", nullptr, kScreen, [](ParsedCommandLine& p, const std::wstring&) { p.one_at_a_time = true; },
     [] { return std::string("screen: one GPU after another instead of all at once"); }},
    {L"--headless", nullptr, kRun, [](ParsedCommandLine& p, const std::wstring&) { p.headless = true; },
     [] { return std::string("the Windows program's headless run; every run of the Linux\nprogram is headless"); }},
};

const OptionSpec* FindOption(const std::wstring& argument, Command command) {
    for (const OptionSpec& spec : kOptions)
        if (argument == spec.name && (spec.commands & Bit(command)) != 0) return &spec;
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

ParsedCommandLine ParseCommandLine(const std::vector<std::wstring>& arguments, Command command) {
    ParsedCommandLine parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        const OptionSpec* spec = FindOption(argument, command);
        if (spec == nullptr) {
            // compare and fleet take folders; anything else that is not an
            // option of the command is a typing mistake.
            if (command == Command::Run || argument.starts_with(L"-"))
                throw std::runtime_error("Unknown argument: " + platform::Utf8FromWide(argument));
            parsed.folders.push_back(platform::PathFromWide(argument));
            continue;
        }
        if (spec->value == nullptr) {
            spec->apply(parsed, {});
            continue;
        }
        if (i + 1 == arguments.size()) Fail("Missing argument");
        spec->apply(parsed, arguments[++i]);
    }
    return parsed;
}

std::string OptionsUsage(Command command) {
    constexpr std::size_t kHelpColumn = 23;
    std::string out;
    for (const OptionSpec& spec : kOptions) {
        if ((spec.commands & Bit(command)) == 0) continue;
        std::string head = "  " + platform::Utf8FromWide(spec.name) + (spec.value ? std::string(" ") + spec.value : "");
        head.resize(std::max(head.size() + 1, kHelpColumn), ' ');
        std::string help = spec.help();
        for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += kHelpColumn + 1)
            help.insert(at + 1, std::string(kHelpColumn, ' '));
        out += head + help + "\n";
    }
    return out;
}

}  // namespace fpbench
