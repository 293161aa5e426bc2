// The one clock of the system: every sleep and every finite wait is scaled by QN_TIME_SCALE, read
// once per process (default 1), so that tests run the real timing logic faster.
#pragma once

#include <chrono>

#include "platform/WinTypes.h"

namespace platform {

double TimeScale();

// A wait of `milliseconds` on the system's clock, after scaling.
std::chrono::nanoseconds ScaledDuration(DWORD milliseconds);

}  // namespace platform

// Sleeps for `milliseconds` scaled; INFINITE sleeps forever.
void Sleep(DWORD milliseconds);
