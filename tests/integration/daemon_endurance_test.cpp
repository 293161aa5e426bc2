// The daemons against what ends a careless server: a second instance on the same endpoint, a
// socket file left behind by a crash, a flood of connections up to the descriptor limit, and the
// system observer away while an agent raises its events.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/ResourceObserverDaemon.h"
#include "tests/helpers/SystemObserverDaemon.h"
#include "tests/helpers/TestInstallation.h"

namespace {

using namespace std::chrono_literals;
using qntest::ChildProcess;

// What the probe prints once it has reached the daemon: the call itself may fail onward.
constexpr const char* kReached = "create 0x00000000 ";

// A daemon `program` that is expected to refuse to start: the line it says so on (standard
// error included) and its exit status.
std::pair<std::string, int> RunRefused(const std::string& program, const std::string& options)
{
    ChildProcess daemon({"/bin/sh", "-c", "exec " + program + " " + options + " 2>&1"});
    const std::string line = daemon.ReadLineStartingWith(program.substr(program.rfind('/') + 1) + ":");
    return {line, daemon.Finish()};
}

// A connection to the Unix socket at `path`, or -1; never waits for a full backlog.
int ConnectTo(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What a probe client that sends one alert to the observer of `kind` prints.
std::string Probe(const std::string& kind = "resource")
{
    ChildProcess probe({QN_PROBE_CLIENT, "--class", kind, "--level", "1"});
    return probe.ReadLine();
}

// Whether a probe client reaches the observer of `kind`.
bool Reached(const std::string& kind = "resource")
{
    return Probe(kind).starts_with(kReached);
}

std::unique_ptr<ChildProcess> StartRecordingSystemObserver(const std::string& port)
{
    auto observer = std::make_unique<ChildProcess>(
        std::vector<std::string>{QN_RECORDING_OBSERVER, "--class", "system", "--endpoint", "127.0.0.1:" + port, "--level", "1"});
    EXPECT_EQ(observer->ReadLineStartingWith("ready").rfind("ready ", 0), 0u);
    return observer;
}

class Endurance : public testing::Test {
protected:
    void SetUp() override
    {
        m_installation.Set("DisableAuthentication", "1");
        m_installation.Set("DCOMAuthenticationService", "WINNT");
    }
    qntest::TestInstallation m_installation;
};

TEST_F(Endurance, ASecondResourceObserverIsRefusedNamingTheFirstWhichGoesOn)
{
    qntest::ResourceObserverDaemon first;
    const auto [line, status] = RunRefused(QN_RESOURCE_OBSERVER, "--metrics-port 0 --system-observer localhost");
    EXPECT_NE(status, 0);
    EXPECT_NE(line.find("process " + std::to_string(first.Process().Pid()) + " serves on " + m_installation.SocketPath() + " already"),
              std::string::npos)
        << line;
    EXPECT_TRUE(Reached()) << "the first still has its socket";
}

TEST_F(Endurance, ASecondSystemObserverOnThePortIsRefused)
{
    qntest::SystemObserverDaemon first;
    const auto [line, status] = RunRefused(QN_SYSTEM_RESOURCE_OBSERVER, "--port " + std::to_string(first.Port()) + " --status-port 0");
    EXPECT_NE(status, 0);
    EXPECT_NE(line.find("in use by another process"), std::string::npos) << line;
    m_installation.Set("SystemResourceObserverPort", std::to_string(first.Port()));
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(Reached("system")) << "every connection reaches the first";
}

TEST_F(Endurance, ASocketFileLeftByACrashIsReplaced)
{
    {
        qntest::ResourceObserverDaemon crashed;
        ::kill(crashed.Process().Pid(), SIGKILL);
    }
    ASSERT_EQ(::access(m_installation.SocketPath().c_str(), F_OK), 0) << "the killed daemon left its socket file";
    qntest::ResourceObserverDaemon next;
    EXPECT_TRUE(Reached());
}

TEST_F(Endurance, AFloodUpToTheDescriptorLimitLeavesTheResourceObserverAnsweringRightAfter)
{
    qntest::ResourceObserverDaemon daemon;
    ChildProcess limit({"/usr/bin/prlimit", "--pid", std::to_string(daemon.Process().Pid()), "--nofile=128:128"});
    ASSERT_EQ(limit.Finish(), 0);

    std::vector<int> flood;
    for (int i = 0; i < 300; ++i)
        if (const int fd = ConnectTo(m_installation.SocketPath()); fd >= 0)
            flood.push_back(fd);
    std::this_thread::sleep_for(300ms);  // the daemon runs out of descriptors meanwhile
    ASSERT_GT(flood.size(), 128u) << "the flood reaches the limit";
    for (const int fd : flood)
        ::close(fd);

    const auto ended = std::chrono::steady_clock::now();
    bool reached = false;
    while (!reached && std::chrono::steady_clock::now() - ended < 1s)
        reached = Reached();
    EXPECT_TRUE(reached) << "a normal call within a second of the flood's end";
}

TEST_F(Endurance, AnAlertRaisedWhileTheSystemObserverIsAwayIsTakenAndPassedOnOnceItIsBack)
{
    auto system = std::make_unique<ChildProcess>(
        std::vector<std::string>{QN_RECORDING_OBSERVER, "--class", "system", "--endpoint", "127.0.0.1:0", "--level", "1"});
    const std::string port = system->ReadLineStartingWith("ready").substr(6);
    m_installation.Set("SystemResourceObserverPort", port);
    qntest::ResourceObserverDaemon daemon({"--relink-interval", "5"});
    system.reset();  // killed

    EXPECT_EQ(Probe(), "create 0x00000000 call 0x00000001") << "taken, to be passed on later: no RPC failure for the agent";
    system = StartRecordingSystemObserver(port);
    EXPECT_NE(system->ReadLineStartingWith("NotifySystemResourceAlert").find("state: 2"), std::string::npos)
        << "the kept alert arrives once the system observer is back";
}

}  // namespace
