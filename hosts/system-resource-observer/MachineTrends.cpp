#include "hosts/system-resource-observer/MachineTrends.h"

#include <algorithm>
#include <cmath>

#include "observer/XResourceAgentRecords.h"

namespace hosts {

namespace {

// A share of 0.5 %: a sparkline's height has fewer pixels.
constexpr double kStepsPerPercent = 2.0;
// Events kept a machine at most: a machine that sends many shows its newest.
constexpr size_t kEventsKept = 16;

std::uint8_t Share(double percent)
{
    return static_cast<std::uint8_t>(std::lround(std::clamp(percent, 0.0, 100.0) * kStepsPerPercent));
}

std::uint8_t FreeShare(std::int64_t availKB, std::int64_t usedKB)
{
    const double total = static_cast<double>(availKB) + static_cast<double>(usedKB);
    return total > 0 ? Share(100.0 * static_cast<double>(availKB) / total) : MachineTrends::kNone;
}

// The entry of `key`, made when the map has room for one more; null when it has none.
template <typename Map>
typename Map::mapped_type* EntryOf(Map& map, XQNComBSTR&& key, size_t limit)
{
    auto found = map.find(key);
    if (found == map.end()) {
        if (map.size() >= limit)
            return nullptr;
        found = map.try_emplace(std::move(key)).first;
    }
    return &found->second;
}

}  // namespace

MachineTrends::MachineTrends(Clock::duration cycle, size_t limit) : m_cycle(std::max(cycle, Clock::duration(1))), m_limit(limit) {}

std::uint32_t MachineTrends::CycleAt(Clock::time_point when) const
{
    return static_cast<std::uint32_t>((when - m_start) / m_cycle);
}

void MachineTrends::SampleArrived(BSTR machine, const tagQNSystemResourceInformation& info, const tagQNMachinePressure* pressure)
{
    const tagQNMachineResourceLoad& load = info.machineLoad;
    double cpuLoad = 0.0;
    Point point{0, XResourceAgent::GetCpuLoad(load.idleTime, load.kernelTime, load.userTime, cpuLoad) ? Share(cpuLoad * 100.0) : kNone,
                FreeShare(load.availPhysicalKB, load.usedPhysicalKB), FreeShare(load.availPageFileKB, load.usedPageFileKB),
                pressure != nullptr && pressure->memorySome.present != 0 ? Share(pressure->memorySome.avg10Percent) : kNone};
    XQNComBSTR key = XResourceAgent::HistoryKey(machine);
    const std::uint32_t cycle = CycleAt(Clock::now());
    point.cycle = static_cast<std::uint16_t>(cycle);
    std::lock_guard lock(m_mutex);
    Ring* ring = EntryOf(m_rings, std::move(key), m_limit);
    if (ring == nullptr)
        return;
    Ring& kept = *ring;
    // Points older than the window are never shown; dropping them keeps every point's cycle
    // within reach of its 16 bits.
    if (cycle - kept.newestCycle >= kCycles)
        kept.count = 0;
    if (kept.count > 0 && kept.newestCycle == cycle) {
        kept.points[(kept.next + kCycles - 1) % kCycles] = point;
        return;
    }
    kept.points[kept.next] = point;
    kept.next = static_cast<std::uint8_t>((kept.next + 1) % kCycles);
    kept.count = static_cast<std::uint8_t>(std::min<int>(kept.count + 1, kCycles));
    kept.newestCycle = cycle;
}

void MachineTrends::EventArrived(BSTR machine, std::string text, bool emergency)
{
    XQNComBSTR key = XResourceAgent::HistoryKey(machine);
    const auto now = Clock::now();
    std::lock_guard lock(m_mutex);
    std::deque<Noted>* events = EntryOf(m_events, std::move(key), m_limit);
    if (events == nullptr)
        return;
    std::deque<Noted>& noted = *events;
    while (!noted.empty() && (noted.size() >= kEventsKept || now - noted.front().at > Window()))
        noted.pop_front();
    noted.push_back({now, emergency, std::move(text)});
}

MachineTrends::Trend MachineTrends::TrendOf(const XQNComBSTR& key) const
{
    Trend trend;
    const std::uint32_t now = CycleAt(Clock::now());
    std::lock_guard lock(m_mutex);
    const auto ring = m_rings.find(key);
    if (ring == m_rings.end())
        return trend;
    const Ring& kept = ring->second;
    const std::uint32_t newestAge = now - kept.newestCycle;
    for (int i = kept.count; i > 0; --i) {
        const Point& point = kept.points[(kept.next + kCycles - i) % kCycles];
        const std::uint32_t age = newestAge + static_cast<std::uint16_t>(static_cast<std::uint16_t>(kept.newestCycle) - point.cycle);
        if (age >= kCycles)
            continue;
        trend.cyclesAgo.push_back(static_cast<std::uint8_t>(age));
        trend.cpu.push_back(point.cpu);
        trend.freePhysical.push_back(point.freePhysical);
        trend.freeCommit.push_back(point.freeCommit);
        trend.memoryPressure.push_back(point.memoryPressure);
    }
    return trend;
}

std::vector<MachineTrends::Event> MachineTrends::EventsOf(const XQNComBSTR& key) const
{
    std::vector<Event> recent;
    const auto now = Clock::now();
    std::lock_guard lock(m_mutex);
    if (const auto events = m_events.find(key); events != m_events.end())
        for (const Noted& noted : events->second)
            if (now - noted.at <= Window())
                recent.push_back({std::chrono::duration<double>(now - noted.at).count(), noted.text});
    return recent;
}

std::vector<XQNComBSTR> MachineTrends::RecentEmergencies() const
{
    std::vector<XQNComBSTR> keys;
    const auto now = Clock::now();
    std::lock_guard lock(m_mutex);
    for (const auto& [key, events] : m_events)
        if (std::ranges::any_of(events, [&](const Noted& noted) { return noted.emergency && now - noted.at <= Window(); }))
            keys.push_back(key);
    return keys;
}

}  // namespace hosts
