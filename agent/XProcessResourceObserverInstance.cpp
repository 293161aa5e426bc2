#include "agent/XProcessResourceObserverInstance.h"

#include <cmath>

#include "Cominc64/XSingleton.h"
#include "emergency/QNServerEmergency.h"
#include "emergency/XResourceEmergencyHandlerInstance.h"
#include "interfaces/QNError64.h"
#include "module/QNResourceAgentModule.h"

namespace {

std::atomic<XProcessResourceObserverInstance*> g_instance{nullptr};

// One emergency kind: raised when its limit is on and broken and it was never raised before.
// Returns the latch's value after this call's increment, 0 when nothing was raised.
LONG RaiseOnce(std::atomic<LONG>& latch, LONG limit, bool broken, QNServerEmergency code)
{
    if (limit <= 0 || !broken || latch.load() != 0)
        return 0;
    const LONG raised = ++latch;
    XResourceEmergencyHandlerInstance::Instance().RaiseServerEmergencyState(code);
    return raised;
}

}  // namespace

XProcessResourceObserverInstance& XProcessResourceObserverInstance::Instance()
{
    return cominc::PublishedInstance(g_instance, [] { return new XProcessResourceObserverInstance; },
                                     [](XProcessResourceObserverInstance* instance) { delete instance; });
}

void XProcessResourceObserverInstance::Destroy()
{
    cominc::TakeInstance(g_instance, [](XProcessResourceObserverInstance* instance) { delete instance; });
}

XProcessResourceObserverInstance& XProcessResourceObserverInstance::operator=(const XProcessResourceObserverInstance& other)
{
    m_lowMemoryLimitKB = other.m_lowMemoryLimitKB.load();
    m_lastReportedFreeMemoryKB = other.m_lastReportedFreeMemoryKB;
    m_lowMemoryRaised = other.m_lowMemoryRaised.load();
    m_threadLimit = other.m_threadLimit.load();
    m_threadsRaised = other.m_threadsRaised.load();
    m_handleLimit = other.m_handleLimit.load();
    m_handlesRaised = other.m_handlesRaised.load();
    m_externalResourceUsage = other.m_externalResourceUsage.load();
    m_databaseCounterB = other.m_databaseCounterB.load();
    m_databaseCounterA = other.m_databaseCounterA.load();
    m_carriedCounterB = other.m_carriedCounterB.load();
    m_carriedCounterA = other.m_carriedCounterA.load();
    return *this;
}

void XProcessResourceObserverInstance::SetEmergencyResourceMetric(LONG lowMemoryKB, LONG threadLimit, LONG handleLimit)
{
    m_lowMemoryLimitKB.exchange(lowMemoryKB);
    m_threadLimit.exchange(threadLimit);
    m_handleLimit.exchange(handleLimit);
}

void XProcessResourceObserverInstance::CheckProcessResources(const tagQNResourceInformation& info, tagQNProcessResourceEmergencyEvent& emergency,
                                                             tagQNProcessResourceAlert& alert)
{
    CheckResourceEmergency(info, emergency);
    CheckResourceAlerts(info, alert);
}

void XProcessResourceObserverInstance::CheckResourceEmergency(const tagQNResourceInformation& info, tagQNProcessResourceEmergencyEvent& emergency)
{
    const LONGLONG freeMemoryKB = info.processLoad.availVirtualKB;
    const auto mark = [&](LONG raised, QNServerEmergency code) {
        if (raised != 1)
            return;
        emergency.emergencyState |= code;
        if (emergency.machineName == nullptr)
            SetProcessIdent(info, emergency);
    };

    const LONG lowMemoryLimit = m_lowMemoryLimitKB.load();
    const LONG lowMemoryRaised = RaiseOnce(m_lowMemoryRaised, lowMemoryLimit, freeMemoryKB < lowMemoryLimit, LowMemory);
    mark(lowMemoryRaised, LowMemory);
    const LONG threadLimit = m_threadLimit.load();
    mark(RaiseOnce(m_threadsRaised, threadLimit, info.processLoad.threadCount > static_cast<ULONG>(threadLimit), TooManyThreads),
         TooManyThreads);
    const LONG handleLimit = m_handleLimit.load();
    mark(RaiseOnce(m_handlesRaised, handleLimit, info.processLoad.handleCount > static_cast<ULONG>(handleLimit), TooManyHandles),
         TooManyHandles);

    if (m_lowMemoryRaised.load() == 0)
        return;
    const bool due = m_lastReportedFreeMemoryKB == 0
                         ? lowMemoryRaised == 1
                         : std::fabs(static_cast<double>(m_lastReportedFreeMemoryKB - freeMemoryKB) / static_cast<double>(m_lastReportedFreeMemoryKB)) > 0.1;
    if (!due)
        return;
    static const XQNComBSTR function(u"XProcessResourceObserverInstance::CheckResourceEmergency");
    constexpr int kLineWarning = 184;
    XQNError::WriteTraceToErrorLogBook(
        XQNResourceAgentModule::Location("XProcessResourceObserverInstance", kLineWarning, function), QNSeverity_CallFailure,
        XQNComBSTR::GetFormatted(u"LOW MEMORY EMERGENCY WARNING: amount of available virtual process memory: %d KB", freeMemoryKB), u"");
    m_lastReportedFreeMemoryKB = freeMemoryKB;
}

void XProcessResourceObserverInstance::CheckResourceAlerts(const tagQNResourceInformation&, tagQNProcessResourceAlert&) {}

void XProcessResourceObserverInstance::SetProcessIdent(const tagQNResourceInformation& info, tagQNProcessResourceEmergencyEvent& emergency)
{
    emergency.machineName = SysAllocStringLen(info.machineName, SysStringLen(info.machineName));
    emergency.processName = SysAllocStringLen(info.processName, SysStringLen(info.processName));
    emergency.auxText = SysAllocString(u"");
    emergency.processId = info.processId;
}

void XProcessResourceObserverInstance::SetProcessExternalResourceUsage(ULONG value)
{
    m_externalResourceUsage.exchange(value);
}

void XProcessResourceObserverInstance::UpdateDatabaseAccessStatistic(ULONG counterA, ULONG counterB)
{
    const ULONG oldB = m_databaseCounterB.exchange(counterB);
    const ULONG oldA = m_databaseCounterA.exchange(counterA);
    if (counterA < oldA) {
        m_carriedCounterA.exchange(oldA);
        m_carriedCounterB.exchange(oldB);
    }
}

void XProcessResourceObserverInstance::GetProcessExternalResourceUsage(tagQNProcessExternalResourceUsage& usage)
{
    usage.externalResourceUsage = m_externalResourceUsage.load();
    usage.databaseCounterB = m_carriedCounterB.exchange(0) + m_databaseCounterB.load();
    usage.databaseCounterA = m_carriedCounterA.exchange(0) + m_databaseCounterA.load();
}
