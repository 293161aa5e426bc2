// The rule that tells an RPC failure, after which a caller reconnects and calls again, from any
// other failure.
#pragma once

#include "platform/WinTypes.h"

namespace agent {

// Negative, not E_INVALIDARG, and of FACILITY_RPC or (outside FACILITY_ITF) one of the RPC and
// connection error codes.
bool IsRpcFailure(HRESULT result) noexcept;

}  // namespace agent
