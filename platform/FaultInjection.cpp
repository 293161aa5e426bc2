#include "platform/FaultInjection.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>

namespace platform {

namespace {

constexpr std::size_t kCallCount = static_cast<std::size_t>(SystemCall::GetComputerName) + 1;
std::array<std::atomic<int>, kCallCount> g_injectedErrors{};

}  // namespace

void FailNextSystemCall(SystemCall call, int error) { g_injectedErrors[static_cast<std::size_t>(call)].store(error); }

bool ConsumeInjectedFault(SystemCall call)
{
    auto& slot = g_injectedErrors[static_cast<std::size_t>(call)];
    if (slot.load(std::memory_order_relaxed) == 0)
        return false;
    const int error = slot.exchange(0);
    if (error == 0)
        return false;
    errno = error;
    return true;
}

}  // namespace platform
