// The resource observer's link to the system observer and its worker.
#include <algorithm>

#include "emergency/XEmergencyHandlerHelper.h"
#include "inc/QNDCOMSecurity.h"
#include "module/QNResourceAgentModule.h"
#include "observer/XResourceObserverInstance.h"
#include "observer/XResourceObserverInstanceTask.h"
#include "platform/Clock.h"
#include "platform/Pressure.h"
#include "platform/Thread.h"
#include "platform/transport/Activation.h"
#include "platform/transport/WireRecords.h"

using XResourceAgent::XMachineOPXServerInfo;
using XResourceAgent::XMachineResourceInfo;

namespace {

constexpr const char* kFile = "XResourceObserverInstance";
constexpr DWORD kFirstSleepMinimumMs = 10000;

QNErrorLocation At(int line, const XQNComBSTR& function)
{
    return XQNResourceAgentModule::Location(kFile, line, function);
}

// Raises a failed call through the link.
void Check(HRESULT result, int line, const XQNComBSTR& function)
{
    if (FAILED(result))
        XQNError::DoThrowExcepAtError(QNExceptionType_Application, At(line, function), result, XHRErrorcodeHandler::GetErrorSeverity(result), u"", u"");
}


}  // namespace

void XResourceObserverInstance::SetSystemResourceObserver(const XQNComBSTR& machineName)
{
    static const XQNComBSTR function(u"XResourceObserverInstance::SetSystemResourceObserver");
    constexpr int kLineEmptyName = 343;
    constexpr int kLineAlreadyConnected = 369;
    if (machineName.IsEmpty())
        XQNExceptionFactory::DoThrowException(QNExceptionType_Application, At(kLineEmptyName, function), E_FAIL, QNSeverity_Error,
                                              u"server machine name of the system observer is empty", u"");
    m_systemObserverMachine.Set(machineName);
    {
        auto task = m_taskHolder.GetWriteProxyPtr();
        if (task.IsValid() && task->GetStatus() == XResourceObserverInstanceTask::Stopped) {
            delete task.GetCheckedPtr();
            task.SetPtr(nullptr);
        }
        if (!task.IsValid())
            task.SetPtr(new XResourceObserverInstanceTask);
    }
    auto task = m_taskHolder.GetReadProxyPtr();
    if (task->GetStatus() != XResourceObserverInstanceTask::NotStarted)
        XQNError::WriteErrorToLogBook(
            At(kLineAlreadyConnected, function), QNSeverity_CallFailure,
            u"The system resource observer has been already connected - subsequent connects to that observer instance are not possible.");
    task->Start(this);
}

XQNComBSTR XResourceObserverInstance::GetMachineNameSystemObserver()
{
    return *m_systemObserverMachine.GetConstReadProxy();
}

bool XResourceObserverInstance::IsSystemResourceObserverLinked() const
{
    auto task = m_taskHolder.GetConstReadProxyPtr();
    return task.IsValid() && task->GetStatus() != XResourceObserverInstanceTask::Stopped;
}

void XResourceObserverInstance::Stop()
{
    auto task = m_taskHolder.GetWriteProxyPtr();
    if (!task.IsValid())
        return;
    // The worker waits on the ends of the reporting processes, which Stop cuts short too.
    task->SetStopRequested(true);
    WakeFromProcessEnds();
    task->WakeAndStop();
    delete task.GetCheckedPtr();
    task.SetPtr(nullptr);
}

CComPtr<IQNSystemResourceObserver> XResourceObserverInstance::GetSystemResourceObserver(bool forceNew)
{
    {
        auto link = m_systemObserver.GetConstReadProxy();
        if (*link != nullptr && !forceNew)
            return *link;
    }
    static const XQNComBSTR function(u"XResourceObserverInstance::GetSystemResourceObserver");
    constexpr int kLineNoMachine = 1214;
    constexpr int kLineLevel = 1223;
    constexpr int kLineService = 1230;
    constexpr int kLineNotCreated = 1252;
    auto link = m_systemObserver.GetWriteProxy();
    const XQNComBSTR machine = GetMachineNameSystemObserver();
    if (machine.IsEmpty())
        XQNExceptionFactory::DoThrowException(QNExceptionType_Application, At(kLineNoMachine, function), E_FAIL, QNSeverity_Error,
                                              u"server machine name to initialize resource observer missing", u"");
    COAUTHINFO authentication = qndcom::ConnectionAuthentication(At(kLineLevel, function), At(kLineService, function));
    COSERVERINFO server{0, machine, &authentication, 0};
    MULTI_QI query{&IQNSystemResourceObserver::kIid, nullptr, 0};
    const HRESULT result = CoCreateInstanceEx(CLSID_QNSystemResourceObserver, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, &server, 1,
                                &query);
    if (result != S_OK)
        XQNExceptionFactory::ThrowException(QNExceptionType_Connection, At(kLineNotCreated, function), result, QNSeverity_ConnectionFailure,
                                            XQNComBSTR(CLSID_QNSystemResourceObserver), XQNComBSTR(u"QNSystemResourceObserver on machine: ") + machine);
    CComPtr<IQNSystemResourceObserver> created;
    created.Attach(static_cast<IQNSystemResourceObserver*>(query.pItf));
    *link = created;
    ++m_linksMade;
    return created;
}

void XResourceObserverInstance::SyncSystemResourceObserver(const CComPtr<IQNSystemResourceObserver>& link)
{
    static const XQNComBSTR function(u"XResourceObserverInstance::SyncSystemResourceObserver");
    constexpr int kLineEmergencyTrace = 842;
    constexpr int kLineEmergencySent = 850;
    constexpr int kLineAlertTrace = 855;
    constexpr int kLineAlertSent = 863;
    constexpr int kLineDataSent = 870;
    constexpr int kLineEmptyDataSent = 889;

    XMachineOPXServerInfo opx;
    GetMachineOPXServerInfo(opx);
    // This machine's pressure goes with its figures to a system observer that takes it.
    const tagQNMachinePressure pressure = platform::ReadMachinePressure();
    CComPtr<IQNSystemResourceObserver2> withPressure;
    link->QueryInterface(IQNSystemResourceObserver2::kIid, reinterpret_cast<void**>(&withPressure));
    // And so do the OOM kills among its server processes.
    CComPtr<IQNSystemResourceObserver3> withOomKills;
    link->QueryInterface(IQNSystemResourceObserver3::kIid, reinterpret_cast<void**>(&withOomKills));
    tagQNMachineOomKills oomKills = GetOomKills();
    struct OomKillStrings {
        tagQNMachineOomKills& record;
        ~OomKillStrings() { transport::FreeStrings(record); }
    } oomKillStrings{oomKills};
    const auto sendFigures = [&](const tagQNSystemResourceInformation& record, bool local) {
        if (local && withOomKills != nullptr)
            return withOomKills->SetSystemResourceData3(&record, &pressure, &oomKills);
        return local && withPressure != nullptr ? withPressure->SetSystemResourceData2(&record, &pressure) : link->SetSystemResourceData(&record);
    };
    auto machines = m_machineHistory.GetConstReadProxy();
    for (const auto& [key, history] : *machines) {
        ULONG usageSum = 0;
        double ratio = 0.0;
        if (key == m_localMachineName) {
            double ratioTotal = 0.0;
            int ratioCount = 0;
            auto processes = m_processHistory.GetConstReadProxy();
            for (const auto& [name, entries] : *processes)
                for (const auto& [id, entry] : entries) {
                    if (entry.history.empty() || entry.missedCycles >= entry.missedCycleLimit)
                        continue;
                    const auto& oldest = entry.history.front();
                    usageSum += oldest.externalResourceUsage;
                    if (oldest.databaseCounterA > 0) {
                        ratioTotal += static_cast<double>(oldest.databaseCounterB) / oldest.databaseCounterA;
                        ++ratioCount;
                    }
                }
            if (ratioCount != 0)
                ratio = ratioTotal / ratioCount;
        }

        XMachineResourceInfo average;
        average.opxServerInfo = opx;
        GetAverageResourceData(history, average);
        tagQNSystemResourceInformation record{};
        BuildSystemResourceInfo(average, record);
        record.externalUsageSum = usageSum;
        record.avgDatabaseAccessRatio = ratio;
        tagQNSystemResourceEmergencyEvent emergency{};
        tagQNSystemResourceAlert alert{};
        // The records' strings are freed however the pass ends.
        struct Strings {
            tagQNSystemResourceInformation& record;
            tagQNSystemResourceEmergencyEvent& emergency;
            tagQNSystemResourceAlert& alert;
            ~Strings()
            {
                transport::FreeStrings(record);
                transport::FreeStrings(emergency);
                transport::FreeStrings(alert);
            }
        } strings{record, emergency, alert};

        if (history.empty()) {
            Check(link->SetSystemResourceData(&record), kLineEmptyDataSent, function);
            continue;
        }
        CheckMachineResources(record, emergency, alert);
        if (key == m_localMachineName)
            CheckPressureAlert(pressure, record, alert);
        if (emergency.emergencyState != 0) {
            XQNError::WriteTraceToErrorLogBook(
                At(kLineEmergencyTrace, function), QNSeverity_Trace,
                XQNComBSTR::GetFormatted(u"raise system resource emergency event from machine '%s'- emergency state: 0x%X (%s)", emergency.machineName,
                                         emergency.emergencyState, XEmergencyHandlerHelper::BuildEmergencyStateMsg(emergency.emergencyState)),
                u"");
            Check(link->RaiseSystemResourceEmergencyEvent(&emergency), kLineEmergencySent, function);
        }
        if (alert.alertState != 0) {
            XQNError::WriteTraceToErrorLogBook(
                At(kLineAlertTrace, function), QNSeverity_Trace,
                XQNComBSTR::GetFormatted(u"notify system resourve alert from machine '%s'- alert state: 0x%X (%s)", alert.machineName, alert.alertState,
                                         XResourceHandlerHelper::BuildResourceAlertStateMsg(alert.alertState)),
                u"");
            Check(link->NotifySystemResourceAlert(&alert), kLineAlertSent, function);
        }
        Check(sendFigures(record, key == m_localMachineName), kLineDataSent, function);
    }
}

DWORD XResourceObserverInstanceTask::Execute(XResourceObserverInstance* owner)
{
    static const XQNComBSTR function(u"XResourceObserverInstanceTask::Execute");
    constexpr int kLineNoOwner = 1300;
    constexpr int kLineEnded = 1401;
    XQNResourceAgentModule::InstallExceptionTranslator();
    platform::SetCurrentThreadName("qn-observer");
    XWrappedQNException failure;
    try {
        XQNError::CheckPtr_ThrowExcep(At(kLineNoOwner, function), owner, u"");
        // The agents report for a while before the first cycle judges them; Stop can't shorten this
        // wait, but the ends of processes are recorded in it too.
        const DWORD firstSleepMs = std::max<DWORD>(owner->m_observerIntervalSec.load() * 1000, kFirstSleepMinimumMs);
        owner->m_workerHeartbeat.ExpectWithin(firstSleepMs + platform::kTurnAllowanceMs);
        owner->WaitRecordingProcessEnds(firstSleepMs, false);
        const CComPtr<IQNSystemResourceObserver> link = owner->GetSystemResourceObserver(true);
        owner->m_sampleCount.exchange(0);
        owner->m_cyclesWithoutSamples.exchange(0);
        while (!IsStopRequested()) {
            owner->m_workerHeartbeat.ExpectWithin(owner->m_observerIntervalSec.load() * 1000 + platform::kTurnAllowanceMs);
            if (owner->WaitRecordingProcessEnds(owner->m_observerIntervalSec.load() * 1000, true))
                continue;
            owner->UpdateCycleCounters();
            owner->SyncSystemResourceObserver(link);
            owner->PassOnKeptEvents(link);
            owner->CleanupResourceObserver();
        }
    } catch (...) {
        failure = cominc::KeepTaskBodyFailure(At(kLineEnded, function));
    }
    if (owner != nullptr)
        owner->m_workerHeartbeat.Rest();
    if (failure.HasException()) {
        SetTaskException(failure);
        XQNError::WriteErrorToLogBook(failure);
    }
    return 0;
}
