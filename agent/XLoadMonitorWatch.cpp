#include "agent/XLoadMonitorWatch.h"

#include <algorithm>

#include "Cominc64/XThreadedTask.h"
#include "agent/XLoadMonitor.h"
#include "agent/XLoadMonitorImpl.h"
#include "agent/XProcessResourceObserverInstance.h"
#include "interfaces/QNError64.h"
#include "module/QNResourceAgentModule.h"
#include "platform/CeilingWatch.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace {

constexpr int kLineNoThread = 40;
constexpr int kLineAlone = 52;
constexpr int kLineBack = 58;
constexpr int kLineFailed = 70;

QNErrorLocation At(int line)
{
    static const XQNComBSTR function(u"XLoadMonitorWatch::Watch");
    return XQNResourceAgentModule::Location("XLoadMonitorWatch", line, function);
}

}  // namespace

XLoadMonitorWatch::XLoadMonitorWatch(const std::atomic<LONG>& intervalMs, std::function<void()> wakeLoop)
    : m_intervalMs(intervalMs), m_wakeLoop(std::move(wakeLoop)), m_stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

XLoadMonitorWatch::~XLoadMonitorWatch()
{
    Stop();
    if (m_stopEvent != nullptr)
        CloseHandle(m_stopEvent);
}

void XLoadMonitorWatch::Start(DWORD firstSleepMs)
{
    if (m_running || m_stopEvent == nullptr)
        return;
    m_lastCycle = (Clock::now() + platform::ScaledDuration(firstSleepMs)).time_since_epoch().count();
    pthread_attr_t attributes;
    int failed = pthread_attr_init(&attributes);
    if (failed == 0) {
        failed = pthread_attr_setstacksize(&attributes, kStackBytes);
        if (failed == 0)
            failed = pthread_create(&m_thread, &attributes, &XLoadMonitorWatch::Run, this);
        pthread_attr_destroy(&attributes);
    }
    m_running = failed == 0;
    if (failed != 0)
        XQNError::WriteAPIErrorToLogBook(At(kLineNoThread), QNSeverity_CallFailure, u"the ceiling watch's thread could not be started",
                                         static_cast<DWORD>(failed));
}

void XLoadMonitorWatch::Stop()
{
    // Stop may come from several threads at once: one of them waits for the thread.
    if (!m_running.exchange(false))
        return;
    SetEvent(m_stopEvent);
    pthread_join(m_thread, nullptr);
}

void XLoadMonitorWatch::Cycled()
{
    m_lastCycle = Clock::now().time_since_epoch().count();
}

void XLoadMonitorWatch::Linked()
{
    if (m_alone.exchange(false))
        XQNError::WriteTraceToErrorLogBook(At(kLineBack), QNSeverity_Trace,
                                           u"resource observer answers again - the load monitor's cycles check the process's limits", u"");
}

void XLoadMonitorWatch::GoOnAlone()
{
    if (!m_alone.exchange(true))
        XQNError::WriteTraceToErrorLogBook(
            At(kLineAlone), QNSeverity_CallFailure,
            u"no load monitor cycle for an interval - the ceiling watch checks the process's limits without the resource observer "
            u"and keeps its emergencies for it",
            u"");
}

void* XLoadMonitorWatch::Run(void* watch)
{
    XQNResourceAgentModule::InstallExceptionTranslator();
    platform::SetCurrentThreadName("qn-load-watch");
    static_cast<XLoadMonitorWatch*>(watch)->Watch();
    return nullptr;
}

void XLoadMonitorWatch::Watch()
{
    platform::CeilingWatch ceilings;
    tagQNMachineResourceLoad previous;
    XLoadMonitor::ZeroData(previous);
    Clock::time_point lastStandIn{};
    for (;;) {
        const Clock::time_point now = Clock::now();
        const auto interval = platform::ScaledDuration(static_cast<DWORD>(std::max<LONG>(m_intervalMs.load(), 1)));
        // A cycle late by a whole interval is missing, not slow: its check is made here, then once
        // per interval until the loop cycles again.
        const Clock::time_point lastCycle{Clock::duration(m_lastCycle.load())};
        const Clock::time_point standIn = std::max(lastCycle + 2 * interval, lastStandIn + interval);
        const Clock::time_point next = std::min(ceilings.NextLook(XProcessResourceObserverInstance::Instance().Unraised()), standIn);
        if (next > now) {
            if (WaitForSingleObject(m_stopEvent, platform::ClockMilliseconds(next - now)) != WAIT_TIMEOUT)
                return;
            continue;
        }
        try {
            if (now >= standIn) {
                lastStandIn = now;
                GoOnAlone();
                CheckNow(ceilings, previous);
            } else {
                Look(ceilings, previous, now);
            }
        } catch (...) {
            XQNError::WriteErrorToLogBook(cominc::KeepTaskBodyFailure(At(kLineFailed)));
        }
    }
}

void XLoadMonitorWatch::Look(platform::CeilingWatch& ceilings, tagQNMachineResourceLoad& previous, Clock::time_point now)
{
    XProcessResourceObserverInstance& checks = XProcessResourceObserverInstance::Instance();
    platform::ProcessCeilings found;
    ceilings.Look(checks.Unraised(), now, found);
    if (checks.ComesNear(found))
        CheckNow(ceilings, previous);
}

void XLoadMonitorWatch::CheckNow(platform::CeilingWatch& ceilings, tagQNMachineResourceLoad& previous)
{
    agent::CycleRecords records;
    platform::ProcessCeilings measured;
    if (!agent::MeasureProcessLoad(records.sample, previous, &measured))
        return;
    ceilings.Saw(measured, Clock::now());
    XProcessResourceObserverInstance::Instance().CheckProcessResources(records.sample, measured, records.emergency, records.alert);
    if (records.emergency.emergencyState == 0)
        return;
    Keep(records.emergency.emergencyState);
    m_wakeLoop();
}
