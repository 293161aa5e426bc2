// A Heartbeat is the promise of a thread that works in turns to be back within a given time; a
// watchdog trusts the process only while no such promise is broken. Safe for concurrent use.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/Clock.h"

namespace platform {

class Heartbeat {
public:
    // The thread will beat again within `milliseconds` on the scaled clock.
    void ExpectWithin(DWORD milliseconds) { m_dueNs = Now() + platform::ScaledDuration(milliseconds).count(); }
    // The thread ended on purpose: nothing is expected of it until its next ExpectWithin.
    void Rest() { m_dueNs = kResting; }
    // True once a promised beat is late.
    bool IsOverdue() const { return Now() > m_dueNs.load(); }

private:
    static constexpr int64_t kResting = INT64_MAX;
    static int64_t Now() { return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

    std::atomic<int64_t> m_dueNs{kResting};
};

// What a thread's turn may take beyond its wait before it counts as stuck: a pass over many
// machines, or calls that run into their deadlines.
inline constexpr DWORD kTurnAllowanceMs = 30000;

}  // namespace platform
