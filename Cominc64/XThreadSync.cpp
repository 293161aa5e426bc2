#include "Cominc64/XThreadSync.h"

#include "module/QNResourceAgentModule.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace {

constexpr const char* kFile = "Cominc64/XThreadSync";

[[noreturn]] void Raise(const XQNComBSTR& function, int line, HRESULT result, int severity, std::u16string_view message)
{
    XQNExceptionFactory::DoThrowException(QNExceptionType_System, XQNResourceAgentModule::Location(kFile, line, function), result,
                                          severity, message, u"");
}

void Create(HANDLE& event, bool manualReset, bool initialState, const XQNComBSTR& function, int line)
{
    event = ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, nullptr);
    if (event == nullptr)
        Raise(function, line, HResultFromLastError(GetLastError()), QNSeverity_TaskFailure, u"CreateEvent failed");
}

}  // namespace

void XThreadSync::CreateEvent(HANDLE& event, bool initialState)
{
    static const XQNComBSTR function(u"XThreadSync::CreateEvent()");
    constexpr int kLine = 209;
    Create(event, true, initialState, function, kLine);
}

void XThreadSync::CreateEventAutoReset(HANDLE& event, bool initialState)
{
    static const XQNComBSTR function(u"XThreadSync::CreateEventAutoReset()");
    constexpr int kLine = 193;
    Create(event, false, initialState, function, kLine);
}

void XThreadSync::SetEvent(HANDLE event)
{
    static const XQNComBSTR function(u"XThreadSync::SetEvent()");
    constexpr int kLineNull = 164;
    constexpr int kLineFailed = 167;
    if (event == nullptr)
        Raise(function, kLineNull, E_FAIL, QNSeverity_ForeignException, u"wait handle is NULL");
    if (!::SetEvent(event))
        Raise(function, kLineFailed, HResultFromLastError(GetLastError()), QNSeverity_TaskFailure, u"wait for signaled event failed");
}

bool XThreadSync::WaitForEvent(HANDLE event, DWORD timeoutMs)
{
    static const XQNComBSTR function(u"XThreadSync::WaitForEvent");
    constexpr int kLineNull = 50;
    constexpr int kLineFailed = 68;
    constexpr int kLineInfiniteTimeout = 73;
    if (event == nullptr)
        Raise(function, kLineNull, E_FAIL, QNSeverity_ForeignException, u"wait handle is NULL");
    switch (::WaitForSingleObject(event, timeoutMs)) {
    case WAIT_OBJECT_0:
        return true;
    case WAIT_TIMEOUT:
        if (timeoutMs == INFINITE)
            Raise(function, kLineInfiniteTimeout, E_FAIL, QNSeverity_TaskFailure, u"infinite wait event unexpectedly timed out");
        return false;
    default:
        Raise(function, kLineFailed, E_FAIL, QNSeverity_TaskFailure, u"wait for signaled event failed");
    }
}
