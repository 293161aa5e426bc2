// The watch between samples: a thread of its own in the server process beside the monitor loop,
// from Start to Stop. It looks at the kernel's ceilings as often as their headroom requires and
// checks the process at once when one comes near; while the loop misses its cycles (its observer
// away, connecting, or the loop waiting to start again) it also checks the configured limits once
// per interval, as a cycle would. The emergencies it raises call the
// handler at once and are kept for the loop, which sends them to the observer once it links.
// Nothing the loop does holds it: the two share only atomics.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>

#include "interfaces/QNResourceAgentRecords.h"
#include "platform/WinTypes.h"

namespace platform {
class CeilingWatch;
}

class XLoadMonitorWatch {
public:
    using Clock = std::chrono::steady_clock;
    // A look, a check, the logbook and the host's handler; the pages it never touches stay unused.
    static constexpr std::size_t kStackBytes = 512 * 1024;

    // `intervalMs` is the loop's interval; `wakeLoop` wakes the loop to send what was kept.
    XLoadMonitorWatch(const std::atomic<LONG>& intervalMs, std::function<void()> wakeLoop);
    ~XLoadMonitorWatch();
    XLoadMonitorWatch(const XLoadMonitorWatch&) = delete;
    XLoadMonitorWatch& operator=(const XLoadMonitorWatch&) = delete;

    // Starts the thread, which expects the loop's first cycle after `firstSleepMs`; logs and goes
    // without a watch when the thread can't be made.
    void Start(DWORD firstSleepMs);
    // Ends the thread and waits for it: promptly, whatever the loop does.
    void Stop();

    // The loop's side. A cycle measured and checked the process now.
    void Cycled();
    // A cycle's sample reached the observer.
    void Linked();
    // Emergencies raised and not sent yet, at most one of each kind: each latches once per life.
    void Keep(LONG state) { m_kept.fetch_or(state); }
    LONG TakeKept() { return m_kept.exchange(0); }

private:
    static void* Run(void* watch);
    void Watch();
    // Looks at the ceilings that are due; one that came near is checked at once.
    void Look(platform::CeilingWatch& ceilings, tagQNMachineResourceLoad& previous, Clock::time_point now);
    // Measures and checks the process as a cycle would, without sending the sample, and keeps
    // what it raised for the observer.
    void CheckNow(platform::CeilingWatch& ceilings, tagQNMachineResourceLoad& previous);
    // Tells the logbook once that the process is watched without its observer.
    void GoOnAlone();

    const std::atomic<LONG>& m_intervalMs;
    std::function<void()> m_wakeLoop;
    std::atomic<Clock::rep> m_lastCycle{0};
    std::atomic<LONG> m_kept{0};
    std::atomic<bool> m_alone{false};
    HANDLE m_stopEvent = nullptr;
    pthread_t m_thread{};
    std::atomic<bool> m_running{false};
};
