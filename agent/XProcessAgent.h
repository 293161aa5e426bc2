// XProcessAgent: the server process's end of the link to the resource observer of its machine. It
// connects on first use with the installation's DCOM security settings, hands out the two
// interface pointers of the observer object, reconnects on request, and spreads a server
// emergency to the whole installation. A process-wide singleton; safe for concurrent use. The
// calling thread needs no COM initialisation on Linux.
#pragma once

#include <memory>

#include "emergency/QNServerEmergency.h"
#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/Export.h"

class QN_EXPORT XProcessAgent {
public:
    // The singleton, created on first use; raises when the process or machine name is unknown.
    static XProcessAgent& Instance();
    // Deletes the singleton, releasing both pointers; nothing happens when there is none.
    static void Destroy();

    // A new reference to the observer; connects when there is none yet or `reconnect` is set.
    // Raises what the connection raises.
    CComPtr<IQNResourceObserver> GetResourceObserver(bool reconnect);
    CComPtr<IQNEmergencyObserver> GetEmergencyObserver(bool reconnect);

    // Sends `code` to the observer's emergency interface; after an RPC failure reconnects and calls
    // again, 3 calls at most, waiting 3000 ms before the 2nd and 3rd reconnect. Raises the last
    // failure.
    void RaiseGlobalEmergencyEvent(QNServerEmergency code);

    XProcessAgent(const XProcessAgent&) = delete;
    XProcessAgent& operator=(const XProcessAgent&) = delete;

private:
    XProcessAgent();
    ~XProcessAgent();
    void ConnectObserver();

    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
