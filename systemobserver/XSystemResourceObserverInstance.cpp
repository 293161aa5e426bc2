#include "systemobserver/XSystemResourceObserverInstance.h"

#include <iterator>

#include "Cominc64/XSingleton.h"
#include "Cominc64/XWakeableTask.h"
#include "emergency/XEmergencyHandlerHelper.h"
#include "module/QNResourceAgentModule.h"
#include "observer/XResourceObserverInstance.h"
#include "platform/LogThrottle.h"
#include "platform/Thread.h"

using XResourceAgent::HistoryKey;
using XResourceAgent::XMachineResourceInfo;

class XSystemResourceObserverInstanceTask : public XWakeableTask<XSystemResourceObserverInstance> {
public:
    DWORD Execute(XSystemResourceObserverInstance* owner) override
    {
        static const XQNComBSTR function(u"XSystemResourceObserverInstanceTask::Execute");
        constexpr int kLineNoOwner = 276;
        constexpr int kLineEnded = 300;
        XQNResourceAgentModule::InstallExceptionTranslator();
        platform::SetCurrentThreadName("qn-system-obs");
        XWrappedQNException failure;
        try {
            XQNError::CheckPtr_ThrowExcep(XQNResourceAgentModule::Location("xsystemresourceobserverinstance", kLineNoOwner, function), owner, u"");
            owner->m_sampleCount.exchange(0);
            owner->m_cyclesWithoutSamples.exchange(0);
            while (!IsStopRequested()) {
                owner->m_workerHeartbeat.ExpectWithin(static_cast<DWORD>(owner->m_observerIntervalSec) * 1000 + platform::kTurnAllowanceMs);
                if (WaitForWakeUp(static_cast<DWORD>(owner->m_observerIntervalSec) * 1000))
                    continue;
                owner->CountCycle();
                owner->CleanupResourceObserver();
            }
        } catch (...) {
            failure = cominc::KeepTaskBodyFailure(XQNResourceAgentModule::Location("xsystemresourceobserverinstance", kLineEnded, function));
        }
        if (owner != nullptr)
            owner->m_workerHeartbeat.Rest();
        if (failure.HasException()) {
            SetTaskException(failure);
            XQNError::WriteErrorToLogBook(failure);
        }
        return 0;
    }
};

namespace {

constexpr const char* kFile = "xsystemresourceobserverinstance";
constexpr LONG kMaxSampleCount = 1000;

std::atomic<XSystemResourceObserverInstance*> g_instance{nullptr};
std::atomic<LONG> g_firstSampleTaken{0};

QNErrorLocation At(int line, const XQNComBSTR& function)
{
    return XQNResourceAgentModule::Location(kFile, line, function);
}

void TraceEvent(LONG state, std::u16string_view format, BSTR machineName, const XQNComBSTR& stateText, int line, const XQNComBSTR& function)
{
    if (state != 0)
        XQNError::WriteTraceToErrorLogBook(At(line, function), QNSeverity_EventTrace, XQNComBSTR::GetFormatted(format, machineName, state, stateText),
                                           u"");
}

}  // namespace

XSystemResourceObserverInstance& XSystemResourceObserverInstance::Instance()
{
    return cominc::PublishedInstance(g_instance, [] { return new XSystemResourceObserverInstance; },
                                     [](XSystemResourceObserverInstance* instance) { delete instance; });
}

void XSystemResourceObserverInstance::Destroy()
{
    cominc::TakeInstance(g_instance, [](XSystemResourceObserverInstance* instance) { delete instance; });
}

XSystemResourceObserverInstance::XSystemResourceObserverInstance() : m_task(std::make_unique<XSystemResourceObserverInstanceTask>()) {}

XSystemResourceObserverInstance::XSystemResourceObserverInstance(const XSystemResourceObserverInstance& other)
    : m_sampleCount(other.m_sampleCount.load()),
      m_cyclesWithoutSamples(other.m_cyclesWithoutSamples.load()),
      m_machineStaleCycles(other.m_machineStaleCycles),
      m_observerIntervalSec(other.m_observerIntervalSec),
      m_machineHistory(other.m_machineHistory),
      m_historyLength(other.m_historyLength),
      m_task(std::make_unique<XSystemResourceObserverInstanceTask>())
{
}

XSystemResourceObserverInstance::~XSystemResourceObserverInstance()
{
    Stop();
}

void XSystemResourceObserverInstance::Start()
{
    m_task->Start(this);
}

void XSystemResourceObserverInstance::Stop()
{
    m_task->WakeAndStop();
}

bool XSystemResourceObserverInstance::SetSystemResourceData(const tagQNSystemResourceInformation& info)
{
    if (g_firstSampleTaken.load() == 0 && g_firstSampleTaken.exchange(1) == 0)
        m_sampleCount.exchange(0);
    if (info.dataValid == 0) {
        static const XQNComBSTR function(u"XSystemResourceObserverInstance::SetSystemResourceData");
        constexpr int kLineInvalid = 92;
        XQNError::WriteErrorToLogBook(At(kLineInvalid, function), QNSeverity_CallFailure,
                                      u"the retrieved resource data from process load measurement are not up to date - the previous measurement date are further used");
        return true;
    }
    XMachineResourceInfo sample;
    sample.machineName = XQNComBSTR(info.machineName, SysStringLen(info.machineName));
    const tagQNMachineResourceLoad& load = info.machineLoad;
    sample.idleTime = load.idleTime;
    sample.kernelTime = load.kernelTime;
    sample.userTime = load.userTime;
    sample.usedPageFileKB = load.usedPageFileKB;
    sample.availPageFileKB = load.availPageFileKB;
    sample.usedPhysicalKB = load.usedPhysicalKB;
    sample.availPhysicalKB = load.availPhysicalKB;
    sample.processCount = load.processCount;
    sample.threadCount = load.threadCount;
    sample.handleCount = load.handleCount;
    sample.externalUsageSum = info.externalUsageSum;
    sample.avgDatabaseAccessRatio = info.avgDatabaseAccessRatio;
    const tagQNMachineOPXServerLoad& opx = info.opxServerLoad;
    sample.opxServerInfo = {opx.hostFlag != 0, opx.hostValue1, opx.hostValue2, opx.hostValue3, opx.hostValue4, opx.hostValue5};
    XQNComBSTR key = HistoryKey(sample.machineName);
    std::optional<XMachineResourceInfo> oldest;  // freed after the lock
    bool refused = false;
    {
        auto machines = m_machineHistory.GetWriteProxy();
        refused = machines->size() >= m_machineLimit.load() && !machines->contains(key);
        if (!refused)
            oldest = XResourceAgent::AppendToHistory((*machines)[std::move(key)], std::move(sample), m_historyLength);
    }
    if (refused) {
        RefuseNewMachine(info.machineName);
        return false;
    }
    if (++m_sampleCount > kMaxSampleCount)
        m_sampleCount.exchange(kMaxSampleCount);
    return true;
}

void XSystemResourceObserverInstance::RefuseNewMachine(BSTR machineName)
{
    static platform::LogThrottle throttle;
    ++m_refusedNewMachines;
    unsigned long long held = 0;
    if (!throttle.Admit("machines", held))
        return;
    static const XQNComBSTR function(u"XSystemResourceObserverInstance::SetSystemResourceData");
    XQNError::WriteErrorToLogBook(At(__LINE__, function), QNSeverity_CallFailure,
                                  XQNComBSTR::GetFormatted(u"%s machines kept already - refused the sample of machine '%s'%s",
                                                           std::to_string(m_machineLimit.load()), machineName, platform::HeldBackNote(held))
                                      .View());
}

bool XSystemResourceObserverInstance::GetMachineResourceData(const XQNComBSTR& machineName, XMachineResourceInfo& result) const
{
    const XQNComBSTR key = HistoryKey(machineName);
    auto machines = m_machineHistory.GetConstReadProxy();
    const auto found = machines->find(key);
    if (found == machines->end() || found->second.empty())
        return false;
    const bool current = m_cyclesWithoutSamples.load() < m_machineStaleCycles;
    result.opxServerInfo = found->second.back().opxServerInfo;
    result.externalUsageSum = found->second.back().externalUsageSum;
    XResourceObserverInstance::GetAverageResourceData(found->second, result);
    return current;
}

bool XSystemResourceObserverInstance::GetEveryMachineResourceData(std::vector<XMachineFigures>& machines, const XQNComBSTR* key) const
{
    auto history = m_machineHistory.GetConstReadProxy();
    const auto [first, last] = key == nullptr ? std::pair(history->begin(), history->end()) : history->equal_range(*key);
    machines.reserve(machines.size() + static_cast<size_t>(std::distance(first, last)));
    for (auto kept = first; kept != last; ++kept) {
        const auto& [name, samples] = *kept;
        if (samples.empty())
            continue;
        XMachineFigures& machine = machines.emplace_back(XMachineFigures{name, {}});
        machine.figures.machineName = samples.back().machineName;
        machine.figures.opxServerInfo = samples.back().opxServerInfo;
        machine.figures.externalUsageSum = samples.back().externalUsageSum;
        XResourceObserverInstance::GetAverageResourceData(samples, machine.figures);
    }
    return m_cyclesWithoutSamples.load() < m_machineStaleCycles;
}

std::vector<XQNComBSTR> XSystemResourceObserverInstance::GetMachineNames() const
{
    return XResourceAgent::GetMachineNames(*m_machineHistory.GetConstReadProxy());
}

void XSystemResourceObserverInstance::RaiseSystemResourceEmergencyEvent(const tagQNSystemResourceEmergencyEvent& event)
{
    static const XQNComBSTR function(u"XSystemResourceObserverInstance::RaiseSystemResourceEmergencyEvent");
    TraceEvent(event.emergencyState, u"system resource emergency event received from machine '%s'- emergency state: 0x%X (%s)", event.machineName,
               XEmergencyHandlerHelper::BuildEmergencyStateMsg(event.emergencyState), 169, function);
}

void XSystemResourceObserverInstance::NotifySystemResourceAlert(const tagQNSystemResourceAlert& alert)
{
    static const XQNComBSTR function(u"XSystemResourceObserverInstance::NotifySystemResourceAlert");
    TraceEvent(alert.alertState, u"system resourve alert received from machine '%s'- alert state: 0x%X (%s)", alert.machineName,
               XResourceHandlerHelper::BuildResourceAlertStateMsg(alert.alertState), 186, function);
}

void XSystemResourceObserverInstance::RaiseGlobalEmergencyEvent(const tagQNSystemServerEmergencyEvent& event)
{
    static const XQNComBSTR function(u"XSystemResourceObserverInstance::RaiseGlobalEmergencyEvent");
    TraceEvent(event.emergencyState, u"global server emergency event received from machine '%s'- emergency state: 0x%X (%s)", event.machineName,
               XEmergencyHandlerHelper::BuildEmergencyStateMsg(event.emergencyState), 209, function);
}

void XSystemResourceObserverInstance::CountCycle()
{
    if (m_sampleCount.exchange(0) == 0)
        ++m_cyclesWithoutSamples;
    else
        m_cyclesWithoutSamples.exchange(0);
}

void XSystemResourceObserverInstance::CleanupResourceObserver()
{
    auto machines = m_machineHistory.GetWriteProxy();
    const bool silent = static_cast<double>(m_cyclesWithoutSamples.load()) > m_machineStaleCycles * 3.0;
    std::erase_if(*machines, [&](const auto& machine) { return silent && !machine.second.empty(); });
}

bool XQNSystemResourceObserverBase::SetSystemResourceData(const tagQNSystemResourceInformation& info)
{
    XQNResourceAgentModule::InstallExceptionTranslator();
    return XSystemResourceObserverInstance::Instance().SetSystemResourceData(info);
}

void XQNSystemResourceObserverBase::RaiseSystemResourceEmergencyEvent(const tagQNSystemResourceEmergencyEvent& event)
{
    XQNResourceAgentModule::InstallExceptionTranslator();
    XSystemResourceObserverInstance::Instance().RaiseSystemResourceEmergencyEvent(event);
}

void XQNSystemResourceObserverBase::NotifySystemResourceAlert(const tagQNSystemResourceAlert& alert)
{
    XQNResourceAgentModule::InstallExceptionTranslator();
    XSystemResourceObserverInstance::Instance().NotifySystemResourceAlert(alert);
}

void XQNSystemResourceObserverBase::RaiseGlobalEmergencyEvent(const tagQNSystemServerEmergencyEvent& event)
{
    XQNResourceAgentModule::InstallExceptionTranslator();
    XSystemResourceObserverInstance::Instance().RaiseGlobalEmergencyEvent(event);
}
