// The text of every report file but the page: result.json, health.json,
// summary.csv and trials.csv, and the one JSON writer they share. Pure:
// record in, bytes out.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/records.h"

namespace fpbench {

// What a run's numbers cannot tell, as result.json lists it.
inline constexpr const char* kLimitations[] = {
    "Fixed precompiled GEMM backend, not cuBLAS or an exhaustive peak search",
    "No matched locked baseline; no unlock speedup inferred",
    "21 numerical samples checked first and last trial, plus output guards; not exhaustive stability testing",
    "NVML readings after each batch have sensor refresh latency",
};

// The whole content of each file; unknown readings are null in the JSON
// documents and empty fields in the tables.
std::string ResultDocument(const RunResult& result, std::string_view kernel_source_sha256);
std::string HealthDocument(const RunResult& result);
std::string SummaryTable(const std::vector<Row>& rows);
std::string TrialTable(const std::vector<TrialRecord>& trials);

// UTF-8 text as a JSON string literal: quote and backslash escaped, bytes
// below 0x20 as \u00xx, well-formed UTF-8 unchanged, each ill-formed
// sequence replaced by U+FFFD.
std::string JsonQuote(std::string_view text);

// A number of a JSON document, 15 significant digits; JSON has no infinity
// or not-a-number: such a number is null.
std::string JsonNumber(double value);

// The members of one JSON object in order, with the separating commas: the
// one way every JSON document of the program is written.
class JsonMembers {
public:
    explicit JsonMembers(std::string& out) : out_(out) {}

    JsonMembers& Integer(std::string_view key, std::int32_t value);
    JsonMembers& Number(std::string_view key, double value);
    JsonMembers& Boolean(std::string_view key, bool value);
    JsonMembers& Text(std::string_view key, std::string_view value);
    // Constants and digests never hold a character that needs escaping.
    JsonMembers& PlainText(std::string_view key, std::string_view value);
    // The next member starts on a new line.
    JsonMembers& LineBreak();
    // A value that is already JSON text.
    JsonMembers& Value(std::string_view key, std::string_view json);

private:
    std::string& out_;
    bool first_ = true;
    bool line_break_ = false;
};

// One JSON object on one line, of members whose values are JSON text already.
std::string JsonObject(std::initializer_list<std::pair<std::string_view, std::string>> members);

}  // namespace fpbench
