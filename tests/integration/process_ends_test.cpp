// Server processes that end while they report: the resource observer records each end with its
// cause and the last figures the process sent, counts it, and the system observer shows the OOM
// kills of the machine. Real qn-server-demo processes, real memory cgroups.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>

#include "tests/helpers/Daemons.h"
#include "tests/helpers/MonitoredServer.h"
#include "tests/helpers/TestCgroup.h"
#include "tests/helpers/TestInstallation.h"

namespace {

using namespace std::chrono_literals;

constexpr unsigned kCgroupMB = 256;
constexpr unsigned kBeyondCgroupMB = 400;

class ProcessEnds : public testing::Test {
protected:
    // A memory cgroup of kCgroupMB; skips the test without one.
    void MakeCgroup()
    {
        std::string whyNot;
        m_cgroup = qntest::TestCgroup::Memory(kCgroupMB, whyNot);
        if (m_cgroup == nullptr)
            GTEST_SKIP() << whyNot;
    }

    // A qn-server-demo that makes `memoryMB` on SIGUSR1, in the test's cgroup from its start when
    // there is one; returns once the resource observer has its samples.
    std::unique_ptr<qntest::MonitoredServer> StartServer(unsigned memoryMB)
    {
        auto server = std::make_unique<qntest::MonitoredServer>(std::vector<std::string>{"--interval", "1", "--memory-mb", std::to_string(memoryMB)},
                                                                m_cgroup != nullptr ? qntest::InCgroup(m_cgroup->Folder()) : std::vector<std::string>{});
        EXPECT_TRUE(server->Monitoring());
        EXPECT_EQ(m_daemons.resource.AwaitCount("qn_process_threads{pid=\"" + std::to_string(server->Pid()) + "\"", 1), 1);
        return server;
    }

    // Once `server` ended, its exit not collected: it stays a zombie that the test may still kill.
    static void AwaitEnd(const qntest::ChildProcess& server)
    {
        siginfo_t info{};
        ::waitid(P_PID, static_cast<id_t>(server.Pid()), &info, WEXITED | WNOWAIT);
    }

    // The logbook's record of the end of `pid`; empty when none came within a minute.
    std::string AwaitRecord(pid_t pid) const { return m_daemons.resource.AwaitLogged("(pid " + std::to_string(pid) + " here) ended"); }

    int Ends(const std::string& cause) const
    {
        const std::string prefix = "qn_process_ends_total{cause=\"" + cause + "\",process=\"qn-server-demo\"} ";
        const std::string metrics = m_daemons.resource.Metrics();
        const auto at = metrics.find(prefix);
        return at == std::string::npos ? -1 : std::atoi(metrics.c_str() + at + prefix.size());
    }

    qntest::TestInstallation m_installation{qntest::kPlain};
    // Cycles of half a second at the tests' time scale: a process is forgotten after ten silent
    // cycles, and one that thrashes in its cgroup before the kill may be silent for a while.
    qntest::BothDaemons m_daemons{m_installation, {"--interval", "50"}};
    std::unique_ptr<qntest::TestCgroup> m_cgroup;
};

TEST_F(ProcessEnds, AServerKilledByTheOomKillerIsRecordedWithItsLastFiguresCountedAndShownAndTheOtherOfItsCgroupEndsLaterAsEnded)
{
    MakeCgroup();
    if (IsSkipped())
        return;
    auto server = StartServer(kBeyondCgroupMB);
    // It lives on: the kill is the victim's alone. Had both ended together, the record would say
    // the victim is one of them.
    auto survivor = StartServer(0);
    const pid_t pid = server->Pid();
    ::kill(pid, SIGUSR1);
    AwaitEnd(*server);
    const std::string record = AwaitRecord(pid);
    EXPECT_NE(record.find("process name 'qn-server-demo', process id " + std::to_string(pid)), std::string::npos) << record;
    EXPECT_NE(record.find("cause: oom_kill (the oom_kill count of memory cgroup " + m_cgroup->Folder() + " rose"), std::string::npos) << record;
    EXPECT_NE(record.find("nearest ceiling: memory " + std::to_string(kCgroupMB << 10) + " KB under cgroup, "), std::string::npos) << record;
    EXPECT_EQ(Ends("oom_kill"), 1);
    EXPECT_EQ(Ends("ended"), 0);

    const auto status = m_daemons.system.AwaitStatus([](const auto& s) { return s.machines_size() == 1 && s.machines(0).oom_kills().kill_count() == 1; });
    ASSERT_EQ(status.machines_size(), 1);
    EXPECT_EQ(status.machines(0).oom_kills().last_victim(), "qn-server-demo");
    EXPECT_EQ(status.machines(0).oom_kills().last_victim_pid(), static_cast<unsigned>(pid));
    EXPECT_GT(status.machines(0).oom_kills().last_victim_time_sec(), 0);

    const pid_t survivorPid = survivor->Pid();
    EXPECT_EQ(survivor->Terminate(), 0);
    EXPECT_NE(AwaitRecord(survivorPid).find("cause: ended ("), std::string::npos) << "the kill explained the victim's end, not the survivor's";
    EXPECT_EQ(Ends("ended"), 1);
    EXPECT_EQ(Ends("oom_kill"), 1);
}

TEST_F(ProcessEnds, AServerThatExitsAndOneKilledWithSigkillAreEachRecordedAsEndedWithoutAnOomKill)
{
    auto exiting = StartServer(0);
    auto killed = StartServer(0);
    const pid_t exitingPid = exiting->Pid(), killedPid = killed->Pid();
    EXPECT_EQ(exiting->Terminate(), 0);
    ::kill(killedPid, SIGKILL);
    for (const pid_t pid : {exitingPid, killedPid}) {
        const std::string record = AwaitRecord(pid);
        EXPECT_NE(record.find("cause: ended (no OOM kill counted "), std::string::npos) << record;
    }
    EXPECT_EQ(Ends("ended"), 2);
    EXPECT_EQ(Ends("oom_kill"), 0);
    const auto status = m_daemons.system.AwaitStatus([](const auto& s) { return s.machines_size() == 1 && s.machines(0).has_oom_kills(); });
    ASSERT_EQ(status.machines_size(), 1);
    EXPECT_EQ(status.machines(0).oom_kills().kill_count(), 0u);
}

}  // namespace
