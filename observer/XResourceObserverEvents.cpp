// Events of the server processes: logged and passed on to the system observer at once, and kept
// for later when a host asks.
#include "agent/IsRpcFailure.h"
#include "emergency/XEmergencyHandlerHelper.h"
#include "module/QNResourceAgentModule.h"
#include "observer/XResourceObserverInstance.h"
#include "platform/transport/WireRecords.h"

namespace {

// Where one event operation logs and raises.
struct EventLines {
    int trace;
    int noObserver;
    int failed;
};

QNErrorLocation At(int line, const XQNComBSTR& function)
{
    return XQNResourceAgentModule::Location("XResourceObserverInstance", line, function);
}

template <typename Event>
void TraceReceived(const Event& event, LONG state, int severity, std::u16string_view format, const XQNComBSTR& stateText, int line,
                   const XQNComBSTR& function)
{
    if (state == 0)
        return;
    XQNError::WriteTraceToErrorLogBook(
        At(line, function), severity,
        XQNComBSTR::GetFormatted(format, event.machineName, event.processName, event.processId, state, stateText), u"");
}

// Calls the system observer with `record` (whose strings are freed here) and raises a failure.
template <typename Record, typename Call>
void PassOn(Record record, Call call, const EventLines& lines, const XQNComBSTR& function)
{
    struct Strings {
        Record& record;
        ~Strings() { transport::FreeStrings(record); }
    } strings{record};
    const HRESULT result = call(&record);
    if (FAILED(result))
        XQNError::DoThrowExcepAtError(QNExceptionType_Application, At(lines.failed, function), result, XHRErrorcodeHandler::GetErrorSeverity(result),
                                      u"", u"");
}

}  // namespace

void XResourceObserverInstance::RaiseProcessResourceEmergencyEvent(const tagQNProcessResourceEmergencyEvent& event)
{
    static const XQNComBSTR function(u"XResourceObserverInstance::RaiseProcessResourceEmergencyEvent");
    constexpr EventLines lines{199, 212, 222};
    TraceReceived(event, event.emergencyState, QNSeverity_EventTrace,
                  u"process resource emergency event received from machine '%s', process name '%s', process id %d - emergency state: 0x%X (%s)",
                  XEmergencyHandlerHelper::BuildEmergencyStateMsg(event.emergencyState), lines.trace, function);
    CComPtr<IQNSystemResourceObserver> observer = GetSystemResourceObserver(false);
    XQNError::CheckPtr_ThrowExcep(At(lines.noObserver, function), observer, u"");
    PassOn(tagQNSystemResourceEmergencyEvent{SysAllocStringLen(event.machineName, SysStringLen(event.machineName)), event.emergencyState},
           [&](const auto* record) { return observer->RaiseSystemResourceEmergencyEvent(record); }, lines, function);
}

void XResourceObserverInstance::RaiseGlobalEmergencyEvent(const tagQNProcessServerEmergencyEvent& event)
{
    static const XQNComBSTR function(u"XResourceObserverInstance::RaiseGlobalEmergencyEvent");
    constexpr EventLines lines{239, 254, 264};
    TraceReceived(event, event.emergencyState, QNSeverity_EventTrace,
                  u"process server emergency event received from machine '%s', process name '%s', process id %d - emergency state: 0x%X (%s)",
                  XEmergencyHandlerHelper::BuildEmergencyStateMsg(event.emergencyState), lines.trace, function);
    CComPtr<IQNSystemResourceObserver> observer = GetSystemResourceObserver(false);
    CComPtr<IQNSystemEmergencyObserver> emergencyObserver;
    if (observer != nullptr)
        observer.QueryInterface(&emergencyObserver);
    XQNError::CheckPtr_ThrowExcep(At(lines.noObserver, function), emergencyObserver, u"");
    PassOn(tagQNSystemServerEmergencyEvent{SysAllocStringLen(event.machineName, SysStringLen(event.machineName)), event.emergencyState},
           [&](const auto* record) { return emergencyObserver->RaiseGlobalEmergencyEvent(record); }, lines, function);
}

void XResourceObserverInstance::NotifyProcessResourceAlert(const tagQNProcessResourceAlert& alert)
{
    static const XQNComBSTR function(u"XResourceObserverInstance::NotifyProcessResourceAlert");
    constexpr EventLines lines{274, 287, 297};
    TraceReceived(alert, alert.alertState, QNSeverity_EventTrace,
                  u"process resource alert received from machine '%s', process name '%s', process id %d - alert state: 0x%X (%s)",
                  XResourceHandlerHelper::BuildResourceAlertStateMsg(alert.alertState), lines.trace, function);
    CComPtr<IQNSystemResourceObserver> observer = GetSystemResourceObserver(false);
    XQNError::CheckPtr_ThrowExcep(At(lines.noObserver, function), observer, u"");
    PassOn(tagQNSystemResourceAlert{SysAllocStringLen(alert.machineName, SysStringLen(alert.machineName)), alert.alertState},
           [&](const auto* record) { return observer->NotifySystemResourceAlert(record); }, lines, function);
}

void XResourceObserverInstance::NotifyMachineResourceAlert(const tagQNSystemResourceAlert& alert)
{
    static const XQNComBSTR function(u"XResourceObserverInstance::NotifyMachineResourceAlert");
    constexpr EventLines lines{307, 318, 323};
    if (alert.alertState != 0)
        XQNError::WriteTraceToErrorLogBook(
            At(lines.trace, function), QNSeverity_Trace,
            XQNComBSTR::GetFormatted(u"machine resource alert received from machine '%s' - alert state: 0x%X (%s)", alert.machineName, alert.alertState,
                                     XResourceHandlerHelper::BuildResourceAlertStateMsg(alert.alertState)),
            u"");
    CComPtr<IQNSystemResourceObserver> observer = GetSystemResourceObserver(false);
    XQNError::CheckPtr_ThrowExcep(At(lines.noObserver, function), observer, u"");
    const HRESULT result = observer->NotifySystemResourceAlert(&alert);
    if (FAILED(result))
        XQNError::DoThrowExcepAtError(QNExceptionType_Application, At(lines.failed, function), result, XHRErrorcodeHandler::GetErrorSeverity(result),
                                      u"", u"");
}

HRESULT XResourceObserverInstance::KeepWhenNotPassedOn(HRESULT result, KeptEvent event)
{
    if (!agent::IsRpcFailure(result) && result != E_POINTER)
        return result;
    KeepForSystemObserver(std::move(event));
    return S_FALSE;
}

void XResourceObserverInstance::KeepForSystemObserver(KeptEvent event)
{
    static const XQNComBSTR function(u"XResourceObserverInstance::KeepForSystemObserver");
    constexpr int kLineDropped = 1500;
    auto kept = m_keptEvents.GetWriteProxy();
    if (kept->size() < kKeptEventLimit) {
        kept->push_back(std::move(event));
        return;
    }
    // Logged once per thousand, so that a long outage does not fill the logbook.
    if (m_droppedEvents++ % 1000 == 0)
        XQNError::WriteErrorToLogBook(At(kLineDropped, function), E_OUTOFMEMORY, QNSeverity_CallFailure,
                                      XQNComBSTR::GetFormatted(u"%d events for the system observer are kept already - dropped one from machine '%s' (%llu so far)",
                                                               static_cast<int>(kKeptEventLimit), event.machineName, m_droppedEvents.load()));
}

size_t XResourceObserverInstance::KeptEventCount() const
{
    return m_keptEvents.GetConstReadProxy()->size();
}

void XResourceObserverInstance::PassOnKeptEvents(const CComPtr<IQNSystemResourceObserver>& link)
{
    static const XQNComBSTR function(u"XResourceObserverInstance::PassOnKeptEvents");
    constexpr int kLineRefused = 1510;
    constexpr int kLineFailed = 1512;
    for (;;) {
        KeptEvent event;
        {
            auto kept = m_keptEvents.GetWriteProxy();
            if (kept->empty())
                return;
            event = kept->front();
        }
        HRESULT result = S_OK;
        switch (event.kind) {
        case KeptEvent::Kind::ResourceEmergency: {
            const tagQNSystemResourceEmergencyEvent record{event.machineName, event.state};
            result = link->RaiseSystemResourceEmergencyEvent(&record);
            break;
        }
        case KeptEvent::Kind::ServerEmergency: {
            CComPtr<IQNSystemEmergencyObserver> emergencyObserver;
            const tagQNSystemServerEmergencyEvent record{event.machineName, event.state};
            result = link.QueryInterface(&emergencyObserver);
            if (SUCCEEDED(result))
                result = emergencyObserver->RaiseGlobalEmergencyEvent(&record);
            break;
        }
        case KeptEvent::Kind::ResourceAlert: {
            const tagQNSystemResourceAlert record{event.machineName, event.state};
            result = link->NotifySystemResourceAlert(&record);
            break;
        }
        }
        if (agent::IsRpcFailure(result))
            XQNError::DoThrowExcepAtError(QNExceptionType_Application, At(kLineFailed, function), result, XHRErrorcodeHandler::GetErrorSeverity(result),
                                          u"", u"");
        if (FAILED(result))
            XQNError::WriteErrorToLogBook(At(kLineRefused, function), result, QNSeverity_CallFailure,
                                          XQNComBSTR::GetFormatted(u"the system observer refused a kept event from machine '%s' - dropped", event.machineName));
        m_keptEvents.GetWriteProxy()->pop_front();
    }
}
