// The emergency texts and the process's emergency handlers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <tuple>
#include <vector>

#include "emergency/XEmergencyHandlerHelper.h"
#include "emergency/XResourceAlertAdditions.h"
#include "emergency/XResourceEmergencyHandler.h"
#include "emergency/XResourceEmergencyHandlerInstance.h"
#include "interfaces/QNError64.h"
#include "platform/Bstr.h"
#include "tests/helpers/RecordingHandler.h"
#include "tests/helpers/Waiting.h"

namespace {

std::u16string State(LONG state) { return std::u16string(XEmergencyHandlerHelper::BuildEmergencyStateMsg(state).View()); }
std::u16string Cause(LONG code) { return std::u16string(XEmergencyHandlerHelper::BuildEmergencyCauseMsg(static_cast<QNServerEmergency>(code)).View()); }
std::u16string Alert(LONG state) { return std::u16string(XResourceHandlerHelper::BuildResourceAlertStateMsg(state).View()); }

TEST(EmergencyState, EachBitHasItsTextAndTheTextsOfSeveralGoInTableOrder)
{
    const std::pair<LONG, const char16_t*> states[] = {
        {0x1FFD, u"Low memory at server. / Too many threads started in server process. / Too many handles allocated in server process. / Critical server "
                 u"exception state. / Critical server exception state. / Critical database exception state. / Critical database abort exception state. / "
                 u"Connection to UpdateManager lost. / Connection to LockManager lost. / Critical QNLogger failure state. / Connection to QNLogger lost. / "
                 u"Critical server abort exception state."},
        // The master server's states have texts of their own.
        {0x2405, u"Low memory of UpdateMng process on Master server. / Critical exception in UpdateMng process on Master Server."},
        {0x6001, u"Low memory of UpdateMng process on Master server. / Low memory of LockMng process on Master server."},
        {0x4000 | 0x0800 | 0x1000, u"Too many threads started in LockMng process on Master Server. / Too many handles allocated in LockMng process on Master Server."},
        {0x6808, u"Too many threads started in UpdateMng process on Master Server. / Critical exception in UpdateMng process on Master Server. / Too many "
                 u"threads started in LockMng process on Master Server. / Critical exception in LockMng process on Master Server."},
        {0x2010, u""}, {0, u""}, {0x0002, u""}, {0x8000, u""}};
    for (const auto& [state, text] : states)
        EXPECT_EQ(State(state), text) << std::hex << state;
    EXPECT_EQ(Cause(0x1000), u"Too many handles allocated in server process.") << "a code with a text is described without its number";
    for (const LONG code : {0, 2, 0x2000, static_cast<LONG>(0x80000000)})
        EXPECT_EQ(Cause(code), u"<-generic emergency (code: " + platform::ToUtf16(std::to_string(code)) + u")->");
}

TEST(AlertState, AllBitsInTableOrderAndNothingAbove)
{
    EXPECT_EQ(Alert(0x3F), u"too many OPXServer processes in pool / too many processes on the machine / too many handles allocated on the "
                           u"machine / insufficient physical machine memory / insufficient virtual machine memory / machine CPU "
                           u"utilization too high");
    for (const LONG above : {0x40, 0x7FFFFFC0, static_cast<LONG>(0x80000000)})
        EXPECT_EQ(Alert(above), u"") << std::hex << above << ": the pressure alert and every bit above 0x20 have no text here";
    EXPECT_EQ(Alert(0x60), u"machine CPU utilization too high");
}

TEST(AlertState, TheProgramsNameThePressureAlertAfterTheSixTexts)
{
    const auto shown = [](LONG state) { return std::u16string(XResourceAlertAdditions::BuildAlertStateMsg(state).View()); };
    EXPECT_EQ(shown(HighPressure), u"machine pressure stall too high");
    EXPECT_EQ(shown(0x60 | 0x01), u"too many OPXServer processes in pool / machine CPU utilization too high / machine pressure stall too high");
    EXPECT_EQ(shown(0x7FFFFF80), u"");
}

// The registry is a process-wide singleton that is never destroyed: every test drains what it
// registered by making its handlers fail in a last raise.
class EmergencyHandler : public testing::Test {
protected:
    void TearDown() override
    {
        for (auto* handler : m_handlers)
            handler->throws = true;
        Registry().RaiseServerEmergencyState(0);
    }

    static XResourceEmergencyHandlerInstance& Registry() { return XResourceEmergencyHandlerInstance::Instance(); }

    qntest::RecordingHandler& Add(std::string name, HRESULT answer)
    {
        m_owned.push_back(std::make_unique<qntest::RecordingHandler>(m_calls, std::move(name), answer));
        m_handlers.push_back(m_owned.back().get());
        XResourceEmergencyHandler::RegisterProcessEmergencyHandler(CComPtr<IQNOPXServerEmergencyHandler>(m_owned.back().get()));
        return *m_owned.back();
    }

    std::vector<std::string> m_calls;
    std::vector<std::unique_ptr<qntest::RecordingHandler>> m_owned;
    std::vector<qntest::RecordingHandler*> m_handlers;
};

TEST_F(EmergencyHandler, WithoutHandlersARaiseCallsNothing) { EXPECT_FALSE(Registry().RaiseServerEmergencyState(0x0001)); }

TEST_F(EmergencyHandler, HandlersAreCalledInRegistrationOrderAndRegisteredTwiceMeansTwice)
{
    auto& first = Add("first", S_OK);
    Add("second", S_FALSE);
    XResourceEmergencyHandler::RegisterProcessEmergencyHandler(CComPtr<IQNOPXServerEmergencyHandler>(&first));
    m_handlers.push_back(&first);
    EXPECT_TRUE(Registry().RaiseServerEmergencyState(0x0800));
    EXPECT_THAT(m_calls, testing::ElementsAre("first:2048", "second:2048", "first:2048"));
    EXPECT_EQ(first.references, 2u) << "each registration holds a reference of its own";
}

TEST_F(EmergencyHandler, OnlySOkCountsAsHandledAndAFailingOrThrowingHandlerIsCalledOnceLoggedAndDropped)
{
    XQNLogbookCapture capture;
    Add("lukewarm", S_FALSE);
    auto& failing = Add("failing", E_FAIL);
    Add("throwing", S_OK).throws = true;
    EXPECT_FALSE(Registry().RaiseServerEmergencyState(0x1000));
    EXPECT_FALSE(Registry().RaiseServerEmergencyState(0x0001));
    EXPECT_THAT(m_calls, testing::ElementsAre("lukewarm:4096", "failing:4096", "throwing:4096", "lukewarm:1")) << "S_FALSE keeps its handler";
    EXPECT_EQ(failing.references, 0u) << "the dropped entry released its reference";
    const auto entries = capture.Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(std::tuple(entries[0].line, entries[0].result), std::tuple(98, E_FAIL));
    EXPECT_EQ(std::tuple(entries[1].line, entries[1].severity), std::tuple(106, 8));
    EXPECT_NE(entries[1].message.find("handler broke"), std::string::npos);
    Add("after", S_OK);
    EXPECT_TRUE(Registry().RaiseServerEmergencyState(0x0001));
}

TEST_F(EmergencyHandler, RegistrationWaitsForARaiseInProgress)
{
    std::promise<void> release;
    auto& slow = Add("slow", S_OK);
    slow.block = release.get_future().share();
    auto raise = std::async(std::launch::async, [] { return Registry().RaiseServerEmergencyState(0x0001); });
    EXPECT_TRUE(qntest::Await([&] { return slow.callCount > 0; }, [](bool called) { return called; }, std::chrono::seconds(10))) << "the raise reached the slow handler";

    std::atomic<bool> registered{false};
    m_owned.push_back(std::make_unique<qntest::RecordingHandler>(m_calls, "late", S_OK));
    qntest::RecordingHandler& late = *m_owned.back();
    m_handlers.push_back(&late);
    std::atomic<pid_t> registrarThread{0};
    std::thread registrar([&] {
        registrarThread = qntest::ThreadId();
        XResourceEmergencyHandler::RegisterProcessEmergencyHandler(CComPtr<IQNOPXServerEmergencyHandler>(&late));
        registered = true;
    });
    EXPECT_TRUE(qntest::WaitsOnALock(registrarThread)) << "the registration reached the list";
    EXPECT_FALSE(registered) << "the raise holds the list";
    release.set_value();
    EXPECT_TRUE(raise.get());
    registrar.join();
    EXPECT_TRUE(registered);
    slow.block = {};
}

}  // namespace
