// The resource observer's answers from its histories: averaged queries, the newest sample and
// ceilings of a process, and the records built for the system observer.
#include "agent/XLoadMonitor.h"
#include "observer/XResourceObserverInstance.h"

using XResourceAgent::HistoryKey;
using XResourceAgent::XMachineOPXServerInfo;
using XResourceAgent::XMachineResourceInfo;
using XResourceAgent::XProcessResourceInfo;

namespace {

// The 64-bit figures and 32-bit counts of `sample` added into `sum`, each wrapping at its width.
template <typename Info, std::size_t F, std::size_t C>
void AddFigures(const Info& sample, Info& sum, LONGLONG Info::*const (&figures)[F], ULONG Info::*const (&counts)[C])
{
    for (auto figure : figures)
        sum.*figure = static_cast<LONGLONG>(static_cast<ULONGLONG>(sum.*figure) + static_cast<ULONGLONG>(sample.*figure));
    for (auto count : counts)
        sum.*count += sample.*count;
}

// The sums divided by n and truncated: the figures read as signed, the counts as unsigned.
template <typename Info, std::size_t F, std::size_t C>
void DivideFigures(Info& sum, ULONGLONG n, LONGLONG Info::*const (&figures)[F], ULONG Info::*const (&counts)[C])
{
    for (auto figure : figures)
        sum.*figure /= static_cast<LONGLONG>(n);
    for (auto count : counts)
        sum.*count = static_cast<ULONG>(sum.*count / n);
}

// Process ids kept under all names.
template <typename Processes>
auto FindProcess(const Processes& processes, const XQNComBSTR& processName, DWORD processId) -> decltype(&processes.begin()->second.begin()->second)
{
    const auto named = processes.find(HistoryKey(processName));
    if (named == processes.end())
        return nullptr;
    const auto entry = named->second.find(processId);
    return entry == named->second.end() ? nullptr : &entry->second;
}

}  // namespace

bool XResourceObserverInstance::GetProcessResourceData(const XQNComBSTR& processName, XProcessResourceInfo& result) const
{
    auto processes = m_processHistory.GetConstReadProxy();
    const auto found = processes->find(HistoryKey(processName));
    if (found == processes->end())
        return false;
    XResourceAgent::XHistory<XProcessResourceInfo> gathered;
    bool current = true;
    for (const auto& [id, entry] : found->second) {
        if (entry.history.empty())
            continue;
        gathered.insert(gathered.end(), entry.history.begin(), entry.history.end());
        if (entry.missedCycles >= entry.missedCycleLimit)
            current = false;
    }
    GetAverageResourceData(gathered, result);
    return !gathered.empty() && current;
}

bool XResourceObserverInstance::GetProcessResourceData(const XQNComBSTR& processName, DWORD processId, XProcessResourceInfo& result) const
{
    auto processes = m_processHistory.GetConstReadProxy();
    const auto found = processes->find(HistoryKey(processName));
    if (found == processes->end())
        return false;
    const auto entry = found->second.find(processId);
    if (entry == found->second.end() || entry->second.history.empty())
        return false;
    GetAverageResourceData(entry->second.history, result);
    return entry->second.missedCycles < entry->second.missedCycleLimit;
}

std::optional<XProcessResourceInfo> XResourceObserverInstance::GetNewestProcessResourceData(const XQNComBSTR& processName, DWORD processId) const
{
    auto processes = m_processHistory.GetConstReadProxy();
    const XPipeProcessResourceInfo* entry = FindProcess(*processes, processName, processId);
    return entry == nullptr ? std::nullopt : std::optional(entry->history.back());
}

std::optional<tagQNProcessCeilings> XResourceObserverInstance::GetProcessCeilings(const XQNComBSTR& processName, DWORD processId) const
{
    auto processes = m_processHistory.GetConstReadProxy();
    const XPipeProcessResourceInfo* entry = FindProcess(*processes, processName, processId);
    return entry == nullptr ? std::nullopt : entry->ceilings;
}

bool XResourceObserverInstance::GetMachineResourceData(const XQNComBSTR& machineName, XMachineResourceInfo& result) const
{
    XMachineOPXServerInfo opx;
    GetMachineOPXServerInfo(opx);
    auto machines = m_machineHistory.GetConstReadProxy();
    const auto found = machines->find(HistoryKey(machineName));
    if (found == machines->end() || found->second.empty())
        return false;
    const bool current = IsMachineMeasurementUpToDate();
    // The host's figures for its machine, not the zeroed ones that every stored sample carries.
    result.opxServerInfo = opx;
    GetAverageResourceData(found->second, result);
    return current;
}

std::vector<XQNComBSTR> XResourceObserverInstance::GetMachineNames() const
{
    return XResourceAgent::GetMachineNames(*m_machineHistory.GetConstReadProxy());
}

std::vector<std::pair<XQNComBSTR, DWORD>> XResourceObserverInstance::GetProcesses() const
{
    std::vector<std::pair<XQNComBSTR, DWORD>> found;
    auto processes = m_processHistory.GetConstReadProxy();
    for (const auto& [key, ids] : *processes)
        for (const auto& [id, entry] : ids)
            if (!entry.history.empty())
                found.emplace_back(entry.history.back().processName, id);
    return found;
}

void XResourceObserverInstance::GetSum(const tagQNPreciseTime& add, tagQNPreciseTime& sum)
{
    sum.lowPart += add.lowPart;
    sum.highPart += add.highPart;
}

void XResourceObserverInstance::GetAverage(tagQNPreciseTime& time, ULONGLONG count)
{
    time.lowPart = static_cast<std::uint32_t>(static_cast<double>(time.lowPart) / static_cast<double>(count));
    time.highPart = static_cast<std::uint32_t>(static_cast<double>(time.highPart) / static_cast<double>(count));
}

void XResourceObserverInstance::GetAverageResourceData(const XResourceAgent::XHistory<XProcessResourceInfo>& history, XProcessResourceInfo& result)
{
    static constexpr LONGLONG XProcessResourceInfo::*kFigures[] = {&XProcessResourceInfo::workingSetKB,        &XProcessResourceInfo::peakWorkingSetKB,
                                                                   &XProcessResourceInfo::pagefileUsageKB,     &XProcessResourceInfo::peakPagefileUsageKB,
                                                                   &XProcessResourceInfo::usedVirtualKB,       &XProcessResourceInfo::availVirtualKB};
    static constexpr ULONG XProcessResourceInfo::*kCounts[] = {&XProcessResourceInfo::threadCount, &XProcessResourceInfo::pageFaultCount,
                                                               &XProcessResourceInfo::handleCount, &XProcessResourceInfo::gdiObjectCount,
                                                               &XProcessResourceInfo::userObjectCount};
    for (const auto& sample : history) {
        if (result.processName.IsEmpty()) {
            result.processName = sample.processName;
            result.auxText = sample.auxText;
            result.processId = sample.processId;
        }
        GetSum(sample.kernelTime, result.kernelTime);
        GetSum(sample.userTime, result.userTime);
        AddFigures(sample, result, kFigures, kCounts);
    }
    const ULONGLONG n = history.size();
    if (n == 0)
        return;
    GetAverage(result.kernelTime, n);
    GetAverage(result.userTime, n);
    DivideFigures(result, n, kFigures, kCounts);
}

void XResourceObserverInstance::GetAverageResourceData(const XResourceAgent::XHistory<XMachineResourceInfo>& history, XMachineResourceInfo& result)
{
    static constexpr LONGLONG XMachineResourceInfo::*kFigures[] = {&XMachineResourceInfo::usedPageFileKB, &XMachineResourceInfo::availPageFileKB,
                                                                   &XMachineResourceInfo::usedPhysicalKB, &XMachineResourceInfo::availPhysicalKB};
    static constexpr ULONG XMachineResourceInfo::*kCounts[] = {&XMachineResourceInfo::processCount, &XMachineResourceInfo::threadCount,
                                                               &XMachineResourceInfo::handleCount};
    for (const auto& sample : history) {
        if (result.machineName.IsEmpty())
            result.machineName = sample.machineName;
        GetSum(sample.idleTime, result.idleTime);
        GetSum(sample.kernelTime, result.kernelTime);
        GetSum(sample.userTime, result.userTime);
        AddFigures(sample, result, kFigures, kCounts);
        result.avgDatabaseAccessRatio += sample.avgDatabaseAccessRatio;
    }
    const ULONGLONG n = history.size();
    if (n == 0)
        return;
    GetAverage(result.idleTime, n);
    GetAverage(result.kernelTime, n);
    GetAverage(result.userTime, n);
    DivideFigures(result, n, kFigures, kCounts);
    result.avgDatabaseAccessRatio /= static_cast<double>(n);
}

void XResourceObserverInstance::SetMachineOPXServerInfo(const XMachineOPXServerInfo& info)
{
    m_opxServerInfo.Set(info);
}

void XResourceObserverInstance::GetMachineOPXServerInfo(XMachineOPXServerInfo& info) const
{
    info = *m_opxServerInfo.GetConstReadProxy();
}

bool XResourceObserverInstance::IsMachineMeasurementUpToDate() const
{
    return m_cyclesWithoutSamples.load() < m_machineStaleCycles.load();
}

void XResourceObserverInstance::ZeroData(tagQNMachineOPXServerLoad& load)
{
    load.hostValue1 = load.hostValue2 = load.hostValue3 = load.hostValue4 = load.hostValue5 = 0;
    load.hostFlag = 0;
}

void XResourceObserverInstance::ZeroData(tagQNSystemResourceInformation& info)
{
    info.machineName = nullptr;
    info.dataValid = 0;
    XLoadMonitor::ZeroData(info.machineLoad);
    ZeroData(info.opxServerLoad);
}

void XResourceObserverInstance::ZeroData(tagQNSystemResourceEmergencyEvent& event)
{
    event.machineName = nullptr;
    event.emergencyState = 0;
}

void XResourceObserverInstance::ZeroData(tagQNSystemResourceAlert& alert)
{
    alert.machineName = nullptr;
    alert.alertState = 0;
}

void XResourceObserverInstance::BuildSystemResourceInfo(const XMachineResourceInfo& source, tagQNSystemResourceInformation& target)
{
    ZeroData(target);
    target.machineName = source.machineName.Copy();
    target.dataValid = 1;
    target.machineLoad = {source.idleTime,       source.kernelTime,      source.userTime,     source.usedPageFileKB, source.availPageFileKB,
                          source.usedPhysicalKB, source.availPhysicalKB, source.processCount, source.threadCount,    source.handleCount};
    const XMachineOPXServerInfo& opx = source.opxServerInfo;
    target.opxServerLoad = {opx.hostFlag ? 1 : 0, opx.hostValue1, opx.hostValue2, opx.hostValue3, opx.hostValue4, opx.hostValue5};
}

