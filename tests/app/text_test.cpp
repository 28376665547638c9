// Text conversion between wide strings and UTF-8 on both targets.
#include <gtest/gtest.h>

#include "app/text.h"

namespace fpbench {
namespace {

TEST(TextConversion, RoundTripsWhatIsWellFormed) {
    const std::string with_nul("a\0b", 3);
    for (const std::string& utf8 : {std::string(""), std::string("\xE5\x87\x86\xE5\xA4\x87\xE5\xB0\xB1\xE7\xBB\xAA / Ready"),
                                    std::string("GPU \xF0\x9F\x9A\x80"), with_nul}) {
        EXPECT_EQ(Utf8FromWide(WideFromUtf8(utf8)), utf8);
    }
    EXPECT_EQ(WideFromUtf8("\xE5\x87\x86 / R"), L"\u51C6 / R");
    EXPECT_EQ(WideFromUtf8(with_nul), std::wstring(L"a\0b", 3));
    // Beyond the basic plane: one wchar_t on Linux, a surrogate pair on Windows.
    EXPECT_EQ(WideFromUtf8("\xF0\x9F\x9A\x80").size(), sizeof(wchar_t) == 2 ? 2u : 1u);
}

TEST(TextConversion, IllFormedInputBecomesReplacementCharacters) {
    std::wstring lone = L"a";  // a lone surrogate cannot be coded
    lone += static_cast<wchar_t>(0xD800);
    EXPECT_EQ(Utf8FromWide(lone + L"b"), "a\xEF\xBF\xBD" "b");
    // Invalid bytes, an overlong form and a cut-off sequence.
    for (const std::string& bad : {std::string("a\xFF" "b"), std::string("a\xC0\xAF" "b"), std::string("a\xE5\x87" "b")}) {
        const std::wstring wide = WideFromUtf8(bad);
        ASSERT_GE(wide.size(), 3u);
        EXPECT_TRUE(wide.front() == L'a' && wide.back() == L'b');
        for (std::size_t i = 1; i + 1 < wide.size(); ++i) EXPECT_EQ(wide[i], L'\xFFFD');
    }
}

}  // namespace
}  // namespace fpbench
