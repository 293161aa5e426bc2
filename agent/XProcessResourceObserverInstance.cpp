#include "agent/XProcessResourceObserverInstance.h"

#include <cmath>

#include "Cominc64/XSingleton.h"
#include "emergency/QNServerEmergency.h"
#include "emergency/XResourceEmergencyHandlerInstance.h"
#include "interfaces/QNError64.h"
#include "module/QNResourceAgentModule.h"
#include "platform/CeilingWatch.h"

namespace {

std::atomic<XProcessResourceObserverInstance*> g_instance{nullptr};

using platform::kDescriptorFloor;
using platform::kMemoryFloorBytes;
using platform::kThreadFloor;
constexpr std::uint64_t kBytesPerKB = 1024;
constexpr int kLineCeiling = 190;

// One emergency kind: raised when it is due and was never raised before. The monitor loop and the
// ceiling watch check at the same time now and then: the latch goes from 0 to 1 for one of them
// only, and only that one raises. Returns 1 when this call raised, 0 otherwise.
LONG RaiseOnce(std::atomic<LONG>& latch, bool due, QNServerEmergency code)
{
    LONG unraised = 0;
    if (!due || !latch.compare_exchange_strong(unraised, 1))
        return 0;
    XResourceEmergencyHandlerInstance::Instance().RaiseServerEmergencyState(code);
    return 1;
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
    m_lastReportedFreeMemoryKB = other.m_lastReportedFreeMemoryKB.load();
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
    CheckResourceEmergency(info, nullptr, emergency);
    CheckResourceAlerts(info, alert);
}

void XProcessResourceObserverInstance::CheckProcessResources(const tagQNResourceInformation& info, const platform::ProcessCeilings& ceilings,
                                                             tagQNProcessResourceEmergencyEvent& emergency, tagQNProcessResourceAlert& alert)
{
    CheckResourceEmergency(info, &ceilings, emergency);
    CheckResourceAlerts(info, alert);
}

namespace {

// Tells the logbook which ceiling an emergency came near: "LOW MEMORY EMERGENCY: 15360 KB left of
// 204800 KB under memory.max of cgroup /sys/fs/cgroup/app".
void WriteCeiling(const char* emergency, const platform::Ceiling& ceiling, const char* unit, std::uint64_t divisor)
{
    static const XQNComBSTR function(u"XProcessResourceObserverInstance::CheckResourceEmergency");
    const std::string where = ceiling.where.empty() ? std::string() : " of cgroup " + std::string(ceiling.where);
    XQNError::WriteTraceToErrorLogBook(XQNResourceAgentModule::Location("XProcessResourceObserverInstance", kLineCeiling, function),
                                       QNSeverity_CallFailure,
                                       XQNComBSTR::GetFormatted(u"%s EMERGENCY: %llu %s left of %llu %s under %s%s", emergency, ceiling.left / divisor,
                                                                unit, ceiling.limit / divisor, unit, ceiling.name, where),
                                       u"");
}

}  // namespace

void XProcessResourceObserverInstance::CheckResourceEmergency(const tagQNResourceInformation& info, const platform::ProcessCeilings* ceilings,
                                                              tagQNProcessResourceEmergencyEvent& emergency)
{
    const LONGLONG freeMemoryKB = info.processLoad.availVirtualKB;
    const auto mark = [&](LONG raised, QNServerEmergency code) {
        if (raised != 1)
            return;
        emergency.emergencyState |= code;
        if (emergency.machineName == nullptr)
            SetProcessIdent(info, emergency);
    };
    // A configured limit breaks strictly; 0 or less switches it off.
    const auto above = [](ULONG count, LONG limit) { return limit > 0 && count > static_cast<ULONG>(limit); };
    const auto near = [&](platform::Ceiling platform::ProcessCeilings::*kind, std::uint64_t floor) {
        return ceilings != nullptr && (ceilings->*kind).IsNear(floor);
    };

    const LONG lowMemoryLimit = m_lowMemoryLimitKB.load();
    const bool memoryNear = near(&platform::ProcessCeilings::memory, kMemoryFloorBytes);
    const LONG lowMemoryRaised = RaiseOnce(m_lowMemoryRaised, (lowMemoryLimit > 0 && freeMemoryKB < lowMemoryLimit) || memoryNear, LowMemory);
    if (lowMemoryRaised == 1 && memoryNear)
        WriteCeiling("LOW MEMORY", ceilings->memory, "KB", kBytesPerKB);
    mark(lowMemoryRaised, LowMemory);

    const bool threadsNear = near(&platform::ProcessCeilings::threads, kThreadFloor);
    const LONG threadsRaised = RaiseOnce(m_threadsRaised, above(info.processLoad.threadCount, m_threadLimit.load()) || threadsNear, TooManyThreads);
    if (threadsRaised == 1 && threadsNear)
        WriteCeiling("TOO MANY THREADS", ceilings->threads, "threads", 1);
    mark(threadsRaised, TooManyThreads);

    const bool handlesNear = near(&platform::ProcessCeilings::descriptors, kDescriptorFloor);
    const LONG handlesRaised = RaiseOnce(m_handlesRaised, above(info.processLoad.handleCount, m_handleLimit.load()) || handlesNear, TooManyHandles);
    if (handlesRaised == 1 && handlesNear)
        WriteCeiling("TOO MANY HANDLES", ceilings->descriptors, "descriptors", 1);
    mark(handlesRaised, TooManyHandles);

    if (m_lowMemoryRaised.load() == 0)
        return;
    const LONGLONG lastReported = m_lastReportedFreeMemoryKB.load();
    const bool due = lastReported == 0 ? lowMemoryRaised == 1
                                       : std::fabs(static_cast<double>(lastReported - freeMemoryKB) / static_cast<double>(lastReported)) > 0.1;
    if (!due)
        return;
    static const XQNComBSTR function(u"XProcessResourceObserverInstance::CheckResourceEmergency");
    constexpr int kLineWarning = 184;
    XQNError::WriteTraceToErrorLogBook(
        XQNResourceAgentModule::Location("XProcessResourceObserverInstance", kLineWarning, function), QNSeverity_CallFailure,
        XQNComBSTR::GetFormatted(u"LOW MEMORY EMERGENCY WARNING: amount of available virtual process memory: %d KB", freeMemoryKB), u"");
    m_lastReportedFreeMemoryKB = freeMemoryKB;
}

platform::CeilingKinds XProcessResourceObserverInstance::Unraised() const
{
    return {m_lowMemoryRaised.load() == 0, m_handlesRaised.load() == 0, m_threadsRaised.load() == 0};
}

bool XProcessResourceObserverInstance::ComesNear(const platform::ProcessCeilings& ceilings) const
{
    const platform::CeilingKinds unraised = Unraised();
    return (unraised.memory && ceilings.memory.IsNear(kMemoryFloorBytes)) || (unraised.descriptors && ceilings.descriptors.IsNear(kDescriptorFloor)) ||
           (unraised.threads && ceilings.threads.IsNear(kThreadFloor));
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
