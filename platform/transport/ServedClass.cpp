#include "platform/transport/ServedClass.h"

#include <grpcpp/security/server_credentials.h>

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <string>

#include "interfaces/QNError64.h"
#include "interfaces/QNResourceObserver.grpc.pb.h"
#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/Clock.h"
#include "platform/LogThrottle.h"
#include "platform/transport/Activation.h"
#include "platform/transport/CallingProcess.h"
#include "platform/transport/ComServer.h"
#include "platform/transport/ServerLog.h"
#include "platform/transport/Status.h"
#include "platform/transport/WireRecords.h"

namespace transport {

namespace {

// A connection without a call for this long is closed; its peer connects again when it calls.
// Agents and observers call every cycle, far more often. It stretches with a sanitizer's slowdown
// too: a call that a slow peer sends just as the connection closes fails.
constexpr DWORD kIdleConnectionMs = 120000;
constexpr int kConnectionTableBytes = 1024;
constexpr int kConnectionReadBytes = 1024;
constexpr int kConnectionFrameBytes = 4096;

std::array<std::atomic<unsigned long long>, kRefusalReasons> g_refusedCalls{};
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
        try {
            const CallingProcessScope calling(context->peer());
            result = method(&record, wire);
        } catch (...) {
            // The object should turn its failures into results; nothing may escape into gRPC.
        }
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

}  // namespace

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

namespace {

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

}  // namespace

bool Gate::Admits(grpc::ServerContextBase* context) const
{
    if (admitsNobody)
        return false;
    return !requiresCertificate || context->auth_context()->IsPeerAuthenticated();
}

ServedClass::ServedClass(const CLSID& clsid, IUnknown* object, Gate gate)
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

ServedClass::~ServedClass() = default;

RawService& ServedClass::Add(const char* serviceName) { return *m_services.emplace_back(std::make_unique<RawService>(serviceName)); }

void ServedClass::AddResourceObserver(Gate gate, CComPtr<IQNResourceObserver> observer, CComPtr<IQNResourceObserver2> withCeilings,
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

void ServedClass::AddSystemObserver(Gate gate, CComPtr<IQNSystemResourceObserver> observer, CComPtr<IQNSystemResourceObserver2> withPressure,
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

void ServedClass::Configure(grpc::ServerBuilder& builder)
{
    // Larger than what the handlers accept, so that an oversized message gets E_INVALIDARG there.
    builder.SetMaxReceiveMessageSize(static_cast<int>(4 * kMaxMessageBytes));
    builder.AddChannelArgument(GRPC_ARG_ENABLE_CHANNELZ, 0);
    // A peer that doesn't finish its handshake, or that connects and never calls, is let go.
    builder.AddChannelArgument(GRPC_ARG_SERVER_HANDSHAKE_TIMEOUT_MS, static_cast<int>(std::chrono::milliseconds(kHandshakeDeadline).count()));
    builder.AddChannelArgument(GRPC_ARG_MAX_CONNECTION_IDLE_MS, static_cast<int>(platform::ScaledDuration(kIdleConnectionMs * platform::kSanitizerSlowdown) / std::chrono::milliseconds(1)));
    // A connection carries a small call a cycle: what it holds between calls is kept small, so
    // that thousands of them cost the order of the data they bring (bench/fleet measures it).
    // No window probing, small header tables, small first reads and TLS frames.
    builder.AddChannelArgument(GRPC_ARG_HTTP2_BDP_PROBE, 0);
    builder.AddChannelArgument(GRPC_ARG_HTTP2_HPACK_TABLE_SIZE_DECODER, kConnectionTableBytes);
    builder.AddChannelArgument(GRPC_ARG_HTTP2_HPACK_TABLE_SIZE_ENCODER, kConnectionTableBytes);
    builder.AddChannelArgument(GRPC_ARG_TCP_READ_CHUNK_SIZE, kConnectionReadBytes);
    builder.AddChannelArgument(GRPC_ARG_TCP_MIN_READ_CHUNK_SIZE, kConnectionReadBytes);
    builder.AddChannelArgument(GRPC_ARG_TSI_MAX_FRAME_SIZE, kConnectionFrameBytes);
    for (auto& service : m_services)
        builder.RegisterService(service.get());
}

bool ServedClass::Start()
{
    grpc::ServerBuilder builder;
    Configure(builder);
    server = builder.BuildAndStart();
    return server != nullptr;
}

unsigned long long RefusedCalls(Refusal reason)
{
    return g_refusedCalls[static_cast<std::size_t>(reason)].load();
}

}  // namespace transport
