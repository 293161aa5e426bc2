// The system resource observer's store: machine histories, queries, staleness and cleanup, and
// the logged event intakes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include "emergency/QNServerEmergency.h"
#include "interfaces/QNError64.h"
#include "systemobserver/XSystemResourceObserverInstance.h"
#include "tests/helpers/Errors.h"
#include "tests/helpers/Sample.h"

// The tests' view of the worker's cycle.
struct XSystemResourceObserverInstanceProbe {
    static void Cycle(XSystemResourceObserverInstance& store)
    {
        store.CountCycle();
        store.CleanupResourceObserver();
    }
    static LONG SampleCount(const XSystemResourceObserverInstance& store) { return store.m_sampleCount.load(); }
    static LONG CyclesWithoutSamples(const XSystemResourceObserverInstance& store) { return store.m_cyclesWithoutSamples.load(); }
};

namespace {

using Probe = XSystemResourceObserverInstanceProbe;
using testing::ElementsAre;
using XResourceAgent::XMachineResourceInfo;

class SystemObserverStore : public testing::Test {
protected:
    void TearDown() override { XSystemResourceObserverInstance::Destroy(); }

    static XSystemResourceObserverInstance& Store() { return XSystemResourceObserverInstance::Instance(); }

    // A machine sample whose figures are all `figure` and whose server figures and usage sum are
    // `figure` + 1000.
    static void Send(const char16_t* machine, ULONG figure, LONG valid = 1)
    {
        qntest::MachineSample info(machine);
        info.dataValid = valid;
        info.machineLoad.processCount = info.machineLoad.handleCount = figure;
        info.machineLoad.availPhysicalKB = figure;
        info.machineLoad.idleTime.lowPart = figure;
        info.externalUsageSum = info.opxServerLoad.hostValue3 = figure + 1000;
        info.opxServerLoad.hostFlag = 1;
        Store().SetSystemResourceData(info);
    }

    static bool Query(const char16_t* machine, XMachineResourceInfo& result) { return Store().GetMachineResourceData(XQNComBSTR(machine), result); }

    static void Cycles(int count)
    {
        for (int i = 0; i < count; ++i)
            Probe::Cycle(Store());
    }
};

// The averaging itself is the resource observer's, whose code the store runs: here only what the
// store adds to it.
TEST_F(SystemObserverStore, EveryMachineAtOnceIsAveragedAsEachAloneUnderNamesOfAnyCaseAndComesInTheOrderOfTheKeys)
{
    Send(u"node2", 3);
    Send(u"node2", 5);
    Send(u"node1", 9);
    Send(u"Node1", 7);
    std::vector<XSystemResourceObserverInstance::XMachineFigures> machines;
    EXPECT_TRUE(Store().GetEveryMachineResourceData(machines));
    ASSERT_EQ(machines.size(), 2u) << "one history for both spellings";
    EXPECT_EQ(std::tuple(machines[0].key, machines[0].figures.machineName, machines[0].figures.processCount), std::tuple(XQNComBSTR(u"NODE1"), XQNComBSTR(u"Node1"), 8u))
        << "named as the newest sample spells it";
    EXPECT_EQ(std::tuple(machines[1].key, machines[1].figures.processCount, machines[1].figures.externalUsageSum), std::tuple(XQNComBSTR(u"NODE2"), 4u, 1005u))
        << "the server figures are the newest sample's, not averaged";
    EXPECT_TRUE(machines[1].figures.opxServerInfo.hostFlag);
    EXPECT_EQ(machines[1].figures.opxServerInfo.hostValue3, 1005u);
    for (const auto& [key, found] : {std::pair(XQNComBSTR(u"NODE2"), 1u), std::pair(XQNComBSTR(u"NODE3"), 0u)}) {
        machines.clear();
        Store().GetEveryMachineResourceData(machines, &key);
        ASSERT_EQ(machines.size(), found);
        EXPECT_TRUE(found == 0 || machines[0].figures.machineName == u"node2");
    }
}

TEST_F(SystemObserverStore, AnInvalidSampleOrAnUnknownNameChangesNothingButTheLogbook)
{
    Send(u"node1", 8);
    XQNLogbookCapture log;
    const LONG counted = Probe::SampleCount(Store());
    Send(u"node1", 100, 0);
    XMachineResourceInfo machine;
    EXPECT_TRUE(Query(u"NoDe1", machine));
    EXPECT_EQ(machine.processCount, 8u);
    EXPECT_EQ(Probe::SampleCount(Store()), counted);
    const XQNLogEntry entry = qntest::Only(log.Entries());
    EXPECT_EQ(std::tuple(entry.line, entry.severity), std::tuple(92, 5));
    EXPECT_EQ(entry.message, "the retrieved resource data from process load measurement are not up to date - the previous measurement date are further used");
    machine.processCount = 77;
    EXPECT_FALSE(Query(u"node2", machine));
    EXPECT_EQ(machine.processCount, 77u);
}

TEST_F(SystemObserverStore, QueriesTurnFalseAfterTenSilentCyclesAndTheCleanupEmptiesTheStoreInTheThirtyFirst)
{
    Send(u"node1", 8);
    Send(u"node2", 9);
    Cycles(1 + 9);  // the cycle that saw the samples, then nine silent ones
    XMachineResourceInfo machine;
    EXPECT_TRUE(Query(u"node1", machine)) << "9 silent cycles";
    Cycles(1);
    machine = {};
    EXPECT_FALSE(Query(u"node1", machine)) << "10 silent cycles";
    EXPECT_EQ(machine.processCount, 8u) << "figures are filled while stale";
    Cycles(20);
    EXPECT_EQ(Store().GetMachineNames().size(), 2u) << "30 silent cycles";
    Cycles(1);
    EXPECT_TRUE(Store().GetMachineNames().empty()) << "31 silent cycles drop every machine at once";
    EXPECT_FALSE(Query(u"node2", machine));
}

TEST_F(SystemObserverStore, ASampleAfterSilentCyclesMakesTheDataCurrentAtTheNextCycleWhichResetsTheSilenceAndTheCountStopsAtAThousand)
{
    Send(u"node1", 1);
    Cycles(12);
    ASSERT_EQ(Probe::CyclesWithoutSamples(Store()), 11);
    XMachineResourceInfo machine;
    for (int i = 0; i < 1200; ++i)
        Send(u"node1", 1);
    EXPECT_FALSE(Query(u"node1", machine)) << "the count changes only in a cycle";
    EXPECT_EQ(Probe::SampleCount(Store()), 1000);
    Cycles(1);
    EXPECT_TRUE(Query(u"node1", machine));
    EXPECT_EQ(Probe::CyclesWithoutSamples(Store()), 0);
    EXPECT_EQ(Probe::SampleCount(Store()), 0);
}

TEST_F(SystemObserverStore, EventsWithAStateWriteOneTraceEachAndStateZeroWritesNothing)
{
    XQNLogbookCapture log;
    XQNComBSTR machine(u"node1");
    Store().RaiseSystemResourceEmergencyEvent({machine, 0});
    Store().NotifySystemResourceAlert({machine, 0});
    Store().RaiseGlobalEmergencyEvent({machine, 0});
    EXPECT_TRUE(log.Entries().empty());

    Store().RaiseSystemResourceEmergencyEvent({machine, 0x0800});
    Store().NotifySystemResourceAlert({machine, 0x20});
    Store().RaiseGlobalEmergencyEvent({machine, 0x0001});
    std::vector<std::tuple<int, int, std::string>> entries;
    for (const auto& entry : log.Entries())
        entries.emplace_back(entry.line, entry.severity, entry.message.substr(0, entry.message.find(" (")));
    EXPECT_THAT(entries, ElementsAre(std::tuple(169, 4, "system resource emergency event received from machine 'node1'- emergency state: 0x800"),
                                     std::tuple(186, 4, "system resourve alert received from machine 'node1'- alert state: 0x20"),
                                     std::tuple(209, 4, "global server emergency event received from machine 'node1'- emergency state: 0x1")));
    EXPECT_TRUE(log.Entries()[1].message.ends_with(" (machine CPU utilization too high)"));
}

}  // namespace
