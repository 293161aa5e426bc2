// The one clock of the system: every sleep and every finite wait is scaled by QN_TIME_SCALE, read
// once per process (default 1), so that tests run the real timing logic faster.
#pragma once

#include <chrono>

#include "platform/WinTypes.h"

namespace platform {

double TimeScale();

// How many times slower a sanitized build runs. What one process waits for from another (a peer's
// answer, a test's pace of growth) stretches with it, as gRPC's own tests stretch theirs, so that a
// slow build is not taken for a dead peer.
#if defined(__SANITIZE_THREAD__)
inline constexpr int kSanitizerSlowdown = 5;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr int kSanitizerSlowdown = 2;
#else
inline constexpr int kSanitizerSlowdown = 1;
#endif

// A wait of `milliseconds` on the system's clock, after scaling.
std::chrono::nanoseconds ScaledDuration(DWORD milliseconds);

}  // namespace platform

// Sleeps for `milliseconds` scaled; INFINITE sleeps forever.
void Sleep(DWORD milliseconds);
