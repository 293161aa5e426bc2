// HandshakeGate bounds the TLS handshakes that a server has in flight. A server under more
// handshakes than it can finish within their deadline would otherwise start them all, finish
// hardly any in time and see every peer come back into the same queue: its work wasted, its
// handshakes a second falling as the crowd grows. With the gate it finishes as many as it can and
// refuses the rest at once, before any cryptography, by closing their connections; their peers
// retry after a delay of their own.
//
// A handshake counts from its connection's acceptance until its peer's certificate is checked
// (Finished), whatever the verdict, or for a time that bounds what an end unseen costs: a peer that
// goes silent or away midway never reaches the check.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>

namespace transport {

class HandshakeGate {
public:
    // At most `bound` handshakes at once, each counted for at most `held`.
    HandshakeGate(std::size_t bound, std::chrono::steady_clock::duration held);

    // At a new connection: whether its handshake may start.
    bool Admit(std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
    // A handshake reached its end.
    void Finished();

private:
    std::size_t m_bound;
    std::chrono::steady_clock::duration m_held;
    std::mutex m_mutex;
    std::deque<std::chrono::steady_clock::time_point> m_started;  // oldest first
};

}  // namespace transport
