#include "platform/CeilingWatch.h"

#include <algorithm>
#include <cmath>

#include "platform/Clock.h"
#include "platform/FigureReads.h"

namespace platform {

void LookSchedule::Saw(const Ceiling& ceiling, Clock::time_point now)
{
    if (!ceiling.IsKnown()) {
        m_seen = false;
        m_growth = 0;
        m_due = now + kLatest;
        return;
    }
    if (m_seen && now > m_seenAt) {
        const double seconds = std::chrono::duration<double>(now - m_seenAt).count();
        m_growth = m_left > ceiling.left ? static_cast<double>(m_left - ceiling.left) / seconds : 0;
    }
    m_seen = true;
    m_left = ceiling.left;
    m_seenAt = now;
    const double secondsToLimit = static_cast<double>(ceiling.left) / std::max(m_growth, m_fastestGrowth);
    // Clamped while still a double: a ceiling far away would overflow the clock's integer ticks.
    const std::chrono::duration<double> wait = std::clamp(std::chrono::duration<double>(secondsToLimit / 2), std::chrono::duration<double>(kSoonest),
                                                          std::chrono::duration<double>(kLatest));
    m_due = now + std::chrono::duration_cast<Clock::duration>(wait);
}

void CeilingWatch::Saw(const ProcessCeilings& ceilings, Clock::time_point now)
{
    m_memory.Saw(ceilings.memory, now);
    m_descriptors.Saw(ceilings.descriptors, now);
    m_threads.Saw(ceilings.threads, now);
}

bool CeilingWatch::Look(CeilingKinds kinds, Clock::time_point now, ProcessCeilings& found)
{
    found = {};
    bool read = true;
    if (kinds.memory && m_memory.Due() <= now) {
        MachineMemoryKB machine;
        std::uint64_t usedVirtual = 0;
        read = ReadMachineMemory(machine) && ReadMemoryCeiling(machine, Reading::Look, found.memory, usedVirtual);
        m_memory.Saw(found.memory, now);
    }
    if (kinds.descriptors && m_descriptors.Due() <= now) {
        std::uint64_t descriptors = 0;
        read = ReadDescriptorCeiling(descriptors, found.descriptors) && read;
        m_descriptors.Saw(found.descriptors, now);
    }
    if (kinds.threads && m_threads.Due() <= now) {
        std::uint64_t threads = 0, machineThreads = 0;
        if (ReadThreadCount(threads) && ReadMachineThreads(machineThreads))
            found.threads = ThreadCeiling(threads, machineThreads);
        else
            read = false;
        m_threads.Saw(found.threads, now);
    }
    return read;
}

CeilingWatch::Clock::time_point CeilingWatch::NextLook(CeilingKinds kinds) const
{
    auto next = Clock::time_point::max();
    for (const auto& [watched, schedule] : {std::pair{kinds.memory, &m_memory}, {kinds.descriptors, &m_descriptors}, {kinds.threads, &m_threads}})
        if (watched)
            next = std::min(next, schedule->Due());
    return next;
}

DWORD ClockMilliseconds(std::chrono::nanoseconds physical)
{
    const double milliseconds = std::ceil(static_cast<double>(physical.count()) / 1e6 / TimeScale());
    return static_cast<DWORD>(std::clamp(milliseconds, 1.0, static_cast<double>(INFINITE - 1)));
}

}  // namespace platform
