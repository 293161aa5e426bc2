// The process's emergency checks and its usage figures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "agent/XProcessResourceObserverInstance.h"
#include "emergency/QNServerEmergency.h"
#include "emergency/XResourceEmergencyHandler.h"
#include "emergency/XResourceEmergencyHandlerInstance.h"
#include "interfaces/QNError64.h"
#include "platform/Ceilings.h"
#include "platform/transport/WireRecords.h"
#include "tests/helpers/RecordingHandler.h"
#include "tests/helpers/Sample.h"

namespace {

using testing::IsEmpty;

// The handler's calls for `codes`, as a RecordingHandler named "checks" records them.
std::vector<std::string> Calls(std::initializer_list<LONG> codes)
{
    std::vector<std::string> calls;
    for (const LONG code : codes)
        calls.push_back("checks:" + std::to_string(code));
    return calls;
}

class ProcessChecks : public testing::Test {
protected:
    void SetUp() override
    {
        XResourceEmergencyHandler::RegisterProcessEmergencyHandler(CComPtr<IQNOPXServerEmergencyHandler>(&m_handler));
        Fill(100000, 10, 10);
    }
    void TearDown() override
    {
        // The handler registry lives as long as the process: a failing answer drops this handler.
        m_handler.throws = true;
        XResourceEmergencyHandlerInstance::Instance().RaiseServerEmergencyState(0);
        XProcessResourceObserverInstance::Destroy();
    }

    void Fill(LONGLONG freeKB, ULONG threads, ULONG handles)
    {
        m_sample.processLoad.availVirtualKB = freeKB;
        m_sample.processLoad.threadCount = threads;
        m_sample.processLoad.handleCount = handles;
    }

    // The state of the event of one check, with the ceilings of the monitor loop when given; the
    // event's strings are checked and freed here.
    LONG Check(const platform::ProcessCeilings* ceilings = nullptr)
    {
        tagQNProcessResourceEmergencyEvent event{};
        tagQNProcessResourceAlert alert{};
        if (ceilings != nullptr)
            Checks().CheckProcessResources(m_sample, *ceilings, event, alert);
        else
            Checks().CheckProcessResources(m_sample, event, alert);
        EXPECT_EQ(alert.alertState, 0);
        EXPECT_EQ(alert.machineName, nullptr);
        if (event.emergencyState != 0)
            EXPECT_EQ(std::tuple(platform::View(event.machineName), platform::View(event.processName), event.processId, event.auxText != nullptr),
                      std::tuple(u"node1", u"OPXServer", 77u, true));
        else
            EXPECT_EQ(event.machineName, nullptr);
        const LONG state = event.emergencyState;
        transport::FreeStrings(event);
        return state;
    }

    std::string Logged(std::string_view part) const
    {
        std::string messages;
        for (const auto& entry : m_log.Entries())
            if (entry.message.find(part) != std::string::npos)
                messages += entry.message + "\n";
        return messages;
    }
    std::string Warnings() const { return Logged("LOW MEMORY EMERGENCY WARNING"); }

    static std::string WarningFor(int kb) { return "LOW MEMORY EMERGENCY WARNING: amount of available virtual process memory: " + std::to_string(kb) + " KB\n"; }
    static XProcessResourceObserverInstance& Checks() { return XProcessResourceObserverInstance::Instance(); }

    std::vector<std::string> m_calls;
    qntest::RecordingHandler m_handler{m_calls, "checks", S_OK};
    qntest::Sample m_sample{u"node1", u"OPXServer", 77};
    XQNLogbookCapture m_log;
};

TEST_F(ProcessChecks, EachLimitIsBrokenOnlyStrictlyPastIt)
{
    for (const auto& [freeKB, threads, handles, expected] : {std::tuple{10240, 1900, 5000000, LONG{0}}, std::tuple{10239, 1900, 5000000, LONG{LowMemory}},
                                                             std::tuple{10240, 1901, 5000000, LONG{TooManyThreads}}, std::tuple{10240, 1900, 5000001, LONG{TooManyHandles}}}) {
        Fill(freeKB, threads, handles);
        EXPECT_EQ(Check(), expected) << freeKB << " " << threads << " " << handles;
        XProcessResourceObserverInstance::Destroy();
    }
    EXPECT_EQ(m_calls, Calls({LowMemory, TooManyThreads, TooManyHandles}));
}

TEST_F(ProcessChecks, SeveralAtOnceMakeOneEventWithARaiseEachAndFireOncePerLifeEvenAfterNewLimits)
{
    Fill(100, 3000, 10);
    EXPECT_EQ(Check(), LowMemory | TooManyThreads);
    EXPECT_EQ(Check(), 0);
    Checks().SetEmergencyResourceMetric(200, 10, 5);
    EXPECT_EQ(Check(), TooManyHandles) << "only the kind never raised before";
    EXPECT_EQ(m_calls, Calls({LowMemory, TooManyThreads, TooManyHandles}));

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
    EXPECT_EQ(m_calls, Calls({TooManyHandles}));
}

TEST_F(ProcessChecks, LowMemoryWarningsFollowChangesOfMoreThanATenthOnlyOnceTheEmergencyWasRaised)
{
    Checks().SetEmergencyResourceMetric(0, 1900, 5000000);
    Fill(10, 10, 10);
    Check();
    EXPECT_THAT(Warnings(), IsEmpty()) << "no warning before the emergency";
    Checks().SetEmergencyResourceMetric(10240, 1900, 5000000);
    std::string expected;
    // Each change against the last warned figure; above the limit the warnings go on regardless.
    const std::pair<int, bool> steps[] = {{8000, true}, {7500, false}, {7100, true}, {7800, false}, {9000, true}, {8100, false}, {8099, true}, {20000, true}};
    for (const auto& [freeKB, warns] : steps) {
        Fill(freeKB, 10, 10);
        Check();
        if (warns)
            expected += WarningFor(freeKB);
    }
    EXPECT_EQ(Warnings(), expected) << "6.25 %, 11.25 %, 9.86 %, 26.8 %, exactly 10 %, 10.01 %";
}

// A ceiling of the kernel raises the same emergency as its configured limit once what is left
// falls under a twentieth of it, or under the kind's floor where that is more.
TEST_F(ProcessChecks, NearingAKernelCeilingRaisesItsEmergencyEvenWithTheLimitOff)
{
    using platform::Ceiling;
    using platform::CeilingSource;
    constexpr std::uint64_t kMB = 1 << 20;
    const std::tuple<const char*, Ceiling platform::ProcessCeilings::*, Ceiling, LONG, const char*> rows[] = {
        {"memory at a twentieth", &platform::ProcessCeilings::memory, {400 * kMB, 20 * kMB, CeilingSource::Cgroup, "memory.max", "/sys/fs/cgroup/app"}, 0, ""},
        {"memory under a twentieth", &platform::ProcessCeilings::memory, {400 * kMB, 20 * kMB - 1, CeilingSource::Cgroup, "memory.max", "/sys/fs/cgroup/app"},
         LowMemory, "LOW MEMORY EMERGENCY: 20479 KB left of 409600 KB under memory.max of cgroup /sys/fs/cgroup/app\n"},
        {"memory at the floor", &platform::ProcessCeilings::memory, {100 * kMB, 16 * kMB, CeilingSource::Machine, "MemAvailable + SwapFree", {}}, 0, ""},
        {"descriptors at the floor", &platform::ProcessCeilings::descriptors, {256, 32, CeilingSource::ResourceLimit, "RLIMIT_NOFILE", {}}, 0, ""},
        {"descriptors under the floor", &platform::ProcessCeilings::descriptors, {256, 31, CeilingSource::ResourceLimit, "RLIMIT_NOFILE", {}},
         TooManyHandles, "TOO MANY HANDLES EMERGENCY: 31 descriptors left of 256 descriptors under RLIMIT_NOFILE\n"},
        {"threads at the floor", &platform::ProcessCeilings::threads, {64, 8, CeilingSource::Cgroup, "pids.max", "/sys/fs/cgroup/pids/app"}, 0, ""},
        {"threads under the floor", &platform::ProcessCeilings::threads, {64, 7, CeilingSource::Cgroup, "pids.max", "/sys/fs/cgroup/pids/app"},
         TooManyThreads, "TOO MANY THREADS EMERGENCY: 7 threads left of 64 threads under pids.max of cgroup /sys/fs/cgroup/pids/app\n"},
        {"an unknown ceiling", &platform::ProcessCeilings::threads, {0, 0, CeilingSource::None, "", {}}, 0, ""},
    };
    for (const auto& [what, kind, ceiling, expected, logged] : rows) {
        SCOPED_TRACE(what);
        Checks().SetEmergencyResourceMetric(0, 0, 0);
        platform::ProcessCeilings ceilings;
        ceilings.*kind = ceiling;
        m_log.Clear();
        EXPECT_EQ(Check(&ceilings), expected);
        EXPECT_EQ(Logged(" EMERGENCY: "), logged);
        XProcessResourceObserverInstance::Destroy();
    }
}

TEST_F(ProcessChecks, ACeilingSharesTheLatchAndTheWarningsOfItsKind)
{
    platform::ProcessCeilings ceilings;
    ceilings.memory = {200 << 20, 5 << 20, platform::CeilingSource::Cgroup, "memory.limit_in_bytes", "/sys/fs/cgroup/memory/app"};
    Fill(5 << 10, 10, 10);
    EXPECT_EQ(Check(&ceilings), LowMemory);
    Fill(6000, 10, 10);
    EXPECT_EQ(Check(), 0) << "the configured limit finds the latch set";
    EXPECT_EQ(Warnings(), WarningFor(5 << 10) + WarningFor(6000));
    EXPECT_EQ(m_calls, Calls({LowMemory}));
}

TEST_F(ProcessChecks, DatabaseCountersCarryTheStretchBeforeOneRestartOnceAndSumAt32Bits)
{
    const auto usage = [] {
        tagQNProcessExternalResourceUsage usage{};
        Checks().GetProcessExternalResourceUsage(usage);
        return std::tuple{usage.externalResourceUsage, usage.databaseCounterA, usage.databaseCounterB};
    };
    Checks().SetProcessExternalResourceUsage(42);
    Checks().UpdateDatabaseAccessStatistic(100, 7);
    Checks().UpdateDatabaseAccessStatistic(20, 3);
    EXPECT_EQ(usage(), std::tuple(42u, 120u, 10u));
    EXPECT_EQ(usage(), std::tuple(42u, 20u, 3u)) << "the carry is given once";

    Checks().UpdateDatabaseAccessStatistic(20, 4);
    EXPECT_EQ(usage(), std::tuple(42u, 20u, 4u)) << "a counter that stood still is no restart";
    Checks().UpdateDatabaseAccessStatistic(0xFFFFFFF0, 0xFFFFFFFF);
    Checks().UpdateDatabaseAccessStatistic(50, 2);
    Checks().UpdateDatabaseAccessStatistic(40, 1);
    EXPECT_EQ(usage(), std::tuple(42u, 90u, 3u)) << "the second restart carried 50, not 50 + 0xFFFFFFF0";
    Checks().UpdateDatabaseAccessStatistic(0xFFFFFFF0, 0xFFFFFFFF);
    Checks().UpdateDatabaseAccessStatistic(0x20, 2);
    EXPECT_EQ(usage(), std::tuple(42u, 0x10u, 1u)) << "0xFFFFFFF0 + 0x20 wraps at 32 bits";
}

}  // namespace
