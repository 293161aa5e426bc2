// An Acceptor takes every connection of a listening socket on a thread of its own and hands each
// to its receiver. Running out of descriptors or memory, or any other failure, doesn't stop it: it
// waits a moment and goes on, and logs the episode (at most once a minute), so that a flood of
// connections can't leave a daemon deaf (gRPC's own acceptor stops for good on EMFILE). Nothing
// but Stop ends its thread, which beats its heartbeat at every turn, a connection or not.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "platform/Heartbeat.h"
#include "platform/LogThrottle.h"

namespace transport {

class Acceptor {
public:
    // `listener` stays the caller's; `receiver` takes each connection's descriptor; `heartbeat`
    // outlives the acceptor.
    Acceptor(int listener, std::string endpoint, std::function<void(int)> receiver, platform::Heartbeat& heartbeat);
    ~Acceptor();  // stops
    Acceptor(const Acceptor&) = delete;
    Acceptor& operator=(const Acceptor&) = delete;

    // Starts accepting; false with the reason in `error` when no thread can be had.
    bool Start(std::string& error);
    // Shuts the listener down and waits for the thread.
    void Stop();

private:
    void Accept();
    // Waits for a connection at most one turn; false when none came.
    bool AwaitConnection();
    void Receive(int connection);

    int m_listener;
    std::string m_endpoint;
    std::function<void(int)> m_receiver;
    platform::Heartbeat& m_heartbeat;
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
    platform::LogThrottle m_failureLog;
};

}  // namespace transport
