#include "observer/XProcessEnds.h"

#include <algorithm>
#include <ctime>
#include <utility>

#include "platform/Pressure.h"
#include "platform/ProcessEnds.h"

namespace XResourceAgent {

namespace {

// Ends that come this close together (scaled) are seen as one: the processes of one OOM kill of a
// cgroup end one after the other, and a kill is counted before its victim's end is visible.
constexpr DWORD kSettleMs = 100;

template <typename Ended>
std::string Names(const Ended& ended)
{
    std::string names;
    for (const auto& [end, reporter] : ended)
        names += (names.empty() ? "'" : ", '") + end.processName.ToUtf8() + "' (pid " + std::to_string(end.pid) + ")";
    return names;
}

}  // namespace

XProcessEnds::XProcessEnds() : m_watch(std::make_unique<platform::ProcessEndWatch>()) {}

XProcessEnds::~XProcessEnds() = default;

std::optional<XThrottlingStart> XProcessEnds::NoteSample(pid_t pid, const tagQNResourceInformation& sample)
{
    if (pid <= 0)
        return std::nullopt;
    // The few small files of one reporter are read under the lock: samples of one process come
    // one at a time, those of others wait a few microseconds.
    auto book = m_book.GetWriteProxy();
    auto found = book->reporters.find(pid);
    if (found == book->reporters.end()) {
        if (!m_watch->Watch(pid))
            return std::nullopt;  // ended already, or no pidfds
        Reporter reporter;
        reporter.counter = std::make_shared<platform::OomKillCounter>(pid);
        found = book->reporters.emplace(pid, std::move(reporter)).first;
        // Every cause counted from 0 on, so that the first end of a name is an increase to Prometheus.
        for (const char* cause : {kOomKill, kOomKillAmong, kEnded})
            book->endCounts.try_emplace({platform::ToUtf8(platform::View(sample.processName)), cause}, 0);
    }
    Reporter& reporter = found->second;
    reporter.processName = XQNComBSTR(sample.processName, SysStringLen(sample.processName));
    reporter.processId = sample.processId;
    reporter.machineName = XQNComBSTR(sample.machineName, SysStringLen(sample.machineName));
    reporter.counter->Refresh();
    reporter.killsBefore = reporter.killsAtLastSample;
    reporter.killsAtLastSample = reporter.counter->Read();
    return ReadCgroupSignals(reporter);
}

std::optional<XThrottlingStart> XProcessEnds::ReadCgroupSignals(Reporter& reporter)
{
    const platform::OomKillCounter& counter = *reporter.counter;
    if (reporter.pressure == nullptr || reporter.pressure->Folder() != counter.Cgroup()) {
        reporter.pressure = std::make_shared<platform::CgroupPressure>(counter.Cgroup());
        reporter.signals.highEvents.reset();  // another cgroup's count is no rise
    }
    reporter.signals.pressure = reporter.pressure->Read();
    const std::optional<std::uint64_t> before = std::exchange(reporter.signals.highEvents, counter.HighEvents());
    const std::optional<std::uint64_t>& now = reporter.signals.highEvents;
    const bool throttled = before && now && *now > *before;
    if (!std::exchange(reporter.throttled, throttled) && throttled)
        return XThrottlingStart{counter.Cgroup(), *now - *before};
    return std::nullopt;
}

void XProcessEnds::Wake()
{
    m_watch->Wake();
}

std::vector<XProcessEnd> XProcessEnds::WaitForEnds(std::chrono::steady_clock::time_point deadline, bool& woken)
{
    const std::vector<pid_t> pids = m_watch->Wait(deadline, kSettleMs, woken);
    if (pids.empty())
        return {};
    // The reporters that ended, by the counter that may have counted their kill.
    std::map<std::string, std::vector<std::pair<XProcessEnd, Reporter>>> byCounter;
    auto book = m_book.GetWriteProxy();
    for (const pid_t pid : pids) {
        auto node = book->reporters.extract(pid);
        if (node.empty())
            continue;
        Reporter& reporter = node.mapped();
        XProcessEnd end{pid, reporter.processName, reporter.processId, reporter.machineName};
        byCounter[reporter.counter->Cgroup()].emplace_back(std::move(end), std::move(reporter));
    }
    std::vector<XProcessEnd> ends;
    for (auto& [cgroup, ended] : byCounter) {
        TellCauses(*book, ended);
        for (auto& [end, reporter] : ended)
            ends.push_back(std::move(end));
    }
    return ends;
}

void XProcessEnds::TellCauses(Book& book, std::vector<std::pair<XProcessEnd, Reporter>>& ended)
{
    const platform::OomKillCounter& counter = *ended.front().second.counter;
    const std::optional<std::uint64_t> now = counter.Read();
    // Kills counted before a process's last samples did not end it; kills that explained an
    // earlier end explain no other.
    std::optional<std::uint64_t> before;
    for (const auto& [end, reporter] : ended)
        if (const auto kills = reporter.killsBefore ? reporter.killsBefore : reporter.killsAtLastSample)
            before = std::min(before.value_or(*kills), *kills);
    std::uint64_t& explained = book.explainedKills[counter.Cgroup()];
    std::uint64_t kills = 0;
    if (now && before)
        kills = *now > std::max(*before, explained) ? *now - std::max(*before, explained) : 0;
    if (now)
        explained = std::max(explained, *now);
    const std::string where = counter.Cgroup().empty() ? "of the machine (/proc/vmstat)" : "of memory cgroup " + counter.Cgroup();
    const char* cause = kills == 0 ? kEnded : kills >= ended.size() ? kOomKill : kOomKillAmong;
    const std::string why = kills == 0 ? (now ? "no OOM kill counted " + where + " since its last samples" : "the OOM kill count can't be read")
                            : cause == kOomKill ? "the oom_kill count " + where + " rose since its last samples"
                                                : std::to_string(kills) + " OOM kill(s) counted " + where + " among the " + std::to_string(ended.size()) +
                                                      " processes that ended together: " + Names(ended);
    for (auto& [end, reporter] : ended) {
        end.cause = cause;
        end.why = why;
        ++book.endCounts[{end.processName.ToUtf8(), cause}];
    }
    if (kills == 0)
        return;
    book.oomKills += static_cast<ULONG>(std::min<std::uint64_t>(kills, ended.size()));
    const XProcessEnd& victim = ended.front().first;
    book.lastVictimName = cause == kOomKill ? victim.processName : XQNComBSTR(("one of " + Names(ended)).c_str());
    book.lastVictimId = cause == kOomKill ? static_cast<DWORD>(victim.pid) : 0;
    book.lastVictimTimeSec = static_cast<LONGLONG>(std::time(nullptr));
}

std::map<std::pair<std::string, std::string>, unsigned long long> XProcessEnds::EndCounts() const
{
    return m_book.GetConstReadProxy()->endCounts;
}

std::map<std::pair<std::string, DWORD>, XCgroupSignals> XProcessEnds::CgroupSignals() const
{
    std::map<std::pair<std::string, DWORD>, XCgroupSignals> signals;
    for (const auto& [pid, reporter] : m_book.GetConstReadProxy()->reporters)
        signals.emplace(std::pair(reporter.processName.ToUtf8(), reporter.processId), reporter.signals);
    return signals;
}

tagQNMachineOomKills XProcessEnds::OomKills() const
{
    auto book = m_book.GetConstReadProxy();
    return {book->oomKills, book->lastVictimName.Copy(), book->lastVictimId, book->lastVictimTimeSec};
}

}  // namespace XResourceAgent
