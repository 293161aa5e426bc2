// The memory cgroups on a process's path and what each leaves it: the memory it can still get
// before the kernel kills (memory.max, memory.limit_in_bytes) or throttles (memory.high) there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Ceilings.h"
#include "platform/Cgroups.h"

namespace platform {

// A cgroup's headroom under a limit is the limit less what reclaim cannot free, plus what the
// cgroup may still swap. The kernel takes page cache back before it kills anything: clean file
// pages, dirty and writeback ones once written (all on the file LRU lists, active and inactive)
// and, in v2, reclaimable slab count as free. Anonymous memory, shmem and tmpfs, unevictable and
// mlocked pages and other kernel memory stay used; v1 shows no reclaimable slab, so there it
// stays used too. Not thread-safe.
class MemoryCgroups {
public:
    // Opens the files of `place` and of every level above it up to the hierarchy's root, in place
    // of those open before.
    void Open(const CgroupPlace& place);
    void Close() { m_levels.clear(); }
    void ReadLimits();
    // The ceiling with the least left over every level and limit. A sample reads memory.stat of
    // each limited level; a look only where usage alone would leave less than the margin, so that
    // a look far from the ceilings reads the usage files alone.
    Ceiling Tightest(std::uint64_t swapFreeBytes, Reading reading) const;

private:
    struct Level {
        std::string folder;
        std::uint64_t max = kUnlimited;
        std::uint64_t high = kUnlimited;       // v2 only
        std::uint64_t swapLimit = kUnlimited;  // v1: memory + swap; v2: swap alone
        CgroupFile maxFile;
        CgroupFile highFile;
        CgroupFile usageFile;
        CgroupFile swapLimitFile;
        CgroupFile swapUsageFile;
        CgroupFile statFile;
    };

    // What `level` may still put in swap, as far as the machine's `swapFreeBytes` go.
    std::uint64_t SwapLeft(const Level& level, std::uint64_t usage, std::uint64_t swapFreeBytes) const;
    // What reclaim can free in `level` by its memory.stat; 0 when it can't be read.
    std::uint64_t Reclaimable(const Level& level) const;

    std::vector<Level> m_levels;  // the process's own cgroup first
    bool m_v2 = false;
};

}  // namespace platform
