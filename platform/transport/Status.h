// How transport failures become HRESULTs, so that the callers' reconnect rule applies.
#pragma once

#include <grpcpp/grpcpp.h>

#include <chrono>

#include "platform/Clock.h"
#include "platform/WinTypes.h"

namespace transport {

// Transport time-outs are not waits of the system's own logic and are not scaled by the clock.
inline constexpr std::chrono::seconds kCallDeadline{10 * platform::kSanitizerSlowdown};
// Calls onward to the system observer: shorter, so that a hung one cannot stall the agents' calls.
inline constexpr std::chrono::seconds kOnwardCallDeadline{4 * platform::kSanitizerSlowdown};
inline constexpr std::chrono::seconds kActivationDeadline{5 * platform::kSanitizerSlowdown};
// A peer that hasn't finished its TLS handshake by then is dropped.
inline constexpr std::chrono::seconds kHandshakeDeadline{10 * platform::kSanitizerSlowdown};
// A handshake that doesn't reach the check of the peer's certificate holds its place among those in
// flight this long: a peer that goes silent or away midway, or fails TLS before the check, would
// otherwise hold it for the whole deadline. Several times what a handshake takes with every place
// taken on a busy server.
inline constexpr std::chrono::seconds kHandshakePlaceHeld{3 * platform::kSanitizerSlowdown};

inline constexpr HRESULT kRpcServerUnavailable = static_cast<HRESULT>(0x800706BA);
inline constexpr HRESULT kRpcCallFailed = static_cast<HRESULT>(0x800706BE);
inline constexpr HRESULT kRpcCallCancelled = static_cast<HRESULT>(0x8007071A);

HRESULT HResultFromStatus(const grpc::Status& status);

}  // namespace transport
