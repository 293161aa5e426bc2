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
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <thread>

#include "interfaces/QNError64.h"
#include "interfaces/QNResourceObserver.grpc.pb.h"
#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/transport/Activation.h"
#include "platform/LogThrottle.h"
#include "platform/transport/Runtime.h"
#include "platform/transport/Status.h"
#include "platform/transport/WireRecords.h"

namespace transport {

namespace {

constexpr mode_t kSocketMode = 0660;  // owner and group only
constexpr int kListenBacklog = 128;
constexpr size_t kPeerGroupsAtFirst = 64;
// Out of descriptors, the acceptor waits this long before it takes connections again.
constexpr DWORD kAcceptBackOffMs = 100;
// A connection without a call for this long is closed; its peer connects again when it calls.
// Agents and observers call every cycle, far more often.
constexpr DWORD kIdleConnectionMs = 120000;
constexpr DWORD kCertificateRefreshMs = 60000;

const XQNComBSTR& ComponentName()
{
    static const XQNComBSTR name(u"QNTransport");
    return name;
}

void LogTransport(int line, const OLECHAR* function, HRESULT result, const std::string& message)
{
    XQNError::WriteErrorToLogBook({"platform/transport/ComServer", line, ComponentName(), function}, result, QNSeverity_CallFailure,
                                  platform::ToUtf16(message));
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

std::array<std::atomic<unsigned long long>, kRefusalReasons> g_refusedCalls{};

// The peer process of each Unix socket connection, by the descriptor that gRPC names its peer
// after ("fd:N"); a descriptor taken again by a later connection overwrites its entry.
std::mutex g_peersMutex;
std::map<int, pid_t> g_peerProcesses;
thread_local std::optional<pid_t> t_callingProcess;

void NotePeerProcess(int connection)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return;
    std::lock_guard lock(g_peersMutex);
    g_peerProcesses[connection] = peer.pid;
}

std::optional<pid_t> PeerProcessOf(const std::string& peer)
{
    constexpr std::string_view kDescriptorPeer = "fd:";
    int fd = -1;
    if (!peer.starts_with(kDescriptorPeer) || std::from_chars(peer.data() + kDescriptorPeer.size(), peer.data() + peer.size(), fd).ec != std::errc())
        return std::nullopt;
    std::lock_guard lock(g_peersMutex);
    const auto found = g_peerProcesses.find(fd);
    return found == g_peerProcesses.end() ? std::nullopt : std::optional(found->second);
}
platform::LogThrottle g_refusalLog;

// Counts a refused call and logs it, once a minute for each peer and reason.
void Refuse(Refusal reason, const std::string& peer, HRESULT result, const std::string& why)
{
    ++g_refusedCalls[static_cast<std::size_t>(reason)];
    unsigned long long held = 0;
    if (!g_refusalLog.Admit(peer + " " + std::to_string(static_cast<int>(reason)), held))
        return;
    LogTransport(__LINE__, u"XComServer::Refuse", result, "refused a call from " + peer + ": " + why + platform::HeldBackNote(held));
}

// Who may call: everyone, no one (the server for refused Unix peers), or TLS peers with a
// certificate of the CA.
struct Gate {
    bool admitsNobody = false;
    bool requiresCertificate = false;

    bool Admits(grpc::ServerContextBase* context) const
    {
        if (admitsNobody)
            return false;
        return !requiresCertificate || context->auth_context()->IsPeerAuthenticated();
    }
};

// One call's answer from the bytes of its message. Calls arrive as bytes and are decoded here
// rather than by gRPC: a message that doesn't decode is answered E_INVALIDARG like any other
// refused one, not with a status of gRPC's that an agent would take for a failure of its link.
using Handler = std::function<grpc::Status(grpc::ServerContextBase*, const grpc::ByteBuffer&, qn::Result*)>;

// The handler that admits the call, decodes its message as `Wire` and passes it to `answer`.
template <typename Wire, typename Answer>
Handler Decoding(Gate gate, Answer answer)
{
    return [gate, answer](grpc::ServerContextBase* context, const grpc::ByteBuffer& bytes, qn::Result* reply) {
        if (!gate.Admits(context)) {
            Refuse(Refusal::NoCredentials, context->peer(), E_ACCESSDENIED, "no credentials");
            return grpc::Status(grpc::StatusCode::PERMISSION_DENIED, "access denied");
        }
        Wire wire;
        grpc::ByteBuffer consumed(bytes);
        if (!grpc::SerializationTraits<Wire>::Deserialize(&consumed, &wire).ok()) {
            Refuse(Refusal::Malformed, context->peer(), E_INVALIDARG, "the message is not a " + std::string(Wire::descriptor()->full_name()));
            reply->set_hresult(E_INVALIDARG);
            return grpc::Status::OK;
        }
        return answer(context, wire, reply);
    };
}

// The handler of a method of the object: the limits, the conversion, the call with the record
// (and the wire message, for what the record leaves out).
template <typename Record, typename Wire, typename Method>
Handler Calling(Gate gate, Method method)
{
    return Decoding<Wire>(gate, [method](grpc::ServerContextBase* context, const Wire& wire, qn::Result* reply) {
        if (const char* refusal = RefusalOf(wire)) {
            Refuse(Refusal::OverLimits, context->peer(), E_INVALIDARG, refusal);
            reply->set_hresult(E_INVALIDARG);
            return grpc::Status::OK;
        }
        Record record{};
        FromWire(wire, record);
        HRESULT result = RPC_E_SERVERFAULT;
        t_callingProcess = PeerProcessOf(context->peer());
        try {
            result = method(&record, wire);
        } catch (...) {
            // The object should turn its failures into results; nothing may escape into gRPC.
        }
        t_callingProcess.reset();
        FreeStrings(record);
        reply->set_hresult(result);
        return grpc::Status::OK;
    });
}

grpc::Status Encode(grpc::Status status, const qn::Result& reply, grpc::ByteBuffer* bytes)
{
    bool ownBuffer = false;
    return status.ok() ? grpc::SerializationTraits<qn::Result>::Serialize(reply, bytes, &ownBuffer) : status;
}

// The methods of one service of the schema, each answered by a handler.
class RawService final : public grpc::Service {
public:
    explicit RawService(const char* serviceName) : m_serviceName(serviceName) {}

    // Samples, which the observers only store, and interface queries are answered on the thread
    // of gRPC that read them: a pool thread would cost more than the call's own work.
    void AddInline(const char* method, Handler handler)
    {
        AddMethod(new grpc::internal::RpcServiceMethod(Name(method), grpc::internal::RpcMethod::NORMAL_RPC, nullptr));
        MarkMethodRawCallback(static_cast<int>(m_names.size() - 1),
                              new grpc::internal::CallbackUnaryHandler<grpc::ByteBuffer, grpc::ByteBuffer>(
                                  [handler](grpc::CallbackServerContext* context, const grpc::ByteBuffer* request, grpc::ByteBuffer* response) {
                                      qn::Result reply;
                                      grpc::ServerUnaryReactor* reactor = context->DefaultReactor();
                                      reactor->Finish(Encode(handler(context, *request, &reply), reply, response));
                                      return reactor;
                                  }));
    }

    // Events go to the server's pool of threads: they call host handlers and pass themselves on
    // to the system observer, which may block.
    void AddPooled(const char* method, Handler handler)
    {
        AddMethod(new grpc::internal::RpcServiceMethod(
            Name(method), grpc::internal::RpcMethod::NORMAL_RPC,
            new grpc::internal::RpcMethodHandler<RawService, grpc::ByteBuffer, grpc::ByteBuffer>(
                [handler](RawService*, grpc::ServerContext* context, const grpc::ByteBuffer* request, grpc::ByteBuffer* response) {
                    qn::Result reply;
                    return Encode(handler(context, *request, &reply), reply, response);
                },
                this)));
    }

private:
    // gRPC keeps the name's pointer.
    const char* Name(const char* method) { return m_names.emplace_back("/" + m_serviceName + "/" + method).c_str(); }

    std::string m_serviceName;
    std::deque<std::string> m_names;
};

template <typename Interface>
CComPtr<Interface> Query(IUnknown* object)
{
    CComPtr<Interface> result;
    if (object != nullptr)
        object->QueryInterface(Interface::kIid, reinterpret_cast<void**>(&result));
    return result;
}

// What the object answers for a query of one of the schema's interfaces.
HRESULT FindInterface(const std::string& clsid, IUnknown* object, const qn::InterfaceQuery& query)
{
    if (query.clsid() != clsid)
        return REGDB_E_CLASSNOTREG;
    HRESULT result = E_NOINTERFACE;
    for (const IID* iid : {&IQNResourceObserver::kIid, &IQNResourceObserver2::kIid, &IQNEmergencyObserver::kIid, &IQNSystemResourceObserver::kIid,
                           &IQNSystemResourceObserver2::kIid, &IQNSystemResourceObserver3::kIid, &IQNSystemEmergencyObserver::kIid}) {
        if (GuidToString(*iid) == query.iid()) {
            void* found = nullptr;
            result = object->QueryInterface(*iid, &found);
            if (found != nullptr)
                static_cast<IUnknown*>(found)->Release();
        }
    }
    return result;
}

// The services of one class behind one gate, and the gRPC server that runs them.
struct ServedClass {
    std::vector<std::unique_ptr<RawService>> services;
    std::unique_ptr<grpc::Server> server;

    ServedClass(const CLSID& clsid, IUnknown* object, Gate gate)
    {
        Add(qn::QNObject::service_full_name())
            .AddInline("QueryInterface", Decoding<qn::InterfaceQuery>(gate, [clsid = GuidToString(clsid), object = CComPtr<IUnknown>(object)](
                                                                                  grpc::ServerContextBase*, const qn::InterfaceQuery& query, qn::Result* reply) {
                reply->set_hresult(FindInterface(clsid, object, query));
                return grpc::Status::OK;
            }));
        if (clsid == CLSID_QNSystemResourceObserver)
            AddSystemObserver(gate, Query<IQNSystemResourceObserver>(object), Query<IQNSystemResourceObserver2>(object),
                              Query<IQNSystemEmergencyObserver>(object));
        else
            AddResourceObserver(gate, Query<IQNResourceObserver>(object), Query<IQNResourceObserver2>(object), Query<IQNEmergencyObserver>(object));
    }

    RawService& Add(const char* serviceName) { return *services.emplace_back(std::make_unique<RawService>(serviceName)); }

    void AddResourceObserver(Gate gate, CComPtr<IQNResourceObserver> observer, CComPtr<IQNResourceObserver2> withCeilings,
                             CComPtr<IQNEmergencyObserver> emergency)
    {
        RawService& service = Add(qn::IQNResourceObserver::service_full_name());
        service.AddInline("SetProcessResourceInfo", Calling<tagQNResourceInformation, qn::ResourceInformation>(
                                                        gate, [observer, withCeilings](auto* record, const qn::ResourceInformation& wire) {
                                                            if (!wire.has_ceilings() || withCeilings == nullptr)
                                                                return observer->SetProcessResourceInfo(record);
                                                            tagQNProcessCeilings ceilings{};
                                                            FromWire(wire.ceilings(), ceilings);
                                                            return withCeilings->SetProcessResourceInfo2(record, &ceilings);
                                                        }));
        service.AddPooled("RaiseProcessResourceEmergencyEvent", Calling<tagQNProcessResourceEmergencyEvent, qn::ProcessEvent>(
                                                                    gate, [observer](auto* record, const auto&) { return observer->RaiseProcessResourceEmergencyEvent(record); }));
        service.AddPooled("NotifyProcessResourceAlert", Calling<tagQNProcessResourceAlert, qn::ProcessEvent>(
                                                            gate, [observer](auto* record, const auto&) { return observer->NotifyProcessResourceAlert(record); }));
        Add(qn::IQNEmergencyObserver::service_full_name())
            .AddPooled("RaiseGlobalEmergencyEvent", Calling<tagQNProcessServerEmergencyEvent, qn::ProcessEvent>(
                                                        gate, [emergency](auto* record, const auto&) { return emergency->RaiseGlobalEmergencyEvent(record); }));
    }

    void AddSystemObserver(Gate gate, CComPtr<IQNSystemResourceObserver> observer, CComPtr<IQNSystemResourceObserver2> withPressure,
                           CComPtr<IQNSystemEmergencyObserver> emergency)
    {
        RawService& service = Add(qn::IQNSystemResourceObserver::service_full_name());
        service.AddInline("SetSystemResourceData", Calling<tagQNSystemResourceInformation, qn::SystemResourceInformation>(
                                                       gate, [observer, withPressure, withOomKills = Query<IQNSystemResourceObserver3>(observer)](
                                                                 auto* record, const qn::SystemResourceInformation& wire) {
                                                           if (!wire.has_pressure() || withPressure == nullptr)
                                                               return observer->SetSystemResourceData(record);
                                                           tagQNMachinePressure pressure{};
                                                           FromWire(wire.pressure(), pressure);
                                                           if (!wire.has_oom_kills() || withOomKills == nullptr)
                                                               return withPressure->SetSystemResourceData2(record, &pressure);
                                                           tagQNMachineOomKills oomKills{};
                                                           FromWire(wire.oom_kills(), oomKills);
                                                           const HRESULT result = withOomKills->SetSystemResourceData3(record, &pressure, &oomKills);
                                                           FreeStrings(oomKills);
                                                           return result;
                                                       }));
        service.AddPooled("RaiseSystemResourceEmergencyEvent", Calling<tagQNSystemResourceEmergencyEvent, qn::SystemEvent>(
                                                                   gate, [observer](auto* record, const auto&) { return observer->RaiseSystemResourceEmergencyEvent(record); }));
        service.AddPooled("NotifySystemResourceAlert", Calling<tagQNSystemResourceAlert, qn::SystemEvent>(
                                                           gate, [observer](auto* record, const auto&) { return observer->NotifySystemResourceAlert(record); }));
        Add(qn::IQNSystemEmergencyObserver::service_full_name())
            .AddPooled("RaiseGlobalEmergencyEvent", Calling<tagQNSystemServerEmergencyEvent, qn::SystemEvent>(
                                                        gate, [emergency](auto* record, const auto&) { return emergency->RaiseGlobalEmergencyEvent(record); }));
    }

    void Configure(grpc::ServerBuilder& builder)
    {
        // Larger than what the handlers accept, so that an oversized message gets E_INVALIDARG there.
        builder.SetMaxReceiveMessageSize(static_cast<int>(4 * kMaxMessageBytes));
        builder.AddChannelArgument(GRPC_ARG_ENABLE_CHANNELZ, 0);
        // A peer that doesn't finish its handshake, or that connects and never calls, is let go.
        builder.AddChannelArgument(GRPC_ARG_SERVER_HANDSHAKE_TIMEOUT_MS, static_cast<int>(std::chrono::milliseconds(kHandshakeDeadline).count()));
        builder.AddChannelArgument(GRPC_ARG_MAX_CONNECTION_IDLE_MS, static_cast<int>(platform::ScaledDuration(kIdleConnectionMs) / std::chrono::milliseconds(1)));
        for (auto& service : services)
            builder.RegisterService(service.get());
    }

    void Start()
    {
        grpc::ServerBuilder builder;
        Configure(builder);
        server = builder.BuildAndStart();
    }
};

}  // namespace

struct XComServer::Impl {
    CLSID clsid;
    CComPtr<IUnknown> object;
    ServerSecurity security;
    std::string endpoint;
    int port = 0;
    std::unique_ptr<ServedClass> admitted;
    std::unique_ptr<ServedClass> refused;  // Unix socket: peers that fail the credential check
    int listener = -1;
    std::thread acceptor;
    std::optional<gid_t> admittedGroup;  // Unix socket: the ResourceObserverGroup
    // TCP: gRPC's handshakes (TLS among them) on the connections the acceptor takes.
    std::unique_ptr<grpc::experimental::ExternalConnectionAcceptor> tcpConnections;

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
            auto provider = std::make_shared<grpc::experimental::FileWatcherCertificateProvider>(
                *platform::ReadKorvelValue("TLSPrivateKeyFile"), *platform::ReadKorvelValue("TLSCertificateFile"), *platform::ReadKorvelValue("TLSCAFile"),
                static_cast<unsigned>(std::max<std::chrono::seconds::rep>(refresh.count(), 1)));
            grpc::experimental::TlsServerCredentialsOptions options(provider);
            options.watch_root_certs();
            options.watch_identity_key_cert_pairs();
            options.set_cert_request_type(GRPC_SSL_REQUEST_CLIENT_CERTIFICATE_AND_VERIFY);
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
        acceptor = std::thread([this] { Accept(); });
        return S_OK;
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
        admitted->Start();
        refused->Start();
        acceptor = std::thread([this] { Accept(); });
        return S_OK;
    }

    // Takes every connection and hands it over. Out of descriptors or memory it waits and goes on,
    // logging once per episode: a flood of connections must not leave the daemon deaf. (gRPC's own
    // acceptor stops for good on EMFILE.)
    void Accept()
    {
        bool exhausted = false;
        for (;;) {
            const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (connection < 0) {
                const int failure = errno;
                if (failure == EINTR || failure == ECONNABORTED)
                    continue;
                if (failure != EMFILE && failure != ENFILE && failure != ENOBUFS && failure != ENOMEM)
                    return;  // the listener was shut down
                if (!exhausted)
                    LogTransport(__LINE__, u"XComServer::Accept", HRESULT_FROM_WIN32(static_cast<DWORD>(failure)),
                                 "can't accept connections on " + endpoint + ": " + std::strerror(failure) + " - accepting again as soon as it can");
                exhausted = true;
                Sleep(kAcceptBackOffMs);
                continue;
            }
            if (exhausted)
                LogTransport(__LINE__, u"XComServer::Accept", S_OK, "accepting connections on " + endpoint + " again");
            exhausted = false;
            HandOver(connection);
        }
    }

    // TCP connections go to gRPC's handshakes; Unix ones to the admitting or the refusing server
    // by the peer's credentials.
    void HandOver(int connection)
    {
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

void XComServer::Stop()
{
    Impl& impl = *m_impl;
    if (impl.listener >= 0) {
        ::shutdown(impl.listener, SHUT_RDWR);
        if (impl.acceptor.joinable())
            impl.acceptor.join();
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

std::optional<pid_t> CallingProcessId()
{
    return t_callingProcess;
}

unsigned long long RefusedCalls(Refusal reason)
{
    return g_refusedCalls[static_cast<std::size_t>(reason)].load();
}

}  // namespace transport
