// The daemons against what ends a careless server: a second instance on the same endpoint, a
// socket file left behind by a crash, and a flood of connections up to the descriptor limit.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
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

// Whether a probe client reaches the observer of `kind`.
bool Reached(const std::string& kind = "resource")
{
    ChildProcess probe({QN_PROBE_CLIENT, "--class", kind, "--level", "1"});
    return probe.ReadLine().starts_with(kReached);
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

}  // namespace
