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

std::vector<XQNComBSTR> GetMachineNames(const XMachineHistory& history)
{
    std::vector<XQNComBSTR> names;
    for (const auto& [key, samples] : history)
        if (!samples.empty())
            names.push_back(samples.back().machineName);
    return names;
}

bool GetCpuLoad(const tagQNPreciseTime& idle, const tagQNPreciseTime& kernel, const tagQNPreciseTime& user, double& load)
{
    if (Ticks(idle) == 0 && Ticks(kernel) == 0 && Ticks(user) == 0)
        return false;
    const LONGLONG busy = Ticks(kernel) + Ticks(user);
    load = busy > 0 ? static_cast<double>(busy - Ticks(idle)) / static_cast<double>(busy) : 0.0;
    return true;
}

}  // namespace XResourceAgent
