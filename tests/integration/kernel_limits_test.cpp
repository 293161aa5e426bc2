// The real qn-server-demo grows one resource under a real kernel limit (a memory cgroup of v1 and
// v2, RLIMIT_NOFILE, a pids cgroup) many times faster than its cycles: a growth of several margins
// per interval. The watch between the cycles raises each emergency before the kernel refuses or
// kills, and the real resource observer passes it on; a burst that stops short and page cache,
// which the kernel takes back before it kills, raise nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "platform/Clock.h"
#include "tests/helpers/Daemons.h"
#include "tests/helpers/MonitoredServer.h"
#include "tests/helpers/StandIns.h"
#include "tests/helpers/TestCgroup.h"
#include "tests/helpers/ThisMachine.h"

namespace {

using namespace std::chrono_literals;
using qntest::ChildProcess;
using qntest::TestCgroup;

// At the tests' time scale of 1/100 an interval of 100 s is a cycle a second, and the growth
// below runs at real speed: hundreds of MB, hundreds of descriptors, hundreds of threads a cycle
// against margins of 16 MB, 32 descriptors and 8 threads. Where the tests run slower (a sanitized
// build, a guest in software emulation, which says by how much in QN_TEST_SLOWDOWN) the growths
// of the table below are slower, since the growth keeps to real time while the look and the check
// that must come before the kernel's refusal run slower; the cycles are longer by as much, so that
// a cycle still spans as many margins.
const int kSlowdown = platform::kSanitizerSlowdown * [] {
    const char* factor = std::getenv("QN_TEST_SLOWDOWN");
    return factor == nullptr ? 1 : std::max(1, std::atoi(factor));
}();
const std::string kInterval = std::to_string(100 * kSlowdown);
const std::string kGrowAfter = std::to_string(150 * kSlowdown);  // past the monitor's first sleep of one interval
constexpr int kMemoryLimitMB = 256;
// Memory grown at 400 MB/s fills the cgroup some 0.6 s after it starts, and the margin of 16 MB
// lasts only 40 ms at that rate. Started 1.2 intervals in, the kill falls between the first sample
// and the second.
const std::string kMemoryGrowAfter = std::to_string(120 * kSlowdown);

// The demo's --grow of `kind` at `perSecond`, slower where the tests run slower.
std::string Growth(const std::string& kind, int perSecond) { return kind + ":" + std::to_string(perSecond / kSlowdown); }

class KernelLimits : public testing::Test {
protected:
    void SetUp() override
    {
        m_system = std::make_unique<qntest::RecordingObserver>(m_installation, "system");
        m_daemon = std::make_unique<qntest::ResourceObserverDaemon>(std::vector<std::string>{"--interval", "5"});
    }

    // qn-server-demo growing `growth` with `more` options, run through `prefix` (a cgroup, a limit),
    // with its logbook in the test's folder; it grows after `loadAfter` seconds (0: on SIGUSR1).
    std::unique_ptr<qntest::MonitoredServer> StartDemo(const std::string& growth, std::vector<std::string> prefix = {},
                                                        const std::vector<std::string>& more = {}, const std::string& loadAfter = kGrowAfter)
    {
        prefix.insert(prefix.begin(), {"/usr/bin/env", "QN_LOGBOOK=" + LogPath()});
        std::vector<std::string> options{"--interval", kInterval, "--load-after", loadAfter, "--grow", growth};
        options.insert(options.end(), more.begin(), more.end());
        auto demo = std::make_unique<qntest::MonitoredServer>(options, prefix);
        EXPECT_TRUE(demo->Monitoring());
        return demo;
    }

    // Reads the demo's lines until the kernel refused (a "refused" line, or its end when killed);
    // the emergency `code` must come first and reach the system observer.
    void ExpectWarnedBeforeRefusal(ChildProcess& demo, unsigned code)
    {
        char expected[48];
        std::snprintf(expected, sizeof expected, "qn-server-demo: server emergency 0x%X at ", code);
        bool warned = false;
        for (std::string line = demo.ReadLine(); !line.empty() && line.find(" refused after ") == std::string::npos; line = demo.ReadLine())
            warned = warned || line.rfind(expected, 0) == 0;
        ASSERT_TRUE(warned) << "the kernel refused or killed before the emergency";
        EXPECT_EQ(m_system->Next("RaiseSystemResourceEmergencyEvent").body,
                  "machine_name: \"" + qntest::HostName() + "\" state: " + std::to_string(code));
    }

    std::string LogPath() const { return m_installation.Path("demo.log"); }

    // Awaits the first metrics line of the demo's `series` whose labels end as `labels` does and
    // whose value `holds`; empty when none came.
    std::string AwaitSeries(const ChildProcess& demo, const std::string& series, const std::string& labels = "",
                            const std::function<bool(double)>& holds = [](double) { return true; })
    {
        const std::string start = "\n" + series + "{", pid = "pid=\"" + std::to_string(demo.Pid()) + "\"";
        const auto line = [&](const std::string& metrics) {
            for (auto at = metrics.find(start); at != std::string::npos; at = metrics.find(start, at + 1)) {
                const std::string found = metrics.substr(at + 1, metrics.find('\n', at + 1) - at - 1);
                const auto value = found.find(labels + "} ");
                if (found.find(pid) != std::string::npos && value != std::string::npos && holds(std::stod(found.substr(value + labels.size() + 2))))
                    return found;
            }
            return std::string();
        };
        return line(m_daemon->AwaitWhileServing([&] { return m_daemon->Metrics(); }, [&](const std::string& metrics) { return !line(metrics).empty(); }, 60s));
    }

    qntest::TestInstallation m_installation{qntest::kPlain};
    std::unique_ptr<qntest::RecordingObserver> m_system;
    std::unique_ptr<qntest::ResourceObserverDaemon> m_daemon;
    std::string m_whyNot;
};

// A resource growing under a kernel limit, and the emergency that must come before the kernel's
// refusal. 400 descriptors a second leave 80 ms from the margin to EMFILE, time enough for a look
// and its check on a busy machine, and still 12 margins an interval; the limits put each refusal
// between two cycles.
struct Growing {
    const char* name;
    const char* limit;  // a memory cgroup of v1 or v2, a pids cgroup, or RLIMIT_NOFILE
    std::string growth;
    unsigned emergency;
    std::string growAfter = kGrowAfter;
};

void PrintTo(const Growing& row, std::ostream* out) { *out << row.name; }

class GrowthUnderALimit : public KernelLimits, public testing::WithParamInterface<Growing> {};

TEST_P(GrowthUnderALimit, IsWarnedBeforeTheKernelRefuses)
{
    const Growing& row = GetParam();
    const std::string limit = row.limit;
    std::unique_ptr<TestCgroup> cgroup;
    if (limit == "pids" && (cgroup = TestCgroup::Make("pids", m_whyNot)) != nullptr)
        EXPECT_TRUE(cgroup->Set("pids.max", "64"));
    else if (limit != "pids" && limit != "nofile")
        cgroup = TestCgroup::Memory(kMemoryLimitMB, m_whyNot, limit == "memory v1" ? TestCgroup::Version::V1 : TestCgroup::Version::V2);
    if (limit != "nofile" && cgroup == nullptr)
        GTEST_SKIP() << m_whyNot;
    auto demo = StartDemo(row.growth, cgroup == nullptr ? std::vector<std::string>{"/usr/bin/prlimit", "--nofile=384:384"} : qntest::InCgroup(cgroup->Folder()), {},
                          row.growAfter);
    ExpectWarnedBeforeRefusal(*demo, row.emergency);
    if (row.emergency == 0x1)
        EXPECT_THAT(qntest::FileText(LogPath()), testing::ContainsRegex("LOW MEMORY EMERGENCY: .* of cgroup " + cgroup->Folder())) << "the logbook names the cgroup";
}

INSTANTIATE_TEST_SUITE_P(KernelLimits, GrowthUnderALimit,
                         testing::Values(Growing{"MemoryAt400MBPerSecondInACgroupV1", "memory v1", Growth("memory", 400), 0x1, kMemoryGrowAfter},
                                         Growing{"MemoryAt400MBPerSecondInACgroupV2", "memory v2", Growth("memory", 400), 0x1, kMemoryGrowAfter},
                                         Growing{"DescriptorsAt400PerSecondUnderRlimitNofile", "nofile", Growth("files", 400), 0x1000},
                                         Growing{"ThreadsAt500PerSecondInAPidsCgroup", "pids", Growth("threads", 500), 0x800}),
                         [](const testing::TestParamInfo<Growing>& row) { return std::string(row.param.name); });

// The observer stopped, as a hung daemon is, or killed after the monitor's first cycles: the watch
// goes on alone and warns before the kernel refuses; once the observer is back, the kept event
// reaches it and the system observer.
class WithoutItsObserver : public KernelLimits, public testing::WithParamInterface<int> {};

TEST_P(WithoutItsObserver, AServerIsWarnedBeforeTheKernelRefusesAndTheKeptEventGoesOutOnceTheObserverIsBack)
{
    auto demo = StartDemo(Growth("files", 400), {"/usr/bin/prlimit", "--nofile=384:384"}, {}, "0");
    ASSERT_NE(AwaitSeries(*demo, "qn_process_memory_headroom_bytes"), "") << "the loop cycled";
    const pid_t observer = m_daemon->Process().Pid();
    ::kill(observer, GetParam());
    const auto logged = [&](const std::string& text) { return qntest::AwaitFileSays(LogPath(), text).find(text) != std::string::npos; };
    const std::string alone = "checks the process's limits without the resource observer";
    ASSERT_TRUE(logged(alone));
    ::kill(demo->Pid(), SIGUSR1);
    std::string line = demo->ReadLine();
    bool warned = false;
    for (; !line.empty() && line.find(" refused after ") == std::string::npos; line = demo->ReadLine())
        warned = warned || line.starts_with("qn-server-demo: server emergency 0x1000 at ");
    ASSERT_TRUE(warned) << "the kernel refused before the emergency";
    ::kill(demo->Pid(), SIGUSR1);  // the descriptors back, for the link
    if (GetParam() == SIGSTOP) {
        ::kill(observer, SIGCONT);
    } else {
        m_daemon.reset();
        m_daemon = std::make_unique<qntest::ResourceObserverDaemon>(std::vector<std::string>{"--interval", "5"});
    }
    EXPECT_EQ(m_system->Next("RaiseSystemResourceEmergencyEvent").body, "machine_name: \"" + qntest::HostName() + "\" state: 4096");
    EXPECT_NE(m_daemon->AwaitLogged("emergency state: 0x1000"), "");
    ASSERT_TRUE(logged("resource observer answers again"));
    const std::string log = qntest::FileText(LogPath());
    EXPECT_EQ(log.find(alone), log.rfind(alone)) << "one line, not one a cycle";
}

INSTANTIATE_TEST_SUITE_P(KernelLimits, WithoutItsObserver, testing::Values(SIGSTOP, SIGKILL),
                         [](const testing::TestParamInfo<int>& signal) { return std::string(signal.param == SIGSTOP ? "Stopped" : "Killed"); });

// Another process fills the demo's cgroup with three times its limit of page cache: a sample sees
// it and nothing is raised; then the demo's own memory grows and is warned before the OOM kill.
TEST_F(KernelLimits, ACgroupFullOfPageCacheRaisesNothingAndGrowthAfterItIsWarnedBeforeTheOomKill)
{
    auto cgroup = TestCgroup::Memory(kMemoryLimitMB, m_whyNot);
    if (cgroup == nullptr)
        GTEST_SKIP() << m_whyNot;
    // On disk: /tmp may be a tmpfs, whose pages only swap can take.
    struct RemovedAtEnd {
        std::string path;
        ~RemovedAtEnd() { std::filesystem::remove(path); }
    } cache{"/var/tmp/qn-test-cache-" + std::to_string(::getpid())};
    auto writer = qntest::InCgroup(cgroup->Folder());
    // dd puts its output file in place of its standard output: the shell tells the end.
    writer.insert(writer.end(), {"/bin/sh", "-c", "dd if=/dev/zero of=" + cache.path + " bs=1M status=none count=" + std::to_string(3 * kMemoryLimitMB) + " && echo written"});
    ASSERT_EQ(ChildProcess(writer).ReadLine(), "written");
    ASSERT_GT(cgroup->MemoryUsage(), (kMemoryLimitMB - 16ULL) << 20) << "the cache fills the cgroup";

    auto demo = StartDemo("memory:400", qntest::InCgroup(cgroup->Folder()), {}, "0");
    // The sample reached the observer after its check, and the check after its handler's line.
    ASSERT_NE(AwaitSeries(*demo, "qn_process_memory_headroom_bytes"), "") << m_daemon->Metrics();
    ::kill(demo->Pid(), SIGUSR1);
    std::string line = demo->ReadLine();
    for (; !line.empty() && line.find(" makes load") == std::string::npos; line = demo->ReadLine())
        ASSERT_EQ(line.find("server emergency"), std::string::npos) << line;
    ASSERT_NE(line, "") << "the demo ended";
    ExpectWarnedBeforeRefusal(*demo, 0x1);
}

// memory.high far below memory.max: a ceiling of its own source; the kernel throttles the demo's
// growth there, kills nothing, and the observer shows and logs it.
TEST_F(KernelLimits, AServerThrottledUnderMemoryHighShowsItsCgroupsHighEventsRisingAndItsPressure)
{
    auto cgroup = TestCgroup::Memory(kMemoryLimitMB, m_whyNot, TestCgroup::Version::V2);
    if (cgroup == nullptr)
        GTEST_SKIP() << m_whyNot;
    ASSERT_TRUE(cgroup->Set("memory.high", std::to_string(kMemoryLimitMB / 4 << 20)));
    auto demo = StartDemo("memory:400", qntest::InCgroup(cgroup->Folder()), {"--grow-cap", std::to_string(kMemoryLimitMB / 2)}, "0");
    const std::string calm = AwaitSeries(*demo, "qn_process_cgroup_memory_high_events_total");
    ASSERT_NE(calm, "") << m_daemon->Metrics();
    const double before = std::stod(calm.substr(calm.rfind(' ') + 1));
    EXPECT_NE(AwaitSeries(*demo, "qn_process_memory_ceiling_bytes", "source=\"cgroup_high\"", [](double bytes) { return bytes == kMemoryLimitMB / 4 << 20; }), "")
        << m_daemon->Metrics();
    ::kill(demo->Pid(), SIGUSR1);
    EXPECT_NE(AwaitSeries(*demo, "qn_process_cgroup_memory_high_events_total", "", [&](double events) { return events > before; }), "")
        << m_daemon->Metrics();
    EXPECT_NE(AwaitSeries(*demo, "qn_process_cgroup_pressure_stalled_seconds_total", ",resource=\"memory\"", [](double stalled) { return stalled > 0; }), "")
        << m_daemon->Metrics();
    EXPECT_NE(m_daemon->AwaitLogged("is throttled under memory.high of cgroup " + cgroup->Folder()), "");
}

// 100 MB at 400 MB/s that stops well short of a 256 MB cgroup's margin, and stays there.
TEST_F(KernelLimits, ABurstThatStopsShortOfTheCeilingRaisesNothing)
{
#ifdef __SANITIZE_THREAD__
    // The demo's shadow memory counts in the cgroup: it is OOM-killed with 259 MB resident before
    // its 100 MB are grown, so the burst cannot stop short of the ceiling.
    GTEST_SKIP() << "ThreadSanitizer's shadow memory fills the 256 MB cgroup before the burst's cap";
#endif
    auto cgroup = TestCgroup::Memory(kMemoryLimitMB, m_whyNot);
    if (cgroup == nullptr)
        GTEST_SKIP() << m_whyNot;
    auto demo = StartDemo("memory:400", qntest::InCgroup(cgroup->Folder()), {"--grow-cap", "100"});
    const std::string capped = demo->ReadLineStartingWith("qn-server-demo: grow ");
    ASSERT_NE(capped.find("reached its cap of 100 MB"), std::string::npos) << capped;
    // Proof that the agent looked after the burst: a sample sent since shows the grown memory.
    const auto grown = [](double headroom) { return headroom < double(kMemoryLimitMB - 100) * (1 << 20); };
    ASSERT_NE(AwaitSeries(*demo, "qn_process_memory_headroom_bytes", "", grown), "") << m_daemon->Metrics();
    demo->Terminate();
    for (const std::string& line : demo->ReadRest())
        EXPECT_EQ(line.find("server emergency"), std::string::npos) << line;
}

}  // namespace
