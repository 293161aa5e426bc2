// What a daemon tells systemd, read from a notify socket of the test's own handed over as systemd
// hands it (NOTIFY_SOCKET, WATCHDOG_USEC). The worker is made stuck by stopping its thread alone
// under ptrace, as a hung call or a deadlock stops it.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>

#include "tests/helpers/Daemons.h"

namespace {

// Reads the datagrams of `socket` up to one holding `text`: how many before it held `counted`;
// -1 when `text` did not come within a minute.
int CountUntil(int socket, const std::string& text, const std::string& counted = "\n\n")
{
    char buffer[4096];
    pollfd waiting{socket, POLLIN, 0};
    for (int count = 0; ::poll(&waiting, 1, 60000) == 1;) {
        const std::string message(buffer, static_cast<size_t>(std::max<ssize_t>(::recv(socket, buffer, sizeof buffer, 0), 0)));
        if (message.find(text) != std::string::npos)
            return count;
        count += message.find(counted) != std::string::npos ? 1 : 0;
    }
    return -1;
}

TEST(ServiceManager, ReadyOnceServingWatchdogFedWhileTheWorkerTurnsAndNoMoreOnceItIsStuck)
{
    qntest::TestInstallation installation(qntest::kPlain);
    sockaddr_un address{AF_UNIX, {}};
    installation.Path("notify.sock").copy(address.sun_path, sizeof address.sun_path - 1);
    const int notifications = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(notifications, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::chmod(address.sun_path, 0777);  // for the service account
    ::setenv("NOTIFY_SOCKET", address.sun_path, 1);
    ::setenv("WATCHDOG_USEC", "2000000", 1);
    qntest::SystemObserverDaemon daemon;
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");

    EXPECT_EQ(CountUntil(notifications, "READY=1"), 0) << "the first word, once the daemon serves";
    EXPECT_EQ(CountUntil(notifications, "WATCHDOG=1"), 0);
    EXPECT_EQ(CountUntil(notifications, "WATCHDOG=1"), 0) << "fed while the worker turns";

    pid_t worker = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(daemon.Process().Pid()) + "/task"))
        if (qntest::FileText(task.path() / "comm") == "qn-system-obs\n")
            worker = std::stoi(task.path().filename().string());
    ASSERT_NE(worker, 0);
    if (::ptrace(PTRACE_SEIZE, worker, nullptr, nullptr) != 0)
        GTEST_SKIP() << "can't trace the daemon's worker to stop it: " << std::strerror(errno);
    ASSERT_EQ(::ptrace(PTRACE_INTERRUPT, worker, nullptr, nullptr), 0);
    ASSERT_EQ(::waitpid(worker, nullptr, __WALL), worker) << "the worker alone stops";
    // The turn of the feeder that tells why is one that did not feed; nor did any until the worker runs again.
    EXPECT_GE(CountUntil(notifications, "STATUS=the worker is late"), 0);
    ASSERT_EQ(::ptrace(PTRACE_DETACH, worker, nullptr, nullptr), 0);
    EXPECT_EQ(CountUntil(notifications, "STATUS=serving", "WATCHDOG=1"), 0);
    EXPECT_EQ(CountUntil(notifications, "WATCHDOG=1"), 0) << "fed again";

    EXPECT_EQ(daemon.Process().Terminate(), 0);
    EXPECT_GE(CountUntil(notifications, "STOPPING=1"), 0);
    ::close(notifications);
}

}  // namespace
