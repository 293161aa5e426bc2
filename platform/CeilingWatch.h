// The watch on the kernel's ceilings between two samples of the load monitor: it looks at each
// ceiling as often as its headroom and the growth toward it require, so that a process cannot
// cross the emergency margin unseen at any rate it can reach, and rarely where the ceiling is far.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/Ceilings.h"
#include "platform/WinTypes.h"

namespace platform {

// The kinds of ceiling to look at; a kind whose emergency was raised needs no more looks.
struct CeilingKinds {
    bool memory = true;
    bool descriptors = true;
    bool threads = true;
};

// When to look at one ceiling next: after half the time that the faster of the growth last seen
// and `fastestGrowth` (units per second) needs to use up what is left, never sooner than a few
// milliseconds. Looking at half that time, a look always comes before the ceiling is reached.
class LookSchedule {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kSoonest{2};
    // An unknown ceiling may still appear (a new cgroup limit); looked for that often.
    static constexpr std::chrono::seconds kLatest{60};

    explicit constexpr LookSchedule(double fastestGrowth) : m_fastestGrowth(fastestGrowth) {}

    // Takes what a look or a sample found at `now`.
    void Saw(const Ceiling& ceiling, Clock::time_point now);
    Clock::time_point Due() const { return m_due; }
    // Units per second toward the ceiling over the last two looks; 0 when shrinking or unknown.
    double Growth() const { return m_growth; }

private:
    double m_fastestGrowth;
    double m_growth = 0;
    bool m_seen = false;
    std::uint64_t m_left = 0;
    Clock::time_point m_seenAt{};
    Clock::time_point m_due{};
};

// Reads the process's ceilings with the same reads as a sample, each kind when its schedule says.
// Allocates nothing once the first look has opened the files. Used by one thread.
class CeilingWatch {
public:
    using Clock = LookSchedule::Clock;

    // Memory bytes, descriptors and threads per second that a process can reach: touching fresh
    // memory on several cores, a storm of accepted connections, a pool starting threads.
    static constexpr double kFastestMemoryGrowth = 4.0 * (1ULL << 30);
    static constexpr double kFastestDescriptorGrowth = 20000;
    static constexpr double kFastestThreadGrowth = 5000;

    // The ceilings that a sample measured at `now`.
    void Saw(const ProcessCeilings& ceilings, Clock::time_point now);
    // Reads each of `kinds` that is due at `now` into `found`; the others stay unknown there.
    // False when a read failed (errno set); what was read is still in `found`.
    bool Look(CeilingKinds kinds, Clock::time_point now, ProcessCeilings& found);
    Clock::time_point NextLook(CeilingKinds kinds) const;

private:
    LookSchedule m_memory{kFastestMemoryGrowth};
    LookSchedule m_descriptors{kFastestDescriptorGrowth};
    LookSchedule m_threads{kFastestThreadGrowth};
};

// The milliseconds to hand the system's scaled clock so that it waits `physical`, at least 1: the
// growth a look keeps up with runs at the machine's speed whatever the time scale.
DWORD ClockMilliseconds(std::chrono::nanoseconds physical);

}  // namespace platform
