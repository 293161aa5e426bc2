// The process-wide registry of the server's emergency handlers and its revoke callback. Created on
// first use and never destroyed. Safe for concurrent use.
#pragma once

#include <list>

#include "Cominc64/XBasicCritData.h"
#include "interfaces/QNResourceObserverInterfaces.h"

class XResourceEmergencyHandlerInstance {
public:
    struct XEmergencyCB {
        CComPtr<IQNOPXServerEmergencyHandler> handler;
    };
    using RevokeCallback = void (*)();

    static XResourceEmergencyHandlerInstance& Instance();

    void RegisterHandler(const CComPtr<IQNOPXServerEmergencyHandler>& handler);
    void SetRevokeCallback(RevokeCallback callback);
    RevokeCallback GetRevokeCallback() const;

    // Calls HandleServerEmergency(code) on every handler in registration order, under the list's
    // write reference. A handler that fails (or throws) is logged and dropped for good. True when at
    // least one handler returned S_OK.
    bool RaiseServerEmergencyState(LONG code);

    XResourceEmergencyHandlerInstance(const XResourceEmergencyHandlerInstance&) = delete;
    XResourceEmergencyHandlerInstance& operator=(const XResourceEmergencyHandlerInstance&) = delete;

private:
    XResourceEmergencyHandlerInstance() = default;

    XCritData<std::list<XEmergencyCB>> m_handlers;
    XCritData<RevokeCallback> m_revokeCallback{nullptr};
};
