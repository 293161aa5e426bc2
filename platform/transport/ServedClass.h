// The gRPC side of a server: the services of one class behind one gate, each call admitted,
// decoded, checked against the limits and passed to the object's method, whose HRESULT is the
// reply; and the gRPC server that runs them.
#pragma once

#include <grpcpp/grpcpp.h>

#include <memory>
#include <vector>

#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/Com.h"

namespace transport {

// Who may call: everyone, no one (the server for refused Unix peers), or TLS peers with a
// certificate of the CA.
struct Gate {
    bool admitsNobody = false;
    bool requiresCertificate = false;

    bool Admits(grpc::ServerContextBase* context) const;
};

class RawService;

class ServedClass {
public:
    // `object` must implement the class's interfaces; the services hold references.
    ServedClass(const CLSID& clsid, IUnknown* object, Gate gate);
    ~ServedClass();
    ServedClass(const ServedClass&) = delete;
    ServedClass& operator=(const ServedClass&) = delete;

    // The limits and time-outs of every connection, and the services.
    void Configure(grpc::ServerBuilder& builder);
    // Builds and starts a server of its own, which takes connections by descriptor; false when
    // gRPC can't (no threads, no memory).
    bool Start();
    // The running server, once Start or the caller's builder made it.
    std::unique_ptr<grpc::Server> server;

private:
    RawService& Add(const char* serviceName);
    void AddResourceObserver(Gate gate, CComPtr<IQNResourceObserver> observer, CComPtr<IQNResourceObserver2> withCeilings,
                             CComPtr<IQNEmergencyObserver> emergency);
    void AddSystemObserver(Gate gate, CComPtr<IQNSystemResourceObserver> observer, CComPtr<IQNSystemResourceObserver2> withPressure,
                           CComPtr<IQNSystemEmergencyObserver> emergency);

    std::vector<std::unique_ptr<RawService>> m_services;
};

}  // namespace transport
