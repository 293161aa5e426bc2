#include "platform/transport/Activation.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

#include <grpc/grpc_security.h>

#include "interfaces/QNResourceObserver.grpc.pb.h"
#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/Registry.h"
#include "platform/transport/Runtime.h"
#include "platform/transport/Status.h"
#include "platform/transport/WireRecords.h"

namespace transport {

namespace {

constexpr const char* kDefaultSocket = "/run/korvel/QNResourceObserver.sock";
constexpr int kDefaultPort = 7541;
// TLS sessions kept for links made again: one a system observer, with room for a few.
constexpr size_t kSessionsKept = 16;

}  // namespace

std::shared_ptr<grpc::ChannelCredentials> ClientCredentials(REFCLSID clsid, DWORD level)
{
    if (clsid != CLSID_QNSystemResourceObserver || level <= RPC_C_AUTHN_LEVEL_NONE)
        return grpc::InsecureChannelCredentials();
    grpc::SslCredentialsOptions options;
    const auto roots = platform::ReadKorvelFile("TLSCAFile");
    if (!roots)
        return nullptr;
    options.pem_root_certs = *roots;
    // A client without a certificate of its own still connects; the server decides whether that
    // is enough.
    const auto certificate = platform::ReadKorvelValue("TLSCertificateFile");
    const auto key = platform::ReadKorvelValue("TLSPrivateKeyFile");
    if (certificate && key) {
        const auto chain = platform::ReadTextFile(*certificate);
        const auto privateKey = platform::ReadTextFile(*key);
        if (!chain || !privateKey)
            return nullptr;
        options.pem_cert_chain = *chain;
        options.pem_private_key = *privateKey;
    }
    return grpc::SslCredentials(options);
}

namespace {

template <typename Call>
HRESULT Invoke(Call call, std::chrono::seconds deadline = kCallDeadline)
{
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + deadline);
    qn::Result reply;
    const grpc::Status status = call(&context, &reply);
    return status.ok() ? reply.hresult() : HResultFromStatus(status);
}

template <typename Wire, typename Record, typename Call>
HRESULT Send(const Record* record, Call call, std::chrono::seconds deadline = kCallDeadline)
{
    if (record == nullptr)
        return E_POINTER;
    Wire wire;
    ToWire(*record, wire);
    return Invoke([&](grpc::ClientContext* context, qn::Result* reply) { return call(context, wire, reply); }, deadline);
}

// Reference counting shared by the proxies; the most derived class deletes itself.
template <typename Self>
class RefCounted {
public:
    ULONG AddRefImpl() { return ++m_references; }
    ULONG ReleaseImpl()
    {
        const ULONG left = --m_references;
        if (left == 0)
            delete static_cast<Self*>(this);
        return left;
    }

private:
    std::atomic<ULONG> m_references{1};
};

class ResourceObserverProxy final : public IQNResourceObserver2, public IQNEmergencyObserver, public RefCounted<ResourceObserverProxy> {
public:
    explicit ResourceObserverProxy(const std::shared_ptr<grpc::Channel>& channel)
        : m_resource(qn::IQNResourceObserver::NewStub(channel)), m_emergency(qn::IQNEmergencyObserver::NewStub(channel))
    {
    }

    HRESULT QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == IQNResourceObserver::kIid)
            *object = static_cast<IQNResourceObserver*>(this);
        else if (iid == IQNResourceObserver2::kIid)
            *object = static_cast<IQNResourceObserver2*>(this);
        else if (iid == IQNEmergencyObserver::kIid)
            *object = static_cast<IQNEmergencyObserver*>(this);
        else
            return *object = nullptr, E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT SetProcessResourceInfo(const tagQNResourceInformation* info) override
    {
        return Send<qn::ResourceInformation>(info, [this](auto* c, const auto& w, auto* r) { return m_resource->SetProcessResourceInfo(c, w, r); });
    }
    // The ceilings travel in the sample's own message, which an observer without them passes over.
    HRESULT SetProcessResourceInfo2(const tagQNResourceInformation* info, const tagQNProcessCeilings* ceilings) override
    {
        if (info == nullptr || ceilings == nullptr)
            return E_POINTER;
        qn::ResourceInformation wire;
        ToWire(*info, wire);
        ToWire(*ceilings, *wire.mutable_ceilings());
        return Invoke([&](grpc::ClientContext* context, qn::Result* reply) { return m_resource->SetProcessResourceInfo(context, wire, reply); });
    }
    HRESULT RaiseProcessResourceEmergencyEvent(const tagQNProcessResourceEmergencyEvent* event) override
    {
        return Send<qn::ProcessEvent>(event, [this](auto* c, const auto& w, auto* r) { return m_resource->RaiseProcessResourceEmergencyEvent(c, w, r); });
    }
    HRESULT NotifyProcessResourceAlert(const tagQNProcessResourceAlert* alert) override
    {
        return Send<qn::ProcessEvent>(alert, [this](auto* c, const auto& w, auto* r) { return m_resource->NotifyProcessResourceAlert(c, w, r); });
    }
    HRESULT RaiseGlobalEmergencyEvent(const tagQNProcessServerEmergencyEvent* event) override
    {
        return Send<qn::ProcessEvent>(event, [this](auto* c, const auto& w, auto* r) { return m_emergency->RaiseGlobalEmergencyEvent(c, w, r); });
    }

private:
    std::unique_ptr<qn::IQNResourceObserver::Stub> m_resource;
    std::unique_ptr<qn::IQNEmergencyObserver::Stub> m_emergency;
};

class SystemResourceObserverProxy final : public IQNSystemResourceObserver3,
                                          public IQNSystemEmergencyObserver,
                                          public RefCounted<SystemResourceObserverProxy> {
public:
    explicit SystemResourceObserverProxy(const std::shared_ptr<grpc::Channel>& channel)
        : m_resource(qn::IQNSystemResourceObserver::NewStub(channel)), m_emergency(qn::IQNSystemEmergencyObserver::NewStub(channel))
    {
    }

    HRESULT QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == IQNSystemResourceObserver::kIid)
            *object = static_cast<IQNSystemResourceObserver*>(this);
        else if (iid == IQNSystemResourceObserver2::kIid)
            *object = static_cast<IQNSystemResourceObserver2*>(this);
        else if (iid == IQNSystemResourceObserver3::kIid)
            *object = static_cast<IQNSystemResourceObserver3*>(this);
        else if (iid == IQNSystemEmergencyObserver::kIid)
            *object = static_cast<IQNSystemEmergencyObserver*>(this);
        else
            return *object = nullptr, E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT SetSystemResourceData(const tagQNSystemResourceInformation* info) override
    {
        return Send<qn::SystemResourceInformation>(info, [this](auto* c, const auto& w, auto* r) { return m_resource->SetSystemResourceData(c, w, r); },
                                     kOnwardCallDeadline);
    }
    // The pressure travels in the figures' own message, which an observer without it passes over.
    HRESULT SetSystemResourceData2(const tagQNSystemResourceInformation* info, const tagQNMachinePressure* pressure) override
    {
        if (info == nullptr || pressure == nullptr)
            return E_POINTER;
        qn::SystemResourceInformation wire;
        ToWire(*info, wire);
        ToWire(*pressure, *wire.mutable_pressure());
        return Invoke([&](grpc::ClientContext* context, qn::Result* reply) { return m_resource->SetSystemResourceData(context, wire, reply); },
                      kOnwardCallDeadline);
    }
    // The OOM kills travel the same way.
    HRESULT SetSystemResourceData3(const tagQNSystemResourceInformation* info, const tagQNMachinePressure* pressure,
                                   const tagQNMachineOomKills* oomKills) override
    {
        if (info == nullptr || pressure == nullptr || oomKills == nullptr)
            return E_POINTER;
        qn::SystemResourceInformation wire;
        ToWire(*info, wire);
        ToWire(*pressure, *wire.mutable_pressure());
        ToWire(*oomKills, *wire.mutable_oom_kills());
        return Invoke([&](grpc::ClientContext* context, qn::Result* reply) { return m_resource->SetSystemResourceData(context, wire, reply); },
                      kOnwardCallDeadline);
    }
    HRESULT RaiseSystemResourceEmergencyEvent(const tagQNSystemResourceEmergencyEvent* event) override
    {
        return Send<qn::SystemEvent>(event, [this](auto* c, const auto& w, auto* r) { return m_resource->RaiseSystemResourceEmergencyEvent(c, w, r); },
                                     kOnwardCallDeadline);
    }
    HRESULT NotifySystemResourceAlert(const tagQNSystemResourceAlert* alert) override
    {
        return Send<qn::SystemEvent>(alert, [this](auto* c, const auto& w, auto* r) { return m_resource->NotifySystemResourceAlert(c, w, r); },
                                     kOnwardCallDeadline);
    }
    HRESULT RaiseGlobalEmergencyEvent(const tagQNSystemServerEmergencyEvent* event) override
    {
        return Send<qn::SystemEvent>(event, [this](auto* c, const auto& w, auto* r) { return m_emergency->RaiseGlobalEmergencyEvent(c, w, r); },
                                     kOnwardCallDeadline);
    }

private:
    std::unique_ptr<qn::IQNSystemResourceObserver::Stub> m_resource;
    std::unique_ptr<qn::IQNSystemEmergencyObserver::Stub> m_emergency;
};

// Asks the served object whether it has `iid`; this is also the proof that it answers at all.
HRESULT RemoteQueryInterface(const std::shared_ptr<grpc::Channel>& channel, REFCLSID clsid, REFIID iid)
{
    auto stub = qn::QNObject::NewStub(channel);
    qn::InterfaceQuery query;
    query.set_clsid(GuidToString(clsid));
    query.set_iid(GuidToString(iid));
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + kActivationDeadline);
    qn::Result reply;
    const grpc::Status status = stub->QueryInterface(&context, query, &reply);
    return status.ok() ? reply.hresult() : HResultFromStatus(status);
}

}  // namespace

std::string ResourceObserverSocketPath() { return platform::ReadKorvelValue("ResourceObserverSocket").value_or(kDefaultSocket); }

int SystemResourceObserverPort()
{
    const auto text = platform::ReadKorvelValue("SystemResourceObserverPort");
    constexpr int kMaxPort = 65535;
    if (!text)
        return kDefaultPort;
    const int port = std::atoi(text->c_str());
    return port > 0 && port <= kMaxPort ? port : kDefaultPort;
}

grpc_ssl_session_cache* ProcessSessions()
{
    static grpc_ssl_session_cache* const sessions = grpc_ssl_session_cache_create_lru(kSessionsKept);
    return sessions;
}

std::shared_ptr<grpc::Channel> OpenChannel(REFCLSID clsid, const std::string& host, DWORD level, grpc_ssl_session_cache* sessions,
                                           std::shared_ptr<grpc::ChannelCredentials> credentials)
{
    PrepareRuntime();
    const bool tcp = clsid == CLSID_QNSystemResourceObserver;
    if (credentials == nullptr)
        credentials = ClientCredentials(clsid, level);
    if (credentials == nullptr)
        return nullptr;
    grpc::ChannelArguments arguments;
    arguments.SetMaxSendMessageSize(static_cast<int>(kMaxMessageBytes));
    // Nobody reads channelz here, and a failed call is answered by the caller's own reconnect.
    arguments.SetInt(GRPC_ARG_ENABLE_CHANNELZ, 0);
    arguments.SetInt(GRPC_ARG_ENABLE_RETRIES, 0);
    // Every object gets a connection of its own: gRPC would otherwise put all channels of a
    // process to one endpoint on one connection, and a re-created object on the connection that
    // just failed.
    arguments.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    if (tcp && level > RPC_C_AUTHN_LEVEL_NONE && sessions != nullptr) {
        const grpc_arg cache = grpc_ssl_session_cache_create_channel_arg(sessions);
        arguments.SetPointerWithVtable(cache.key, cache.value.pointer.p, cache.value.pointer.vtable);
    }
    const std::string target = tcp ? host + ":" + std::to_string(SystemResourceObserverPort()) : "unix:" + ResourceObserverSocketPath();
    return grpc::CreateCustomChannel(target, credentials, arguments);
}

}  // namespace transport

HRESULT CoCreateInstanceEx(REFCLSID clsid, IUnknown* outer, DWORD, COSERVERINFO* server, DWORD count, MULTI_QI* results)
{
    using namespace transport;
    if (outer != nullptr)
        return static_cast<HRESULT>(0x80040110);  // CLASS_E_NOAGGREGATION
    if (count == 0 || results == nullptr)
        return E_INVALIDARG;
    const bool tcp = clsid == CLSID_QNSystemResourceObserver;
    if (!tcp && clsid != CLSID_QNResourceObserver)
        return REGDB_E_CLASSNOTREG;
    const std::string host = server != nullptr && server->pwszName != nullptr ? platform::ToUtf8(server->pwszName) : "localhost";
    const DWORD level = server != nullptr && server->pAuthInfo != nullptr ? server->pAuthInfo->dwAuthnLevel : RPC_C_AUTHN_LEVEL_CONNECT;
    // A socket the caller may not write to (not its user's, not of its group) is a refusal, not
    // an observer away.
    if (!tcp && ::access(ResourceObserverSocketPath().c_str(), W_OK) != 0 && errno == EACCES)
        return E_ACCESSDENIED;

    const auto channel = OpenChannel(clsid, host, level);
    if (channel == nullptr)
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

    for (DWORD i = 0; i < count; ++i)
        results[i] = {results[i].pIID, nullptr, E_NOINTERFACE};
    const HRESULT answer = RemoteQueryInterface(channel, clsid, *results[0].pIID);
    if (answer != S_OK)
        return answer;

    IUnknown* proxy = tcp ? static_cast<IUnknown*>(static_cast<IQNSystemResourceObserver*>(new SystemResourceObserverProxy(channel)))
                          : static_cast<IUnknown*>(static_cast<IQNResourceObserver*>(new ResourceObserverProxy(channel)));
    HRESULT all = S_OK;
    for (DWORD i = 0; i < count; ++i) {
        void* object = nullptr;
        results[i].hr = proxy->QueryInterface(*results[i].pIID, &object);
        results[i].pItf = static_cast<IUnknown*>(object);
        if (FAILED(results[i].hr))
            all = results[i].hr;
    }
    proxy->Release();
    return all;
}
