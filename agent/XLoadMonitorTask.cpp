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
#include "platform/transport/WireRecords.h"

namespace {

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

// The records of one cycle; their strings are freed whichever way the cycle ends.
struct CycleRecords {
    tagQNResourceInformation sample{};
    tagQNProcessResourceEmergencyEvent emergency{};
    tagQNProcessResourceAlert alert{};

    void FreeStrings()
    {
        transport::FreeStrings(sample);
        transport::FreeStrings(emergency);
        transport::FreeStrings(alert);
    }
    ~CycleRecords() { FreeStrings(); }
};

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


}  // namespace

DWORD XLoadMonitorTask::Execute(XLoadMonitorAlloc* owner)
{
    XQNResourceAgentModule::InstallExceptionTranslator();
    platform::SetCurrentThreadName("qn-load-monitor");
    // A plain sleep: the process settles before its first sample, and not even Stop cuts it.
    Sleep(std::max<DWORD>(static_cast<DWORD>(std::max<LONG>(m_intervalMs.load(), 0)), kFirstSleepMinimumMs));
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
        try {
            if (WaitForWakeUp(restartWait))
                return 0;
        } catch (...) {
            LogWaitFailure();
            Sleep(restartWait);
        }
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
    using Clock = platform::CeilingWatch::Clock;

    Cycles(CComPtr<IQNResourceObserver>& observer, const XQNComBSTR& processName, const XQNComBSTR& machineName)
        : m_observer(observer), m_processName(processName), m_machineName(machineName)
    {
        XLoadMonitor::ZeroData(m_previousMachineLoad);
        // A first measurement opens every file a sample reads, while descriptors are still to be
        // had: the check of a look near RLIMIT_NOFILE must not be the first to open them. It also
        // gives the watch its start.
        CycleRecords first;
        tagQNMachineResourceLoad previous = m_previousMachineLoad;
        platform::ProcessCeilings ceilings;
        Measure(first, previous, ceilings);
        m_watch.Saw(ceilings, Clock::now());
    }

    // Measures, checks and sends emergency, alert and sample.
    void Cycle(LONG interval)
    {
        auto& [sample, emergency, alert] = m_records;
        XProcessResourceObserverInstance::Instance().GetProcessExternalResourceUsage(sample.externalUsage);
        sample.monitorIntervalSec = interval / 1000;
        platform::ProcessCeilings ceilings;
        Measure(m_records, m_previousMachineLoad, ceilings);
        Check(m_records, ceilings);
        m_watch.Saw(ceilings, Clock::now());
        SendEmergency(emergency);
        if (alert.alertState != 0) {
            TraceSending(kLineAlertTrace,
                         u"notify process resource alert from machine '%s', process name '%s', process id %d - alert state: 0x%X (%s)", alert,
                         alert.alertState, XResourceHandlerHelper::BuildResourceAlertStateMsg(alert.alertState));
            Deliver(m_observer, Calling(&IQNResourceObserver::NotifyProcessResourceAlert, alert), kAlertDelivery);
        }
        const tagQNProcessCeilings ceilingRecord = ToRecord(ceilings);
        Deliver(m_observer, SendingSample(sample, ceilingRecord), kSampleDelivery);
        m_records.FreeStrings();
    }

    Clock::time_point NextLook() const { return m_watch.NextLook(XProcessResourceObserverInstance::Instance().Unraised()); }

    // Looks at the ceilings that are due. One that came near is checked at once as the next cycle
    // would check it, with a sample of its own that is not sent: the observer's samples stay one
    // per interval, and the machine's times keep spanning the whole interval.
    void Look(Clock::time_point now)
    {
        XProcessResourceObserverInstance& checks = XProcessResourceObserverInstance::Instance();
        platform::ProcessCeilings found;
        m_watch.Look(checks.Unraised(), now, found);
        if (!checks.ComesNear(found))
            return;
        CycleRecords early;
        tagQNMachineResourceLoad previous = m_previousMachineLoad;
        platform::ProcessCeilings ceilings;
        if (!Measure(early, previous, ceilings))
            return;
        Check(early, ceilings);
        m_watch.Saw(ceilings, Clock::now());
        SendEmergency(early.emergency);
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
        sample.machineName = m_machineName.Copy();
        sample.processName = m_processName.Copy();
        sample.auxText = SysAllocString(u"");
        sample.processId = GetCurrentProcessId();
        return measured;
    }

    // The emergency event gets what the sample first broke.
    static void Check(CycleRecords& records, const platform::ProcessCeilings& ceilings)
    {
        XLoadMonitor::ZeroData(records.emergency);
        XLoadMonitor::ZeroData(records.alert);
        XProcessResourceObserverInstance::Instance().CheckProcessResources(records.sample, ceilings, records.emergency, records.alert);
    }

    void SendEmergency(const tagQNProcessResourceEmergencyEvent& emergency)
    {
        if (emergency.emergencyState == 0)
            return;
        TraceSending(kLineEmergencyTrace,
                     u"raise process resource emergency event from machine '%s', process name '%s', process id %d - emergency state: 0x%X (%s)",
                     emergency, emergency.emergencyState, XEmergencyHandlerHelper::BuildEmergencyStateMsg(emergency.emergencyState));
        Deliver(m_observer, Calling(&IQNResourceObserver::RaiseProcessResourceEmergencyEvent, emergency), kEmergencyDelivery);
    }

    CComPtr<IQNResourceObserver>& m_observer;
    const XQNComBSTR& m_processName;
    const XQNComBSTR& m_machineName;
    tagQNMachineResourceLoad m_previousMachineLoad;
    CycleRecords m_records;
    platform::CeilingWatch m_watch;
};

void XLoadMonitorTask::RunCycles(CComPtr<IQNResourceObserver>& observer, const XQNComBSTR& processName, const XQNComBSTR& machineName,
                                 unsigned& cycles)
{
    Cycles loop(observer, processName, machineName);
    while (!IsStopRequested() && m_intervalMs.load() > 0) {
        const LONG interval = m_intervalMs.load();
        if (!WaitWatching(interval, loop))
            continue;
        loop.Cycle(interval);
        ++cycles;
    }
}

bool XLoadMonitorTask::WaitWatching(LONG interval, Cycles& loop)
{
    using Clock = Cycles::Clock;
    const Clock::time_point cycleDue = Clock::now() + platform::ScaledDuration(static_cast<DWORD>(interval));
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= cycleDue)
            return true;
        const Clock::time_point nextLook = loop.NextLook();
        if (nextLook <= now) {
            loop.Look(now);
            continue;
        }
        try {
            if (WaitForWakeUp(platform::ClockMilliseconds(std::min(cycleDue, nextLook) - now)))
                return false;
        } catch (...) {
            LogWaitFailure();
            Sleep(static_cast<DWORD>(interval));
            return false;
        }
    }
}
