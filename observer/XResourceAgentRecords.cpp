#include "observer/XResourceAgentRecords.h"

namespace XResourceAgent {

XProcessResourceInfo::XProcessResourceInfo(const tagQNResourceInformation& sample)
    : processName(sample.processName, SysStringLen(sample.processName)),
      auxText(sample.auxText, SysStringLen(sample.auxText)),
      processId(sample.processId),
      kernelTime(sample.processLoad.kernelTime),
      userTime(sample.processLoad.userTime),
      workingSetKB(sample.processLoad.workingSetKB),
      peakWorkingSetKB(sample.processLoad.peakWorkingSetKB),
      pagefileUsageKB(sample.processLoad.pagefileUsageKB),
      peakPagefileUsageKB(sample.processLoad.peakPagefileUsageKB),
      usedVirtualKB(sample.processLoad.usedVirtualKB),
      availVirtualKB(sample.processLoad.availVirtualKB),
      threadCount(sample.processLoad.threadCount),
      pageFaultCount(sample.processLoad.pageFaultCount),
      handleCount(sample.processLoad.handleCount),
      gdiObjectCount(sample.processLoad.gdiObjectCount),
      userObjectCount(sample.processLoad.userObjectCount),
      externalResourceUsage(sample.externalUsage.externalResourceUsage),
      databaseCounterB(sample.externalUsage.databaseCounterB),
      databaseCounterA(sample.externalUsage.databaseCounterA)
{
}

XMachineResourceInfo::XMachineResourceInfo(const tagQNResourceInformation& sample)
    : machineName(sample.machineName, SysStringLen(sample.machineName)),
      idleTime(sample.machineLoad.idleTime),
      kernelTime(sample.machineLoad.kernelTime),
      userTime(sample.machineLoad.userTime),
      usedPageFileKB(sample.machineLoad.usedPageFileKB),
      availPageFileKB(sample.machineLoad.availPageFileKB),
      usedPhysicalKB(sample.machineLoad.usedPhysicalKB),
      availPhysicalKB(sample.machineLoad.availPhysicalKB),
      processCount(sample.machineLoad.processCount),
      threadCount(sample.machineLoad.threadCount),
      handleCount(sample.machineLoad.handleCount)
{
}

}  // namespace XResourceAgent
