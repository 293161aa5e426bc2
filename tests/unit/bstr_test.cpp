#include <gtest/gtest.h>

#include "platform/Bstr.h"

namespace {

TEST(Bstr, NullAndEmptyDifferAndTheLengthPrefixKeepsEmbeddedNulOrZeroedCharacters)
{
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    const char16_t text[] = {u'a', u'\0', u'b'};
    BSTR embedded = SysAllocStringLen(text, 3);
    EXPECT_EQ(platform::View(embedded), std::u16string_view(text, 3));
    EXPECT_EQ(embedded[3], u'\0');
    BSTR zeroed = SysAllocStringLen(nullptr, 4);
    EXPECT_EQ(platform::View(zeroed), std::u16string_view(u"\0\0\0\0", 4));
    for (BSTR s : {empty, embedded, zeroed, BSTR{nullptr}})
        SysFreeString(s);
}

TEST(Utf, PairsFromTheFirstToTheLastSupplementaryCharacterConvertAndUnpairedSurrogatesBecomeReplacements)
{
    const std::pair<std::u16string, std::string> texts[] = {
        {u"\u00e4", "\xC3\xA4"},
        {std::u16string{0xD800, 0xDC00}, "\xF0\x90\x80\x80"},    // U+10000
        {std::u16string{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},    // U+10FFFF
        {u"Grüße \U0001F600 ok", "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80 ok"},
        {std::u16string{0xD7FF, 0xE000}, "\xED\x9F\xBF\xEE\x80\x80"}};  // just outside the surrogates
    for (const auto& [utf16, utf8] : texts) {
        EXPECT_EQ(platform::ToUtf8(utf16), utf8);
        EXPECT_EQ(platform::ToUtf16(utf8), utf16);
    }
    for (const auto& [lone, utf8] : {std::pair{std::u16string{u'a', 0xD800, u'b', 0xDC00}, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
                                     std::pair{std::u16string{0xDBFF}, "\xEF\xBF\xBD"}, std::pair{std::u16string{0xDC00, 0xD800}, "\xEF\xBF\xBD\xEF\xBF\xBD"}})
        EXPECT_EQ(platform::ToUtf8(lone), utf8);
}

TEST(Utf, MalformedUtf8BecomesReplacementCharacters)
{
    EXPECT_EQ(platform::ToUtf16("a\xC3"), u"a\uFFFD");                    // truncated sequence
    EXPECT_EQ(platform::ToUtf16("\xFF" "b"), u"\uFFFDb");                 // impossible lead byte
    EXPECT_EQ(platform::ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    EXPECT_EQ(platform::ToUtf16("\xC3x"), u"\uFFFDx");                    // continuation missing
}

}  // namespace
