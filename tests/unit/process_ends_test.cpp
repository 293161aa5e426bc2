// Where the kernel counts a process's OOM kills, read from sample trees laid out as the kernel
// shows them. Real ends seen through their pidfds are the integration test's.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/ProcessEnds.h"

namespace {

namespace fs = std::filesystem;

constexpr pid_t kPid = 4242;
constexpr const char* kV1MountInfo = "34 30 0:31 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n";
constexpr const char* kV2MountInfo = "30 22 0:27 / /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw,nsdelegate\n";

class OomKillCounter : public testing::Test {
protected:
    void SetUp() override
    {
        Write("/proc/vmstat", "nr_free_pages 100\noom_kill 7\nnr_zone_active_anon 3\n");
        Write("/sys/fs/cgroup/app/memory.events", "low 0\nhigh 0\nmax 9\noom 3\noom_kill 2\noom_group_kill 5\n");
        Write("/sys/fs/cgroup/memory/app/memory.oom_control", "oom_kill_disable 0\nunder_oom 0\noom_kill 4\n");
    }
    void TearDown() override { fs::remove_all(m_root); }

    void Write(const std::string& path, const std::string& text) const
    {
        fs::create_directories(fs::path(m_root + path).parent_path());
        std::ofstream(m_root + path) << text;
    }
    void Place(const std::string& mountInfo, const std::string& cgroups) const
    {
        Write("/proc/self/mountinfo", mountInfo);
        Write("/proc/" + std::to_string(kPid) + "/cgroup", cgroups);
    }

    std::string m_root = fs::temp_directory_path() / ("qn-ends-" + std::to_string(::getpid()));
};

TEST_F(OomKillCounter, ReadsTheOomKillLineOfTheProcesssMemoryCgroupInV2AndV1)
{
    Place(kV2MountInfo, "0::/app\n");
    platform::OomKillCounter v2(kPid, m_root);
    EXPECT_EQ(v2.Cgroup(), m_root + "/sys/fs/cgroup/app");
    EXPECT_EQ(v2.Read(), 2u) << "oom_group_kill is another line";
    Place(kV1MountInfo, "4:memory:/app\n0::/\n");
    platform::OomKillCounter v1(kPid, m_root);
    EXPECT_EQ(v1.Read(), 4u);
}

TEST_F(OomKillCounter, CountsForTheMachineWithoutAMemoryCgroupOfItsOwn)
{
    for (const char* cgroups : {"0::/\n", "2:cpu:/app\n"}) {
        Place(kV2MountInfo, cgroups);
        platform::OomKillCounter counter(kPid, m_root);
        EXPECT_EQ(counter.Cgroup(), "") << cgroups;
        EXPECT_EQ(counter.Read(), 7u) << cgroups;
    }
}

TEST_F(OomKillCounter, FollowsAMoveToAnotherCgroupButNotTheRootThatAnEndingProcessShows)
{
    Place(kV2MountInfo, "0::/\n");
    platform::OomKillCounter counter(kPid, m_root);
    Place(kV2MountInfo, "0::/app\n");
    counter.Refresh();
    EXPECT_EQ(counter.Read(), 2u);
    Place(kV2MountInfo, "0::/\n");
    counter.Refresh();
    EXPECT_EQ(counter.Read(), 2u);
}

}  // namespace
