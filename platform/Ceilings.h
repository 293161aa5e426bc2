// The limits that really stop a Linux process, beside the figures of a sample: the memory it can
// still obtain (RLIMIT_AS, every memory cgroup on its path, the machine), its descriptors under
// RLIMIT_NOFILE and its threads under every pids cgroup on its path and kernel.threads-max.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// CgroupHigh is memory.high, past which the kernel throttles the cgroup's allocations; Cgroup is
// any limit past which it refuses or kills.
enum class CeilingSource : std::int32_t { None = 0, ResourceLimit = 1, Cgroup = 2, Machine = 3, CgroupHigh = 4 };

// Room a server needs to react before the kernel refuses it, below each kind of ceiling; a
// twentieth of the ceiling where that is more (Ceiling::IsNear).
inline constexpr std::uint64_t kMemoryFloorBytes = 16ULL << 20;
inline constexpr std::uint64_t kDescriptorFloor = 32;
inline constexpr std::uint64_t kThreadFloor = 8;

// One limit and what is left under it, in bytes or a count. `name` is the limit's own name
// ("memory.max", "RLIMIT_NOFILE"), `where` the cgroup's folder or empty; `where` stays valid until
// the cgroups are read again, at the latest the sample after next.
struct Ceiling {
    std::uint64_t limit = 0;
    std::uint64_t left = 0;
    CeilingSource source = CeilingSource::None;
    const char* name = "";
    std::string_view where;

    bool IsKnown() const { return source != CeilingSource::None; }
    // Keeps `other` when it leaves less than this one.
    void Tighten(const Ceiling& other)
    {
        if (other.IsKnown() && (!IsKnown() || other.left < left))
            *this = other;
    }
    // True when what is left is under `floor` or under a twentieth of the limit, whichever is
    // more: a server still has room to react there.
    bool IsNear(std::uint64_t floor) const;
};

// What is left under `limit` once `used` is taken, never below 0.
constexpr std::uint64_t LeftUnder(std::uint64_t limit, std::uint64_t used) { return limit > used ? limit - used : 0; }

// Who reads: the monitor's sample, which now and then reads the cgroups and limits again first, or a
// look of the ceiling watch between samples, which reads usage, and what a memory cgroup's
// reclaim can free only where usage alone would leave it near its ceiling.
enum class Reading { Sample, Look };

// The tightest ceiling of each kind. Memory in bytes; descriptors and threads as ceilings on the
// process's own count (its count plus what is left).
struct ProcessCeilings {
    Ceiling memory;
    Ceiling descriptors;
    Ceiling threads;
};

// The kernel's limits on the calling process that live in files: its memory and pids cgroups,
// walked up to each hierarchy's root, and the machine's kernel.threads-max and overcommit mode.
// The files are opened once and re-read with pread: the usage of each limited cgroup every sample,
// /proc/self/cgroup and the limits every few samples, so that a move to another cgroup or a new
// limit is noticed. Not thread-safe: the process's own reader sits behind the lock of the sample.
class KernelLimits {
public:
    // `root` is prefixed to every path read: empty on a live system, a folder of sample files in tests.
    explicit KernelLimits(std::string root = {});
    ~KernelLimits();
    KernelLimits(const KernelLimits&) = delete;
    KernelLimits& operator=(const KernelLimits&) = delete;

    // The tightest headroom in bytes over the limited memory cgroups (see MemoryCgroups); a cgroup
    // may also fill the machine's free swap (`swapFreeBytes`) as far as its own swap limit lets
    // it. A sample's reading reads the cgroups and limits again first every few samples.
    Ceiling Memory(std::uint64_t swapFreeBytes, Reading reading = Reading::Sample);
    // The tightest of the pids cgroups and of kernel.threads-max against the machine's threads, as
    // a ceiling on the process's own `threads`.
    Ceiling Threads(std::uint64_t threads, std::uint64_t machineThreads);
    // vm.overcommit_memory is 2: the kernel refuses memory beyond CommitLimit.
    bool StrictOvercommit() const;
    // Reads /proc/self/cgroup and the limits now instead of at the next due sample.
    void Refresh();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace platform
