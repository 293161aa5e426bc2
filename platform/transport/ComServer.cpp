#include "platform/transport/ComServer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <grpcpp/security/server_credentials.h>
#include <grpcpp/server_posix.h>

#include <atomic>
#include <cerrno>
#include <vector>
#include <cstring>
#include <thread>

#include "interfaces/QNError64.h"
#include "interfaces/QNResourceObserver.grpc.pb.h"
#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/transport/Activation.h"
#include "platform/transport/Runtime.h"
#include "platform/transport/Status.h"
#include "platform/transport/WireRecords.h"

namespace transport {

namespace {

constexpr mode_t kSocketMode = 0660;  // owner and group only
constexpr int kListenBacklog = 128;
// Out of descriptors, the acceptor waits this long before it takes connections again.
constexpr DWORD kAcceptBackOffMs = 100;

const XQNComBSTR& ComponentName()
{
    static const XQNComBSTR name(u"QNTransport");
    return name;
}

std::atomic<unsigned long long> g_refusedCalls{0};

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

void LogRefusal(const char* peer, HRESULT result, const char* why)
{
    ++g_refusedCalls;
    LogTransport(__LINE__, u"XComServer::Dispatch", result, std::string("refused a call from ") + peer + ": " + why);
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

// One call: the gate, the limits, the conversion, the object's method.
template <typename Record, typename Wire, typename Method>
grpc::Status Dispatch(const Gate& gate, grpc::ServerContextBase* context, const Wire& wire, qn::Result* reply, Method method)
{
    if (!gate.Admits(context)) {
        LogRefusal(context->peer().c_str(), E_ACCESSDENIED, "no credentials");
        return {grpc::StatusCode::PERMISSION_DENIED, "access denied"};
    }
    if (const char* refusal = RefusalOf(wire)) {
        LogRefusal(context->peer().c_str(), E_INVALIDARG, refusal);
        reply->set_hresult(E_INVALIDARG);
        return grpc::Status::OK;
    }
    Record record{};
    FromWire(wire, record);
    HRESULT result = RPC_E_SERVERFAULT;
    try {
        result = method(&record);
    } catch (...) {
        // The object should turn its failures into results; nothing may escape into gRPC.
    }
    FreeStrings(record);
    reply->set_hresult(result);
    return grpc::Status::OK;
}

// Samples, which the observers only store, and interface queries are answered on the thread of
// gRPC that read them (its callback API): a sync server would hand each call to a thread of its
// pool and back, which costs more than the call's own work. Events stay on the sync pool, as
// they call host handlers and pass themselves on to the system observer, which may block.
grpc::ServerUnaryReactor* Answer(grpc::CallbackServerContext* context, const grpc::Status& status)
{
    grpc::ServerUnaryReactor* reactor = context->DefaultReactor();
    reactor->Finish(status);
    return reactor;
}

template <typename Interface>
CComPtr<Interface> Query(IUnknown* object)
{
    CComPtr<Interface> result;
    if (object != nullptr)
        object->QueryInterface(Interface::kIid, reinterpret_cast<void**>(&result));
    return result;
}

class ObjectService final : public qn::QNObject::CallbackService {
public:
    ObjectService(Gate gate, const CLSID& clsid, IUnknown* object) : m_gate(gate), m_clsid(GuidToString(clsid)), m_object(object) {}

    grpc::ServerUnaryReactor* QueryInterface(grpc::CallbackServerContext* context, const qn::InterfaceQuery* query, qn::Result* reply) override
    {
        return Answer(context, Find(context, query, reply));
    }

private:
    grpc::Status Find(grpc::CallbackServerContext* context, const qn::InterfaceQuery* query, qn::Result* reply)
    {
        if (!m_gate.Admits(context)) {
            LogRefusal(context->peer().c_str(), E_ACCESSDENIED, "no credentials");
            return {grpc::StatusCode::PERMISSION_DENIED, "access denied"};
        }
        if (query->clsid() != m_clsid) {
            reply->set_hresult(REGDB_E_CLASSNOTREG);
            return grpc::Status::OK;
        }
        HRESULT result = E_NOINTERFACE;
        for (const IID* iid : {&IQNResourceObserver::kIid, &IQNResourceObserver2::kIid, &IQNEmergencyObserver::kIid, &IQNSystemResourceObserver::kIid,
                               &IQNSystemEmergencyObserver::kIid}) {
            if (GuidToString(*iid) == query->iid()) {
                void* found = nullptr;
                result = m_object->QueryInterface(*iid, &found);
                if (found != nullptr)
                    static_cast<IUnknown*>(found)->Release();
            }
        }
        reply->set_hresult(result);
        return grpc::Status::OK;
    }

    Gate m_gate;
    std::string m_clsid;
    CComPtr<IUnknown> m_object;
};

class ResourceObserverService final
    : public qn::IQNResourceObserver::WithCallbackMethod_SetProcessResourceInfo<qn::IQNResourceObserver::Service> {
public:
    ResourceObserverService(Gate gate, IUnknown* object)
        : m_gate(gate), m_object(Query<IQNResourceObserver>(object)), m_objectWithCeilings(Query<IQNResourceObserver2>(object))
    {
    }

    grpc::ServerUnaryReactor* SetProcessResourceInfo(grpc::CallbackServerContext* c, const qn::ResourceInformation* w, qn::Result* r) override
    {
        return Answer(c, Dispatch<tagQNResourceInformation>(m_gate, c, *w, r, [this, w](auto* record) {
                          if (!w->has_ceilings() || m_objectWithCeilings == nullptr)
                              return m_object->SetProcessResourceInfo(record);
                          tagQNProcessCeilings ceilings{};
                          FromWire(w->ceilings(), ceilings);
                          return m_objectWithCeilings->SetProcessResourceInfo2(record, &ceilings);
                      }));
    }
    grpc::Status RaiseProcessResourceEmergencyEvent(grpc::ServerContext* c, const qn::ProcessEvent* w, qn::Result* r) override
    {
        return Dispatch<tagQNProcessResourceEmergencyEvent>(m_gate, c, *w, r,
                                                            [this](auto* record) { return m_object->RaiseProcessResourceEmergencyEvent(record); });
    }
    grpc::Status NotifyProcessResourceAlert(grpc::ServerContext* c, const qn::ProcessEvent* w, qn::Result* r) override
    {
        return Dispatch<tagQNProcessResourceAlert>(m_gate, c, *w, r, [this](auto* record) { return m_object->NotifyProcessResourceAlert(record); });
    }

private:
    Gate m_gate;
    CComPtr<IQNResourceObserver> m_object;
    CComPtr<IQNResourceObserver2> m_objectWithCeilings;
};

class EmergencyObserverService final : public qn::IQNEmergencyObserver::Service {
public:
    EmergencyObserverService(Gate gate, IUnknown* object) : m_gate(gate), m_object(Query<IQNEmergencyObserver>(object)) {}

    grpc::Status RaiseGlobalEmergencyEvent(grpc::ServerContext* c, const qn::ProcessEvent* w, qn::Result* r) override
    {
        return Dispatch<tagQNProcessServerEmergencyEvent>(m_gate, c, *w, r, [this](auto* record) { return m_object->RaiseGlobalEmergencyEvent(record); });
    }

private:
    Gate m_gate;
    CComPtr<IQNEmergencyObserver> m_object;
};

class SystemResourceObserverService final
    : public qn::IQNSystemResourceObserver::WithCallbackMethod_SetSystemResourceData<qn::IQNSystemResourceObserver::Service> {
public:
    SystemResourceObserverService(Gate gate, IUnknown* object) : m_gate(gate), m_object(Query<IQNSystemResourceObserver>(object)) {}

    grpc::ServerUnaryReactor* SetSystemResourceData(grpc::CallbackServerContext* c, const qn::SystemResourceInformation* w, qn::Result* r) override
    {
        return Answer(c,
                      Dispatch<tagQNSystemResourceInformation>(m_gate, c, *w, r, [this](auto* record) { return m_object->SetSystemResourceData(record); }));
    }
    grpc::Status RaiseSystemResourceEmergencyEvent(grpc::ServerContext* c, const qn::SystemEvent* w, qn::Result* r) override
    {
        return Dispatch<tagQNSystemResourceEmergencyEvent>(m_gate, c, *w, r,
                                                           [this](auto* record) { return m_object->RaiseSystemResourceEmergencyEvent(record); });
    }
    grpc::Status NotifySystemResourceAlert(grpc::ServerContext* c, const qn::SystemEvent* w, qn::Result* r) override
    {
        return Dispatch<tagQNSystemResourceAlert>(m_gate, c, *w, r, [this](auto* record) { return m_object->NotifySystemResourceAlert(record); });
    }

private:
    Gate m_gate;
    CComPtr<IQNSystemResourceObserver> m_object;
};

class SystemEmergencyObserverService final : public qn::IQNSystemEmergencyObserver::Service {
public:
    SystemEmergencyObserverService(Gate gate, IUnknown* object) : m_gate(gate), m_object(Query<IQNSystemEmergencyObserver>(object)) {}

    grpc::Status RaiseGlobalEmergencyEvent(grpc::ServerContext* c, const qn::SystemEvent* w, qn::Result* r) override
    {
        return Dispatch<tagQNSystemServerEmergencyEvent>(m_gate, c, *w, r, [this](auto* record) { return m_object->RaiseGlobalEmergencyEvent(record); });
    }

private:
    Gate m_gate;
    CComPtr<IQNSystemEmergencyObserver> m_object;
};

// The services of one class behind one gate, and the gRPC server that runs them.
struct ServedClass {
    std::vector<std::unique_ptr<grpc::Service>> services;
    std::unique_ptr<grpc::Server> server;

    ServedClass(const CLSID& clsid, IUnknown* object, Gate gate)
    {
        services.push_back(std::make_unique<ObjectService>(gate, clsid, object));
        if (clsid == CLSID_QNSystemResourceObserver) {
            services.push_back(std::make_unique<SystemResourceObserverService>(gate, object));
            services.push_back(std::make_unique<SystemEmergencyObserverService>(gate, object));
        } else {
            services.push_back(std::make_unique<ResourceObserverService>(gate, object));
            services.push_back(std::make_unique<EmergencyObserverService>(gate, object));
        }
    }

    void Configure(grpc::ServerBuilder& builder)
    {
        // Larger than what Dispatch accepts, so that an oversized message gets E_INVALIDARG there.
        builder.SetMaxReceiveMessageSize(static_cast<int>(4 * kMaxMessageBytes));
        builder.AddChannelArgument(GRPC_ARG_ENABLE_CHANNELZ, 0);
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
            grpc::SslServerCredentialsOptions options(GRPC_SSL_REQUEST_CLIENT_CERTIFICATE_AND_VERIFY);
            options.pem_root_certs = *ca;
            options.pem_key_cert_pairs.push_back({*key, *certificate});
            credentials = grpc::SslServerCredentials(options);
        }
        admitted = std::make_unique<ServedClass>(clsid, object, Gate{false, tls && ChecksIdentity()});
        grpc::ServerBuilder builder;
        admitted->Configure(builder);
        // One server per port: with port reuse a second one would take half of the connections.
        builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
        builder.AddListeningPort(endpoint, credentials, &port);
        admitted->server = builder.BuildAndStart();
        if (admitted->server == nullptr || port == 0) {
            error = "can't listen on " + endpoint + " (in use by another process?)";
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        }
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
        admitted = std::make_unique<ServedClass>(clsid, object, Gate{});
        refused = std::make_unique<ServedClass>(clsid, object, Gate{true, false});
        admitted->Start();
        refused->Start();
        acceptor = std::thread([this] { Accept(); });
        return S_OK;
    }

    // Hands every connection to the admitting or the refusing server by the peer's credentials.
    // Out of descriptors or memory it waits and goes on, logging once per episode: a flood of
    // connections must not leave the daemon deaf.
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
            ucred peer{};
            socklen_t length = sizeof peer;
            const bool known = ::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
            const bool trusted = !ChecksIdentity() || (known && (peer.uid == ::geteuid() || peer.uid == 0));
            grpc::AddInsecureChannelFromFd((trusted ? admitted : refused)->server.get(), connection);
        }
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
        ::unlink(impl.endpoint.c_str());
    }
    for (auto* served : {impl.admitted.get(), impl.refused.get()})
        if (served != nullptr && served->server != nullptr)
            served->server->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(2));
    impl.admitted.reset();
    impl.refused.reset();
}

unsigned long long RefusedCalls()
{
    return g_refusedCalls.load();
}

}  // namespace transport
