// What a daemon tells systemd through sd_notify: READY=1 once it serves, STOPPING=1 when it stops,
// and, while systemd keeps a watchdog on it (WATCHDOG_USEC), WATCHDOG=1 every half of its time as
// long as none of the watched heartbeats is late. A daemon whose worker or acceptor hangs stops
// feeding the watchdog and is restarted. Started without systemd (no NOTIFY_SOCKET), the daemon
// runs the same and its words go nowhere.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Heartbeat.h"

namespace hosts {

class ServiceManager {
public:
    // Each watched heartbeat with the name of its thread, for the status systemd shows; they
    // outlive this object.
    using Watched = std::vector<std::pair<std::string, const platform::Heartbeat*>>;
    explicit ServiceManager(Watched watched);
    ~ServiceManager();  // stops feeding
    ServiceManager(const ServiceManager&) = delete;
    ServiceManager& operator=(const ServiceManager&) = delete;

    // The daemon serves: READY=1, and the watchdog is fed from now on.
    void Ready();
    // The daemon stops: the watchdog is fed no more, and STOPPING=1.
    void Stopping();

private:
    void FeedWatchdog(DWORD periodMs);
    void StopFeeding();
    // The name of the first watched thread that is late; empty when none is.
    std::string LateThread() const;

    Watched m_watched;
    std::mutex m_mutex;
    std::condition_variable m_stopped;
    bool m_stop = false;
    std::thread m_feeder;
};

}  // namespace hosts
