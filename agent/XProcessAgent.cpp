#include "agent/XProcessAgent.h"

#include <atomic>

#include "Cominc64/XBasicCritData.h"
#include "Cominc64/XSingleton.h"
#include "agent/IsRpcFailure.h"
#include "agent/XLoadMonitor.h"
#include "inc/QNDCOMSecurity.h"
#include "module/QNResourceAgentModule.h"
#include "platform/Clock.h"
#include "platform/Thread.h"
#include "platform/transport/Activation.h"
#include "platform/transport/WireRecords.h"

namespace {

constexpr const char* kFile = "xprocessagent";
constexpr int kConnectAttempts = 5;
constexpr DWORD kConnectRetryWaitMs = 60000;
constexpr int kCallAttempts = 3;
constexpr DWORD kReconnectWaitMs = 3000;

std::atomic<XProcessAgent*> g_instance{nullptr};

[[noreturn]] void RaiseError(int line, const XQNComBSTR& function, HRESULT result, std::u16string_view message)
{
    XQNExceptionFactory::DoThrowException(QNExceptionType_Application, XQNResourceAgentModule::Location(kFile, line, function), result,
                                          QNSeverity_Error, message, u"");
}

}  // namespace

struct XProcessAgent::Impl {
    XCritData<CComPtr<IQNResourceObserver>> resourceObserver;
    XCritData<CComPtr<IQNEmergencyObserver>> emergencyObserver;
    XQNComBSTR processName;
    XQNComBSTR machineName;
};

XProcessAgent::XProcessAgent() : m_impl(std::make_unique<Impl>())
{
    static const XQNComBSTR function(u"XProcessAgent::XProcessAgent");
    constexpr int kLineNoProcessName = 68;
    constexpr int kLineNoMachineName = 72;
    m_impl->processName = XLoadMonitor::GetCurrentProcessName();
    m_impl->machineName = XLoadMonitor::GetMachineName();
    if (m_impl->processName.IsEmpty())
        RaiseError(kLineNoProcessName, function, E_FAIL,
                   u"The process name needed for load monitoring is not available - load monitor will be terminated.");
    if (m_impl->machineName.IsEmpty())
        RaiseError(kLineNoMachineName, function, E_FAIL,
                   u"The machine name needed for load monitoring is not available - load monitor will be terminated.");
}

XProcessAgent::~XProcessAgent() = default;

XProcessAgent& XProcessAgent::Instance()
{
    return cominc::PublishedInstance(g_instance, [] { return new XProcessAgent; }, [](XProcessAgent* agent) { delete agent; });
}

void XProcessAgent::Destroy()
{
    cominc::TakeInstance(g_instance, [](XProcessAgent* agent) { delete agent; });
}

CComPtr<IQNResourceObserver> XProcessAgent::GetResourceObserver(bool reconnect)
{
    {
        auto pointer = m_impl->resourceObserver.GetConstReadProxy();
        if (*pointer != nullptr && !reconnect)
            return *pointer;
    }
    ConnectObserver();
    return GetResourceObserver(false);
}

CComPtr<IQNEmergencyObserver> XProcessAgent::GetEmergencyObserver(bool reconnect)
{
    {
        auto pointer = m_impl->emergencyObserver.GetConstReadProxy();
        if (*pointer != nullptr && !reconnect)
            return *pointer;
    }
    ConnectObserver();
    return GetEmergencyObserver(false);
}

void XProcessAgent::ConnectObserver()
{
    static const XQNComBSTR function(u"XProcessAgent::ConnectObserver");
    constexpr int kLineLevel = 162;
    constexpr int kLineService = 169;
    constexpr int kLineRetry = 197;
    constexpr int kLineNotConnected = 211;
    constexpr int kLineNoResourceObserver = 217;
    constexpr int kLineNoEmergencyObserver = 222;
    const auto at = [](int line) { return XQNResourceAgentModule::Location(kFile, line, function); };

    COAUTHINFO authentication = qndcom::ConnectionAuthentication(at(kLineLevel), at(kLineService));
    HRESULT result = E_FAIL;
    COSERVERINFO server{0, kLoopbackHostName, &authentication, 0};
    MULTI_QI query{&IQNResourceObserver::kIid, nullptr, 0};
    for (int attempt = 1; attempt <= kConnectAttempts; ++attempt) {
        result = CoCreateInstanceEx(CLSID_QNResourceObserver, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                                    &server, 1, &query);
        if (SUCCEEDED(result))
            break;
        XQNError::WriteErrorToLogBook(
            at(kLineRetry), result, QNSeverity_CallFailure,
            XQNComBSTR::GetFormatted(u"CoCreateInstanceEx(__uuidof(QNResourceObserver) failed - retry to connect resource observer after timeout the %d. time",
                                     attempt));
        Sleep(kConnectRetryWaitMs);
    }
    if (result != S_OK)
        XQNExceptionFactory::ThrowException(QNExceptionType_Connection, at(kLineNotConnected), result, QNSeverity_ConnectionFailure,
                                            XQNComBSTR(CLSID_QNResourceObserver), XQNComBSTR(u"QNResourceObserver on machine: ") + kLoopbackHostName);

    CComPtr<IQNResourceObserver> resourceObserver;
    resourceObserver.Attach(static_cast<IQNResourceObserver*>(query.pItf));
    XQNError::CheckPtr_ThrowExcep(at(kLineNoResourceObserver), resourceObserver, u"");
    m_impl->resourceObserver.Set(resourceObserver);

    CComPtr<IQNEmergencyObserver> emergencyObserver;
    resourceObserver.QueryInterface(&emergencyObserver);
    XQNError::CheckPtr_ThrowExcep(at(kLineNoEmergencyObserver), emergencyObserver, u"");
    m_impl->emergencyObserver.Set(emergencyObserver);
}

void XProcessAgent::RaiseGlobalEmergencyEvent(QNServerEmergency code)
{
    static const XQNComBSTR function(u"XProcessAgent::RaiseGlobalEmergencyEvent");
    constexpr int kLineNoObserver = 113;
    constexpr int kLineRetry = 132;
    constexpr int kLineNoReconnect = 141;
    constexpr int kLineFailed = 147;
    const auto at = [](int line) { return XQNResourceAgentModule::Location(kFile, line, function); };

    CComPtr<IQNEmergencyObserver> observer = GetEmergencyObserver(false);
    XQNError::CheckPtr_ThrowExcep(at(kLineNoObserver), observer, u"");

    tagQNProcessServerEmergencyEvent event{m_impl->machineName.Copy(), m_impl->processName.Copy(), SysAllocString(u""), GetCurrentProcessId(),
                                           0, code};
    // The event's strings are freed however the call ends.
    struct Strings {
        tagQNProcessServerEmergencyEvent& event;
        ~Strings() { transport::FreeStrings(event); }
    } strings{event};

    HRESULT result = S_OK;
    for (int attempt = 0; attempt < kCallAttempts; ++attempt) {
        result = observer->RaiseGlobalEmergencyEvent(&event);
        if (!agent::IsRpcFailure(result))
            break;
        XQNError::WriteErrorToLogBook(
            at(kLineRetry), result, QNSeverity_CallFailure,
            XQNComBSTR::GetFormatted(u"ptrIQNEmergencyObserver->RaiseGlobalEmergencyEvent failed by RPC error - try to reconnect resource observer the %d. time",
                                     attempt + 1));
        if (attempt > 0)
            Sleep(kReconnectWaitMs);
        observer = GetEmergencyObserver(true);
        XQNError::CheckPtr_ThrowExcep(at(kLineNoReconnect), observer, u"");
    }
    if (FAILED(result))
        XQNError::DoThrowExcepAtError(QNExceptionType_Application, at(kLineFailed), result, XHRErrorcodeHandler::GetErrorSeverity(result), u"", u"");
}
