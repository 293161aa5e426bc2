#include <gtest/gtest.h>

#include <cstring>

#include "agent/XLoadMonitor.h"

namespace {

TEST(ZeroData, SampleKeepsIntervalUsageReservedAndFreeVirtualMemory)
{
    tagQNResourceInformation info;
    std::memset(&info, 0xAB, sizeof info);
    info.monitorIntervalSec = 60;
    info.processLoad.availVirtualKB = 123456;
    info.externalUsage = {7, 8, 9};
    info.reserved = 3;
    XLoadMonitor::ZeroData(info);

    EXPECT_EQ(info.monitorIntervalSec, 60);
    EXPECT_EQ(info.processLoad.availVirtualKB, 123456);
    EXPECT_EQ(info.externalUsage.externalResourceUsage, 7u);
    EXPECT_EQ(info.externalUsage.databaseCounterA, 9u);
    EXPECT_EQ(info.reserved, 3);
    EXPECT_EQ(info.machineName, nullptr);
    EXPECT_EQ(info.processName, nullptr);
    EXPECT_EQ(info.auxText, nullptr);
    EXPECT_EQ(info.processId, 0u);
    EXPECT_EQ(info.dataValid, 0);

    tagQNProcessResourceLoad load = info.processLoad;
    load.availVirtualKB = 0;
    EXPECT_EQ(load.kernelTime.lowPart | load.kernelTime.highPart | load.userTime.lowPart | load.userTime.highPart, 0u);
    EXPECT_EQ(load.workingSetKB | load.peakWorkingSetKB | load.pagefileUsageKB | load.peakPagefileUsageKB | load.usedVirtualKB, 0);
    EXPECT_EQ(load.threadCount | load.pageFaultCount | load.handleCount | load.gdiObjectCount | load.userObjectCount, 0u);
    const auto& m = info.machineLoad;
    EXPECT_EQ(m.idleTime.lowPart | m.idleTime.highPart | m.kernelTime.lowPart | m.kernelTime.highPart | m.userTime.lowPart | m.userTime.highPart, 0u);
    EXPECT_EQ(m.usedPageFileKB | m.availPageFileKB | m.usedPhysicalKB | m.availPhysicalKB, 0);
    EXPECT_EQ(m.processCount | m.threadCount | m.handleCount, 0u);
}

TEST(ZeroData, NeverFreesStrings)
{
    tagQNProcessResourceEmergencyEvent event{};
    BSTR machine = SysAllocString(u"HOST");
    event.machineName = machine;
    event.reserved = 5;
    event.emergencyState = 0x0800;
    XLoadMonitor::ZeroData(event);
    EXPECT_EQ(event.machineName, nullptr);
    EXPECT_EQ(event.emergencyState, 0);
    EXPECT_EQ(event.reserved, 5);
    EXPECT_EQ(platform::View(machine), u"HOST") << "the string the record held is still alive";
    SysFreeString(machine);
}

TEST(ZeroData, AlertAndSystemInformationAreClearedWhole)
{
    tagQNProcessResourceAlert alert{nullptr, nullptr, nullptr, 9, 4, 0x3F};
    XLoadMonitor::ZeroData(alert);
    EXPECT_EQ(alert.processId, 0u);
    EXPECT_EQ(alert.alertState, 0);
    EXPECT_EQ(alert.reserved, 4);

    tagQNSystemInformation info{1, 1, 8, 0xFF, 9};
    XLoadMonitor::ZeroData(info);
    EXPECT_EQ(info.valid | info.isWow64, 0);
    EXPECT_EQ(info.numberOfProcessors | info.activeProcessorMask | info.processorArchitecture, 0u);
}

TEST(PreciseTime, HalvesMakeOneCount)
{
    const tagQNPreciseTime time{0xFFFFFFFF, 1};
    EXPECT_EQ((std::uint64_t{time.highPart} << 32) + time.lowPart, 8589934591u);
}

}  // namespace
