// The resource observer's histories, queries, cycle bookkeeping and machine alerts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "interfaces/QNError64.h"
#include "observer/XProcessEnds.h"
#include "observer/XResourceObserverInstance.h"
#include "platform/transport/WireRecords.h"
#include "tests/helpers/Errors.h"
#include "tests/helpers/Sample.h"

// The tests' view of the worker's steps.
struct XResourceObserverInstanceProbe {
    static void Cycle(XResourceObserverInstance& observer)
    {
        observer.UpdateCycleCounters();
        observer.CleanupResourceObserver();
    }
    // The alert state of one check, of the machine figures or with `pressure` of the pressure.
    static LONG Check(XResourceObserverInstance& observer, const tagQNSystemResourceInformation& figures, const tagQNMachinePressure* pressure = nullptr)
    {
        tagQNSystemResourceEmergencyEvent emergency{};
        tagQNSystemResourceAlert alert{};
        if (pressure != nullptr)
            observer.CheckPressureAlert(*pressure, figures, alert);
        else
            observer.CheckMachineResources(figures, emergency, alert);
        EXPECT_EQ(emergency.emergencyState, 0);
        const LONG state = alert.alertState;
        transport::FreeStrings(alert);
        return state;
    }
    static LONG State(const XResourceObserverInstance& observer) { return observer.m_machineAlertState.load(); }
    static bool MachineKnown(const XResourceObserverInstance& observer, const char16_t* name)
    {
        return observer.m_machineHistory.GetConstReadProxy()->count(XQNComBSTR(name)) == 1;
    }
    // Checks the machine figures on a copy of `observer`, which only a friend may destroy.
    static LONG CheckACopy(XResourceObserverInstance& observer, const tagQNSystemResourceInformation& figures)
    {
        XResourceObserverInstance copy(observer);
        return Check(copy, figures);
    }
    static void Sum(const tagQNPreciseTime& add, tagQNPreciseTime& sum) { XResourceObserverInstance::GetSum(add, sum); }
    static void RecordEnd(const XResourceObserverInstance& observer, const XResourceAgent::XProcessEnd& end) { observer.RecordProcessEnd(end); }
    // The history entry of process `name` (upper case) and `id`; null when there is none.
    static const XResourceObserverInstance::XPipeProcessResourceInfo* Entry(XResourceObserverInstance& observer, const char16_t* name, DWORD id)
    {
        auto processes = observer.m_processHistory.GetConstReadProxy();
        const auto found = processes->find(XQNComBSTR(name));
        return found == processes->end() || found->second.count(id) == 0 ? nullptr : &found->second.at(id);
    }
};

namespace {

using Probe = XResourceObserverInstanceProbe;
using testing::ElementsAre;
using XResourceAgent::XMachineResourceInfo;
using XResourceAgent::XProcessResourceInfo;

XResourceObserverInstance& Observer() { return XResourceObserverInstance::Instance(); }

class ResourceObserver : public testing::Test {
protected:
    void TearDown() override { XResourceObserverInstance::Destroy(); }

    // A sample whose figures are all `figure`.
    static void Send(const char16_t* machine, const char16_t* process, DWORD id, int interval, ULONG figure, LONG valid = 1)
    {
        qntest::Sample sample(machine, process, id, interval);
        sample.dataValid = valid;
        sample.processLoad.threadCount = sample.machineLoad.processCount = figure;
        sample.processLoad.workingSetKB = sample.machineLoad.availPhysicalKB = figure;
        Observer().SetResourceData(sample);
    }
};

TEST_F(ResourceObserver, AHistoryKeepsTheNewestFourAveragedTruncatingUnderNamesOfAnyCaseAndAnInvalidSampleOnlyLogs)
{
    XQNLogbookCapture log;
    Send(u"node1", u"srv", 7, 5, 10, 0);
    XProcessResourceInfo untouched;
    untouched.threadCount = 99;
    EXPECT_FALSE(Observer().GetProcessResourceData(XQNComBSTR(u"srv"), untouched));
    EXPECT_EQ(untouched.threadCount, 99u);
    EXPECT_THAT(qntest::Only(log.Entries()).message, testing::HasSubstr("are avaialable"));

    for (ULONG figure : {100u, 3u, 4u, 3u, 4u})
        Send(u"node1", u"srv", 7, 5, figure);
    XProcessResourceInfo process, all;
    EXPECT_TRUE(Observer().GetProcessResourceData(XQNComBSTR(u"srv"), 7, process));
    EXPECT_EQ(std::tuple(process.threadCount, process.workingSetKB), std::tuple(3u, 3)) << "(3 + 4 + 3 + 4) / 4 truncates; the 100 was dropped";
    EXPECT_EQ(process.processName, u"srv");
    Send(u"NODE1", u"SRV", 8, 5, 7);
    EXPECT_TRUE(Observer().GetProcessResourceData(XQNComBSTR(u"sRv"), all));
    EXPECT_EQ(std::tuple(all.threadCount, all.processId), std::tuple(4u, 7u)) << "the samples of both ids under one name, (3 + 4 + 3 + 4 + 7) / 5, identified by the lowest";
    XMachineResourceInfo machine;
    EXPECT_TRUE(Observer().GetMachineResourceData(XQNComBSTR(u"Node1"), machine));
    EXPECT_EQ(machine.processCount, 4u) << "the newest four samples of the machine, of either process: (4 + 3 + 4 + 7) / 4";
}

TEST_F(ResourceObserver, CreditStartsWithTheSecondSampleStopsAtAThousandAndWrapsAt32BitsAndTheCycleLimitFollowsTheInterval)
{
    const auto credit = [](const char16_t* name, const char16_t* key, int interval) {
        Send(u"node1", name, 7, interval, 1);
        return Probe::Entry(Observer(), key, 7)->creditSec;
    };
    EXPECT_EQ(credit(u"srv", u"SRV", 600), 0);
    EXPECT_EQ(credit(u"srv", u"SRV", 600), 600);
    EXPECT_EQ(credit(u"srv", u"SRV", 600), 1000);
    // Found by the fuzzer: credit sums overflowed, and so did the cycle limit of a huge interval.
    constexpr int kMostNegative = -2147483647 - 1;
    credit(u"low", u"LOW", kMostNegative);
    credit(u"low", u"LOW", kMostNegative);
    EXPECT_EQ(credit(u"low", u"LOW", kMostNegative), 0) << "-2^31 twice wraps to 0";
    Send(u"node1", u"big", 8, 2147483647, 1);
    Observer().SetResourceObserverInterval(1);  // stored as 5
    Send(u"node1", u"slow", 9, 20, 1);
    Probe::Cycle(Observer());
    EXPECT_EQ(Probe::Entry(Observer(), u"BIG", 8)->missedCycleLimit, 2147483647);
    EXPECT_EQ(Probe::Entry(Observer(), u"SLOW", 9)->missedCycleLimit, 20) << "every 20 s may miss 20 cycles of 5 s";
    Send(u"node1", u"slow", 9, 0, 1);
    Probe::Cycle(Observer());
    EXPECT_EQ(Probe::Entry(Observer(), u"SLOW", 9)->missedCycleLimit, 20) << "an interval of 0 leaves the limit";
}

TEST_F(ResourceObserver, ASilentProcessTurnsStaleAfterItsCreditAndFiveCyclesAndIsErasedAtEleven)
{
    Send(u"node1", u"srv", 7, 5, 1);
    Send(u"node1", u"srv", 7, 5, 1);  // 5 s of credit
    int cycle = 0;
    const auto cycleWithKeeper = [&] {
        Send(u"node1", u"keeper", 8, 5, 1);
        Probe::Cycle(Observer());
        ++cycle;
    };
    constexpr int kEnough = 20;  // beyond it the rule is broken anyway: stop counting
    cycleWithKeeper();  // spends the credit
    XProcessResourceInfo average;
    while (Observer().GetProcessResourceData(XQNComBSTR(u"srv"), 7, average) && cycle < kEnough)
        cycleWithKeeper();
    EXPECT_EQ(cycle, 1 + 5);
    while (Probe::Entry(Observer(), u"SRV", 7) != nullptr && cycle < kEnough)
        cycleWithKeeper();
    EXPECT_EQ(Probe::Entry(Observer(), u"KEEPER", 8)->missedCycles, 0);
    EXPECT_EQ(cycle, 1 + 11) << "erased once missedCycles passes 2 × 5";
}

TEST_F(ResourceObserver, MachinesAreDroppedOnlyWhenNoSampleAtAllArrives)
{
    Send(u"node1", u"srv", 7, 5, 1);
    XMachineResourceInfo machine;
    for (int i = 0; i < 25; ++i) {
        Send(u"node2", u"srv", 8, 5, 1);
        Probe::Cycle(Observer());
    }
    EXPECT_TRUE(Observer().GetMachineResourceData(XQNComBSTR(u"node1"), machine)) << "node2's samples keep node1 current";
    int cycles = 0;
    for (; Observer().IsMachineMeasurementUpToDate() && cycles < 100; ++cycles)
        Probe::Cycle(Observer());
    EXPECT_EQ(cycles, 10);
    EXPECT_FALSE(Observer().GetMachineResourceData(XQNComBSTR(u"node1"), machine)) << "stale, though still kept";
    for (; Probe::MachineKnown(Observer(), u"NODE1") && cycles < 100; ++cycles) {
        EXPECT_TRUE(Probe::MachineKnown(Observer(), u"NODE2"));
        Probe::Cycle(Observer());
    }
    EXPECT_EQ(cycles, 21) << "dropped together once more than 2 × 10 cycles brought nothing";
    EXPECT_FALSE(Probe::MachineKnown(Observer(), u"NODE2"));
    machine.processCount = 5;
    EXPECT_FALSE(Observer().GetMachineResourceData(XQNComBSTR(u"node2"), machine));
    EXPECT_EQ(machine.processCount, 5u) << "a dropped machine leaves the record as it was";
}

TEST_F(ResourceObserver, FirstSamplesOfNewMachinesFromManyThreadsAtOnceNeverPassTheMachineBound)
{
    constexpr size_t kBound = 4;
    constexpr int kThreads = 16, kRounds = 50;
    for (int round = 0; round < kRounds; ++round) {
        XResourceObserverInstance::Destroy();
        Observer().SetStoreLimits(XResourceObserverInstance::kDefaultProcessLimit, kBound);
        // Released together, blocked rather than spinning: spinning senders starve the others on
        // a small, busy machine.
        std::latch ready(kThreads);
        std::vector<std::thread> senders;
        for (int i = 0; i < kThreads; ++i)
            senders.emplace_back([&, i] {
                const std::u16string machine = u"M" + platform::ToUtf16(std::to_string(i));
                ready.arrive_and_wait();
                Send(machine.c_str(), u"srv", static_cast<DWORD>(i), 5, 1);
            });
        for (auto& sender : senders)
            sender.join();
        ASSERT_EQ(Observer().GetMachineNames().size(), kBound) << "round " << round;
    }
}

TEST_F(ResourceObserver, AtMostTenThousandEventsAreKeptForTheSystemObserverAndDropsAreCountedAndLoggedOncePerThousand)
{
    constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BA);
    XQNLogbookCapture capture;
    const auto keep = [] { return Observer().KeepWhenNotPassedOn(kServerUnavailable, {XResourceObserverInstance::KeptEvent::Kind::ResourceAlert, XQNComBSTR(u"node1"), 1}); };
    for (size_t i = 0; i < XResourceObserverInstance::kKeptEventLimit; ++i)
        ASSERT_EQ(keep(), S_FALSE);
    EXPECT_EQ(Observer().DroppedEventCount(), 0u) << "the bound's own event is kept";
    for (int i = 0; i < 1001; ++i)
        EXPECT_EQ(keep(), S_FALSE) << "dropped, not refused";
    EXPECT_EQ(std::pair(Observer().KeptEventCount(), Observer().DroppedEventCount()), std::pair(XResourceObserverInstance::kKeptEventLimit, 1001ull));
    const auto logged = [&](int sofar) {
        return capture.WithMessage("10000 events for the system observer are kept already - dropped one from machine 'node1' (" + std::to_string(sofar) + " so far)");
    };
    EXPECT_EQ(qntest::Only(logged(1)).line, 1500);
    EXPECT_EQ(logged(1001).size(), 1u) << "and the thousand-and-first";
    EXPECT_EQ(capture.Entries().size(), 2u);
    EXPECT_EQ(Observer().KeepWhenNotPassedOn(E_INVALIDARG, {}), E_INVALIDARG) << "a refusal is not an outage";
}

TEST_F(ResourceObserver, AnEndIsLoggedWithTheLastFiguresAndTheNearestCeilingOfAKnownSourceAndLimit)
{
    qntest::Sample sample(u"node1", u"srv", 7);
    sample.processLoad.workingSetKB = 300;
    tagQNProcessCeilings ceilings{};
    ceilings.memoryKB = {100, 1, QNCeilingSource_None};    // no source: not a ceiling
    ceilings.descriptors = {100, 0, 7};                     // a source this observer doesn't know
    ceilings.threads = {1000, 500, QNCeilingSource_ResourceLimit};
    ASSERT_TRUE(Observer().SetResourceData(sample, ceilings));
    XQNLogbookCapture capture;
    Probe::RecordEnd(Observer(), {4711, XQNComBSTR(u"srv"), 7, XQNComBSTR(u"node1"), XResourceAgent::kEnded, "exited"});
    EXPECT_EQ(capture.WithMessage("process of machine 'node1', process name 'srv', process id 7 (pid 4711 here) ended - cause: ended (exited) - last figures: "
                                  "working set 300 KB, private 0 KB, 0 descriptors, 0 threads; nearest ceiling: threads 1000 under rlimit, 500 left")
                  .size(),
              1u)
        << capture.Entries().back().message;
    Probe::RecordEnd(Observer(), {4712, XQNComBSTR(u"srv"), 8, XQNComBSTR(u"node1"), XResourceAgent::kOomKill, "the kernel's oom_kill"});
    const auto entries = capture.Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].severity, QNSeverity_EventTrace) << "an end of the process's own is not an error";
    EXPECT_EQ(entries[1].severity, QNSeverity_Error) << "a kill is";
}

TEST(ResourceObserverTimes, HalvesAddWithoutCarry)
{
    tagQNPreciseTime sum{0xFFFFFFFF, 7};
    Probe::Sum({1, 0}, sum);
    EXPECT_EQ(std::tuple(sum.lowPart, sum.highPart), std::tuple(0u, 7u));
}

class AlertRecorder : public XMachineResourceAlertHandler {
public:
    void OnMachineResourceAlert(LONG state) override { states.push_back(state); }
    std::vector<LONG> states;
};

class MachineAlerts : public testing::Test {
protected:
    void SetUp() override
    {
        Observer().RegisterResourceAlertHandler(&m_handler);
        // Processor times of idle 10 out of 100 (kernel time includes idle): a load of 0.9.
        m_figures.machineLoad = {{10, 0}, {100, 0}, {0, 0}, 0, 524288, 0, 4096, 100, 1000, 0};
    }
    void TearDown() override { XResourceObserverInstance::Destroy(); }
    LONG Check() { return Probe::Check(Observer(), m_figures); }

    AlertRecorder m_handler;
    qntest::MachineSample m_figures{u"node1"};
};

TEST_F(MachineAlerts, AnAlertIsRaisedAndClearedOnceForEachRegistrationAndDisabledAlertsKeepWhatStands)
{
    AlertRecorder twice;
    Observer().RegisterResourceAlertHandler(nullptr);
    Observer().RegisterResourceAlertHandler(&twice);
    Observer().RegisterResourceAlertHandler(&twice);
    Observer().SetResourceAlertMetric(100, 0, 0, 0, 0.0);
    EXPECT_EQ(Check(), 0) << "100 processes are not more than 100";
    m_figures.machineLoad.processCount = 101;
    EXPECT_EQ(Check(), 0x02);
    EXPECT_EQ(Check(), 0) << "a standing alert is not raised again";
    Observer().DeregisterResourceAlertHandler(&twice);
    Observer().DisableAllResourceAlerts(true);
    m_figures.machineLoad.processCount = 100;
    EXPECT_EQ(Check(), 0);
    EXPECT_EQ(Probe::State(Observer()), 0x02);
    Observer().DisableAllResourceAlerts(false);
    EXPECT_EQ(Check(), 0) << "a clear puts nothing into the record";
    EXPECT_THAT(m_handler.states, ElementsAre(0x02, 0x00));
    EXPECT_THAT(twice.states, ElementsAre(0x02, 0x02)) << "once per registration, until deregistered everywhere";
}

TEST_F(MachineAlerts, ACopyKeepsTheLimitsHandlersAndTheAlertThatStands)
{
    Observer().SetResourceAlertMetric(100, 0, 0, 0, 0.0);
    m_figures.machineLoad.processCount = 101;
    EXPECT_EQ(Check(), 0x02);
    EXPECT_EQ(Probe::CheckACopy(Observer(), m_figures), 0) << "the standing alert is not raised again";
    m_figures.machineLoad.processCount = 100;
    EXPECT_EQ(Probe::CheckACopy(Observer(), m_figures), 0);
    EXPECT_THAT(m_handler.states, ElementsAre(0x02, 0x00)) << "the copy cleared the alert for the original's handler";
}

TEST_F(MachineAlerts, LimitsAreStrictAndInTheirUnitsAndTheProcessorLoadComesFromTheMachineTimes)
{
    Observer().SetResourceAlertMetric(0, 1000, 4096, 512, 90.0);
    m_figures.machineLoad.handleCount = 1000;
    EXPECT_EQ(Check(), 0x20) << "a load of exactly 0.9 reaches 90 %; 1000 handles, 4096 KB and 512 MB free are at their limits";
    m_figures.machineLoad.handleCount = 1001;
    m_figures.machineLoad.availPhysicalKB = 4095;
    m_figures.machineLoad.availPageFileKB = 524287;
    EXPECT_EQ(Check(), 0x04 | 0x08 | 0x10);
    m_figures.machineLoad.idleTime = m_figures.machineLoad.kernelTime = {0, 0};
    EXPECT_EQ(Check(), 0);
    EXPECT_EQ(Probe::State(Observer()), 0x3C) << "all-zero times neither raise nor clear";
    m_figures.machineLoad.kernelTime = {100, 0};
    m_figures.machineLoad.idleTime = {50, 0};
    Check();
    Observer().SetResourceAlertMetric(0, 1000, 0, 512, 90.0);
    Check();
    EXPECT_THAT(m_handler.states, ElementsAre(0x20, 0x3C, 0x1C)) << "one call for the changes of one check; a check switched off leaves its alert";
}

TEST_F(MachineAlerts, PressureAlertsAtItsLimitOnTheHighestSomeLineAndNotWithoutPressure)
{
    tagQNMachinePressure pressure{};
    pressure.cpuSome = {1, 10.0, 2.0, 100};
    pressure.ioFull = {1, 90.0, 90.0, 100};  // "full" lines don't count
    EXPECT_EQ(Probe::Check(Observer(), m_figures, &pressure), 0) << "off without a limit";
    Observer().SetPressureAlertLimit(20.0);
    EXPECT_EQ(Probe::Check(Observer(), m_figures, &pressure), 0);
    pressure.memorySome = {1, 20.0, 1.0, 100};
    EXPECT_EQ(Probe::Check(Observer(), m_figures, &pressure), 0x40) << "the highest avg10 of cpu, memory and io reaches the limit";
    pressure = {};
    EXPECT_EQ(Probe::Check(Observer(), m_figures, &pressure), 0) << "a kernel without pressure clears it";
    EXPECT_THAT(m_handler.states, ElementsAre(0x40, 0x00));
}

}  // namespace
