#include "platform/Ceilings.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>
#include <vector>

namespace platform {

namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
// cgroup v1 writes "no limit" as the largest page-aligned signed 64-bit count; anything this
// large is no limit a process can meet.
constexpr std::uint64_t kNoLimitFloor = std::uint64_t{1} << 62;
// /proc/self/cgroup and the limits are read again after this many samples: a minute at the
// default monitor interval, and five reads of small files when they are.
constexpr unsigned kSamplesBetweenRefresh = 12;
constexpr int kStrictOvercommit = 2;

std::uint64_t Subtract(std::uint64_t limit, std::uint64_t used) { return limit > used ? limit - used : 0; }

// A limit or usage file: "max", or a number (a count or bytes). nullopt when it can't be read.
std::optional<std::uint64_t> ReadValue(int fd)
{
    if (fd < 0)
        return std::nullopt;
    char text[64];
    const ssize_t length = ::pread(fd, text, sizeof text - 1, 0);
    if (length <= 0)
        return std::nullopt;
    if (std::string_view(text, static_cast<std::size_t>(length)).starts_with("max"))
        return kUnlimited;
    std::uint64_t value = 0;
    if (std::from_chars(text, text + length, value).ec != std::errc())
        return std::nullopt;
    return value >= kNoLimitFloor ? kUnlimited : value;
}

int OpenFile(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }

void Close(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Into `text`, whose capacity is kept, so that reading a file of the same size again allocates
// nothing. Empty when the file can't be read.
void ReadWholeFile(const std::string& path, std::string& text)
{
    text.clear();
    const int fd = OpenFile(path);
    if (fd < 0)
        return;
    char buffer[4096];
    for (ssize_t length; (length = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(length));
    ::close(fd);
}

std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (std::size_t at = 0;;) {
        const std::size_t next = text.find(separator, at);
        parts.push_back(text.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at));
        if (next == std::string_view::npos)
            return parts;
        at = next + 1;
    }
}

// mountinfo writes space, tab, newline and backslash in paths as octal escapes.
std::string Unescape(std::string_view text)
{
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            int code = 0;
            if (std::from_chars(text.data() + i + 1, text.data() + i + 4, code, 8).ec == std::errc()) {
                result += static_cast<char>(code);
                i += 3;
                continue;
            }
        }
        result += text[i];
    }
    return result;
}

bool HasController(std::string_view list, std::string_view controller)
{
    for (const std::string_view name : Split(list, ','))
        if (name == controller)
            return true;
    return false;
}

// Where a controller's hierarchy is mounted and which part of it the mount shows.
struct Mount {
    std::string root;
    std::string point;
};

// A cgroup v1 hierarchy with `controller`, or else the v2 hierarchy: mounts found in mountinfo.
struct Hierarchies {
    std::optional<Mount> v2;
    std::vector<std::pair<std::string, Mount>> v1;  // super options, mount

    explicit Hierarchies(std::string_view mountInfo)
    {
        for (const std::string_view line : Split(mountInfo, '\n')) {
            const std::size_t dash = line.find(" - ");
            if (dash == std::string_view::npos)
                continue;
            const auto fields = Split(line.substr(0, dash), ' ');
            const auto tail = Split(line.substr(dash + 3), ' ');
            if (fields.size() < 5 || tail.size() < 3)
                continue;
            Mount mount{Unescape(fields[3]), Unescape(fields[4])};
            if (tail[0] == "cgroup2" && !v2)
                v2 = std::move(mount);
            else if (tail[0] == "cgroup")
                v1.emplace_back(std::string(tail[2]), std::move(mount));
        }
    }
};

// The folder of the process's cgroup of `controller`, and where its hierarchy is mounted. v1 wins
// over v2 where a hybrid layout has both: the controller sits in one of them only.
struct Placement {
    std::string folder;
    std::string mountPoint;
    bool v2 = false;
};

std::optional<Placement> Place(const Hierarchies& hierarchies, std::string_view processCgroups, std::string_view controller,
                               const std::string& root)
{
    const auto placeUnder = [&](const Mount& mount, std::string_view path, bool v2) -> std::optional<Placement> {
        // A cgroup outside what the mount shows can't be read from here.
        std::string_view relative = path;
        if (mount.root != "/") {
            if (!path.starts_with(mount.root) || (path.size() > mount.root.size() && path[mount.root.size()] != '/'))
                return std::nullopt;
            relative.remove_prefix(mount.root.size());
        }
        while (!relative.empty() && relative.back() == '/')
            relative.remove_suffix(1);
        const std::string point = root + mount.point;
        return Placement{point + std::string(relative), point, v2};
    };
    std::optional<std::string_view> unified;
    for (const std::string_view line : Split(processCgroups, '\n')) {
        const auto parts = Split(line, ':');
        if (parts.size() < 3)
            continue;
        const std::string_view path = line.substr(parts[0].size() + parts[1].size() + 2);
        if (parts[1].empty()) {
            unified = path;
            continue;
        }
        if (!HasController(parts[1], controller))
            continue;
        for (const auto& [options, mount] : hierarchies.v1)
            if (HasController(options, controller))
                return placeUnder(mount, path, false);
    }
    if (unified && hierarchies.v2)
        return placeUnder(*hierarchies.v2, *unified, true);
    return std::nullopt;
}

// One cgroup on the process's path with its limit: usage and swap files stay open.
struct Level {
    std::string folder;
    std::uint64_t limit = kUnlimited;
    std::uint64_t swapLimit = kUnlimited;  // v1: memory + swap; v2: swap alone
    int limitFd = -1;
    int usageFd = -1;
    int swapLimitFd = -1;
    int swapUsageFd = -1;
};

// The files of one controller along the path, by cgroup version.
struct ControllerFiles {
    const char* limit;
    const char* usage;
    const char* swapLimit;  // null: no swap
    const char* swapUsage;
};

constexpr ControllerFiles kMemoryV1{"memory.limit_in_bytes", "memory.usage_in_bytes", "memory.memsw.limit_in_bytes", "memory.memsw.usage_in_bytes"};
constexpr ControllerFiles kMemoryV2{"memory.max", "memory.current", "memory.swap.max", "memory.swap.current"};
constexpr ControllerFiles kPids{"pids.max", "pids.current", nullptr, nullptr};

struct Controller {
    std::vector<Level> levels;  // the process's own cgroup first
    bool v2 = false;

    const ControllerFiles& Files(bool memory) const { return !memory ? kPids : v2 ? kMemoryV2 : kMemoryV1; }

    void Open(const Placement& placement, bool memory)
    {
        v2 = placement.v2;
        const ControllerFiles& files = Files(memory);
        for (std::string folder = placement.folder;;) {
            Level level;
            level.folder = folder;
            level.limitFd = OpenFile(folder + "/" + files.limit);
            if (level.limitFd >= 0) {
                level.usageFd = OpenFile(folder + "/" + files.usage);
                if (files.swapLimit != nullptr) {
                    level.swapLimitFd = OpenFile(folder + "/" + files.swapLimit);
                    level.swapUsageFd = OpenFile(folder + "/" + files.swapUsage);
                }
                levels.push_back(std::move(level));
            }
            if (folder.size() <= placement.mountPoint.size())
                break;
            folder.resize(std::max(folder.rfind('/'), placement.mountPoint.size()));
        }
    }

    void ReadLimits()
    {
        for (Level& level : levels) {
            level.limit = ReadValue(level.limitFd).value_or(kUnlimited);
            level.swapLimit = ReadValue(level.swapLimitFd).value_or(kUnlimited);
        }
    }

    void Close()
    {
        for (Level& level : levels)
            for (int* fd : {&level.limitFd, &level.usageFd, &level.swapLimitFd, &level.swapUsageFd})
                platform::Close(*fd);
        levels.clear();
    }
};

}  // namespace

std::optional<CgroupFolder> MemoryCgroupOf(std::string_view processCgroups, std::string_view mountInfo, const std::string& root)
{
    const auto placement = Place(Hierarchies(mountInfo), processCgroups, "memory", root);
    if (!placement)
        return std::nullopt;
    return CgroupFolder{placement->folder, placement->v2, placement->folder.size() <= placement->mountPoint.size()};
}

bool Ceiling::IsNear(std::uint64_t floor) const
{
    constexpr std::uint64_t kMarginDivisor = 20;
    return IsKnown() && left < std::max(floor, limit / kMarginDivisor);
}

struct KernelLimits::Impl {
    std::string root;
    std::string processCgroupsPath;
    std::string processCgroups;  // the text the placement was made from
    std::string processCgroupsNow;
    Controller memory;
    Controller pids;
    int threadsMaxFd = -1;
    int overcommitFd = -1;
    std::uint64_t threadsMax = kUnlimited;
    bool strictOvercommit = false;
    unsigned samplesToRefresh = 0;

    ~Impl()
    {
        memory.Close();
        pids.Close();
        platform::Close(threadsMaxFd);
        platform::Close(overcommitFd);
    }

    void Refresh()
    {
        samplesToRefresh = kSamplesBetweenRefresh;
        // Read anew each time: a descriptor of /proc/self would go on naming the parent in a child.
        ReadWholeFile(processCgroupsPath, processCgroupsNow);
        if (processCgroupsNow != processCgroups || threadsMaxFd < 0) {
            std::swap(processCgroups, processCgroupsNow);
            memory.Close();
            pids.Close();
            std::string mountInfo;
            ReadWholeFile(root + "/proc/self/mountinfo", mountInfo);
            const Hierarchies hierarchies(mountInfo);
            if (const auto placement = Place(hierarchies, processCgroups, "memory", root))
                memory.Open(*placement, true);
            if (const auto placement = Place(hierarchies, processCgroups, "pids", root))
                pids.Open(*placement, false);
            if (threadsMaxFd < 0) {
                threadsMaxFd = OpenFile(root + "/proc/sys/kernel/threads-max");
                overcommitFd = OpenFile(root + "/proc/sys/vm/overcommit_memory");
            }
        }
        memory.ReadLimits();
        pids.ReadLimits();
        threadsMax = ReadValue(threadsMaxFd).value_or(kUnlimited);
        strictOvercommit = ReadValue(overcommitFd) == std::uint64_t{kStrictOvercommit};
    }
};

KernelLimits::KernelLimits(std::string root) : m_impl(std::make_unique<Impl>())
{
    m_impl->processCgroupsPath = root + "/proc/self/cgroup";
    m_impl->root = std::move(root);
}

KernelLimits::~KernelLimits() = default;

void KernelLimits::Refresh() { m_impl->Refresh(); }

Ceiling KernelLimits::Memory(std::uint64_t swapFreeBytes, Reading reading)
{
    Impl& impl = *m_impl;
    if (impl.threadsMaxFd < 0 || (reading == Reading::Sample && impl.samplesToRefresh == 0))
        impl.Refresh();
    if (reading == Reading::Sample)
        --impl.samplesToRefresh;
    const bool v2 = impl.memory.v2;
    Ceiling tightest;
    for (const Level& level : impl.memory.levels) {
        if (level.limit == kUnlimited)
            continue;
        const auto usage = ReadValue(level.usageFd);
        if (!usage)
            continue;
        // What the cgroup may still put in swap: v2 limits swap alone, v1 memory and swap together.
        std::uint64_t swap = 0;
        if (swapFreeBytes > 0) {
            const auto swapUsage = level.swapLimit == kUnlimited ? std::optional<std::uint64_t>(0) : ReadValue(level.swapUsageFd);
            const std::uint64_t swapLeft = !swapUsage ? 0 : level.swapLimit == kUnlimited ? kUnlimited
                                                        : v2                             ? Subtract(level.swapLimit, *swapUsage)
                                                                                         : Subtract(Subtract(level.swapLimit, *swapUsage), Subtract(level.limit, *usage));
            swap = std::min(swapFreeBytes, swapLeft);
        }
        tightest.Tighten({level.limit, Subtract(level.limit, *usage) + swap, CeilingSource::Cgroup, v2 ? kMemoryV2.limit : kMemoryV1.limit, level.folder});
    }
    return tightest;
}

Ceiling KernelLimits::Threads(std::uint64_t threads, std::uint64_t machineThreads)
{
    Impl& impl = *m_impl;
    if (impl.threadsMaxFd < 0)
        impl.Refresh();
    Ceiling tightest;
    if (impl.threadsMax != kUnlimited) {
        const std::uint64_t left = Subtract(impl.threadsMax, machineThreads);
        tightest.Tighten({threads + left, left, CeilingSource::Machine, "kernel.threads-max", {}});
    }
    for (const Level& level : impl.pids.levels) {
        if (level.limit == kUnlimited)
            continue;
        if (const auto tasks = ReadValue(level.usageFd)) {
            const std::uint64_t left = Subtract(level.limit, *tasks);
            tightest.Tighten({threads + left, left, CeilingSource::Cgroup, kPids.limit, level.folder});
        }
    }
    return tightest;
}

bool KernelLimits::StrictOvercommit() const { return m_impl->strictOvercommit; }

}  // namespace platform
