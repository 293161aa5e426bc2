// The cgroup and kernel limits, the OOM kill counters and the pressure stall information, read
// from sample trees laid out as the kernel shows them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "platform/CeilingWatch.h"
#include "platform/Ceilings.h"
#include "platform/Pressure.h"
#include "platform/ProcessEnds.h"

namespace {

namespace fs = std::filesystem;
using platform::CeilingSource;
using platform::KernelLimits;

constexpr std::uint64_t kMB = 1 << 20;
std::string MB(std::uint64_t count) { return std::to_string(count * kMB); }

// A ceiling's parts, comparable and printed at once.
std::tuple<CeilingSource, std::uint64_t, std::uint64_t, std::string, std::string> Parts(const platform::Ceiling& ceiling)
{
    return {ceiling.source, ceiling.limit, ceiling.left, ceiling.name, std::string(ceiling.where)};
}

constexpr const char* kV1MountInfo =
    "30 22 0:27 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "34 30 0:31 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
    "38 30 0:35 / /sys/fs/cgroup/pids rw,relatime - cgroup cgroup rw,pids\n";
constexpr const char* kV2MountInfo = "30 22 0:27 / /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw,nsdelegate\n";
constexpr const char* kHybridMountInfo =
    "34 30 0:31 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
    "40 30 0:37 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";

// A folder standing in for /: /proc/self, /proc/sys and cgroup files written by the test, the
// process's own mounts and cgroups as given.
class SampleTree {
public:
    SampleTree(const std::string& mountInfo, const std::string& cgroups)
        : m_root(fs::temp_directory_path() / ("qn-limits-" + std::to_string(::getpid()) + "-" + std::to_string(s_count++)))
    {
        Write("/proc/sys/kernel/threads-max", "190000");
        Write("/proc/sys/vm/overcommit_memory", "0");
        Write("/proc/self/mountinfo", mountInfo);
        Write("/proc/self/cgroup", cgroups);
    }
    ~SampleTree() { fs::remove_all(m_root); }

    void Write(const std::string& path, const std::string& text) const
    {
        const fs::path file = m_root / path.substr(1);
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }
    void Cgroup(const std::string& folder, const std::map<std::string, std::string>& files) const
    {
        for (const auto& [name, text] : files)
            Write(folder + "/" + name, text);
    }
    std::string Root() const { return m_root.string(); }
    std::string Path(const std::string& path) const { return (m_root / path.substr(1)).string(); }

private:
    static inline int s_count = 0;
    fs::path m_root;
};

TEST(KernelLimits, V1TakesTheTightestLevelOnThePathAndSkipsUnlimitedOnes)
{
    SampleTree tree(kV1MountInfo, "8:pids:/\n4:memory:/apps/web\n0::/");
    tree.Cgroup("/sys/fs/cgroup/memory", {{"memory.limit_in_bytes", "9223372036854771712"}, {"memory.usage_in_bytes", "900000000"}});
    tree.Cgroup("/sys/fs/cgroup/memory/apps", {{"memory.limit_in_bytes", MB(300)}, {"memory.usage_in_bytes", MB(250)}});
    tree.Cgroup("/sys/fs/cgroup/memory/apps/web", {{"memory.limit_in_bytes", MB(400)}, {"memory.usage_in_bytes", MB(240)}});
    KernelLimits limits(tree.Root());
    EXPECT_EQ(Parts(limits.Memory(0)), std::tuple(CeilingSource::Cgroup, 300 * kMB, 50 * kMB, "memory.limit_in_bytes", tree.Path("/sys/fs/cgroup/memory/apps")))
        << "the parent is tighter than the process's own cgroup";
    EXPECT_NE(limits.Threads(10, 500).source, CeilingSource::Cgroup) << "the pids root has no pids.max";
}

TEST(KernelLimits, V2ReadsMaxAndCurrentAndCountsSwapWithinItsLimit)
{
    SampleTree tree(kV2MountInfo, "0::/system.slice/app.service");
    tree.Cgroup("/sys/fs/cgroup/system.slice", {{"memory.max", "max"}, {"memory.current", "123"}});
    tree.Cgroup("/sys/fs/cgroup/system.slice/app.service", {{"memory.max", MB(200)}, {"memory.current", MB(150)}, {"memory.swap.max", MB(30)},
                                                            {"memory.swap.current", MB(10)}, {"pids.max", "64"}, {"pids.current", "40"}});
    KernelLimits limits(tree.Root());
    EXPECT_EQ(Parts(limits.Memory(0)), std::tuple(CeilingSource::Cgroup, 200 * kMB, 50 * kMB, "memory.max", tree.Path("/sys/fs/cgroup/system.slice/app.service")))
        << "no free swap on the machine: RAM alone";
    EXPECT_EQ(limits.Memory(1000 * kMB).left, 70 * kMB) << "plus what swap.max still allows";
    EXPECT_EQ(limits.Memory(5 * kMB).left, 55 * kMB) << "plus no more than the machine's free swap";
    EXPECT_EQ(Parts(limits.Threads(30, 500)), std::tuple(CeilingSource::Cgroup, 54u, 24u, "pids.max", tree.Path("/sys/fs/cgroup/system.slice/app.service")))
        << "the other tasks of the cgroup count too, as a ceiling on the process's own threads";
}

TEST(KernelLimits, HybridLayoutFindsMemoryInV1AndWithoutCgroupsOnlyTheKernelsCeilings)
{
    SampleTree tree(kHybridMountInfo, "4:memory:/job\n0::/job");
    tree.Cgroup("/sys/fs/cgroup/memory/job", {{"memory.limit_in_bytes", MB(64)}, {"memory.usage_in_bytes", MB(60)}, {"memory.memsw.limit_in_bytes", MB(70)},
                                              {"memory.memsw.usage_in_bytes", MB(62)}});
    KernelLimits limits(tree.Root());
    EXPECT_EQ(limits.Memory(100 * kMB).left, 8 * kMB) << "v1 limits memory and swap together";
    EXPECT_EQ(limits.Threads(5, 100).source, CeilingSource::Machine) << "no pids controller: only threads-max";

    SampleTree bare("", "0::/");
    KernelLimits none(bare.Root());
    EXPECT_EQ(none.Memory(0).source, CeilingSource::None);
    EXPECT_EQ(Parts(none.Threads(5, 1000)), std::tuple(CeilingSource::Machine, 189005u, 189000u, "kernel.threads-max", ""))
        << "as a ceiling on the process's own threads";
    EXPECT_FALSE(none.StrictOvercommit());
}

TEST(KernelLimits, AMoveToAnotherCgroupAndNewLimitsAreNoticedOnTheNextRefresh)
{
    SampleTree tree(kV2MountInfo, "0::/a");
    tree.Cgroup("/sys/fs/cgroup/a", {{"memory.max", MB(100)}, {"memory.current", MB(10)}});
    tree.Cgroup("/sys/fs/cgroup/b", {{"memory.max", MB(50)}, {"memory.current", MB(45)}});
    KernelLimits limits(tree.Root());
    EXPECT_EQ(limits.Memory(0).left, 90 * kMB);
    tree.Write("/sys/fs/cgroup/a/memory.current", MB(30));
    EXPECT_EQ(limits.Memory(0).left, 70 * kMB) << "usage is read every sample";

    tree.Write("/proc/self/cgroup", "0::/b");
    tree.Write("/proc/sys/vm/overcommit_memory", "2");
    limits.Refresh();
    EXPECT_EQ(Parts(limits.Memory(0)), std::tuple(CeilingSource::Cgroup, 50 * kMB, 5 * kMB, "memory.max", tree.Path("/sys/fs/cgroup/b")));
    EXPECT_TRUE(limits.StrictOvercommit());
    // A raised limit is read within a dozen samples; from 2^62 on, a figure means no limit.
    for (const char* raised : {"max", "4611686018427387904"}) {
        tree.Write("/sys/fs/cgroup/b/memory.max", "1000");
        limits.Refresh();
        tree.Write("/sys/fs/cgroup/b/memory.max", raised);
        for (int sample = 0; sample < 12; ++sample)
            limits.Memory(0);
        EXPECT_EQ(limits.Memory(0).source, CeilingSource::None) << raised;
    }
}

TEST(KernelLimits, ACgroupOutsideWhatTheMountShowsIsSkippedAndAnEscapedMountPointIsFound)
{
    SampleTree tree("30 22 0:27 /kubepods /sys/fs/cgroup rw - cgroup2 cgroup2 rw", "0::/kubepods/pod1");
    tree.Cgroup("/sys/fs/cgroup/pod1", {{"memory.max", MB(20)}, {"memory.current", MB(1)}});
    EXPECT_EQ(KernelLimits(tree.Root()).Memory(0).left, 19 * kMB) << "the path below the mount's root";
    tree.Write("/proc/self/cgroup", "0::/elsewhere");
    EXPECT_EQ(KernelLimits(tree.Root()).Memory(0).source, CeilingSource::None);

    SampleTree escaped("30 22 0:27 / /sys/fs/cg1\\040v2 rw - cgroup2 cgroup2 rw", "0::/job7");
    escaped.Cgroup("/sys/fs/cg1 v2/job7", {{"memory.max", MB(20)}, {"memory.current", MB(2)}});
    EXPECT_EQ(KernelLimits(escaped.Root()).Memory(0).where, escaped.Path("/sys/fs/cg1 v2/job7")) << "a mount point with a space, octal in mountinfo, and a digit elsewhere";
}

// The file LRU pages (dirty and writeback among them) and v2's reclaimable slab are free for the
// cgroup; shmem, anonymous, unevictable and other kernel memory are not. v1 counts the hierarchy
// by its total_* lines, not the cgroup's own.
TEST(KernelLimits, WhatReclaimFreesCountsAsHeadroomAtEveryLevelAndALookReadsItOnlyNearTheMargin)
{
    SampleTree tree(kV1MountInfo, "4:memory:/apps/web\n0::/");
    tree.Cgroup("/sys/fs/cgroup/memory/apps", {{"memory.limit_in_bytes", MB(300)}, {"memory.usage_in_bytes", MB(295)},
                                               {"memory.stat", "cache 999\nactive_file 1\ninactive_file 2\ntotal_cache " + MB(120) + "\ntotal_shmem " +
                                                                   MB(20) + "\ntotal_dirty " + MB(30) + "\ntotal_unevictable " + MB(5) +
                                                                   "\ntotal_inactive_file " + MB(60) + "\ntotal_active_file " + MB(40)}});
    tree.Cgroup("/sys/fs/cgroup/memory/apps/web", {{"memory.limit_in_bytes", "9223372036854771712"}, {"memory.usage_in_bytes", MB(100)},
                                                   {"memory.stat", "total_inactive_file " + MB(40) + "\ntotal_active_file " + MB(10)}});
    KernelLimits limits(tree.Root());
    EXPECT_EQ(Parts(limits.Memory(0)), std::tuple(CeilingSource::Cgroup, 300 * kMB, 105 * kMB, "memory.limit_in_bytes", tree.Path("/sys/fs/cgroup/memory/apps")))
        << "300 less the 195 that reclaim can't free";
    EXPECT_EQ(limits.Memory(0, platform::Reading::Look).left, 105 * kMB) << "usage alone leaves 5 of 300: within the margin";

    tree.Write("/sys/fs/cgroup/memory/apps/memory.limit_in_bytes", MB(1000));
    tree.Write("/sys/fs/cgroup/memory/apps/web/memory.limit_in_bytes", MB(200));
    limits.Refresh();
    EXPECT_EQ(limits.Memory(0).left, 150 * kMB) << "now the process's own cgroup";
    EXPECT_EQ(limits.Memory(0, platform::Reading::Look).left, 100 * kMB) << "usage alone leaves half: a look spares memory.stat";
}

TEST(KernelLimits, V2CountsReclaimableSlabAndMemoryHighIsACeilingOfItsOwnWithSwap)
{
    SampleTree tree(kV2MountInfo, "0::/app.service");
    const std::string stat = "anon " + MB(150) + "\nfile " + MB(130) + "\nshmem " + MB(20) + "\nfile_dirty " + MB(10) + "\nfile_writeback " + MB(5) +
                             "\ninactive_anon " + MB(150) + "\nactive_anon " + MB(20) + "\ninactive_file " + MB(60) + "\nactive_file " + MB(50) +
                             "\nunevictable " + MB(3) + "\nslab_reclaimable " + MB(10) + "\nslab_unreclaimable " + MB(7);
    tree.Cgroup("/sys/fs/cgroup/app.service", {{"memory.max", MB(400)}, {"memory.high", MB(300)}, {"memory.current", MB(290)}, {"memory.stat", stat},
                                               {"memory.swap.max", MB(30)}, {"memory.swap.current", MB(10)}});
    KernelLimits limits(tree.Root());
    EXPECT_EQ(Parts(limits.Memory(1000 * kMB)), std::tuple(CeilingSource::CgroupHigh, 300 * kMB, 150 * kMB, "memory.high", tree.Path("/sys/fs/cgroup/app.service")))
        << "300 less the 170 that reclaim can't free, plus 20 of swap";

    tree.Write("/sys/fs/cgroup/app.service/memory.high", "max");
    limits.Refresh();
    EXPECT_EQ(Parts(limits.Memory(0)), std::tuple(CeilingSource::Cgroup, 400 * kMB, 230 * kMB, "memory.max", tree.Path("/sys/fs/cgroup/app.service")))
        << "no memory.high: memory.max alone";
}

// Where the kernel counts the OOM kills of a process: its memory cgroup (v2, v1) or the machine;
// and the high events of a cgroup of v2 alone.
TEST(OomKillCounter, ReadsTheProcesssMemoryCgroupOrTheMachineAndFollowsAMoveButNotTheRootThatAnEndingProcessShows)
{
    constexpr pid_t kPid = 4242;
    SampleTree tree("", "");
    tree.Write("/proc/vmstat", "nr_free_pages 100\noom_kill 7\nhigh 8\nnr_zone_active_anon 3");
    tree.Write("/sys/fs/cgroup/app/memory.events", "low 0\nhigh 1243\nmax 9\noom 3\noom_kill 2\noom_group_kill 5");
    tree.Write("/sys/fs/cgroup/memory/app/memory.oom_control", "oom_kill_disable 0\nunder_oom 0\noom_kill 4\nhigh 6");
    using Count = std::optional<std::uint64_t>;
    const auto counted = [&](const char* mountInfo, const char* cgroups) {
        tree.Write("/proc/self/mountinfo", mountInfo);
        tree.Write("/proc/" + std::to_string(kPid) + "/cgroup", cgroups);
        platform::OomKillCounter counter(kPid, tree.Root());
        return std::tuple(counter.Cgroup(), counter.Read(), counter.HighEvents());
    };
    EXPECT_EQ(counted(kV2MountInfo, "0::/app"), std::tuple(tree.Path("/sys/fs/cgroup/app"), Count(2), Count(1243))) << "oom_group_kill is another line";
    EXPECT_EQ(counted(kV1MountInfo, "4:memory:/app\n0::/"), std::tuple(tree.Path("/sys/fs/cgroup/memory/app"), Count(4), Count())) << "v1 counts no high events";
    EXPECT_EQ(counted(kV2MountInfo, "0::/"), std::tuple(std::string(), Count(7), Count())) << "nor does the machine";
    EXPECT_EQ(counted(kV2MountInfo, "2:cpu:/app"), std::tuple(std::string(), Count(7), Count())) << "no memory cgroup of its own";
    tree.Write("/sys/fs/cgroup/app/memory.events", "low 0\nmax 9\noom_kill 2");
    EXPECT_EQ(std::get<2>(counted(kV2MountInfo, "0::/app")), Count()) << "a line the kernel doesn't write is no zero";

    platform::OomKillCounter counter(kPid, tree.Root());
    tree.Write("/proc/" + std::to_string(kPid) + "/cgroup", "0::/app");
    counter.Refresh();
    EXPECT_EQ(counter.Read(), 2u);
    tree.Write("/proc/" + std::to_string(kPid) + "/cgroup", "0::/");
    counter.Refresh();
    EXPECT_EQ(counter.Read(), 2u);
}

// The watch's schedule of one ceiling: whatever the growth up to the fastest a process reaches,
// a look finds the ceiling within its margin before it is reached.
TEST(LookSchedule, ALookComesWithinTheMarginBeforeTheCeilingAtAnyRateUpToTheFastest)
{
    using platform::LookSchedule;
    constexpr double kFastest = 1000;  // units per second
    constexpr std::uint64_t kLimit = 4000, kMargin = kLimit / 20;
    for (const double rate : {kFastest / 1000, kFastest / 10, kFastest / 2, kFastest}) {
        LookSchedule schedule(kFastest);
        const LookSchedule::Clock::time_point start{};
        for (LookSchedule::Clock::time_point now = start;; now = schedule.Due()) {
            const double grown = rate * std::chrono::duration<double>(now - start).count();
            const auto left = static_cast<std::uint64_t>(std::max(0.0, double(kLimit) - grown));
            ASSERT_GT(left, 0u) << "the ceiling was reached unseen at " << rate << "/s";
            if (left < kMargin)
                break;
            schedule.Saw({kLimit, left, CeilingSource::ResourceLimit, "RLIMIT_NOFILE", {}}, now);
        }
    }
}

TEST(LookSchedule, LooksSoonerAsTheHeadroomShrinksOrTheGrowthOutrunsTheFastestAndRarelyWithoutACeiling)
{
    using platform::LookSchedule;
    using namespace std::chrono_literals;
    const LookSchedule::Clock::time_point start{};
    // Milliseconds from `now` to the next look after seeing `left`.
    const auto dueAfter = [&](LookSchedule& schedule, std::uint64_t left, LookSchedule::Clock::time_point now) {
        schedule.Saw({100000, left, CeilingSource::Cgroup, "pids.max", {}}, now);
        return std::chrono::duration<double, std::milli>(schedule.Due() - now).count();
    };
    LookSchedule schedule(1000);
    EXPECT_NEAR(dueAfter(schedule, 1000, start), 500, 0.01) << "half the time the fastest growth needs";
    EXPECT_NEAR(dueAfter(schedule, 950, start + 100ms), 475, 0.01) << "500/s seen: the fastest counts";
    EXPECT_NEAR(dueAfter(schedule, 550, start + 200ms), 68.75, 0.01) << "4000/s seen: faster than the fastest";
    EXPECT_NEAR(dueAfter(schedule, 1, start + 300ms), 2, 0.01) << "never sooner than a few milliseconds";
    schedule.Saw({}, start + 300ms);
    EXPECT_EQ(schedule.Due() - (start + 300ms), LookSchedule::kLatest) << "an unknown ceiling";
}

TEST(MachinePressure, TakesTheLinesTheKernelHasAndLeavesOutTheOthers)
{
    SampleTree tree("", "");
    tree.Write("/proc/pressure/cpu", "some avg10=1.50 avg60=0.75 avg300=0.20 total=3000000");  // no full line before 5.13
    tree.Write("/proc/pressure/memory", "some avg10=0.00 avg60=0.00 avg300=0.00 total=0\nfull avg10=0.00 avg60=0.00 avg300=0.00 total=0");
    tree.Write("/proc/pressure/io", "some avg10=12.25 avg60=6.00 avg300=2.00 total=987654321\nfull avg10=9.50 avg60=4.00 avg300=1.00 total=123");
    const tagQNMachinePressure pressure = platform::ReadMachinePressure(tree.Path("/proc/pressure"));
    const auto figures = [](const tagQNPressureFigures& line) { return std::tuple(line.present, line.avg10Percent, line.avg60Percent, line.totalUs); };
    EXPECT_EQ(figures(pressure.cpuSome), std::tuple(1, 1.5, 0.75, 3000000ull));
    EXPECT_EQ(pressure.cpuFull.present, 0) << "absent, not zero";
    EXPECT_EQ(pressure.memoryFull.present, 1) << "a zero that the kernel reports is present";
    EXPECT_EQ(figures(pressure.ioSome), std::tuple(1, 12.25, 6.0, 987654321ull));
    EXPECT_EQ(figures(pressure.ioFull), std::tuple(1, 9.5, 4.0, 123ull));
    const tagQNMachinePressure none = platform::ReadMachinePressure(tree.Path("/proc/no-pressure"));
    for (const tagQNPressureFigures* figures : {&none.cpuSome, &none.cpuFull, &none.memorySome, &none.memoryFull, &none.ioSome, &none.ioFull})
        EXPECT_EQ(figures->present, 0) << "a kernel without pressure stall information";
}

TEST(CgroupPressure, TakesTheFilesOfTheCgroupThatItHasAndReadsThemAnew)
{
    SampleTree tree("", "");
    tree.Write("/sys/fs/cgroup/app/memory.pressure", "some avg10=40.00 avg60=22.50 avg300=5.00 total=9000000\nfull avg10=30.00 avg60=20.00 avg300=4.00 total=7000000");
    tree.Write("/sys/fs/cgroup/app/io.pressure", "some avg10=0.00 avg60=0.00 avg300=0.00 total=0\nfull avg10=0.00 avg60=0.00 avg300=0.00 total=0");
    const platform::CgroupPressure cgroup(tree.Path("/sys/fs/cgroup/app"));
    tagQNMachinePressure pressure = cgroup.Read();
    EXPECT_EQ(std::tuple(pressure.memorySome.present, pressure.memorySome.avg10Percent, pressure.memorySome.avg60Percent, pressure.memorySome.totalUs),
              std::tuple(1, 40.0, 22.5, 9000000ull));
    EXPECT_EQ(std::tuple(pressure.memoryFull.totalUs, pressure.ioSome.present, pressure.cpuSome.present), std::tuple(7000000ull, 1, 0))
        << "a zero that the kernel reports is present, a file it doesn't have is not";
    tree.Write("/sys/fs/cgroup/app/memory.pressure", "some avg10=50.00 avg60=30.00 avg300=6.00 total=9500000");
    pressure = cgroup.Read();
    EXPECT_EQ(std::tuple(pressure.memorySome.totalUs, pressure.memoryFull.present), std::tuple(9500000ull, 0)) << "read anew";
    for (const std::string& folder : {std::string(), tree.Path("/sys/fs/cgroup/memory/app")})
        EXPECT_EQ(platform::CgroupPressure(folder).Read().memorySome.present, 0) << "no files: nothing (v1, or no cgroup) '" << folder << "'";
}

}  // namespace
