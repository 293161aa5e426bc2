#include "emergency/XResourceEmergencyHandlerInstance.h"

#include <atomic>

#include "Cominc64/XSingleton.h"
#include "emergency/XResourceEmergencyHandler.h"
#include "module/QNResourceAgentModule.h"

namespace {

constexpr const char* kFile = "XResourceEmergencyHandlerInstance";
constexpr int kLineFailedHandler = 98;
constexpr int kLineHandlerCaught = 106;

std::atomic<XResourceEmergencyHandlerInstance*> g_instance{nullptr};

}  // namespace

XResourceEmergencyHandlerInstance& XResourceEmergencyHandlerInstance::Instance()
{
    return cominc::PublishedInstance(g_instance, [] { return new XResourceEmergencyHandlerInstance; },
                                     [](XResourceEmergencyHandlerInstance* lost) { delete lost; });
}

void XResourceEmergencyHandlerInstance::RegisterHandler(const CComPtr<IQNOPXServerEmergencyHandler>& handler)
{
    m_handlers.GetWriteProxy()->push_back({handler});
}

void XResourceEmergencyHandlerInstance::SetRevokeCallback(RevokeCallback callback) { m_revokeCallback.Set(callback); }

XResourceEmergencyHandlerInstance::RevokeCallback XResourceEmergencyHandlerInstance::GetRevokeCallback() const
{
    return *m_revokeCallback.GetConstReadProxy();
}

bool XResourceEmergencyHandlerInstance::RaiseServerEmergencyState(LONG code)
{
    static const XQNComBSTR function(u"XResourceEmergencyHandlerInstance::RaiseServerEmergencyState");
    const QNErrorLocation caught = XQNResourceAgentModule::Location(kFile, kLineHandlerCaught, function);
    bool handled = false;
    auto handlers = m_handlers.GetWriteProxy();
    for (auto it = handlers->begin(); it != handlers->end();) {
        if (it->handler == nullptr) {
            it = handlers->erase(it);
            continue;
        }
        try {
            const HRESULT result = it->handler->HandleServerEmergency(code);
            if (FAILED(result))
                XQNError::DoThrowExcepAtError(QNExceptionType_Application, XQNResourceAgentModule::Location(kFile, kLineFailedHandler, function),
                                              result, XHRErrorcodeHandler::GetErrorSeverity(result), u"", u"");
            handled = handled || result == S_OK;
            ++it;
            continue;
        } catch (const _com_error& error) {
            XQNError::WriteErrorToLogBook(caught, error, u"");
        } catch (const XWrappedQNException& exception) {
            XQNError::WriteErrorToLogBook(caught, exception);
        } catch (const std::exception& exception) {
            XQNError::WriteErrorToLogBook(caught, exception, QNSeverity_ForeignException, u"");
        } catch (...) {
            XQNError::WriteUnknownErrorToLogBook(caught, u"");
        }
        it = handlers->erase(it);
    }
    return handled;
}

void XResourceEmergencyHandler::RegisterProcessEmergencyHandler(const CComPtr<IQNOPXServerEmergencyHandler>& handler)
{
    XResourceEmergencyHandlerInstance::Instance().RegisterHandler(handler);
}
