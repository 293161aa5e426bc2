#include "platform/transport/HandshakeGate.h"

namespace transport {

HandshakeGate::HandshakeGate(std::size_t bound, std::chrono::steady_clock::duration held) : m_bound(bound), m_held(held) {}

bool HandshakeGate::Admit(std::chrono::steady_clock::time_point now)
{
    const std::lock_guard lock(m_mutex);
    // Handshakes held that long failed, were dropped at their deadline, or take their time
    // without holding the others back.
    while (!m_started.empty() && now - m_started.front() >= m_held)
        m_started.pop_front();
    if (m_started.size() >= m_bound)
        return false;
    m_started.push_back(now);
    return true;
}

// Which one ended doesn't matter, only how many are left: the oldest goes first.
void HandshakeGate::Finished()
{
    const std::lock_guard lock(m_mutex);
    if (!m_started.empty())
        m_started.pop_front();
}

}  // namespace transport
