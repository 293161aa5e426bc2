#include <gtest/gtest.h>

#include <map>

#include "interfaces/QNConvert64.h"
#include "interfaces/QNResourceObserverInterfaces.h"

namespace {

TEST(XQNComBSTR, NullAndEmptyCopyApartAndCompareEqualAndACopyIsIndependent)
{
    XQNComBSTR null;
    EXPECT_EQ(null.m_str, nullptr);
    EXPECT_TRUE(null.IsEmpty());
    EXPECT_EQ(null.Copy(), nullptr);
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
