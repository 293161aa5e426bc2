// Object creation on a named machine: CoCreateInstanceEx opens a gRPC channel to the class's
// endpoint, confirms within a deadline that the object answers and has the requested interface,
// and returns a proxy that implements the class's interfaces on that channel. QueryInterface for
// the class's second interface returns the same proxy.
//
// Endpoints: QNResourceObserver on the local machine is a Unix socket (registry value
// ResourceObserverSocket, default /run/korvel/QNResourceObserver.sock); QNSystemResourceObserver
// is TCP on the named machine (SystemResourceObserverPort, default 7541). On TCP an
// authentication level above 1 means mutual TLS with TLSCertificateFile, TLSPrivateKeyFile and
// TLSCAFile.
#pragma once

#include <memory>
#include <string>

#include "platform/Com.h"
#include "platform/Export.h"

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;

inline constexpr DWORD RPC_C_AUTHN_LEVEL_NONE = 1;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_CONNECT = 2;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_PKT_PRIVACY = 6;
inline constexpr DWORD RPC_C_AUTHN_NONE = 0;
inline constexpr DWORD RPC_C_AUTHN_WINNT = 10;
inline constexpr DWORD RPC_C_AUTHZ_NONE = 0;
inline constexpr DWORD RPC_C_IMP_LEVEL_IMPERSONATE = 3;
inline constexpr DWORD EOAC_NONE = 0;

struct COAUTHINFO {
    DWORD dwAuthnSvc;
    DWORD dwAuthzSvc;
    const char16_t* pwszServerPrincName;
    DWORD dwAuthnLevel;
    DWORD dwImpersonationLevel;
    void* pAuthIdentityData;
    DWORD dwCapabilities;
};

struct COSERVERINFO {
    DWORD dwReserved1;
    const char16_t* pwszName;
    COAUTHINFO* pAuthInfo;
    DWORD dwReserved2;
};

struct MULTI_QI {
    const IID* pIID;
    IUnknown* pItf;
    HRESULT hr;
};

// The name the agent uses for its own machine.
inline constexpr char16_t kLoopbackHostName[] = u"localhost";

// Creates the object of `clsid` on `server->pwszName` and asks it for `results[i].pIID`; each
// result gets an interface pointer (owned by the caller) or its failure. S_OK when all were
// obtained; the failure of creation otherwise (unknown class: REGDB_E_CLASSNOTREG; transport
// failures as RPC results).
HRESULT CoCreateInstanceEx(REFCLSID clsid, IUnknown* outer, DWORD context, COSERVERINFO* server, DWORD count, MULTI_QI* results);

inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);

namespace grpc {
class Channel;
class ChannelCredentials;
}
struct grpc_ssl_session_cache;

namespace transport {

// The TLS sessions of this process's links: a link made again to a system observer that it
// reached before resumes its session, which spares that observer a signature and the
// verification of a certificate.
grpc_ssl_session_cache* ProcessSessions();

// The credentials of a link to the endpoint of `clsid` at the authentication `level`, from the
// installation's TLS files as they are now; null when a file it needs can't be read.
std::shared_ptr<grpc::ChannelCredentials> ClientCredentials(REFCLSID clsid, DWORD level);

// The channel that CoCreateInstanceEx opens to the endpoint of `clsid` on `host` at the
// authentication `level`, on a connection of its own, resuming TLS sessions of `sessions` (none
// when null), with `credentials` (by default those of the files as they are now); null when TLS
// files it needs can't be read.
std::shared_ptr<grpc::Channel> OpenChannel(REFCLSID clsid, const std::string& host, DWORD level, grpc_ssl_session_cache* sessions = ProcessSessions(),
                                           std::shared_ptr<grpc::ChannelCredentials> credentials = nullptr);

// The Unix socket of the local resource observer and the TCP port of system observers.
QN_EXPORT std::string ResourceObserverSocketPath();
QN_EXPORT int SystemResourceObserverPort();

}  // namespace transport
