// The ends of other processes as an unprivileged process can see them on Linux: a pidfd for each
// watched process in one epoll set, and the counters in which the kernel notes the OOM kills that
// may have ended one.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Cgroups.h"
#include "platform/WinTypes.h"

namespace platform {

// Where the kernel counts the OOM kills of a process: its memory cgroup (v2 memory.events, v1
// memory.oom_control, each with an `oom_kill` line), or the machine (/proc/vmstat) for a process
// without a memory cgroup of its own. v2's memory.events also counts the times the cgroup was
// throttled under memory.high. The file stays open and is re-read with pread. Not thread-safe.
class OomKillCounter {
public:
    // The counter of process `pid`, as this process's /proc names it; `root` is prefixed to every
    // path read (empty on a live system, a folder of sample files in tests).
    explicit OomKillCounter(pid_t pid, const std::string& root = {});
    ~OomKillCounter();
    OomKillCounter(const OomKillCounter&) = delete;
    OomKillCounter& operator=(const OomKillCounter&) = delete;

    // Follows the process to another memory cgroup of its own: reads its /proc/PID/cgroup again
    // and, when that changed, opens the counter anew. (A move to the root cgroup is not followed:
    // an ending process shows it.)
    void Refresh();
    // The kills counted so far; nullopt when the file can't be read.
    std::optional<std::uint64_t> Read() const;
    // The `high` events of a memory cgroup of v2 so far; nullopt for v1, the machine, or a file
    // that can't be read.
    std::optional<std::uint64_t> HighEvents() const;
    // The cgroup's folder, or empty for the machine.
    const std::string& Cgroup() const { return m_cgroup; }

private:
    void Open(const std::optional<CgroupPlace>& cgroup, std::string processCgroups);
    // The number of the line that starts with `key` (its space included).
    std::optional<std::uint64_t> Count(std::string_view key) const;

    std::string m_root;
    std::string m_processCgroupsPath;
    std::string m_processCgroups;  // the text the counter was found from
    int m_fd = -1;
    std::string m_cgroup;
    bool m_v2 = false;
};

// Processes watched for their end, each through a pidfd in one epoll set. Watch and Wake may be
// called from any thread; one thread waits.
class ProcessEndWatch {
public:
    ProcessEndWatch();
    ~ProcessEndWatch();
    ProcessEndWatch(const ProcessEndWatch&) = delete;
    ProcessEndWatch& operator=(const ProcessEndWatch&) = delete;

    // Starts watching `pid`; false when it can't be watched (it has ended, or pidfds are missing).
    // A pid watched already stays watched.
    bool Watch(pid_t pid);
    bool IsWatched(pid_t pid) const;
    // Waits until `deadline` for ends and returns the pids that ended, no longer watched. Ends
    // that come within `settleMs` (scaled) of the first are returned together, so that processes
    // ending at the same time are seen together. Returns early, with `woken` true, when Wake is
    // called; empty at the deadline.
    std::vector<pid_t> Wait(std::chrono::steady_clock::time_point deadline, DWORD settleMs, bool& woken);
    // Cuts the present or next Wait short.
    void Wake();

private:
    std::vector<pid_t> Poll(std::chrono::nanoseconds timeout, bool& woken);

    int m_epoll = -1;
    int m_wake = -1;  // eventfd
    mutable std::mutex m_mutex;
    std::map<pid_t, int> m_pidfds;
};

}  // namespace platform
