// Text conversion between wide strings and UTF-8 on both targets.
#include <gtest/gtest.h>

#include "app/text.h"

namespace fpbench {
namespace {

TEST(TextConversion, RoundTripsBilingualText) {
    const std::wstring ready = L"\u51C6\u5907\u5C31\u7EEA / Ready";  // 准备就绪 / Ready
    const std::string utf8 = Utf8FromWide(ready);
    EXPECT_EQ(utf8.size(), 20u);
    EXPECT_EQ(utf8, "\xE5\x87\x86\xE5\xA4\x87\xE5\xB0\xB1\xE7\xBB\xAA / Ready");
    EXPECT_EQ(WideFromUtf8(utf8), ready);
    EXPECT_EQ(Utf8FromWide(L""), "");
    EXPECT_EQ(WideFromUtf8(""), L"");
}

TEST(TextConversion, HandlesCharactersBeyondTheBasicPlane) {
    const std::string utf8 = "GPU \xF0\x9F\x9A\x80";  // U+1F680
    const std::wstring wide = WideFromUtf8(utf8);
    // One wchar_t on Linux, a surrogate pair on Windows.
    EXPECT_EQ(wide.size(), 4u + (sizeof(wchar_t) == 2 ? 2u : 1u));
    EXPECT_EQ(Utf8FromWide(wide), utf8);
}

TEST(TextConversion, EmbeddedNulIsKept) {
    const std::string with_nul("a\0b", 3);
    EXPECT_EQ(WideFromUtf8(with_nul), std::wstring(L"a\0b", 3));
    EXPECT_EQ(Utf8FromWide(std::wstring(L"a\0b", 3)), with_nul);
}

TEST(TextConversion, IllFormedInputBecomesReplacementCharacters) {
    const std::string replacement = "\xEF\xBF\xBD";
    // A lone surrogate cannot be coded.
    std::wstring lone = L"a";
    lone += static_cast<wchar_t>(0xD800);
    lone += L"b";
    EXPECT_EQ(Utf8FromWide(lone), "a" + replacement + "b");
    // Invalid bytes, an overlong form and a cut-off sequence.
    for (const std::string& bad : {std::string("a\xFF" "b"), std::string("a\xC0\xAF" "b"),
                                  std::string("a\xE5\x87" "b")}) {
        const std::wstring wide = WideFromUtf8(bad);
        ASSERT_GE(wide.size(), 3u);
        EXPECT_EQ(wide.front(), L'a');
        EXPECT_EQ(wide.back(), L'b');
        for (std::size_t i = 1; i + 1 < wide.size(); ++i) EXPECT_EQ(wide[i], L'\xFFFD');
    }
}

}  // namespace
}  // namespace fpbench
