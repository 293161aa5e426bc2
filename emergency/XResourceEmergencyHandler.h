// XResourceEmergencyHandler: where the server program registers the emergency handlers that must
// hear of a server emergency the moment the agent detects one.
#pragma once

#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/Export.h"

class QN_EXPORT XResourceEmergencyHandler {
public:
    XResourceEmergencyHandler() = delete;

    // Appends a new reference to `handler`; no duplicate or null check. Waits while an emergency is
    // being raised. Safe to call from any thread.
    static void RegisterProcessEmergencyHandler(const CComPtr<IQNOPXServerEmergencyHandler>& handler);
};
