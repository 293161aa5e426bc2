#include "platform/Ceilings.h"

#include <algorithm>
#include <vector>

#include "platform/Cgroups.h"
#include "platform/MemoryCgroups.h"

namespace platform {

namespace {

// /proc/self/cgroup and the limits are read again after this many samples: a minute at the
// default monitor interval, and five reads of small files when they are.
constexpr unsigned kSamplesBetweenRefresh = 12;
constexpr int kStrictOvercommit = 2;

// One pids cgroup on the process's path with its limit.
struct PidsLevel {
    std::string folder;
    std::uint64_t limit = kUnlimited;
    CgroupFile limitFile;
    CgroupFile tasksFile;
};

}  // namespace

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
    MemoryCgroups memory;
    std::vector<PidsLevel> pids;  // the process's own cgroup first
    CgroupFile threadsMaxFile;
    CgroupFile overcommitFile;
    std::uint64_t threadsMax = kUnlimited;
    bool strictOvercommit = false;
    unsigned samplesToRefresh = 0;

    bool Opened() const { return threadsMaxFile.IsOpen(); }

    void OpenPids(const CgroupPlace& place)
    {
        for (const std::string& folder : place.Levels())
            if (CgroupFile limitFile(folder + "/pids.max"); limitFile.IsOpen())
                pids.push_back({folder, kUnlimited, std::move(limitFile), CgroupFile(folder + "/pids.current")});
    }

    void Refresh()
    {
        samplesToRefresh = kSamplesBetweenRefresh;
        // Read anew each time: a descriptor of /proc/self would go on naming the parent in a child.
        ReadWholeFile(processCgroupsPath, processCgroupsNow);
        if (processCgroupsNow != processCgroups || !Opened()) {
            std::swap(processCgroups, processCgroupsNow);
            memory.Close();
            pids.clear();
            std::string mountInfo;
            ReadWholeFile(root + "/proc/self/mountinfo", mountInfo);
            if (const auto place = FindCgroup(processCgroups, mountInfo, "memory", root))
                memory.Open(*place);
            if (const auto place = FindCgroup(processCgroups, mountInfo, "pids", root))
                OpenPids(*place);
            if (!Opened()) {
                threadsMaxFile = CgroupFile(root + "/proc/sys/kernel/threads-max");
                overcommitFile = CgroupFile(root + "/proc/sys/vm/overcommit_memory");
            }
        }
        memory.ReadLimits();
        for (PidsLevel& level : pids)
            level.limit = level.limitFile.Value().value_or(kUnlimited);
        threadsMax = threadsMaxFile.Value().value_or(kUnlimited);
        strictOvercommit = overcommitFile.Value() == std::uint64_t{kStrictOvercommit};
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
    if (!impl.Opened() || (reading == Reading::Sample && impl.samplesToRefresh == 0))
        impl.Refresh();
    if (reading == Reading::Sample)
        --impl.samplesToRefresh;
    return impl.memory.Tightest(swapFreeBytes, reading);
}

Ceiling KernelLimits::Threads(std::uint64_t threads, std::uint64_t machineThreads)
{
    Impl& impl = *m_impl;
    if (!impl.Opened())
        impl.Refresh();
    Ceiling tightest;
    if (impl.threadsMax != kUnlimited) {
        const std::uint64_t left = LeftUnder(impl.threadsMax, machineThreads);
        tightest.Tighten({threads + left, left, CeilingSource::Machine, "kernel.threads-max", {}});
    }
    for (const PidsLevel& level : impl.pids) {
        if (level.limit == kUnlimited)
            continue;
        if (const auto tasks = level.tasksFile.Value()) {
            const std::uint64_t left = LeftUnder(level.limit, *tasks);
            tightest.Tighten({threads + left, left, CeilingSource::Cgroup, "pids.max", level.folder});
        }
    }
    return tightest;
}

bool KernelLimits::StrictOvercommit() const { return m_impl->strictOvercommit; }

}  // namespace platform
