// The machine alert checks of the resource observer and its alert handlers.
#include <algorithm>

#include "emergency/QNServerEmergency.h"
#include "emergency/XResourceAlertAdditions.h"
#include "observer/XResourceObserverInstance.h"

void XResourceObserverInstance::SetResourceAlertMetric(ULONG processCountLimit, ULONG handleCountLimit, ULONG availPhysicalKBLimit,
                                                       ULONG availPageFileMBLimit, double cpuLoadPercentLimit)
{
    m_processCountLimit.store(static_cast<LONG>(processCountLimit));
    m_handleCountLimit.store(static_cast<LONG>(handleCountLimit));
    m_availPhysicalKBLimit.store(static_cast<LONG>(availPhysicalKBLimit));
    m_availPageFileMBLimit.store(static_cast<LONG>(availPageFileMBLimit));
    m_cpuLoadLimit.store(static_cast<LONG>(cpuLoadPercentLimit * 10000.0));
}

void XResourceObserverInstance::SetPressureAlertLimit(double percent)
{
    m_pressureLimit.store(static_cast<LONG>(percent * 10000.0));
}

void XResourceObserverInstance::DisableAllResourceAlerts(bool disable)
{
    m_alertsDisabled.store(disable ? 1 : 0);
}

void XResourceObserverInstance::RegisterResourceAlertHandler(XMachineResourceAlertHandler* const handler)
{
    if (handler != nullptr)
        m_alertHandlers.GetWriteProxy()->push_back(handler);
}

void XResourceObserverInstance::DeregisterResourceAlertHandler(XMachineResourceAlertHandler* const handler)
{
    m_alertHandlers.GetWriteProxy()->remove(handler);
}

void XResourceObserverInstance::CheckMachineResources(const tagQNSystemResourceInformation& info, tagQNSystemResourceEmergencyEvent& emergency,
                                                      tagQNSystemResourceAlert& alert)
{
    CheckResourceEmergency(info, emergency);
    if (m_alertsDisabled.load() == 0)
        CheckResourceAlerts(info, alert);
}

// There is no machine emergency condition: the event stays as the caller zeroed it.
void XResourceObserverInstance::CheckResourceEmergency(const tagQNSystemResourceInformation&, tagQNSystemResourceEmergencyEvent&) {}

void XResourceObserverInstance::CheckResourceAlerts(const tagQNSystemResourceInformation& info, tagQNSystemResourceAlert& alert)
{
    const tagQNMachineResourceLoad& load = info.machineLoad;
    bool changed = false;
    const auto check = [&](int index, QNResourceAlert bit, bool holds) { changed = LatchAlert(m_alertLatch[index], bit, holds, info, alert) || changed; };

    if (const LONG limit = m_processCountLimit.load(); limit > 0)
        check(0, TooManyMachineProcesses, load.processCount > static_cast<ULONG>(limit));
    if (const LONG limit = m_handleCountLimit.load(); limit > 0)
        check(1, TooManyMachineHandles, load.handleCount > static_cast<ULONG>(limit));
    if (const LONG limit = m_availPhysicalKBLimit.load(); limit > 0)
        check(2, LowPhysicalMemory, load.availPhysicalKB < static_cast<LONGLONG>(limit));
    if (const LONG limit = m_availPageFileMBLimit.load(); limit > 0)
        check(3, LowVirtualMemory, load.availPageFileKB < static_cast<LONGLONG>(static_cast<LONG>(static_cast<ULONG>(limit) * 1024U)));
    double cpuLoad = 0.0;
    if (const LONG limit = m_cpuLoadLimit.load(); limit > 0 && XResourceAgent::GetCpuLoad(load.idleTime, load.kernelTime, load.userTime, cpuLoad))
        check(4, HighCpuUtilization, cpuLoad >= limit / 1000000.0);
    if (changed)
        NotifyMachineResourceAlertState(m_machineAlertState.load());
}

// Edge-triggered: a bit is raised once when its condition starts and cleared once when it ends.
bool XResourceObserverInstance::LatchAlert(std::atomic<LONG>& latch, LONG bit, bool holds, const tagQNSystemResourceInformation& info,
                                           tagQNSystemResourceAlert& alert)
{
    if (holds) {
        if (latch.load() != 0 || ++latch != 1)
            return false;
        alert.alertState |= bit;
        if (alert.machineName == nullptr)
            SetMachineIdent(info, alert);
        m_machineAlertState.fetch_or(bit);
        return true;
    }
    if (latch.load() != 0 && latch.exchange(0) != 0) {
        m_machineAlertState.fetch_xor(bit);
        return true;
    }
    return false;
}

void XResourceObserverInstance::CheckPressureAlert(const tagQNMachinePressure& pressure, const tagQNSystemResourceInformation& info,
                                                   tagQNSystemResourceAlert& alert)
{
    const LONG limit = m_pressureLimit.load();
    if (limit <= 0 || m_alertsDisabled.load() != 0)
        return;
    double highest = 0.0;
    for (const tagQNPressureFigures* some : {&pressure.cpuSome, &pressure.memorySome, &pressure.ioSome})
        if (some->present != 0)
            highest = std::max(highest, some->avg10Percent);
    if (LatchAlert(m_pressureLatch, HighPressure, highest >= limit / 10000.0, info, alert))
        NotifyMachineResourceAlertState(m_machineAlertState.load());
}

void XResourceObserverInstance::SetMachineIdent(const tagQNSystemResourceInformation& info, tagQNSystemResourceAlert& alert)
{
    alert.machineName = SysAllocStringLen(info.machineName, SysStringLen(info.machineName));
}

void XResourceObserverInstance::NotifyMachineResourceAlertState(LONG state)
{
    auto handlers = m_alertHandlers.GetWriteProxy();
    for (XMachineResourceAlertHandler* handler : *handlers)
        handler->OnMachineResourceAlert(state);
}
