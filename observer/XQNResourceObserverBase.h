// XQNResourceObserverBase: what the host's resource observer object derives from. Each operation
// hands its call to the observer singleton (creating it on first use) and lets every exception
// through to the object, which turns it into the call's HRESULT.
#pragma once

#include "interfaces/QNResourceAgentRecords.h"
#include "platform/Export.h"

class QN_EXPORT XQNResourceObserverBase {
public:
    XQNResourceObserverBase() = default;
    XQNResourceObserverBase& operator=(const XQNResourceObserverBase&) = default;

    // False when the store's bounds refuse the sample.
    bool SetResourceData(const tagQNResourceInformation& info);
    bool SetResourceData(const tagQNResourceInformation& info, const tagQNProcessCeilings& ceilings);
    void RaiseProcessResourceEmergencyEvent(const tagQNProcessResourceEmergencyEvent& event);
    void NotifyProcessResourceAlert(const tagQNProcessResourceAlert& alert);
    void RaiseGlobalEmergencyEvent(const tagQNProcessServerEmergencyEvent& event);
};
