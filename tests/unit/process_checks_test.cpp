// The process's emergency checks and its usage figures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "agent/XLoadMonitorSettings.h"
#include "agent/XProcessResourceObserverInstance.h"
#include "emergency/QNServerEmergency.h"
#include "emergency/XResourceEmergencyHandler.h"
#include "emergency/XResourceEmergencyHandlerInstance.h"
#include "interfaces/QNError64.h"
#include "platform/transport/WireRecords.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

class CodeRecorder : public CComObjectGlobal<IQNOPXServerEmergencyHandler> {
public:
    HRESULT GetHandlerInfo(BSTR*) override { return E_FAIL; }
    HRESULT HandleServerEmergency(LONG code) override
    {
        codes.push_back(code);
        return answer;
    }

    std::vector<LONG> codes;
    HRESULT answer = S_OK;
};

constexpr const char* kWarning = "LOW MEMORY EMERGENCY WARNING: amount of available virtual process memory: %d KB";

class ProcessChecks : public testing::Test {
protected:
    void SetUp() override
    {
        XResourceEmergencyHandler::RegisterProcessEmergencyHandler(CComPtr<IQNOPXServerEmergencyHandler>(&m_handler));
        m_sample.machineName = SysAllocString(u"node1");
        m_sample.processName = SysAllocString(u"OPXServer");
        m_sample.processId = 77;
        Fill(100000, 10, 10);
    }
    void TearDown() override
    {
        // The handler registry lives as long as the process: a failing answer drops this handler.
        m_handler.answer = E_FAIL;
        XResourceEmergencyHandlerInstance::Instance().RaiseServerEmergencyState(0);
        XProcessResourceObserverInstance::Destroy();
        transport::FreeStrings(m_sample);
    }

    void Fill(LONGLONG freeKB, ULONG threads, ULONG handles)
    {
        m_sample.processLoad.availVirtualKB = freeKB;
        m_sample.processLoad.threadCount = threads;
        m_sample.processLoad.handleCount = handles;
    }

    // The state of the event of one check; the event's strings are checked and freed here.
    LONG Check()
    {
        tagQNProcessResourceEmergencyEvent event{};
        tagQNProcessResourceAlert alert{};
        Checks().CheckProcessResources(m_sample, event, alert);
        EXPECT_EQ(alert.alertState, 0);
        EXPECT_EQ(alert.machineName, nullptr);
        if (event.emergencyState != 0) {
            EXPECT_EQ(platform::View(event.machineName), u"node1");
            EXPECT_EQ(platform::View(event.processName), u"OPXServer");
            EXPECT_NE(event.auxText, nullptr);
            EXPECT_EQ(event.processId, 77u);
        } else {
            EXPECT_EQ(event.machineName, nullptr);
        }
        const LONG state = event.emergencyState;
        transport::FreeStrings(event);
        return state;
    }

    std::vector<std::string> Warnings() const
    {
        std::vector<std::string> messages;
        for (const auto& entry : m_log.Entries())
            if (entry.message.rfind("LOW MEMORY", 0) == 0) {
                EXPECT_EQ(entry.line, 184);
                EXPECT_EQ(entry.severity, 5);
                messages.push_back(entry.message);
            }
        return messages;
    }

    static std::string WarningFor(int kb) { return XQNComBSTR::GetFormatted(XQNComBSTR(kWarning).View(), kb).ToUtf8(); }
    static XProcessResourceObserverInstance& Checks() { return XProcessResourceObserverInstance::Instance(); }

    CodeRecorder m_handler;
    tagQNResourceInformation m_sample{};
    XQNLogbookCapture m_log;
};

TEST_F(ProcessChecks, EachLimitIsBrokenOnlyStrictlyPastIt)
{
    Fill(10240, 1900, 5000000);
    EXPECT_EQ(Check(), 0);
    Fill(10239, 1900, 5000000);
    EXPECT_EQ(Check(), LowMemory);
    Fill(10239, 1901, 5000000);
    EXPECT_EQ(Check(), TooManyThreads);
    Fill(10239, 1901, 5000001);
    EXPECT_EQ(Check(), TooManyHandles);
    EXPECT_THAT(m_handler.codes, ElementsAre(LowMemory, TooManyThreads, TooManyHandles));
}

TEST_F(ProcessChecks, AllThreeAtOnceMakeOneEventAndThreeRaisesInOrder)
{
    Fill(1, 1901, 5000001);
    EXPECT_EQ(Check(), 0x1801);
    EXPECT_THAT(m_handler.codes, ElementsAre(LowMemory, TooManyThreads, TooManyHandles));
}

TEST_F(ProcessChecks, AnEmergencyFiresOncePerLifeEvenAfterNewLimits)
{
    Fill(100, 3000, 10);
    EXPECT_EQ(Check(), LowMemory | TooManyThreads);
    EXPECT_EQ(Check(), 0);
    Checks().SetEmergencyResourceMetric(200, 10, 5);
    EXPECT_EQ(Check(), TooManyHandles) << "only the kind never raised before";
    EXPECT_THAT(m_handler.codes, ElementsAre(LowMemory, TooManyThreads, TooManyHandles));

    XProcessResourceObserverInstance::Destroy();
    EXPECT_EQ(Check(), LowMemory | TooManyThreads) << "a new singleton starts from the defaults";
}

TEST_F(ProcessChecks, ZeroOrNegativeLimitsSwitchOnlyTheirCheckOff)
{
    Checks().SetEmergencyResourceMetric(0, -1, 5);
    Fill(-50, 100000, 6);
    EXPECT_EQ(Check(), TooManyHandles);
    Checks().SetEmergencyResourceMetric(-7, 0, 0);
    EXPECT_EQ(Check(), 0);
    EXPECT_THAT(m_handler.codes, ElementsAre(TooManyHandles));
}

TEST_F(ProcessChecks, LowMemoryWarningsFollowChangesOfMoreThanATenth)
{
    Fill(8000, 10, 10);
    Check();
    Fill(7500, 10, 10);  // 6.25 %
    Check();
    Fill(7100, 10, 10);  // 11.25 %
    Check();
    Fill(7800, 10, 10);  // 9.86 % against 7100
    Check();
    Fill(9000, 10, 10);  // back up, 26.8 %
    Check();
    Fill(20000, 10, 10);  // above the limit: the warnings go on regardless
    Check();
    EXPECT_THAT(Warnings(), ElementsAre(WarningFor(8000), WarningFor(7100), WarningFor(9000), WarningFor(20000)));
}

TEST_F(ProcessChecks, NoWarningBeforeTheEmergency)
{
    Checks().SetEmergencyResourceMetric(0, 1900, 5000000);
    Fill(10, 10, 10);
    Check();
    Fill(5000, 10, 10);
    Check();
    EXPECT_THAT(Warnings(), IsEmpty());
}

TEST_F(ProcessChecks, DatabaseCountersCarryTheStretchBeforeARestartOnce)
{
    Checks().SetProcessExternalResourceUsage(42);
    Checks().UpdateDatabaseAccessStatistic(100, 7);
    Checks().UpdateDatabaseAccessStatistic(20, 3);
    tagQNProcessExternalResourceUsage usage{};
    Checks().GetProcessExternalResourceUsage(usage);
    EXPECT_EQ(usage.externalResourceUsage, 42u);
    EXPECT_EQ(usage.databaseCounterB, 10u);
    EXPECT_EQ(usage.databaseCounterA, 120u);
    Checks().GetProcessExternalResourceUsage(usage);
    EXPECT_EQ(usage.databaseCounterB, 3u);
    EXPECT_EQ(usage.databaseCounterA, 20u);
}

TEST_F(ProcessChecks, ASecondRestartReplacesTheCarryAndSumsWrap)
{
    Checks().UpdateDatabaseAccessStatistic(0xFFFFFFF0, 0xFFFFFFFF);
    Checks().UpdateDatabaseAccessStatistic(50, 2);
    Checks().UpdateDatabaseAccessStatistic(40, 1);
    tagQNProcessExternalResourceUsage usage{};
    Checks().GetProcessExternalResourceUsage(usage);
    EXPECT_EQ(usage.databaseCounterA, 90u) << "the second restart carried 50, not 50 + 0xFFFFFFF0";
    EXPECT_EQ(usage.databaseCounterB, 3u);

    Checks().UpdateDatabaseAccessStatistic(0xFFFFFFF0, 0xFFFFFFFF);
    Checks().UpdateDatabaseAccessStatistic(0x20, 2);
    Checks().GetProcessExternalResourceUsage(usage);
    EXPECT_EQ(usage.databaseCounterA, 0x10u) << "0xFFFFFFF0 + 0x20 wraps at 32 bits";
    EXPECT_EQ(usage.databaseCounterB, 1u);
}

TEST(MonitorSettings, SecondsBecomeMillisecondsIn32Bits)
{
    auto& settings = XLoadMonitorSettings::Instance();
    EXPECT_EQ(settings.GetMonitorIntervalMilliSec(), 5000);
    settings.SetMonitorIntervalSec(60);
    EXPECT_EQ(settings.GetMonitorIntervalMilliSec(), 60000);
    settings.SetMonitorIntervalSec(3000000);
    EXPECT_EQ(settings.GetMonitorIntervalMilliSec(), -1294967296);
    XLoadMonitorSettings::Destroy();
    EXPECT_EQ(XLoadMonitorSettings::Instance().GetMonitorIntervalMilliSec(), 5000);
    XLoadMonitorSettings::Destroy();
}

}  // namespace
