// The one UTF-8 scanner: where a sequence ends and whether it is well-formed.
// Text conversion, the JSON quoting and the page's escaping all read UTF-8
// through it, so they agree on what counts as ill-formed.
#pragma once

#include <cstddef>
#include <string_view>

namespace fpbench {

// The sequence at text[at]: its length and whether it is well-formed
// (overlong forms, surrogates and values above U+10FFFF are not). An
// ill-formed one spans the longest prefix that could have begun a well-formed
// sequence, at least one byte; one U+FFFD replaces it.
struct Utf8Sequence {
    std::size_t length;
    bool valid;
};
Utf8Sequence ScanUtf8(std::string_view text, std::size_t at);

// U+FFFD REPLACEMENT CHARACTER in UTF-8: what stands for an ill-formed sequence.
inline constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";

// The code point of the sequence at text[at], U+FFFD when it is ill-formed;
// `at` moves past it.
char32_t DecodeUtf8(std::string_view text, std::size_t& at);

}  // namespace fpbench
