#include <gtest/gtest.h>

#include "platform/Bstr.h"

namespace {

TEST(Bstr, NullAndAllocatedEmptyDiffer)
{
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(empty);
    SysFreeString(nullptr);
}

TEST(Bstr, LengthPrefixKeepsEmbeddedNul)
{
    const char16_t text[] = {u'a', u'\0', u'b'};
    BSTR s = SysAllocStringLen(text, 3);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(platform::View(s), std::u16string_view(text, 3));
    EXPECT_EQ(s[3], u'\0');
    SysFreeString(s);
}

TEST(Bstr, AllocatingWithoutSourceGivesZeroedCharacters)
{
    BSTR s = SysAllocStringLen(nullptr, 4);
    EXPECT_EQ(platform::View(s), std::u16string_view(u"\0\0\0\0", 4));
    SysFreeString(s);
}

TEST(Utf, RoundTripIncludesSupplementaryPlane)
{
    const std::u16string text = u"Grüße \U0001F600 ok";
    EXPECT_EQ(platform::ToUtf16(platform::ToUtf8(text)), text);
    EXPECT_EQ(platform::ToUtf8(u"\u00e4"), "\xC3\xA4");
}

TEST(Utf, UnpairedSurrogatesBecomeReplacementCharacters)
{
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00};
    EXPECT_EQ(platform::ToUtf8(std::u16string_view(lone, 4)), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(Utf, MalformedUtf8BecomesReplacementCharacters)
{
    EXPECT_EQ(platform::ToUtf16("a\xC3"), u"a\uFFFD");           // truncated sequence
    EXPECT_EQ(platform::ToUtf16("\xFF" "b"), u"\uFFFDb");        // impossible lead byte
    EXPECT_EQ(platform::ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    EXPECT_EQ(platform::ToUtf16("\xC3x"), u"\uFFFDx");           // continuation missing
}

}  // namespace
