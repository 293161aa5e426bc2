#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "agent/XLoadMonitor.h"

namespace {

TEST(ZeroData, ASampleKeepsItsIntervalUsageReservedAndFreeVirtualMemoryAndNoRecordFreesItsStrings)
{
    tagQNResourceInformation info;
    std::memset(&info, 0xAB, sizeof info);
    info.monitorIntervalSec = 60;
    info.processLoad.availVirtualKB = 123456;
    info.externalUsage = {7, 8, 9};
    info.reserved = 3;
    XLoadMonitor::ZeroData(info);
    EXPECT_EQ(std::tuple(info.monitorIntervalSec, info.processLoad.availVirtualKB, info.reserved), std::tuple(60, 123456, 3));
    EXPECT_EQ(std::tuple(info.externalUsage.externalResourceUsage, info.externalUsage.databaseCounterA), std::tuple(7u, 9u));
    EXPECT_EQ(std::tuple(info.machineName, info.processName, info.auxText, info.processId, info.dataValid), std::tuple(nullptr, nullptr, nullptr, 0u, 0));
    const auto& p = info.processLoad;
    EXPECT_EQ(p.kernelTime.lowPart | p.kernelTime.highPart | p.userTime.lowPart | p.userTime.highPart, 0u);
    EXPECT_EQ(p.workingSetKB | p.peakWorkingSetKB | p.pagefileUsageKB | p.peakPagefileUsageKB | p.usedVirtualKB, 0);
    EXPECT_EQ(p.threadCount | p.pageFaultCount | p.handleCount | p.gdiObjectCount | p.userObjectCount, 0u);
    const auto& m = info.machineLoad;
    EXPECT_EQ(m.idleTime.lowPart | m.idleTime.highPart | m.kernelTime.lowPart | m.kernelTime.highPart | m.userTime.lowPart | m.userTime.highPart, 0u);
    EXPECT_EQ(m.usedPageFileKB | m.availPageFileKB | m.usedPhysicalKB | m.availPhysicalKB, 0);
    EXPECT_EQ(m.processCount | m.threadCount | m.handleCount, 0u);

    BSTR machine = SysAllocString(u"HOST");
    tagQNProcessResourceEmergencyEvent event{machine, nullptr, nullptr, 1, 5, 0x0800};
    XLoadMonitor::ZeroData(event);
    EXPECT_EQ(std::tuple(event.machineName, event.emergencyState, event.reserved), std::tuple(nullptr, 0, 5));
    EXPECT_EQ(platform::View(machine), u"HOST") << "the string the record held is still alive";
    SysFreeString(machine);

    tagQNProcessResourceAlert alert{nullptr, nullptr, nullptr, 9, 4, 0x3F};
    XLoadMonitor::ZeroData(alert);
    EXPECT_EQ(std::tuple(alert.processId, alert.alertState, alert.reserved), std::tuple(0u, 0, 4));
    tagQNSystemInformation system{1, 1, 8, 0xFF, 9};
    XLoadMonitor::ZeroData(system);
    EXPECT_EQ(system.valid | system.isWow64, 0);
    EXPECT_EQ(system.numberOfProcessors | system.activeProcessorMask | system.processorArchitecture, 0u);
}

}  // namespace
