#include "platform/RetryDelay.h"

#include <algorithm>

namespace platform {

namespace {

// Beyond this many doublings any ceiling in use is reached; it keeps the shift in range.
constexpr unsigned kMostDoublings = 20;

}  // namespace

RetryDelay::RetryDelay(std::chrono::milliseconds firstSpread, std::chrono::milliseconds ceiling)
    : m_firstSpread(std::min(firstSpread, ceiling)), m_ceiling(ceiling), m_random(std::random_device{}())
{
}

std::chrono::milliseconds RetryDelay::Next()
{
    const std::chrono::milliseconds limit = std::min<std::chrono::milliseconds>(m_ceiling, m_firstSpread * (1LL << std::min(m_failures, kMostDoublings)));
    ++m_failures;
    // Over the whole limit: a jitter of a few percent would leave a fleet together.
    std::uniform_int_distribution<long long> wait(0, std::max<long long>(limit.count() - 1, 0));
    return std::chrono::milliseconds(wait(m_random));
}

}  // namespace platform
