#include "agent/XLoadMonitorTask.h"

#include <algorithm>

#include "agent/IsRpcFailure.h"
#include "agent/XLoadMonitor.h"
#include "agent/XLoadMonitorImpl.h"
#include "agent/XProcessAgent.h"
#include "agent/XProcessResourceObserverInstance.h"
#include "emergency/XEmergencyHandlerHelper.h"
#include "module/QNResourceAgentModule.h"
#include "platform/CeilingWatch.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace {

using agent::CycleRecords;

constexpr DWORD kFirstSleepMinimumMs = 10000;
constexpr int kCallAttempts = 3;
constexpr DWORD kReconnectWaitMs = 3000;
// A loop that ended by itself starts again after one interval, doubling up to this while it keeps
// ending before its first cycle.
constexpr DWORD kMostRestartWaitMs = 300000;

constexpr int kLineNoOwner = 646;
constexpr int kLineNoProcessName = 655;
constexpr int kLineNoMachineName = 660;
constexpr int kLineWaitFailed = 688;
constexpr int kLineEmergencyTrace = 740;
constexpr int kLineAlertTrace = 775;
constexpr int kLineLoopEnded = 844;
constexpr int kLineRestart = 850;

QNErrorLocation At(int line)
{
    static const XQNComBSTR function(u"XLoadMonitorTask::Execute");
    return XQNResourceAgentModule::Location("XLoadMonitor", line, function);
}

[[noreturn]] void RaiseMissingName(int line, std::u16string_view message)
{
    XQNExceptionFactory::DoThrowException(QNExceptionType_Application, At(line), E_FAIL, QNSeverity_Error, message, u"");
}

// The trace of an emergency event or alert about to be sent.
template <typename Event>
void TraceSending(int line, std::u16string_view format, const Event& event, LONG state, const XQNComBSTR& stateText)
{
    XQNError::WriteTraceToErrorLogBook(At(line), QNSeverity_Trace,
                                       XQNComBSTR::GetFormatted(format, event.machineName, event.processName, event.processId, state, stateText), u"");
}

// How one observer method of a cycle is called and reported.
struct Delivery {
    const char16_t* retryMessage;  // with the number of the reconnect
    int retryLine;
    int raiseLine;
};

constexpr Delivery kEmergencyDelivery{
    u"ptrIResourceObserver->RaiseProcessResourceEmergencyEvent failed by RPC error - try to reconnect resource observer the %d. time", 756, 770};
constexpr Delivery kAlertDelivery{
    u"ptrIResourceObserver->NotifyProcessResourceAlert failed by RPC error - try to reconnect resource observer the %d. time", 791, 805};
constexpr Delivery kSampleDelivery{
    u"ptrIResourceObserver->SetProcessResourceInfo failed by RPC error - try to reconnect resource observer the %d. time", 818, 832};

// Makes `call` on the observer; after an RPC failure reconnects and calls again, 3 calls at most,
// the 2nd and 3rd reconnect after a wait. Raises the failure that remains.
template <typename Call>
void Deliver(CComPtr<IQNResourceObserver>& observer, Call call, const Delivery& delivery)
{
    HRESULT result = S_OK;
    for (int attempt = 0; attempt < kCallAttempts; ++attempt) {
        result = call(static_cast<IQNResourceObserver*>(observer));
        if (!agent::IsRpcFailure(result))
            break;
        XQNError::WriteErrorToLogBook(At(delivery.retryLine), result, QNSeverity_CallFailure,
                                      XQNComBSTR::GetFormatted(delivery.retryMessage, attempt + 1));
        if (attempt > 0)
            Sleep(kReconnectWaitMs);
        observer = XProcessAgent::Instance().GetResourceObserver(true);
    }
    if (FAILED(result))
        XQNError::DoThrowExcepAtError(QNExceptionType_Application, At(delivery.raiseLine), result, XHRErrorcodeHandler::GetErrorSeverity(result),
                                      u"", u"");
}

template <typename Record>
auto Calling(HRESULT (IQNResourceObserver::*method)(const Record*), const Record& record)
{
    return [method, &record](IQNResourceObserver* observer) { return (observer->*method)(&record); };
}

// The sample goes with the process's ceilings to an observer that takes them.
auto SendingSample(const tagQNResourceInformation& sample, const tagQNProcessCeilings& ceilings)
{
    return [&](IQNResourceObserver* observer) {
        CComPtr<IQNResourceObserver2> withCeilings;
        if (SUCCEEDED(observer->QueryInterface(IQNResourceObserver2::kIid, reinterpret_cast<void**>(&withCeilings))))
            return withCeilings->SetProcessResourceInfo2(&sample, &ceilings);
        return observer->SetProcessResourceInfo(&sample);
    };
}

tagQNResourceCeiling ToRecord(const platform::Ceiling& ceiling, std::uint64_t divisor)
{
    return {static_cast<std::int64_t>(ceiling.limit / divisor), static_cast<std::int64_t>(ceiling.left / divisor), static_cast<std::int32_t>(ceiling.source)};
}

tagQNProcessCeilings ToRecord(const platform::ProcessCeilings& ceilings)
{
    constexpr std::uint64_t kBytesPerKB = 1024;
    return {ToRecord(ceilings.memory, kBytesPerKB), ToRecord(ceilings.descriptors, 1), ToRecord(ceilings.threads, 1)};
}

// Writes what the wait of a cycle raised; the loop goes on.
void LogWaitFailure()
{
    try {
        throw;
    } catch (const _com_error& error) {
        XQNError::WriteErrorToLogBook(At(kLineWaitFailed), error, u"");
    } catch (const XWrappedQNException& exception) {
        XQNError::WriteErrorToLogBook(At(kLineWaitFailed), exception);
    } catch (const std::exception& exception) {
        XQNError::WriteErrorToLogBook(At(kLineWaitFailed), exception, QNSeverity_ForeignException, u"");
    } catch (...) {
        XQNError::WriteUnknownErrorToLogBook(At(kLineWaitFailed), u"");
    }
}

// The plain sleep before the first cycle.
DWORD FirstSleep(LONG interval)
{
    return std::max<DWORD>(static_cast<DWORD>(std::max<LONG>(interval, 0)), kFirstSleepMinimumMs);
}

}  // namespace

void XLoadMonitorTask::StartWatchAndLoop(XLoadMonitorAlloc* owner)
{
    m_watch.Start(FirstSleep(m_intervalMs.load()));
    Start(owner);
}

DWORD XLoadMonitorTask::Execute(XLoadMonitorAlloc* owner)
{
    XQNResourceAgentModule::InstallExceptionTranslator();
    platform::SetCurrentThreadName("qn-load-monitor");
    // A plain sleep: the process settles before its first sample, and not even Stop cuts it.
    Sleep(FirstSleep(m_intervalMs.load()));
    // Only Stop ends monitoring: a loop that ends by itself is started again after a wait.
    DWORD restartWait = 0;
    for (;;) {
        unsigned cycles = 0;
        RunLoop(owner, cycles);
        const LONG interval = m_intervalMs.load();
        if (IsStopRequested() || interval <= 0)
            return 0;
        restartWait = cycles > 0 || restartWait == 0 ? static_cast<DWORD>(interval) : std::min(2 * restartWait, kMostRestartWaitMs);
        XQNError::WriteTraceToErrorLogBook(At(kLineRestart), QNSeverity_Trace,
                                           XQNComBSTR::GetFormatted(u"load monitor ended - starting it again in %d ms", restartWait), u"");
        WaitOut(restartWait, [] {});
        if (IsStopRequested())
            return 0;
    }
}

template <typename Woken>
bool XLoadMonitorTask::WaitOut(DWORD milliseconds, Woken woken)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point due = Clock::now() + platform::ScaledDuration(milliseconds);
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= due)
            return true;
        try {
            if (!WaitForWakeUp(platform::ClockMilliseconds(due - now)))
                return true;
        } catch (...) {
            LogWaitFailure();
            Sleep(milliseconds);
            return false;
        }
        if (IsStopRequested())
            return false;
        woken();
    }
}

void XLoadMonitorTask::RunLoop(XLoadMonitorAlloc* owner, unsigned& cycles)
{
    XWrappedQNException failure;
    try {
        XQNError::CheckPtr_ThrowExcep(At(kLineNoOwner), owner, u"");
        const XQNComBSTR processName = XLoadMonitor::GetCurrentProcessName();
        if (processName.IsEmpty())
            RaiseMissingName(kLineNoProcessName, u"The process name needed for load monitoring is not available - load monitor will be terminated.");
        const XQNComBSTR machineName = XLoadMonitor::GetMachineName();
        if (machineName.IsEmpty())
            RaiseMissingName(kLineNoMachineName, u"The machine name needed for load monitoring is not available - load monitor will be terminated.");
        CComPtr<IQNResourceObserver> observer = XProcessAgent::Instance().GetResourceObserver(false);
        RunCycles(observer, processName, machineName, cycles);
    } catch (...) {
        failure = cominc::KeepTaskBodyFailure(At(kLineLoopEnded));
    }
    if (failure.HasException())
        XQNError::WriteErrorToLogBook(failure);
}

// The state of one run of the loop and what it does in a cycle and between two.
class XLoadMonitorTask::Cycles {
public:
    Cycles(CComPtr<IQNResourceObserver>& observer, const XQNComBSTR& processName, const XQNComBSTR& machineName, XLoadMonitorWatch& watch)
        : m_observer(observer), m_processName(processName), m_machineName(machineName), m_watch(watch)
    {
        XLoadMonitor::ZeroData(m_previousMachineLoad);
        // A first measurement opens every file a sample reads, while descriptors are still to be
        // had: the check of a look near RLIMIT_NOFILE must not be the first to open them.
        CycleRecords first;
        tagQNMachineResourceLoad previous = m_previousMachineLoad;
        platform::ProcessCeilings ceilings;
        Measure(first, previous, ceilings);
    }

    // Measures, checks and sends emergency, alert and sample; the emergency carries what the
    // watch kept too, before the sample.
    void Cycle(LONG interval)
    {
        auto& [sample, emergency, alert] = m_records;
        XProcessResourceObserverInstance::Instance().GetProcessExternalResourceUsage(sample.externalUsage);
        sample.monitorIntervalSec = interval / 1000;
        platform::ProcessCeilings ceilings;
        Measure(m_records, m_previousMachineLoad, ceilings);
        Check(m_records, ceilings);
        m_watch.Keep(emergency.emergencyState);
        m_watch.Cycled();
        SendKept();
        if (alert.alertState != 0) {
            TraceSending(kLineAlertTrace,
                         u"notify process resource alert from machine '%s', process name '%s', process id %d - alert state: 0x%X (%s)", alert,
                         alert.alertState, XResourceHandlerHelper::BuildResourceAlertStateMsg(alert.alertState));
            Deliver(m_observer, Calling(&IQNResourceObserver::NotifyProcessResourceAlert, alert), kAlertDelivery);
        }
        const tagQNProcessCeilings ceilingRecord = ToRecord(ceilings);
        Deliver(m_observer, SendingSample(sample, ceilingRecord), kSampleDelivery);
        m_watch.Linked();
        m_records.FreeStrings();
    }

    // Sends the emergencies that were raised and not sent yet as one event; kept again when it
    // could not be sent, so that it goes out once the loop links again.
    void SendKept()
    {
        const LONG state = m_watch.TakeKept();
        if (state == 0)
            return;
        CycleRecords kept;
        tagQNProcessResourceEmergencyEvent& emergency = kept.emergency;
        SetIdentity(emergency);
        emergency.emergencyState = state;
        TraceSending(kLineEmergencyTrace,
                     u"raise process resource emergency event from machine '%s', process name '%s', process id %d - emergency state: 0x%X (%s)",
                     emergency, state, XEmergencyHandlerHelper::BuildEmergencyStateMsg(state));
        try {
            Deliver(m_observer, Calling(&IQNResourceObserver::RaiseProcessResourceEmergencyEvent, emergency), kEmergencyDelivery);
        } catch (...) {
            m_watch.Keep(state);
            throw;
        }
    }

private:
    // Measures into the sample and fills its identity. False when the measurement failed (logged);
    // the sample is then cleared and marked invalid.
    bool Measure(CycleRecords& records, tagQNMachineResourceLoad& previous, platform::ProcessCeilings& ceilings) const
    {
        tagQNResourceInformation& sample = records.sample;
        const bool measured = agent::MeasureProcessLoad(sample, previous, &ceilings);
        if (measured) {
            sample.dataValid = 1;
        } else {
            XLoadMonitor::ZeroData(sample);
            sample.dataValid = 0;
            ceilings = {};
        }
        SetIdentity(sample);
        return measured;
    }

    // This process's names (new copies), an empty text and its id, as every record of the loop has.
    template <typename Record>
    void SetIdentity(Record& record) const
    {
        record.machineName = m_machineName.Copy();
        record.processName = m_processName.Copy();
        record.auxText = SysAllocString(u"");
        record.processId = GetCurrentProcessId();
    }

    // The emergency event gets what the sample first broke.
    static void Check(CycleRecords& records, const platform::ProcessCeilings& ceilings)
    {
        XLoadMonitor::ZeroData(records.emergency);
        XLoadMonitor::ZeroData(records.alert);
        XProcessResourceObserverInstance::Instance().CheckProcessResources(records.sample, ceilings, records.emergency, records.alert);
    }

    CComPtr<IQNResourceObserver>& m_observer;
    const XQNComBSTR& m_processName;
    const XQNComBSTR& m_machineName;
    XLoadMonitorWatch& m_watch;
    tagQNMachineResourceLoad m_previousMachineLoad;
    CycleRecords m_records;
};

void XLoadMonitorTask::RunCycles(CComPtr<IQNResourceObserver>& observer, const XQNComBSTR& processName, const XQNComBSTR& machineName,
                                 unsigned& cycles)
{
    Cycles loop(observer, processName, machineName, m_watch);
    while (!IsStopRequested() && m_intervalMs.load() > 0) {
        const LONG interval = m_intervalMs.load();
        if (!WaitOut(static_cast<DWORD>(interval), [&] { loop.SendKept(); }))
            continue;
        loop.Cycle(interval);
        ++cycles;
    }
}
