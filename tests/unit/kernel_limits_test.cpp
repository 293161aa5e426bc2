// The cgroup and kernel limits and the pressure stall information, read from sample trees laid
// out as the kernel shows them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Ceilings.h"
#include "platform/Pressure.h"

namespace {

namespace fs = std::filesystem;
using platform::CeilingSource;
using platform::KernelLimits;

constexpr std::uint64_t kMB = 1 << 20;

constexpr const char* kV1MountInfo =
    "30 22 0:27 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "34 30 0:31 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
    "38 30 0:35 / /sys/fs/cgroup/pids rw,relatime - cgroup cgroup rw,pids\n";
constexpr const char* kV2MountInfo = "30 22 0:27 / /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw,nsdelegate\n";
constexpr const char* kHybridMountInfo =
    "34 30 0:31 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
    "40 30 0:37 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";

// A folder standing in for /: /proc/self, /proc/sys and cgroup files written by the test.
class SampleTree {
public:
    SampleTree() : m_root(fs::temp_directory_path() / ("qn-limits-" + std::to_string(::getpid()) + "-" + std::to_string(s_count++)))
    {
        fs::create_directories(m_root);
        Write("/proc/sys/kernel/threads-max", "190000\n");
        Write("/proc/sys/vm/overcommit_memory", "0\n");
    }
    ~SampleTree() { fs::remove_all(m_root); }

    void Write(const std::string& path, const std::string& text) const
    {
        const fs::path file = m_root / path.substr(1);
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    std::string Root() const { return m_root.string(); }
    std::string Path(const std::string& path) const { return (m_root / path.substr(1)).string(); }

private:
    static inline int s_count = 0;
    fs::path m_root;
};

TEST(KernelLimits, V1TakesTheTightestLevelOnThePathAndSkipsUnlimitedOnes)
{
    SampleTree tree;
    tree.Write("/proc/self/mountinfo", kV1MountInfo);
    tree.Write("/proc/self/cgroup", "8:pids:/\n4:memory:/apps/web\n0::/\n");
    tree.Write("/sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
    tree.Write("/sys/fs/cgroup/memory/memory.usage_in_bytes", "900000000\n");
    tree.Write("/sys/fs/cgroup/memory/apps/memory.limit_in_bytes", std::to_string(300 * kMB) + "\n");
    tree.Write("/sys/fs/cgroup/memory/apps/memory.usage_in_bytes", std::to_string(250 * kMB) + "\n");
    tree.Write("/sys/fs/cgroup/memory/apps/web/memory.limit_in_bytes", std::to_string(400 * kMB) + "\n");
    tree.Write("/sys/fs/cgroup/memory/apps/web/memory.usage_in_bytes", std::to_string(240 * kMB) + "\n");
    KernelLimits limits(tree.Root());
    const auto memory = limits.Memory(0);
    EXPECT_EQ(memory.source, CeilingSource::Cgroup);
    EXPECT_EQ(memory.limit, 300 * kMB) << "the parent is tighter than the process's own cgroup";
    EXPECT_EQ(memory.left, 50 * kMB);
    EXPECT_STREQ(memory.name, "memory.limit_in_bytes");
    EXPECT_EQ(memory.where, tree.Path("/sys/fs/cgroup/memory/apps"));
    EXPECT_FALSE(limits.Threads(10, 500).source == CeilingSource::Cgroup) << "the pids root has no pids.max";
}

TEST(KernelLimits, V2ReadsMaxAndCurrentAndCountsSwapWithinItsLimit)
{
    SampleTree tree;
    tree.Write("/proc/self/mountinfo", kV2MountInfo);
    tree.Write("/proc/self/cgroup", "0::/system.slice/app.service\n");
    tree.Write("/sys/fs/cgroup/system.slice/memory.max", "max\n");
    tree.Write("/sys/fs/cgroup/system.slice/memory.current", "123\n");
    const std::string app = "/sys/fs/cgroup/system.slice/app.service";
    tree.Write(app + "/memory.max", std::to_string(200 * kMB) + "\n");
    tree.Write(app + "/memory.current", std::to_string(150 * kMB) + "\n");
    tree.Write(app + "/memory.swap.max", std::to_string(30 * kMB) + "\n");
    tree.Write(app + "/memory.swap.current", std::to_string(10 * kMB) + "\n");
    tree.Write(app + "/pids.max", "64\n");
    tree.Write(app + "/pids.current", "40\n");
    KernelLimits limits(tree.Root());

    auto memory = limits.Memory(0);
    EXPECT_EQ(memory.left, 50 * kMB) << "no free swap on the machine: RAM alone";
    EXPECT_STREQ(memory.name, "memory.max");
    memory = limits.Memory(1000 * kMB);
    EXPECT_EQ(memory.left, 70 * kMB) << "plus what swap.max still allows";
    memory = limits.Memory(5 * kMB);
    EXPECT_EQ(memory.left, 55 * kMB) << "plus no more than the machine's free swap";

    const auto threads = limits.Threads(30, 500);
    EXPECT_EQ(threads.source, CeilingSource::Cgroup);
    EXPECT_EQ(threads.left, 24u) << "the other tasks of the cgroup count too";
    EXPECT_EQ(threads.limit, 54u) << "as a ceiling on the process's own threads";
    EXPECT_STREQ(threads.name, "pids.max");
}

TEST(KernelLimits, HybridLayoutFindsMemoryInV1AndNothingForAMissingController)
{
    SampleTree tree;
    tree.Write("/proc/self/mountinfo", kHybridMountInfo);
    tree.Write("/proc/self/cgroup", "4:memory:/job\n0::/job\n");
    tree.Write("/sys/fs/cgroup/memory/job/memory.limit_in_bytes", std::to_string(64 * kMB) + "\n");
    tree.Write("/sys/fs/cgroup/memory/job/memory.usage_in_bytes", std::to_string(60 * kMB) + "\n");
    tree.Write("/sys/fs/cgroup/memory/job/memory.memsw.limit_in_bytes", std::to_string(70 * kMB) + "\n");
    tree.Write("/sys/fs/cgroup/memory/job/memory.memsw.usage_in_bytes", std::to_string(62 * kMB) + "\n");
    KernelLimits limits(tree.Root());
    const auto memory = limits.Memory(100 * kMB);
    EXPECT_EQ(memory.left, 8 * kMB) << "v1 limits memory and swap together";
    EXPECT_EQ(limits.Threads(5, 100).source, CeilingSource::Machine) << "no pids controller: only threads-max";
}

TEST(KernelLimits, NoCgroupFilesMeanNoCgroupCeiling)
{
    SampleTree tree;
    tree.Write("/proc/self/mountinfo", "");
    tree.Write("/proc/self/cgroup", "0::/\n");
    KernelLimits limits(tree.Root());
    EXPECT_EQ(limits.Memory(0).source, CeilingSource::None);
    const auto threads = limits.Threads(5, 1000);
    EXPECT_EQ(threads.left, 189000u);
    EXPECT_STREQ(threads.name, "kernel.threads-max");
    EXPECT_FALSE(limits.StrictOvercommit());
}

TEST(KernelLimits, AMoveToAnotherCgroupAndNewLimitsAreNoticedOnTheNextRefresh)
{
    SampleTree tree;
    tree.Write("/proc/self/mountinfo", kV2MountInfo);
    tree.Write("/proc/self/cgroup", "0::/a\n");
    tree.Write("/sys/fs/cgroup/a/memory.max", std::to_string(100 * kMB) + "\n");
    tree.Write("/sys/fs/cgroup/a/memory.current", std::to_string(10 * kMB) + "\n");
    tree.Write("/sys/fs/cgroup/b/memory.max", std::to_string(50 * kMB) + "\n");
    tree.Write("/sys/fs/cgroup/b/memory.current", std::to_string(45 * kMB) + "\n");
    KernelLimits limits(tree.Root());
    EXPECT_EQ(limits.Memory(0).left, 90 * kMB);

    tree.Write("/sys/fs/cgroup/a/memory.current", std::to_string(30 * kMB) + "\n");
    EXPECT_EQ(limits.Memory(0).left, 70 * kMB) << "usage is read every sample";

    tree.Write("/proc/self/cgroup", "0::/b\n");
    tree.Write("/proc/sys/vm/overcommit_memory", "2\n");
    limits.Refresh();
    const auto moved = limits.Memory(0);
    EXPECT_EQ(moved.left, 5 * kMB);
    EXPECT_EQ(moved.where, tree.Path("/sys/fs/cgroup/b"));
    EXPECT_TRUE(limits.StrictOvercommit());

    tree.Write("/sys/fs/cgroup/b/memory.max", "max\n");
    for (int sample = 0; sample < 12; ++sample)
        limits.Memory(0);
    EXPECT_EQ(limits.Memory(0).source, CeilingSource::None) << "a raised limit is read within a dozen samples";
}

TEST(KernelLimits, ACgroupOutsideWhatTheMountShowsIsSkipped)
{
    SampleTree tree;
    tree.Write("/proc/self/mountinfo", "30 22 0:27 /kubepods /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
    tree.Write("/proc/self/cgroup", "0::/kubepods/pod1\n");
    tree.Write("/sys/fs/cgroup/pod1/memory.max", std::to_string(20 * kMB) + "\n");
    tree.Write("/sys/fs/cgroup/pod1/memory.current", std::to_string(1 * kMB) + "\n");
    KernelLimits shown(tree.Root());
    EXPECT_EQ(shown.Memory(0).left, 19 * kMB) << "the path below the mount's root";

    tree.Write("/proc/self/cgroup", "0::/elsewhere\n");
    KernelLimits hidden(tree.Root());
    EXPECT_EQ(hidden.Memory(0).source, CeilingSource::None);
}

TEST(Ceiling, IsNearUnderATwentiethOrTheFloor)
{
    platform::Ceiling ceiling{1000, 50, CeilingSource::Cgroup, "memory.max", {}};
    EXPECT_FALSE(ceiling.IsNear(10));
    ceiling.left = 49;
    EXPECT_TRUE(ceiling.IsNear(10));
    ceiling.left = 60;
    EXPECT_TRUE(ceiling.IsNear(61));
    EXPECT_FALSE(platform::Ceiling{}.IsNear(100)) << "an unknown ceiling is never near";
}

TEST(MachinePressure, TakesTheLinesTheKernelHasAndLeavesOutTheOthers)
{
    SampleTree tree;
    tree.Write("/proc/pressure/cpu", "some avg10=1.50 avg60=0.75 avg300=0.20 total=3000000\n");  // no full line before 5.13
    tree.Write("/proc/pressure/memory",
               "some avg10=0.00 avg60=0.00 avg300=0.00 total=0\nfull avg10=0.00 avg60=0.00 avg300=0.00 total=0\n");
    tree.Write("/proc/pressure/io", "some avg10=12.25 avg60=6.00 avg300=2.00 total=987654321\nfull avg10=9.50 avg60=4.00 avg300=1.00 total=123\n");
    const tagQNMachinePressure pressure = platform::ReadMachinePressure(tree.Path("/proc/pressure"));
    EXPECT_EQ(pressure.cpuSome.present, 1);
    EXPECT_DOUBLE_EQ(pressure.cpuSome.avg10Percent, 1.5);
    EXPECT_DOUBLE_EQ(pressure.cpuSome.avg60Percent, 0.75);
    EXPECT_EQ(pressure.cpuSome.totalUs, 3000000u);
    EXPECT_EQ(pressure.cpuFull.present, 0) << "absent, not zero";
    EXPECT_EQ(pressure.memoryFull.present, 1) << "a zero that the kernel reports is present";
    EXPECT_EQ(pressure.ioSome.totalUs, 987654321u);
    EXPECT_DOUBLE_EQ(pressure.ioFull.avg10Percent, 9.5);
    EXPECT_EQ(pressure.ioFull.totalUs, 123u);

    const tagQNMachinePressure none = platform::ReadMachinePressure(tree.Path("/proc/no-pressure"));
    for (const tagQNPressureFigures* figures : {&none.cpuSome, &none.cpuFull, &none.memorySome, &none.memoryFull, &none.ioSome, &none.ioFull})
        EXPECT_EQ(figures->present, 0) << "a kernel without pressure stall information";
}

}  // namespace
