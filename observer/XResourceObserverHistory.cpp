// The histories of the resource observer: intake of samples, queries and averages, the cycle
// bookkeeping and the cleanup of what went silent.
#include <algorithm>
#include <limits>

#include "Cominc64/XSingleton.h"
#include "agent/XLoadMonitor.h"
#include "module/QNResourceAgentModule.h"
#include "observer/XResourceObserverInstance.h"
#include "observer/XResourceObserverInstanceTask.h"
#include "platform/LogThrottle.h"

using XResourceAgent::HistoryKey;
using XResourceAgent::XMachineOPXServerInfo;
using XResourceAgent::XMachineResourceInfo;
using XResourceAgent::XProcessResourceInfo;

namespace {

constexpr const char* kFile = "XResourceObserverInstance";

// 32-bit sums wrap, as the credit arithmetic always did: a peer may report any interval, and an
// overflow must not be undefined behaviour.
LONG WrappingSum(LONG a, LONG b)
{
    return static_cast<LONG>(static_cast<ULONG>(a) + static_cast<ULONG>(b));
}

// A cycle count from reported intervals; one beyond 32 bits means "never" and stays the largest.
LONG CycleLimit(double cycles)
{
    return cycles < static_cast<double>(std::numeric_limits<LONG>::max()) ? static_cast<LONG>(cycles) : std::numeric_limits<LONG>::max();
}
constexpr LONG kMaxSampleCount = 1000;
constexpr LONG kMaxCreditSec = 1000;
constexpr ULONG kMinObserverIntervalSec = 5;

std::atomic<XResourceObserverInstance*> g_pInstance{nullptr};
std::atomic<LONG> g_firstSampleTaken{0};

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
size_t ProcessCount(const Processes& processes)
{
    size_t count = 0;
    for (const auto& named : processes)
        count += named.second.size();
    return count;
}

// The entry of one process id of a name; null when it is not kept.
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

XResourceObserverInstance& XResourceObserverInstance::Instance()
{
    return cominc::PublishedInstance(g_pInstance, [] { return new XResourceObserverInstance; },
                                     [](XResourceObserverInstance* instance) { delete instance; });
}

void XResourceObserverInstance::Destroy()
{
    cominc::TakeInstance(g_pInstance, [](XResourceObserverInstance* instance) {
        instance->Stop();
        delete instance;
    });
}

XResourceObserverInstance::XResourceObserverInstance()
{
    static const XQNComBSTR function(u"XResourceObserverInstance::XResourceObserverInstance");
    constexpr int kLineNoMachineName = 58;
    m_localMachineName = XLoadMonitor::GetMachineName();
    if (m_localMachineName.IsEmpty())
        XQNExceptionFactory::DoThrowException(QNExceptionType_Application, XQNResourceAgentModule::Location(kFile, kLineNoMachineName, function), E_FAIL,
                                              QNSeverity_Error,
                                              u"The machine name needed for resource monitoring is not available - resource observer will be terminated.", u"");
    m_localMachineName.ToUpper();
}

XResourceObserverInstance::XResourceObserverInstance(XResourceObserverInstance& other)
    : m_processHistory(other.m_processHistory),
      m_machineHistory(other.m_machineHistory),
      m_sampleCount(other.m_sampleCount.load()),
      m_minReportedIntervalSec(other.m_minReportedIntervalSec.load()),
      m_cyclesWithoutSamples(other.m_cyclesWithoutSamples.load()),
      m_machineStaleCycles(other.m_machineStaleCycles.load()),
      m_observerIntervalSec(other.m_observerIntervalSec.load()),
      m_alertsDisabled(other.m_alertsDisabled.load()),
      m_historyLength(other.m_historyLength),
      m_processCountLimit(other.m_processCountLimit.load()),
      m_handleCountLimit(other.m_handleCountLimit.load()),
      m_availPhysicalKBLimit(other.m_availPhysicalKBLimit.load()),
      m_availPageFileMBLimit(other.m_availPageFileMBLimit.load()),
      m_cpuLoadLimit(other.m_cpuLoadLimit.load()),
      m_pressureLimit(other.m_pressureLimit.load()),
      m_machineAlertState(other.m_machineAlertState.load()),
      m_opxServerInfo(other.m_opxServerInfo),
      m_systemObserver(other.m_systemObserver),
      m_systemObserverMachine(other.m_systemObserverMachine),
      m_alertHandlers(other.m_alertHandlers),
      m_localMachineName(other.m_localMachineName)
{
    for (size_t i = 0; i < std::size(m_alertLatch); ++i)
        m_alertLatch[i] = other.m_alertLatch[i].load();
}

XResourceObserverInstance::~XResourceObserverInstance()
{
    Stop();
}

bool XResourceObserverInstance::SetResourceData(const tagQNResourceInformation& sample) { return TakeSample(sample, nullptr); }

bool XResourceObserverInstance::SetResourceData(const tagQNResourceInformation& sample, const tagQNProcessCeilings& ceilings)
{
    return TakeSample(sample, &ceilings);
}

void XResourceObserverInstance::SetStoreLimits(size_t processes, size_t machines)
{
    m_processLimit.exchange(processes);
    m_machineLimit.exchange(machines);
}

bool XResourceObserverInstance::RefuseNewName(std::atomic<unsigned long long>& refused, const char* what, size_t limit,
                                              const tagQNResourceInformation& sample)
{
    static platform::LogThrottle throttle;
    ++refused;
    unsigned long long held = 0;
    if (throttle.Admit(what, held)) {
        static const XQNComBSTR function(u"XResourceObserverInstance::SetResourceData");
        XQNError::WriteErrorToLogBook(
            XQNResourceAgentModule::Location(kFile, __LINE__, function), QNSeverity_CallFailure,
            XQNComBSTR::GetFormatted(u"%s %s kept already - refused the sample of process '%s' (id %u) of machine '%s'%s", std::to_string(limit), what,
                                     sample.processName, sample.processId, sample.machineName, platform::HeldBackNote(held))
                .View());
    }
    return false;
}

bool XResourceObserverInstance::TakeSample(const tagQNResourceInformation& sample, const tagQNProcessCeilings* ceilings)
{
    if (g_firstSampleTaken.load() == 0 && g_firstSampleTaken.exchange(1) == 0)
        m_sampleCount.exchange(0);
    if (sample.dataValid == 0) {
        static const XQNComBSTR function(u"XResourceObserverInstance::SetResourceData");
        constexpr int kLineInvalid = 121;
        XQNError::WriteErrorToLogBook(
            XQNResourceAgentModule::Location(kFile, kLineInvalid, function), QNSeverity_CallFailure,
            u"the retrieved resource data from process load measurement are invalid - the resource monitoring can only consider the resource data from previous measurements if these are avaialable");
        return true;
    }
    const LONG interval = sample.monitorIntervalSec;
    LONG minimum = m_minReportedIntervalSec.load();
    if (minimum == 0)
        m_minReportedIntervalSec.exchange(interval);
    else if (interval != 0 && minimum > 0 && static_cast<ULONG>(interval) < static_cast<ULONG>(minimum))
        m_minReportedIntervalSec.exchange(interval);

    // Every copy is made before the locks and what falls out of a history is freed after them:
    // the intake threads of a busy observer then hold the locks only for the lookups.
    XQNComBSTR processKey = HistoryKey(sample.processName);
    XQNComBSTR machineKey = HistoryKey(sample.machineName);
    XProcessResourceInfo process(sample);
    XMachineResourceInfo machine(sample);
    std::optional<XProcessResourceInfo> oldestProcess;
    std::optional<XMachineResourceInfo> oldestMachine;
    // A refusal is logged after the locks, like everything else that is not a lookup.
    bool newMachineRefused = false, newProcessRefused = false;
    {
        // The machine's bound is checked and its history extended under one write lock, so that
        // concurrent first samples of new machines can't all pass the check (machines before
        // processes, the order every reader takes them in).
        auto machines = m_machineHistory.GetWriteProxy();
        const auto knownMachine = machines->find(machineKey);
        newMachineRefused = knownMachine == machines->end() && machines->size() >= m_machineLimit.load();
        if (!newMachineRefused) {
            auto processes = m_processHistory.GetWriteProxy();
            const auto named = processes->find(processKey);
            newProcessRefused =
                (named == processes->end() || !named->second.contains(sample.processId)) && ProcessCount(*processes) >= m_processLimit.load();
            if (!newProcessRefused) {
                XPipeProcessResourceInfo& entry = (*processes)[std::move(processKey)][sample.processId];
                entry.reportedIntervalSec = static_cast<ULONG>(interval);
                entry.creditSec = entry.history.empty() ? 0 : std::min(WrappingSum(entry.creditSec, interval), kMaxCreditSec);
                if (ceilings != nullptr)
                    entry.ceilings = *ceilings;
                oldestProcess = XResourceAgent::AppendToHistory(entry.history, std::move(process), m_historyLength);
            }
        }
        if (!newMachineRefused && !newProcessRefused)
            oldestMachine = XResourceAgent::AppendToHistory(
                knownMachine != machines->end() ? knownMachine->second : (*machines)[std::move(machineKey)], std::move(machine), m_historyLength);
    }
    if (newMachineRefused)
        return RefuseNewName(m_refusedNewMachines, "machines", m_machineLimit.load(), sample);
    if (newProcessRefused)
        return RefuseNewName(m_refusedNewProcesses, "processes", m_processLimit.load(), sample);
    if (++m_sampleCount > kMaxSampleCount)
        m_sampleCount.exchange(kMaxSampleCount);
    return true;
}

bool XResourceObserverInstance::GetProcessResourceData(const XQNComBSTR& processName, XProcessResourceInfo& result) const
{
    auto processes = m_processHistory.GetConstReadProxy();
    const auto found = processes->find(HistoryKey(processName));
    if (found == processes->end())
        return false;
    std::deque<XProcessResourceInfo> gathered;
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

void XResourceObserverInstance::GetAverageResourceData(const std::deque<XProcessResourceInfo>& history, XProcessResourceInfo& result)
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

void XResourceObserverInstance::GetAverageResourceData(const std::deque<XMachineResourceInfo>& history, XMachineResourceInfo& result)
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

void XResourceObserverInstance::SetResourceObserverInterval(UINT seconds)
{
    m_observerIntervalSec.store(std::max<ULONG>(seconds, kMinObserverIntervalSec));
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

void XResourceObserverInstance::UpdateCycleCounters()
{
    const LONG interval = static_cast<LONG>(m_observerIntervalSec.load());
    const LONG minimum = m_minReportedIntervalSec.load();
    if (minimum > 0)
        m_machineStaleCycles.store(minimum > interval ? CycleLimit(10.0 * minimum / interval) : 10);
    if (m_sampleCount.exchange(0) == 0)
        ++m_cyclesWithoutSamples;
    else
        m_cyclesWithoutSamples.exchange(0);

    auto processes = m_processHistory.GetWriteProxy();
    for (auto& [name, entries] : *processes)
        for (auto& [id, entry] : entries) {
            if (entry.creditSec != 0) {
                entry.creditSec = std::max<LONG>(WrappingSum(entry.creditSec, -interval), 0);
                entry.missedCycles = 0;
            } else {
                ++entry.missedCycles;
            }
            if (entry.reportedIntervalSec != 0 && interval > 0)
                entry.missedCycleLimit = entry.reportedIntervalSec <= static_cast<ULONG>(interval)
                                             ? 5
                                             : CycleLimit(5.0 * entry.reportedIntervalSec / interval);
        }
}

void XResourceObserverInstance::CleanupResourceObserver()
{
    {
        auto processes = m_processHistory.GetWriteProxy();
        for (auto name = processes->begin(); name != processes->end();) {
            std::erase_if(name->second, [](const auto& idAndEntry) {
                const XPipeProcessResourceInfo& entry = idAndEntry.second;
                return !entry.history.empty() && entry.missedCycles > 2.0 * entry.missedCycleLimit;
            });
            name = name->second.empty() ? processes->erase(name) : std::next(name);
        }
    }
    auto machines = m_machineHistory.GetWriteProxy();
    const bool silent = m_cyclesWithoutSamples.load() > 2.0 * m_machineStaleCycles.load();
    std::erase_if(*machines, [&](const auto& machine) { return silent && !machine.second.empty(); });
}
