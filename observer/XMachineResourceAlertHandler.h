// XMachineResourceAlertHandler: the host's callback for changes of the machine alert state. The
// observer calls it on its worker thread while it holds its list of handlers: a handler must
// return quickly and must not register or deregister handlers. The host owns its handlers.
#pragma once

#include "platform/Export.h"
#include "platform/WinTypes.h"

class QN_EXPORT XMachineResourceAlertHandler {
public:
    XMachineResourceAlertHandler() = default;
    XMachineResourceAlertHandler(const XMachineResourceAlertHandler&) = default;
    XMachineResourceAlertHandler& operator=(const XMachineResourceAlertHandler&) = default;

    // `alertState`: every alert bit now standing, after a change.
    virtual void OnMachineResourceAlert(LONG alertState) = 0;

protected:
    // Never deleted through this class: the observer owns no handler.
    ~XMachineResourceAlertHandler() = default;
};
