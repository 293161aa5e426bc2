// Server processes under real kernel limits (a memory cgroup, RLIMIT_NOFILE, a pids cgroup) grow
// step by step: each emergency comes before the kernel refuses or kills, and reaches the real
// resource observer, which passes it on and shows the ceiling in its metrics.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/helpers/Daemons.h"
#include "tests/helpers/StandIns.h"
#include "tests/helpers/TestCgroup.h"
#include "tests/helpers/ThisMachine.h"

namespace {

using namespace std::chrono_literals;
using qntest::ChildProcess;

constexpr int kMaxSteps = 200;

class KernelLimits : public testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "kernel limits and cgroups need root";
        m_system = std::make_unique<qntest::RecordingObserver>(m_installation, "system");
        m_daemon = std::make_unique<qntest::ResourceObserverDaemon>(std::vector<std::string>{"--interval", "5"});
    }

    std::unique_ptr<ChildProcess> StartServer(std::vector<std::string> options)
    {
        options.insert(options.begin(), {QN_MONITORED_SERVER, "--interval", "1"});
        auto server = std::make_unique<ChildProcess>(options);
        EXPECT_EQ(server->ReadLineStartingWith("started"), "started running=1");
        // Past the monitor's first sleep, so that every step below is measured.
        std::this_thread::sleep_for(300ms);
        return server;
    }

    // Sends `step` until the handler hears of `code`, which the resource observer must pass on;
    // fails when the kernel refused the resource ("VERB failed") or ended the process first.
    void GrowUntil(ChildProcess& server, const std::string& step, unsigned code)
    {
        const std::string verb = step.substr(0, step.find(' '));
        char expected[32];
        std::snprintf(expected, sizeof expected, "emergency 0x%X", code);
        for (int i = 0; i < kMaxSteps; ++i) {
            server.Write(step);
            for (std::string line = server.ReadLine();; line = server.ReadLine()) {
                ASSERT_FALSE(line.empty()) << "the process ended before the emergency, after " << i << " steps of '" << step << "'";
                if (line == expected) {
                    EXPECT_EQ(m_system->Next("RaiseSystemResourceEmergencyEvent").body,
                              "machine_name: \"" + qntest::HostName() + "\" state: " + std::to_string(code));
                    return;
                }
                ASSERT_NE(line, verb + " failed") << "refused by the kernel before the emergency, after " << i << " steps";
                if (line.rfind(verb, 0) == 0)
                    break;
            }
            std::this_thread::sleep_for(40ms);  // a few monitor cycles for each step
        }
        FAIL() << "no emergency after " << kMaxSteps << " steps of '" << step << "'";
    }

    static std::vector<std::string> Log(ChildProcess& server)
    {
        server.Write("log");
        std::vector<std::string> lines;
        for (std::string line = server.ReadLine(); !line.empty() && line != "end"; line = server.ReadLine())
            lines.push_back(line);
        return lines;
    }

    qntest::TestInstallation m_installation{qntest::kPlain};
    std::unique_ptr<qntest::RecordingObserver> m_system;
    std::unique_ptr<qntest::ResourceObserverDaemon> m_daemon;
    std::unique_ptr<qntest::TestCgroup> m_cgroup;
};

TEST_F(KernelLimits, AGrowingServerInAMemoryCgroupRaisesLowMemoryBeforeTheKernelKillsIt)
{
    std::string whyNot;
    m_cgroup = qntest::TestCgroup::Make("memory", whyNot);
    if (m_cgroup == nullptr)
        GTEST_SKIP() << whyNot;
    const bool v2 = m_cgroup->Has("memory.max");
    ASSERT_TRUE(m_cgroup->Set(v2 ? "memory.max" : "memory.limit_in_bytes", std::to_string(256 << 20)));
    if (v2)
        m_cgroup->Set("memory.swap.max", "0");
    auto server = StartServer({"--join-cgroup", m_cgroup->Folder()});
    GrowUntil(*server, "memory 8", 0x1);
    EXPECT_EQ(m_daemon->CountMetrics("qn_process_memory_ceiling_bytes{pid=\"" + std::to_string(server->Pid()) +
                                     "\",process=\"qn-monitored-server\",source=\"cgroup\"} " + std::to_string(256 << 20)),
              1)
        << m_daemon->Metrics();
    const auto log = Log(*server);
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& line) {
        return line.find("LOW MEMORY EMERGENCY: ") != std::string::npos && line.find(m_cgroup->Folder()) != std::string::npos;
    })) << "the logbook names the cgroup";
}

TEST_F(KernelLimits, AServerStartingThreadsInAPidsCgroupRaisesTooManyThreadsBeforeCreationFails)
{
    std::string whyNot;
    m_cgroup = qntest::TestCgroup::Make("pids", whyNot);
    if (m_cgroup == nullptr)
        GTEST_SKIP() << whyNot;
    ASSERT_TRUE(m_cgroup->Set("pids.max", "64"));
    auto server = StartServer({"--join-cgroup", m_cgroup->Folder()});
    GrowUntil(*server, "threads 2", 0x800);
}

TEST_F(KernelLimits, AServerOpeningFilesUnderADescriptorLimitRaisesTooManyHandlesBeforeItsFirstRefusalAndOneFarFromItNothing)
{
    auto calm = StartServer({});
    auto server = StartServer({"--nofile", "256"});
    GrowUntil(*server, "files 8", 0x1000);
    EXPECT_GT(m_daemon->CountMetrics("qn_process_descriptor_ceiling{pid=\"" + std::to_string(server->Pid())), 0);
    for (const std::string& line : Log(*calm))
        EXPECT_EQ(line.find("emergency"), std::string::npos) << line;
    EXPECT_EQ(calm->Finish(), 0);
}

}  // namespace
