// What the system observer's page draws beside each machine's figures: a short ring of samples per
// machine at cycle resolution (processor load, free physical memory, free commit and memory
// pressure, each as a share of 0.5 %), and the emergencies and alerts it sent recently. Kept by the
// host beside the store's four samples, never consulted by the store's rules. Safe for concurrent
// use.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "interfaces/QNResourceAgentRecords.h"
#include "interfaces/QNConvert64.h"
#include "platform/Bstr.h"

namespace hosts {

class MachineTrends {
public:
    // Samples of the last kCycles cycles are kept; samples within one cycle replace each other.
    static constexpr int kCycles = 120;
    // What a share is when the machine didn't send it (a processor load not measured yet, pressure
    // of a kernel without it).
    static constexpr std::uint8_t kNone = 0xFF;

    // `cycle`: the system observer's cycle, as the platform clock scales it; `limit`: machines
    // kept at most, as many as the store keeps.
    MachineTrends(std::chrono::steady_clock::duration cycle, size_t limit);

    // Each takes the machine name as sent; names match in any case.
    void SampleArrived(BSTR machine, const tagQNSystemResourceInformation& info, const tagQNMachinePressure* pressure);
    // An emergency or an alert, as its text.
    void EventArrived(BSTR machine, std::string text, bool emergency);

    struct Trend {
        std::vector<std::uint8_t> cyclesAgo;  // oldest first
        std::vector<std::uint8_t> cpu, freePhysical, freeCommit, memoryPressure;
    };
    struct Event {
        double ageSec;
        std::string text;
    };
    // The samples of the machine with store key `key` within the last kCycles cycles; none when it
    // sent none.
    Trend TrendOf(const XQNComBSTR& key) const;
    // Its emergencies and alerts of the same window, oldest first.
    std::vector<Event> EventsOf(const XQNComBSTR& key) const;
    // The store keys of the machines that raised an emergency within the window, in key order.
    std::vector<XQNComBSTR> RecentEmergencies() const;
    std::chrono::steady_clock::duration Cycle() const { return m_cycle; }
    std::chrono::steady_clock::duration Window() const { return m_cycle * kCycles; }

private:
    using Clock = std::chrono::steady_clock;
    // 6 bytes a sample: 720 a machine.
    struct Point {
        std::uint16_t cycle;  // the low bits of its cycle's number: a ring spans far fewer cycles
        std::uint8_t cpu, freePhysical, freeCommit, memoryPressure;
    };
    struct Ring {
        std::array<Point, kCycles> points;
        std::uint32_t newestCycle = 0;
        std::uint8_t next = 0;  // where the next point goes
        std::uint8_t count = 0;
    };
    struct Noted {
        Clock::time_point at;
        bool emergency;
        std::string text;
    };
    std::uint32_t CycleAt(Clock::time_point when) const;

    const Clock::time_point m_start = Clock::now();
    const Clock::duration m_cycle;
    const size_t m_limit;
    mutable std::mutex m_mutex;
    std::map<XQNComBSTR, Ring> m_rings;
    // Only machines that sent something have a list: most never do.
    std::map<XQNComBSTR, std::deque<Noted>> m_events;
};

}  // namespace hosts
