// BSTRs, their UTF-8 conversion and the server's string class.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "interfaces/QNConvert64.h"
#include "interfaces/QNResourceObserverInterfaces.h"
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
    // A view that ends between the halves of a pair ends in an unpaired one: its end is where it
    // ends, not where the text behind it does.
    const std::u16string pair{u'a', 0xD83D, 0xDE00};
    EXPECT_EQ(platform::ToUtf8(std::u16string_view(pair).substr(0, 2)), "a\xEF\xBF\xBD");
}

TEST(Utf, MalformedUtf8BecomesReplacementCharacters)
{
    EXPECT_EQ(platform::ToUtf16("a\xC3"), u"a\uFFFD");                    // truncated sequence
    EXPECT_EQ(platform::ToUtf16("\xFF" "b"), u"\uFFFDb");                 // impossible lead byte
    EXPECT_EQ(platform::ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    EXPECT_EQ(platform::ToUtf16("\xC3x"), u"\uFFFDx");                    // continuation missing
    EXPECT_EQ(platform::ToUtf16("\xC0\xAF\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");  // overlong '/'
}

TEST(XQNComBSTR, NullAndEmptyCopyApartAndCompareEqualAndACopyIsIndependent)
{
    XQNComBSTR null;
    EXPECT_EQ(std::tuple(null.m_str, null.IsEmpty(), null.Copy()), std::tuple(nullptr, true, nullptr));
    BSTR empty = XQNComBSTR(u"").Copy();
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);
    EXPECT_TRUE(XQNComBSTR() == XQNComBSTR(u""));

    XQNComBSTR original(u"abc");
    BSTR copy = original.Copy();
    original = XQNComBSTR(u"xyz");
    EXPECT_EQ(platform::View(copy), u"abc");
    SysFreeString(copy);
}

TEST(XQNComBSTR, ComparesOrdersConcatenatesAndUpperCasesByText)
{
    EXPECT_TRUE(XQNComBSTR(u"abc") == u"abc");
    EXPECT_FALSE(XQNComBSTR(u"abc") == u"abd");
    std::map<XQNComBSTR, int> keyed{{XQNComBSTR(u"B"), 2}, {XQNComBSTR(u"A"), 1}};
    EXPECT_EQ(keyed.begin()->second, 1);
    EXPECT_EQ(keyed.count(XQNComBSTR("B")), 1u);
    XQNComBSTR text("gr\xC3\xBC\xC3\x9F");
    text += u" / x";
    EXPECT_EQ((text + u"-äöü.exe").View(), u"grüß / x-äöü.exe");
    XQNComBSTR name(u"server-äöü.exe");
    name.ToUpper();
    EXPECT_EQ(name.View(), u"SERVER-ÄÖÜ.EXE") << "beyond ASCII";
    XQNComBSTR null;
    null.ToUpper();
    EXPECT_EQ(null.m_str, nullptr);
}

TEST(XQNComBSTR, FormatsPrintfStyleWithWideStringsAndGuidsInTheRegistryForm)
{
    const auto text = XQNComBSTR::GetFormatted(u"from machine '%s', process name '%s', process id %d - state: 0x%X (%s)", XQNComBSTR(u"HOST1"), u"server",
                                               4711u, static_cast<std::int32_t>(0x0801), XQNComBSTR(u"Low"));
    EXPECT_EQ(text.View(), u"from machine 'HOST1', process name 'server', process id 4711 - state: 0x801 (Low)");
    EXPECT_EQ(XQNComBSTR::GetFormatted(u"0x%X", std::int32_t{-1}).View(), u"0xFFFFFFFF");
    EXPECT_EQ(XQNComBSTR::GetFormatted(u"%d KB", std::int64_t{-5}).View(), u"-5 KB");
    EXPECT_EQ(XQNComBSTR::GetFormatted(u"'%s'", XQNComBSTR()).View(), u"''");
    EXPECT_EQ(XQNComBSTR(CLSID_QNResourceObserver).View(), u"{DB1C4065-D726-4CD1-8CC3-F1923C31376B}");
    EXPECT_EQ(XQNComBSTR(IQNSystemEmergencyObserver::kIid).View(), u"{FBBBC18C-2E75-4C29-BF3D-D299ACD55005}");
}

}  // namespace
