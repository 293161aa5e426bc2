#include "platform/ProcessEnds.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <thread>

#include "platform/Cgroups.h"
#include "platform/Clock.h"
#include "platform/ProcFile.h"

namespace platform {

namespace {

constexpr std::string_view kOomKillLine = "oom_kill ";
constexpr std::string_view kHighLine = "high ";
constexpr std::uint64_t kWakeMark = ~std::uint64_t{0};  // the epoll data of the wake-up eventfd
constexpr size_t kEventsPerWait = 64;

std::string ReadText(const std::string& path)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(got));
    ::close(fd);
    return text;
}

}  // namespace

OomKillCounter::OomKillCounter(pid_t pid, const std::string& root)
    : m_root(root), m_processCgroupsPath(root + "/proc/" + std::to_string(pid) + "/cgroup")
{
    std::string processCgroups = ReadText(m_processCgroupsPath);
    const auto cgroup = MemoryCgroupOf(processCgroups, ReadText(m_root + "/proc/self/mountinfo"), m_root);
    Open(cgroup, std::move(processCgroups));
}

void OomKillCounter::Refresh()
{
    std::string now = ReadText(m_processCgroupsPath);
    if (now.empty() || now == m_processCgroups)
        return;
    // A process that is ending shows the root cgroup: only a move to another memory cgroup of
    // its own is followed, so that its last counter stays.
    const auto cgroup = MemoryCgroupOf(now, ReadText(m_root + "/proc/self/mountinfo"), m_root);
    if (cgroup && !cgroup->IsRoot())
        Open(*cgroup, std::move(now));
}

void OomKillCounter::Open(const std::optional<CgroupPlace>& cgroup, std::string processCgroups)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_cgroup.clear();
    m_v2 = false;
    m_processCgroups = std::move(processCgroups);
    if (cgroup && !cgroup->IsRoot()) {
        m_fd = ::open((cgroup->folder + (cgroup->v2 ? "/memory.events" : "/memory.oom_control")).c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd >= 0)
            m_cgroup = cgroup->folder;
        m_v2 = m_fd >= 0 && cgroup->v2;
    }
    if (m_fd < 0)
        m_fd = ::open((m_root + "/proc/vmstat").c_str(), O_RDONLY | O_CLOEXEC);
}

OomKillCounter::~OomKillCounter()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<std::uint64_t> OomKillCounter::Read() const
{
    return Count(kOomKillLine);
}

std::optional<std::uint64_t> OomKillCounter::HighEvents() const
{
    return m_v2 ? Count(kHighLine) : std::nullopt;
}

std::optional<std::uint64_t> OomKillCounter::Count(std::string_view key) const
{
    // /proc/vmstat is some 5 KB: room for all of it.
    std::array<char, 16384> buffer;
    const ssize_t got = m_fd < 0 ? -1 : ::pread(m_fd, buffer.data(), buffer.size(), 0);
    std::uint64_t count = 0;
    if (got <= 0 || !FindNumber(std::string_view(buffer.data(), static_cast<size_t>(got)), key, count))
        return std::nullopt;
    return count;
}

ProcessEndWatch::ProcessEndWatch()
    : m_epoll(::epoll_create1(EPOLL_CLOEXEC)), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeMark;
    if (m_epoll >= 0 && m_wake >= 0)
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
}

ProcessEndWatch::~ProcessEndWatch()
{
    for (const auto& [pid, fd] : m_pidfds)
        ::close(fd);
    for (const int fd : {m_epoll, m_wake})
        if (fd >= 0)
            ::close(fd);
}

bool ProcessEndWatch::Watch(pid_t pid)
{
    std::lock_guard lock(m_mutex);
    if (m_pidfds.contains(pid))
        return true;
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return false;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = static_cast<std::uint64_t>(pid);
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        ::close(fd);
        return false;
    }
    m_pidfds.emplace(pid, fd);
    return true;
}

bool ProcessEndWatch::IsWatched(pid_t pid) const
{
    std::lock_guard lock(m_mutex);
    return m_pidfds.contains(pid);
}

void ProcessEndWatch::Wake()
{
    const std::uint64_t one = 1;
    (void)!::write(m_wake, &one, sizeof one);
}

std::vector<pid_t> ProcessEndWatch::Poll(std::chrono::nanoseconds timeout, bool& woken)
{
    std::vector<pid_t> ended;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::max(timeout, std::chrono::nanoseconds::zero()));
    const timespec wait{static_cast<time_t>(seconds.count()), static_cast<long>((std::max(timeout, std::chrono::nanoseconds::zero()) - seconds).count())};
    std::array<epoll_event, kEventsPerWait> events;
    const int count = ::epoll_pwait2(m_epoll, events.data(), static_cast<int>(events.size()), &wait, nullptr);
    if (count < 0 && errno != EINTR)
        std::this_thread::sleep_for(timeout);  // no epoll set: a plain wait, already scaled
    std::lock_guard lock(m_mutex);
    for (int i = 0; i < count; ++i) {
        if (events[i].data.u64 == kWakeMark) {
            std::uint64_t drained = 0;
            (void)!::read(m_wake, &drained, sizeof drained);
            woken = true;
            continue;
        }
        const auto pid = static_cast<pid_t>(events[i].data.u64);
        if (const auto found = m_pidfds.find(pid); found != m_pidfds.end()) {
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, found->second, nullptr);
            ::close(found->second);
            m_pidfds.erase(found);
            ended.push_back(pid);
        }
    }
    return ended;
}

std::vector<pid_t> ProcessEndWatch::Wait(std::chrono::steady_clock::time_point deadline, DWORD settleMs, bool& woken)
{
    using Clock = std::chrono::steady_clock;
    woken = false;
    std::vector<pid_t> ended;
    Clock::time_point settled = deadline;
    for (;;) {
        const Clock::time_point until = std::min(deadline, settled);
        const std::vector<pid_t> found = Poll(until - Clock::now(), woken);
        if (!found.empty() && ended.empty())
            settled = Clock::now() + ScaledDuration(settleMs);
        ended.insert(ended.end(), found.begin(), found.end());
        if (woken || Clock::now() >= std::min(deadline, settled))
            return ended;
    }
}

}  // namespace platform
