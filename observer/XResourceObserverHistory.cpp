// The histories of the resource observer: the singleton, intake of samples, the cycle
// bookkeeping and the cleanup of what went silent.
#include <algorithm>
#include <limits>

#include "Cominc64/XSingleton.h"
#include "agent/XLoadMonitor.h"
#include "module/QNResourceAgentModule.h"
#include "observer/XProcessEnds.h"
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

// Process ids kept under all names.
template <typename Processes>
size_t ProcessCount(const Processes& processes)
{
    size_t count = 0;
    for (const auto& named : processes)
        count += named.second.size();
    return count;
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

XResourceObserverInstance::XResourceObserverInstance() : m_processEnds(std::make_unique<XResourceAgent::XProcessEnds>())
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
      m_machineAlertState(other.m_machineAlertState.load()),
      m_pressureLimit(other.m_pressureLimit.load()),
      m_pressureLatch(other.m_pressureLatch.load()),
      m_opxServerInfo(other.m_opxServerInfo),
      m_systemObserver(other.m_systemObserver),
      m_systemObserverMachine(other.m_systemObserverMachine),
      m_alertHandlers(other.m_alertHandlers),
      m_localMachineName(other.m_localMachineName),
      m_processEnds(std::make_unique<XResourceAgent::XProcessEnds>())
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
    NoteReporter(sample);
    return true;
}


void XResourceObserverInstance::SetResourceObserverInterval(UINT seconds)
{
    m_observerIntervalSec.store(std::max<ULONG>(seconds, kMinObserverIntervalSec));
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
