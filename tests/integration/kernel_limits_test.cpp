// Server processes under real kernel limits (a memory cgroup, RLIMIT_NOFILE, a pids cgroup) grow
// step by step: each emergency comes before the kernel refuses or kills, and reaches the real
// resource observer, which passes it on and shows the ceiling in its metrics.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/helpers/RecordingObserver.h"
#include "tests/helpers/ResourceObserverDaemon.h"
#include "tests/helpers/TestCgroup.h"
#include "tests/helpers/TestInstallation.h"
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
        m_installation.Set("DisableAuthentication", "1");
        m_system = std::make_unique<ChildProcess>(
            std::vector<std::string>{QN_RECORDING_OBSERVER, "--class", "system", "--endpoint", "127.0.0.1:0", "--level", "1"});
        const std::string ready = m_system->ReadLineStartingWith("ready");
        ASSERT_FALSE(ready.empty());
        m_installation.Set("SystemResourceObserverPort", ready.substr(6));
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

    // Sends `step` until the handler hears of `code`; fails when the kernel refused the resource
    // ("VERB failed") or ended the process first.
    static void GrowUntil(ChildProcess& server, const std::string& step, unsigned code)
    {
        const std::string verb = step.substr(0, step.find(' '));
        const std::string expected = "emergency 0x" + ToHex(code);
        for (int i = 0; i < kMaxSteps; ++i) {
            server.Write(step);
            for (std::string line = server.ReadLine();; line = server.ReadLine()) {
                ASSERT_FALSE(line.empty()) << "the process ended before the emergency, after " << i << " steps of '" << step << "'";
                if (line == expected)
                    return;
                ASSERT_NE(line, verb + " failed") << "refused by the kernel before the emergency, after " << i << " steps";
                if (line.rfind(verb, 0) == 0)
                    break;
            }
            // A few monitor cycles for each step.
            std::this_thread::sleep_for(40ms);
        }
        FAIL() << "no emergency after " << kMaxSteps << " steps of '" << step << "'";
    }

    static std::string ToHex(unsigned code)
    {
        char text[16];
        std::snprintf(text, sizeof text, "%X", code);
        return text;
    }

    // The emergency as the resource observer passed it on to the system observer.
    void ExpectPassedOn(unsigned state)
    {
        EXPECT_EQ(m_system->ReadLineStartingWith("RaiseSystemResourceEmergencyEvent"),
                  "RaiseSystemResourceEmergencyEvent machine_name: \"" + qntest::HostName() + "\" state: " + std::to_string(state));
    }

    qntest::TestInstallation m_installation;
    std::unique_ptr<ChildProcess> m_system;
    std::unique_ptr<qntest::ResourceObserverDaemon> m_daemon;
};

TEST_F(KernelLimits, AGrowingServerInAMemoryCgroupRaisesLowMemoryBeforeTheKernelKillsIt)
{
    std::string whyNot;
    const auto cgroup = qntest::TestCgroup::Make("memory", whyNot);
    if (cgroup == nullptr)
        GTEST_SKIP() << whyNot;
    const bool v2 = cgroup->Has("memory.max");
    ASSERT_TRUE(cgroup->Set(v2 ? "memory.max" : "memory.limit_in_bytes", std::to_string(256 << 20)));
    if (v2)
        cgroup->Set("memory.swap.max", "0");
    auto server = StartServer({"--join-cgroup", cgroup->Folder()});
    GrowUntil(*server, "memory 8", 0x1);
    ExpectPassedOn(0x1);
    const std::string metrics = m_daemon->Metrics();
    EXPECT_NE(metrics.find("qn_process_memory_ceiling_bytes{pid=\"" + std::to_string(server->Pid()) + "\",process=\"qn-monitored-server\",source=\"cgroup\"} " +
                           std::to_string(256 << 20)),
              std::string::npos)
        << metrics;
    server->Write("log");
    bool named = false;
    for (std::string line = server->ReadLine(); !line.empty() && line != "end"; line = server->ReadLine())
        named = named || (line.find("LOW MEMORY EMERGENCY: ") != std::string::npos && line.find(cgroup->Folder()) != std::string::npos);
    EXPECT_TRUE(named) << "the logbook names the cgroup";
}

TEST_F(KernelLimits, AServerOpeningFilesUnderADescriptorLimitRaisesTooManyHandlesBeforeItsFirstRefusal)
{
    auto server = StartServer({"--nofile", "256"});
    GrowUntil(*server, "files 8", 0x1000);
    ExpectPassedOn(0x1000);
    EXPECT_GT(m_daemon->CountMetrics("qn_process_descriptor_ceiling{pid=\"" + std::to_string(server->Pid())), 0);
}

TEST_F(KernelLimits, AServerStartingThreadsInAPidsCgroupRaisesTooManyThreadsBeforeCreationFails)
{
    std::string whyNot;
    const auto cgroup = qntest::TestCgroup::Make("pids", whyNot);
    if (cgroup == nullptr)
        GTEST_SKIP() << whyNot;
    ASSERT_TRUE(cgroup->Set("pids.max", "64"));
    auto server = StartServer({"--join-cgroup", cgroup->Folder()});
    GrowUntil(*server, "threads 2", 0x800);
    ExpectPassedOn(0x800);
}

TEST_F(KernelLimits, AServerFarFromEveryLimitRaisesNothing)
{
    auto server = StartServer({});
    std::this_thread::sleep_for(300ms);
    server->Write("log");
    for (std::string line = server->ReadLine(); !line.empty() && line != "end"; line = server->ReadLine())
        EXPECT_EQ(line.find("emergency"), std::string::npos) << line;
    EXPECT_EQ(server->Finish(), 0);
}

}  // namespace
