#include <gtest/gtest.h>

#include "emergency/XEmergencyHandlerHelper.h"

namespace {

std::u16string State(LONG state) { return std::u16string(XEmergencyHandlerHelper::BuildEmergencyStateMsg(state).View()); }
std::u16string Cause(LONG code) { return std::u16string(XEmergencyHandlerHelper::BuildEmergencyCauseMsg(static_cast<QNServerEmergency>(code)).View()); }
std::u16string Alert(LONG state) { return std::u16string(XResourceHandlerHelper::BuildResourceAlertStateMsg(state).View()); }

struct SingleBit {
    LONG bit;
    const char16_t* text;
};

class ServerProcessBit : public testing::TestWithParam<SingleBit> {};

TEST_P(ServerProcessBit, HasItsText)
{
    EXPECT_EQ(State(GetParam().bit), GetParam().text);
    EXPECT_EQ(Cause(GetParam().bit), GetParam().text) << "a code with a text is described without its number";
}

INSTANTIATE_TEST_SUITE_P(
    EveryBit, ServerProcessBit,
    testing::Values(SingleBit{0x0001, u"Low memory at server."}, SingleBit{0x0004, u"Critical server exception state."},
                    SingleBit{0x0008, u"Critical server exception state."}, SingleBit{0x0010, u"Critical database exception state."},
                    SingleBit{0x0020, u"Critical database abort exception state."}, SingleBit{0x0040, u"Connection to UpdateManager lost."},
                    SingleBit{0x0080, u"Connection to LockManager lost."}, SingleBit{0x0100, u"Critical QNLogger failure state."},
                    SingleBit{0x0200, u"Connection to QNLogger lost."}, SingleBit{0x0400, u"Critical server abort exception state."},
                    SingleBit{0x0800, u"Too many threads started in server process."},
                    SingleBit{0x1000, u"Too many handles allocated in server process."}),
    [](const testing::TestParamInfo<SingleBit>& info) { return "Bit" + std::to_string(info.param.bit); });

TEST(EmergencyState, BitsWithoutTextGiveEmptyTextAndAGenericCause)
{
    EXPECT_EQ(State(0), u"");
    EXPECT_EQ(State(0x0002), u"");
    EXPECT_EQ(State(0x8000), u"");
    EXPECT_EQ(Cause(0), u"<-generic emergency (code: 0)->");
    EXPECT_EQ(Cause(2), u"<-generic emergency (code: 2)->");
    EXPECT_EQ(Cause(0x2000), u"<-generic emergency (code: 8192)->");
    EXPECT_EQ(Cause(static_cast<LONG>(0x80000000)), u"<-generic emergency (code: -2147483648)->");
}

TEST(EmergencyState, LowMemoryComesBeforeThreadsAndHandles)
{
    EXPECT_EQ(State(0x0801), u"Low memory at server. / Too many threads started in server process.");
    EXPECT_EQ(State(0x1805), u"Low memory at server. / Too many threads started in server process. / "
                             u"Too many handles allocated in server process. / Critical server exception state.");
}

TEST(EmergencyState, BothCriticalServerBitsGiveTheTextTwice)
{
    EXPECT_EQ(State(0x000C), u"Critical server exception state. / Critical server exception state.");
}

TEST(EmergencyState, MasterServerStatesUseTheirOwnTexts)
{
    EXPECT_EQ(State(0x2405), u"Low memory of UpdateMng process on Master server. / Critical exception in UpdateMng process on Master Server.");
    EXPECT_EQ(State(0x6001), u"Low memory of UpdateMng process on Master server. / Low memory of LockMng process on Master server.");
    EXPECT_EQ(State(0x2010), u"");
    EXPECT_EQ(State(0x4000 | 0x0800 | 0x1000),
              u"Too many threads started in LockMng process on Master Server. / Too many handles allocated in LockMng process on Master Server.");
    EXPECT_EQ(State(0x6808), u"Too many threads started in UpdateMng process on Master Server. / Critical exception in UpdateMng process on "
                             u"Master Server. / Too many threads started in LockMng process on Master Server. / Critical exception in "
                             u"LockMng process on Master Server.");
}

TEST(AlertState, AllBitsInTableOrderAndNothingAbove)
{
    EXPECT_EQ(Alert(0x3F), u"too many OPXServer processes in pool / too many processes on the machine / too many handles allocated on the "
                           u"machine / insufficient physical machine memory / insufficient virtual machine memory / machine CPU "
                           u"utilization too high");
    EXPECT_EQ(Alert(0x40), u"machine pressure stall too high");
    EXPECT_EQ(Alert(0x80), u"");
    EXPECT_EQ(Alert(0x28), u"insufficient physical machine memory / machine CPU utilization too high");
}

}  // namespace
