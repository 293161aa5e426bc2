#include "platform/transport/Runtime.h"

#include <absl/synchronization/mutex.h>

#include <mutex>

namespace transport {

void PrepareRuntime()
{
    static std::once_flag prepared;
    std::call_once(prepared, [] {
        // Debian's abseil is built with assertions, so every lock gRPC takes would also update a
        // lock-order graph: a tenth of an observer's time under load. Lock order is tested here
        // with ThreadSanitizer instead.
        absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore);
    });
}

}  // namespace transport
