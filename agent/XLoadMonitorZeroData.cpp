#include "agent/XLoadMonitor.h"

void XLoadMonitor::ZeroData(tagQNPreciseTime& time)
{
    time.lowPart = 0;
    time.highPart = 0;
}

void XLoadMonitor::ZeroData(tagQNProcessResourceLoad& load)
{
    ZeroData(load.kernelTime);
    ZeroData(load.userTime);
    load.workingSetKB = 0;
    load.peakWorkingSetKB = 0;
    load.pagefileUsageKB = 0;
    load.peakPagefileUsageKB = 0;
    load.usedVirtualKB = 0;
    load.threadCount = 0;
    load.pageFaultCount = 0;
    load.handleCount = 0;
    load.gdiObjectCount = 0;
    load.userObjectCount = 0;
}

void XLoadMonitor::ZeroData(tagQNMachineResourceLoad& load)
{
    ZeroData(load.idleTime);
    ZeroData(load.kernelTime);
    ZeroData(load.userTime);
    load.usedPageFileKB = 0;
    load.availPageFileKB = 0;
    load.usedPhysicalKB = 0;
    load.availPhysicalKB = 0;
    load.processCount = 0;
    load.threadCount = 0;
    load.handleCount = 0;
}

void XLoadMonitor::ZeroData(tagQNSystemInformation& info)
{
    info.valid = 0;
    info.isWow64 = 0;
    info.numberOfProcessors = 0;
    info.activeProcessorMask = 0;
    info.processorArchitecture = 0;
}

void XLoadMonitor::ZeroData(tagQNResourceInformation& info)
{
    info.machineName = nullptr;
    info.processName = nullptr;
    info.auxText = nullptr;
    info.processId = 0;
    info.dataValid = 0;
    ZeroData(info.machineLoad);
    ZeroData(info.processLoad);
}

void XLoadMonitor::ZeroData(tagQNProcessResourceEmergencyEvent& event)
{
    event.machineName = nullptr;
    event.processName = nullptr;
    event.auxText = nullptr;
    event.processId = 0;
    event.emergencyState = 0;
}

void XLoadMonitor::ZeroData(tagQNProcessResourceAlert& alert)
{
    alert.machineName = nullptr;
    alert.processName = nullptr;
    alert.auxText = nullptr;
    alert.processId = 0;
    alert.alertState = 0;
}
