#include "hosts/common/ServiceManager.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "platform/Clock.h"

namespace hosts {

ServiceManager::ServiceManager(Watched watched) : m_watched(std::move(watched)) {}

ServiceManager::~ServiceManager() { StopFeeding(); }

void ServiceManager::Ready()
{
    ::sd_notify(0, "READY=1\nSTATUS=serving");
    uint64_t watchdogUs = 0;
    if (::sd_watchdog_enabled(0, &watchdogUs) <= 0)
        return;
    // Half the watchdog's time, as systemd advises: one late feed does not cost the daemon.
    constexpr uint64_t kMicrosecondsPerHalfMillisecond = 2000;
    const auto periodMs = static_cast<DWORD>(std::max<uint64_t>(watchdogUs / kMicrosecondsPerHalfMillisecond, 1));
    try {
        m_feeder = std::thread([this, periodMs] { FeedWatchdog(periodMs); });
    } catch (const std::system_error& failure) {
        std::fprintf(stderr, "can't start the thread that feeds systemd's watchdog: %s\n", failure.what());
    }
}

void ServiceManager::Stopping()
{
    StopFeeding();
    ::sd_notify(0, "STOPPING=1\nSTATUS=stopping");
}

void ServiceManager::StopFeeding()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_stopped.notify_all();
    if (m_feeder.joinable())
        m_feeder.join();
}

void ServiceManager::FeedWatchdog(DWORD periodMs)
{
    // systemd's deadline is in real time: a time scale may make the feeds more frequent, never rarer.
    const auto period = std::min<std::chrono::nanoseconds>(platform::ScaledDuration(periodMs), std::chrono::milliseconds(periodMs));
    std::string wasLate;
    std::unique_lock lock(m_mutex);
    while (!m_stopped.wait_for(lock, period, [this] { return m_stop; })) {
        const std::string late = LateThread();
        // Told once per change, so that `systemctl status` says why the daemon will be restarted.
        if (late != wasLate)
            ::sd_notify(0, late.empty() ? "STATUS=serving" : ("STATUS=the " + late + " is late - the watchdog is fed no more").c_str());
        wasLate = late;
        if (late.empty())
            ::sd_notify(0, "WATCHDOG=1");
    }
}

std::string ServiceManager::LateThread() const
{
    for (const auto& [name, heartbeat] : m_watched)
        if (heartbeat->IsOverdue())
            return name;
    return {};
}

}  // namespace hosts
