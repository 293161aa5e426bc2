// The ends of the processes that report to the resource observer. Each is watched through a pidfd
// from its first sample on, and when it ends the cause is told as far as an unprivileged daemon
// can know it: killed by the OOM killer when the oom_kill count of its memory cgroup (or of the
// machine, for a process without one) rose between its last samples and its end, otherwise ended
// (an exit or a signal: only the parent can tell which). With each sample the kernel's own signals
// of the process's cgroup of v2 are read too: how often it was throttled under memory.high, and
// its pressure. The intake threads note samples, the observer's worker waits for ends; safe for
// concurrent use.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Cominc64/XBasicCritData.h"
#include "interfaces/QNConvert64.h"
#include "interfaces/QNResourceAgentRecords.h"

namespace platform {
class CgroupPressure;
class OomKillCounter;
class ProcessEndWatch;
}  // namespace platform

namespace XResourceAgent {

// Causes as the metrics and the logbook name them. Arrays, so that each is one object in every
// module and a cause can be told by its address: copies of a string literal need not share one.
inline constexpr char kOomKill[] = "oom_kill";
// Some of the processes of one cgroup that ended together were OOM-killed: which, Linux doesn't say.
inline constexpr char kOomKillAmong[] = "oom_kill_among";
inline constexpr char kEnded[] = "ended";

// One end of a reporting process and its cause.
struct XProcessEnd {
    pid_t pid = 0;  // in the observer's pid namespace
    XQNComBSTR processName;
    DWORD processId = 0;  // as its samples named it
    XQNComBSTR machineName;
    const char* cause = kEnded;
    std::string why;  // what the cause rests on, for the logbook
};

// The kernel's signals of a reporting process's cgroup of v2, as read with its newest sample. What
// the kernel doesn't give (a cgroup of v1, no such file) is nullopt or not present: never a zero.
struct XCgroupSignals {
    std::optional<std::uint64_t> highEvents;  // times the cgroup was throttled under memory.high
    tagQNMachinePressure pressure{};          // of the cgroup's own tasks
};

// The high events of a process's cgroup rising again: they did not between its samples before.
struct XThrottlingStart {
    std::string cgroup;
    std::uint64_t events = 0;  // since the sample before
};

class XProcessEnds {
public:
    XProcessEnds();
    ~XProcessEnds();
    XProcessEnds(const XProcessEnds&) = delete;
    XProcessEnds& operator=(const XProcessEnds&) = delete;

    // With each sample the observer took from process `pid` (0: one it can't see): watches it
    // from the first on, notes the OOM kills counted so far and reads its cgroup's signals.
    // Returns the throttling of its cgroup when it starts.
    std::optional<XThrottlingStart> NoteSample(pid_t pid, const tagQNResourceInformation& sample);
    // Waits until `deadline` for reporting processes to end and returns them with their causes,
    // counted. Returns early, `woken` true, when Wake is called.
    std::vector<XProcessEnd> WaitForEnds(std::chrono::steady_clock::time_point deadline, bool& woken);
    void Wake();

    // Ends by process name (as sent) and cause, since the observer started.
    std::map<std::pair<std::string, std::string>, unsigned long long> EndCounts() const;
    // The OOM kills among the reporting processes since the observer started; the caller frees
    // the victim's name.
    tagQNMachineOomKills OomKills() const;
    // The cgroup signals of the processes watched, by process name (as sent) and id.
    std::map<std::pair<std::string, DWORD>, XCgroupSignals> CgroupSignals() const;

private:
    struct Reporter {
        XQNComBSTR processName;
        DWORD processId = 0;
        XQNComBSTR machineName;
        std::shared_ptr<platform::OomKillCounter> counter;
        // Kills counted when the sample before the last one was taken in: the last may have been
        // in flight while its process was killed, and taken in after the kill was counted.
        std::optional<std::uint64_t> killsBefore;
        std::optional<std::uint64_t> killsAtLastSample;
        std::shared_ptr<platform::CgroupPressure> pressure;  // of the counter's cgroup
        XCgroupSignals signals;
        bool throttled = false;  // the high events rose between the last two samples
    };
    struct Book {
        std::map<pid_t, Reporter> reporters;
        std::map<std::string, std::uint64_t> explainedKills;  // by counter (cgroup folder; empty: machine)
        std::map<std::pair<std::string, std::string>, unsigned long long> endCounts;
        ULONG oomKills = 0;
        XQNComBSTR lastVictimName;
        DWORD lastVictimId = 0;
        LONGLONG lastVictimTimeSec = 0;
    };

    // Reads the signals of the reporter's cgroup, following it to another; the throttling when it starts.
    static std::optional<XThrottlingStart> ReadCgroupSignals(Reporter& reporter);
    // Sets the causes of `ended`, which share one counter, and counts them.
    static void TellCauses(Book& book, std::vector<std::pair<XProcessEnd, Reporter>>& ended);

    std::unique_ptr<platform::ProcessEndWatch> m_watch;
    XCritData<Book> m_book;
};

}  // namespace XResourceAgent
