#include "platform/MemoryCgroups.h"

#include <algorithm>
#include <string_view>
#include <tuple>
#include <utility>

#include "platform/ProcFile.h"

namespace platform {

namespace {

// The files of one version. v1's memory.stat gives the hierarchy's figures, descendants included,
// as total_*, as its usage counts them; v2's are the hierarchy's already.
struct Files {
    const char* max;
    const char* high;  // null: v1 has no throttle
    const char* usage;
    const char* swapLimit;
    const char* swapUsage;
    std::string_view reclaimable[3];  // the memory.stat lines of what reclaim frees
};

constexpr Files kV1{"memory.limit_in_bytes", nullptr, "memory.usage_in_bytes", "memory.memsw.limit_in_bytes", "memory.memsw.usage_in_bytes",
                    {"total_active_file ", "total_inactive_file "}};
constexpr Files kV2{"memory.max", "memory.high", "memory.current", "memory.swap.max", "memory.swap.current",
                    {"active_file ", "inactive_file ", "slab_reclaimable "}};

// memory.stat is some 40 lines in v1 and 60 in v2.
constexpr std::size_t kStatBytes = 8192;

}  // namespace

void MemoryCgroups::Open(const CgroupPlace& place)
{
    m_levels.clear();
    m_v2 = place.v2;
    const Files& files = m_v2 ? kV2 : kV1;
    const auto open = [](const std::string& folder, const char* name) { return name == nullptr ? CgroupFile() : CgroupFile(folder + "/" + name); };
    for (const std::string& folder : place.Levels()) {
        CgroupFile maxFile = open(folder, files.max);
        if (!maxFile.IsOpen())
            continue;
        Level& level = m_levels.emplace_back();
        level.folder = folder;
        level.maxFile = std::move(maxFile);
        level.highFile = open(folder, files.high);
        level.usageFile = open(folder, files.usage);
        level.swapLimitFile = open(folder, files.swapLimit);
        level.swapUsageFile = open(folder, files.swapUsage);
        level.statFile = open(folder, "memory.stat");
    }
}

void MemoryCgroups::ReadLimits()
{
    for (Level& level : m_levels) {
        level.max = level.maxFile.Value().value_or(kUnlimited);
        level.high = level.highFile.Value().value_or(kUnlimited);
        level.swapLimit = level.swapLimitFile.Value().value_or(kUnlimited);
    }
}

std::uint64_t MemoryCgroups::SwapLeft(const Level& level, std::uint64_t usage, std::uint64_t swapFreeBytes) const
{
    if (swapFreeBytes == 0)
        return 0;
    if (level.swapLimit == kUnlimited)
        return swapFreeBytes;
    const auto swapUsage = level.swapUsageFile.Value();
    if (!swapUsage)
        return 0;
    // v2 limits swap alone; v1 memory and swap together, so swap adds what memsw allows beyond RAM.
    const std::uint64_t left = m_v2 ? LeftUnder(level.swapLimit, *swapUsage) : LeftUnder(LeftUnder(level.swapLimit, *swapUsage), LeftUnder(level.max, usage));
    return std::min(swapFreeBytes, left);
}

std::uint64_t MemoryCgroups::Reclaimable(const Level& level) const
{
    char text[kStatBytes];
    const long length = level.statFile.Read(text, sizeof text);
    if (length <= 0)
        return 0;
    const std::string_view stat(text, static_cast<std::size_t>(length));
    std::uint64_t reclaimable = 0;
    for (const std::string_view line : (m_v2 ? kV2 : kV1).reclaimable) {
        std::uint64_t bytes = 0;
        if (!line.empty() && FindNumber(stat, line, bytes))
            reclaimable += bytes;
    }
    return reclaimable;
}

Ceiling MemoryCgroups::Tightest(std::uint64_t swapFreeBytes, Reading reading) const
{
    const Files& files = m_v2 ? kV2 : kV1;
    Ceiling tightest;
    for (const Level& level : m_levels) {
        if (level.max == kUnlimited && level.high == kUnlimited)
            continue;
        const auto usage = level.usageFile.Value();
        if (!usage)
            continue;
        const std::uint64_t swap = SwapLeft(level, *usage, swapFreeBytes);
        const auto ceilings = [&](std::uint64_t used) {
            return std::pair{Ceiling{level.max, LeftUnder(level.max, used) + swap, CeilingSource::Cgroup, files.max, level.folder},
                             Ceiling{level.high, LeftUnder(level.high, used) + swap, CeilingSource::CgroupHigh, kV2.high, level.folder}};
        };
        auto [max, high] = ceilings(*usage);
        // Usage alone counts the page cache as used: a lower bound of the headroom, which spares a
        // look memory.stat wherever it is not within the margin.
        const bool near = (level.max != kUnlimited && max.IsNear(kMemoryFloorBytes)) || (level.high != kUnlimited && high.IsNear(kMemoryFloorBytes));
        if (reading == Reading::Sample || near)
            std::tie(max, high) = ceilings(LeftUnder(*usage, Reclaimable(level)));
        if (level.max != kUnlimited)
            tightest.Tighten(max);
        if (level.high != kUnlimited)
            tightest.Tighten(high);
    }
    return tightest;
}

}  // namespace platform
