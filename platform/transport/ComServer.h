// XComServer exposes one object of a class on the class's endpoint: QNResourceObserver on a Unix
// socket, QNSystemResourceObserver on TCP. Each call reaches the object's method and its HRESULT
// goes back in the reply; a thrown exception becomes RPC_E_SERVERFAULT.
//
// Security follows the DCOM settings the host passes: authentication level 1 serves everyone.
// Above it, on the Unix socket only peers of the server's own user, root and members of the group
// that the registry value ResourceObserverGroup names are served (SO_PEERCRED, SO_PEERGROUPS); the
// socket file has that group and is not world-writable; on TCP the server speaks TLS with the registry's
// certificate files and serves only clients whose certificate the CA signed. Authentication
// service 0 switches the identity check off. A refused peer gets E_ACCESSDENIED, a message above
// the size limit or with a string above the length limit E_INVALIDARG; both are logged and never
// reach the object. A message that does not decode is answered E_INVALIDARG too.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include <sys/types.h>
#include <string>

#include "platform/Com.h"
#include "platform/Export.h"

namespace platform {
class Heartbeat;
}

namespace transport {

struct ServerSecurity {
    DWORD authenticationLevel;
    DWORD authenticationService;
};

class QN_EXPORT XComServer {
public:
    // `object` must implement the class's two interfaces; the server holds a reference.
    // `endpoint` is the socket path (QNResourceObserver) or "address:port" (QNSystemResourceObserver;
    // port 0 picks a free one).
    XComServer(REFCLSID clsid, IUnknown* object, ServerSecurity security, std::string endpoint);
    ~XComServer();
    XComServer(const XComServer&) = delete;
    XComServer& operator=(const XComServer&) = delete;

    // Starts serving; a failure (endpoint taken, certificate files missing) is returned with the
    // reason in `error`.
    HRESULT Start(std::string& error);
    // The bound TCP port; 0 for a Unix socket.
    int Port() const;
    // Stops serving and waits for calls in progress; the socket file is removed.
    void Stop();
    // The acceptor's: it beats while connections can be taken.
    const platform::Heartbeat& AcceptorHeartbeat() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Why a server refused a call before the object saw it.
enum class Refusal { NoCredentials, OverLimits, Malformed };
inline constexpr std::size_t kRefusalReasons = 3;

// The process that made the call in progress on this thread, from the peer credentials of its
// Unix socket connection, in this process's pid namespace: 0 when it is in a namespace this
// process can't see; nullopt outside a call that came over a Unix socket.
QN_EXPORT std::optional<pid_t> CallingProcessId();

// Calls that the servers of this process refused for `reason`.
QN_EXPORT unsigned long long RefusedCalls(Refusal reason);

// TLS handshakes a server runs at once at most: enough to keep the cores busy while peers take
// their round trips, few enough that each finishes well within its deadline on a slow machine.
inline constexpr std::size_t kHandshakesInFlight = 256;
// Connections that the servers of this process closed unheard, with that many handshakes running.
QN_EXPORT unsigned long long RefusedHandshakes();

}  // namespace transport
