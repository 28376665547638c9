#include "platform/utf8.h"

namespace fpbench {

Utf8Sequence ScanUtf8(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return {1, true};
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {1, false};
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (at + k >= text.size() || byte(at + k) < (k == 1 ? low : 0x80) || byte(at + k) > (k == 1 ? high : 0xBF))
            return {k, false};
    }
    return {length, true};
}

char32_t DecodeUtf8(std::string_view text, std::size_t& at) {
    const Utf8Sequence sequence = ScanUtf8(text, at);
    const std::size_t start = at;
    at += sequence.length;
    if (!sequence.valid) return 0xFFFD;
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t cp = static_cast<unsigned char>(text[start]) & kLeadBits[sequence.length];
    for (std::size_t k = 1; k < sequence.length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[start + k]) & 0x3F);
    return cp;
}

}  // namespace fpbench
