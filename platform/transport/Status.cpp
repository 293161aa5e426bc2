#include "platform/transport/Status.h"

namespace transport {

HRESULT HResultFromStatus(const grpc::Status& status)
{
    switch (status.error_code()) {
    case grpc::StatusCode::OK: return S_OK;
    case grpc::StatusCode::UNAVAILABLE: return kRpcServerUnavailable;
    case grpc::StatusCode::DEADLINE_EXCEEDED: return kRpcCallFailed;
    case grpc::StatusCode::CANCELLED: return kRpcCallCancelled;
    case grpc::StatusCode::UNAUTHENTICATED:
    case grpc::StatusCode::PERMISSION_DENIED: return E_ACCESSDENIED;
    case grpc::StatusCode::INVALID_ARGUMENT: return E_INVALIDARG;
    case grpc::StatusCode::UNIMPLEMENTED: return E_NOINTERFACE;
    case grpc::StatusCode::RESOURCE_EXHAUSTED: return E_OUTOFMEMORY;
    default: return RPC_E_SERVERFAULT;
    }
}

}  // namespace transport
