// What a daemon tells systemd, read from a notify socket of the test's own, handed over as systemd
// hands it (NOTIFY_SOCKET, WATCHDOG_USEC). The worker is made stuck by stopping its thread alone
// under ptrace, the way a hung call or a deadlock stops it.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/helpers/Daemons.h"
#include "tests/helpers/TestInstallation.h"

namespace {

constexpr int kReceiveLimitMs = 60000;

// The socket systemd listens on for its services' words.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : m_path(path), m_socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        m_bound = ::bind(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && ::chmod(path.c_str(), 0777) == 0;
    }
    ~NotifySocket()
    {
        ::close(m_socket);
        ::unlink(m_path.c_str());
    }
    bool Bound() const { return m_bound; }

    // The next message; empty when none came within a minute.
    std::string Receive()
    {
        pollfd socket{m_socket, POLLIN, 0};
        char buffer[4096];
        if (::poll(&socket, 1, kReceiveLimitMs) != 1)
            return {};
        const ssize_t length = ::recv(m_socket, buffer, sizeof buffer, 0);
        return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
    }
    // Reads up to `text`; how many messages before it held `counted`, or -1 when `text` never came.
    int CountUntil(const std::string& text, const std::string& counted)
    {
        int count = 0;
        for (std::string message = Receive(); !message.empty(); message = Receive()) {
            if (message.find(text) != std::string::npos)
                return count;
            count += message.find(counted) != std::string::npos ? 1 : 0;
        }
        return -1;
    }

private:
    std::string m_path;
    int m_socket;
    bool m_bound = false;
};

// The thread of process `pid` named `name`; 0 when there is none.
pid_t ThreadNamed(pid_t pid, const std::string& name)
{
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        if (comm == name)
            return static_cast<pid_t>(std::stoi(task.path().filename().string()));
    }
    return 0;
}

TEST(ServiceManager, ReadyOnceServingWatchdogFedWhileTheWorkerTurnsAndNoMoreOnceItIsStuck)
{
    qntest::TestInstallation installation(qntest::kPlain);
    NotifySocket notifications(installation.Path("notify.sock"));
    ASSERT_TRUE(notifications.Bound());
    ::setenv("NOTIFY_SOCKET", installation.Path("notify.sock").c_str(), 1);
    ::setenv("WATCHDOG_USEC", "2000000", 1);
    qntest::SystemObserverDaemon daemon;
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ASSERT_GT(daemon.Port(), 0);

    const std::string first = notifications.Receive();
    EXPECT_NE(first.find("READY=1"), std::string::npos) << "the first word, once the daemon serves: " << first;
    EXPECT_EQ(notifications.CountUntil("WATCHDOG=1", ""), 0);
    EXPECT_EQ(notifications.CountUntil("WATCHDOG=1", ""), 0) << "fed while the worker turns";

    const pid_t worker = ThreadNamed(daemon.Process().Pid(), "qn-system-obs");
    ASSERT_NE(worker, 0);
    if (::ptrace(PTRACE_SEIZE, worker, nullptr, nullptr) != 0)
        GTEST_SKIP() << "can't trace the daemon's worker to stop it: " << std::strerror(errno);
    ASSERT_EQ(::ptrace(PTRACE_INTERRUPT, worker, nullptr, nullptr), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(worker, &status, __WALL), worker) << "the worker alone stops";
    // The turn of the feeder that tells why is one that did not feed.
    EXPECT_GE(notifications.CountUntil("STATUS=the worker is late", ""), 0) << "the daemon tells why it stops feeding";

    // Running again, it is fed again; not once in between.
    ASSERT_EQ(::ptrace(PTRACE_DETACH, worker, nullptr, nullptr), 0);
    EXPECT_EQ(notifications.CountUntil("STATUS=serving", "WATCHDOG=1"), 0);
    EXPECT_EQ(notifications.CountUntil("WATCHDOG=1", ""), 0);

    EXPECT_EQ(daemon.Process().Terminate(), 0);
    EXPECT_GE(notifications.CountUntil("STOPPING=1", ""), 0);
}

}  // namespace
