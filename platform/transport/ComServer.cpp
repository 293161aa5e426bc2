#include "platform/transport/ComServer.h"

#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <grpcpp/security/server_credentials.h>
#include <grpcpp/security/tls_certificate_provider.h>
#include <grpcpp/security/tls_credentials_options.h>
#include <grpcpp/server_posix.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/Clock.h"
#include "platform/LogThrottle.h"
#include "platform/Registry.h"
#include "platform/transport/Acceptor.h"
#include "platform/transport/Activation.h"
#include "platform/transport/CallingProcess.h"
#include "platform/transport/HandshakeGate.h"
#include "platform/transport/PeerChainCheck.h"
#include "platform/transport/Runtime.h"
#include "platform/transport/ServedClass.h"
#include "platform/transport/ServerLog.h"
#include "platform/transport/Status.h"

namespace transport {

namespace {

constexpr mode_t kSocketMode = 0660;  // owner and group only
constexpr int kListenBacklog = 128;
constexpr size_t kPeerGroupsAtFirst = 64;
constexpr DWORD kCertificateRefreshMs = 60000;

constexpr DWORD kServerTooBusy = 1723;  // RPC_S_SERVER_TOO_BUSY

std::atomic<unsigned long long> g_refusedHandshakes{0};
platform::LogThrottle g_handshakeRefusalLog;

// Ends each admitted handshake at the gate, whatever the verdict on the peer's certificate chain.
class HandshakeEnd final : public grpc::experimental::ExternalCertificateVerifier {
public:
    HandshakeEnd(std::shared_ptr<HandshakeGate> gate, const std::string& caFile) : m_gate(std::move(gate)), m_chains(caFile) {}

    bool Verify(grpc::experimental::TlsCustomVerificationCheckRequest* request, std::function<void(grpc::Status)>, grpc::Status* status) override
    {
        m_gate->Finished();
        const auto text = [](grpc::string_ref pem) { return std::string_view(pem.data(), pem.size()); };
        const std::string refusal = m_chains.Refusal(text(request->peer_cert()), text(request->peer_cert_full_chain()));
        *status = refusal.empty() ? grpc::Status::OK : grpc::Status(grpc::StatusCode::UNAUTHENTICATED, "the peer's certificate: " + refusal);
        return true;
    }
    void Cancel(grpc::experimental::TlsCustomVerificationCheckRequest*) override {}

private:
    std::shared_ptr<HandshakeGate> m_gate;
    PeerChainCheck m_chains;
};

// A connection beyond the gate is closed before its peer says a word; counted, and logged once a
// minute.
void RefuseHandshake(int connection, const std::string& endpoint)
{
    ::close(connection);
    ++g_refusedHandshakes;
    unsigned long long held = 0;
    if (g_handshakeRefusalLog.Admit(endpoint, held))
        LogTransport(__LINE__, u"XComServer::HandOver", HRESULT_FROM_WIN32(kServerTooBusy),
                     "refused a connection on " + endpoint + ": " + std::to_string(kHandshakesInFlight) + " TLS handshakes in flight already" +
                         platform::HeldBackNote(held));
}

// The process serving on the Unix socket at `address` (-1 when its id can't be read), or 0 when
// nobody answers there (no file, or a stale file left by a process that ended without removing it).
pid_t LiveServerAt(const sockaddr_un& address)
{
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return 0;
    pid_t server = 0;
    if (::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        ucred peer{};
        socklen_t length = sizeof peer;
        server = ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.pid > 0 ? peer.pid : -1;
    }
    ::close(probe);
    return server;
}

// The id of the group named `name`.
std::optional<gid_t> GroupId(const std::string& name)
{
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    return found->gr_gid;
}

// A listening TCP socket on "address:port" ("[address]:port" for IPv6) and its port, or -1 with
// the reason in `error`. No port reuse: a second server on the port would take half of the
// connections.
int ListenTcp(const std::string& endpoint, int& port, std::string& error)
{
    const auto colon = endpoint.rfind(':');
    std::string host = endpoint.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (colon == std::string::npos || ::getaddrinfo(host.c_str(), endpoint.c_str() + colon + 1, &hints, &found) != 0) {
        error = "not a numeric address and port: " + endpoint;
        return -1;
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    // A restarted daemon takes its port again while connections of the last one linger.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // accepted connections inherit it
    const bool listening = fd >= 0 && ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, kListenBacklog) == 0;
    const int failure = errno;
    ::freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (!listening || ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        error = "can't listen on " + endpoint + (failure == EADDRINUSE ? std::string(" (in use by another process?)") : ": " + std::string(std::strerror(failure)));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    return fd;
}

}  // namespace

unsigned long long RefusedHandshakes() { return g_refusedHandshakes.load(); }

struct XComServer::Impl {
    CLSID clsid;
    CComPtr<IUnknown> object;
    ServerSecurity security;
    std::string endpoint;
    int port = 0;
    std::unique_ptr<ServedClass> admitted;
    std::unique_ptr<ServedClass> refused;  // Unix socket: peers that fail the credential check
    int listener = -1;
    platform::Heartbeat acceptorHeartbeat;
    std::unique_ptr<Acceptor> acceptor;
    std::optional<gid_t> admittedGroup;  // Unix socket: the ResourceObserverGroup
    // TCP: gRPC's handshakes (TLS among them) on the connections the acceptor takes.
    std::unique_ptr<grpc::experimental::ExternalConnectionAcceptor> tcpConnections;
    std::shared_ptr<HandshakeGate> handshakes;  // TCP with TLS

    bool ChecksIdentity() const
    {
        return security.authenticationLevel > RPC_C_AUTHN_LEVEL_NONE && security.authenticationService != RPC_C_AUTHN_NONE;
    }

    HRESULT StartTcp(std::string& error)
    {
        const bool tls = security.authenticationLevel > RPC_C_AUTHN_LEVEL_NONE;
        std::shared_ptr<grpc::ServerCredentials> credentials = grpc::InsecureServerCredentials();
        if (tls) {
            const auto ca = platform::ReadKorvelFile("TLSCAFile");
            const auto certificate = platform::ReadKorvelFile("TLSCertificateFile");
            const auto key = platform::ReadKorvelFile("TLSPrivateKeyFile");
            if (!ca || !certificate || !key) {
                error = "TLS needs the registry values TLSCAFile, TLSCertificateFile and TLSPrivateKeyFile naming readable files";
                return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
            }
            // The files are read again every minute: renewed certificates (or a new CA) serve new
            // connections without a restart.
            const auto refresh = std::chrono::duration_cast<std::chrono::seconds>(platform::ScaledDuration(kCertificateRefreshMs));
            const std::string caFile = *platform::ReadKorvelValue("TLSCAFile");
            auto provider = std::make_shared<grpc::experimental::FileWatcherCertificateProvider>(
                *platform::ReadKorvelValue("TLSPrivateKeyFile"), *platform::ReadKorvelValue("TLSCertificateFile"), caFile,
                static_cast<unsigned>(std::max<std::chrono::seconds::rep>(refresh.count(), 1)));
            grpc::experimental::TlsServerCredentialsOptions options(provider);
            options.watch_root_certs();
            options.watch_identity_key_cert_pairs();
            // The chain is checked by HandshakeEnd, which every handshake reaches.
            options.set_cert_request_type(GRPC_SSL_REQUEST_CLIENT_CERTIFICATE_BUT_DONT_VERIFY);
            handshakes = std::make_shared<HandshakeGate>(kHandshakesInFlight, kHandshakePlaceHeld);
            options.set_certificate_verifier(
                grpc::experimental::ExternalCertificateVerifier::Create<HandshakeEnd>(handshakes, caFile));
            credentials = grpc::experimental::TlsServerCredentials(options);
        }
        listener = ListenTcp(endpoint, port, error);
        if (listener < 0)
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        admitted = std::make_unique<ServedClass>(clsid, object, Gate{false, tls && ChecksIdentity()});
        grpc::ServerBuilder builder;
        admitted->Configure(builder);
        tcpConnections = builder.experimental().AddExternalConnectionAcceptor(
            grpc::ServerBuilder::experimental_type::ExternalConnectionType::FROM_FD, credentials);
        admitted->server = builder.BuildAndStart();
        return Serve(admitted->server != nullptr, error);
    }

    HRESULT StartUnix(std::string& error)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (endpoint.size() >= sizeof address.sun_path) {
            error = "socket path too long: " + endpoint;
            return E_INVALIDARG;
        }
        std::strcpy(address.sun_path, endpoint.c_str());
        if (const pid_t running = LiveServerAt(address); running != 0) {
            error = running > 0 ? "process " + std::to_string(running) + " serves on " + endpoint + " already" : "another process serves on " + endpoint + " already";
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        }
        listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::unlink(endpoint.c_str());  // stale: nobody answered on it
        const mode_t oldMask = ::umask(0777 & ~kSocketMode);
        const bool bound = listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::umask(oldMask);
        if (!bound || ::chmod(endpoint.c_str(), kSocketMode) != 0 || ::listen(listener, kListenBacklog) != 0) {
            error = "can't listen on " + endpoint + ": " + std::strerror(errno);
            return HRESULT_FROM_WIN32(static_cast<DWORD>(errno));
        }
        if (const auto group = platform::ReadKorvelValue("ResourceObserverGroup"); group && !group->empty()) {
            const std::optional<gid_t> id = GroupId(*group);
            if (!id || ::chown(endpoint.c_str(), static_cast<uid_t>(-1), *id) != 0) {
                error = "can't give " + endpoint + " to the group " + *group + " of ResourceObserverGroup: " +
                        (id ? std::strerror(errno) : "no such group");
                return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
            }
            admittedGroup = *id;
        }
        admitted = std::make_unique<ServedClass>(clsid, object, Gate{});
        refused = std::make_unique<ServedClass>(clsid, object, Gate{true, false});
        const bool started = admitted->Start();
        return Serve(refused->Start() && started, error);
    }

    // Takes the listener's connections once gRPC's servers run (`started`).
    HRESULT Serve(bool started, std::string& error)
    {
        if (!started) {
            error = "gRPC can't start a server on " + endpoint + " (out of threads or memory?)";
            return E_OUTOFMEMORY;
        }
        acceptor = std::make_unique<Acceptor>(listener, endpoint, [this](int connection) { HandOver(connection); }, acceptorHeartbeat);
        return acceptor->Start(error) ? S_OK : E_OUTOFMEMORY;
    }

    // TCP connections go to gRPC's handshakes; Unix ones to the admitting or the refusing server
    // by the peer's credentials.
    void HandOver(int connection)
    {
        if (handshakes != nullptr && !handshakes->Admit()) {
            RefuseHandshake(connection, endpoint);
            return;
        }
        if (tcpConnections != nullptr) {
            grpc::experimental::ExternalConnectionAcceptor::NewConnectionParameters parameters;
            parameters.listener_fd = listener;
            parameters.fd = connection;
            tcpConnections->HandleNewConnection(&parameters);
            return;
        }
        NotePeerProcess(connection);
        const bool trusted = !ChecksIdentity() || Trusts(connection);
        grpc::AddInsecureChannelFromFd((trusted ? admitted : refused)->server.get(), connection);
    }

    // The daemon's own user, root, and members of the admitted group (primary or supplementary,
    // as the peer's credentials have them when it connected).
    bool Trusts(int connection) const
    {
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
            return false;
        if (peer.uid == ::geteuid() || peer.uid == 0)
            return true;
        if (!admittedGroup)
            return false;
        if (peer.gid == *admittedGroup)
            return true;
        std::vector<gid_t> groups(kPeerGroupsAtFirst);
        socklen_t groupsLength = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        int read = ::getsockopt(connection, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &groupsLength);
        if (read != 0 && errno == ERANGE) {  // more groups than that: the length needed is set
            groups.resize(groupsLength / sizeof(gid_t));
            read = ::getsockopt(connection, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &groupsLength);
        }
        if (read != 0)
            return false;
        groups.resize(groupsLength / sizeof(gid_t));
        return std::find(groups.begin(), groups.end(), *admittedGroup) != groups.end();
    }
};

XComServer::XComServer(REFCLSID clsid, IUnknown* object, ServerSecurity security, std::string endpoint)
    : m_impl(std::make_unique<Impl>())
{
    m_impl->clsid = clsid;
    m_impl->object = object;
    m_impl->security = security;
    m_impl->endpoint = std::move(endpoint);
}

XComServer::~XComServer() { Stop(); }

HRESULT XComServer::Start(std::string& error)
{
    PrepareRuntime();
    return m_impl->clsid == CLSID_QNSystemResourceObserver ? m_impl->StartTcp(error) : m_impl->StartUnix(error);
}

int XComServer::Port() const { return m_impl->port; }

const platform::Heartbeat& XComServer::AcceptorHeartbeat() const { return m_impl->acceptorHeartbeat; }

void XComServer::Stop()
{
    Impl& impl = *m_impl;
    if (impl.listener >= 0) {
        if (impl.acceptor != nullptr)
            impl.acceptor->Stop();
        ::shutdown(impl.listener, SHUT_RDWR);
        ::close(impl.listener);
        impl.listener = -1;
        if (impl.tcpConnections == nullptr)
            ::unlink(impl.endpoint.c_str());
    }
    for (auto* served : {impl.admitted.get(), impl.refused.get()})
        if (served != nullptr && served->server != nullptr)
            served->server->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(2));
    impl.admitted.reset();
    impl.refused.reset();
}

}  // namespace transport
