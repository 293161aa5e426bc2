// The acceptor behind the daemons' listeners: a listener that fails is waited out, and only Stop
// ends the thread.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include "interfaces/QNError64.h"
#include "platform/transport/Acceptor.h"
#include "tests/helpers/Errors.h"

namespace {

using namespace std::chrono_literals;

TEST(Acceptor, AListenerThatFailsIsWaitedOutAndTakenOnceItWorksAndOnlyStopEndsTheThread)
{
    XQNLogbookCapture log;
    const auto logged = [&](const std::string& text) { return !qntest::AwaitLogged(log, text).empty(); };

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    std::promise<int> handedOver;
    platform::Heartbeat heartbeat;
    transport::Acceptor acceptor(listener, "the test's socket", [&](int connection) { handedOver.set_value(connection); }, heartbeat);
    std::string error;
    ASSERT_TRUE(acceptor.Start(error)) << error;
    // Not listening yet: accept fails with EINVAL, which is no shutdown.
    ASSERT_TRUE(logged("can't accept connections on the test's socket: Invalid argument - accepting again as soon as it can"));

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(sa_family_t)), 0) << "an abstract name of the kernel's choice";
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<const sockaddr*>(&address), length), 0);
    auto connection = handedOver.get_future();
    ASSERT_EQ(connection.wait_for(60s), std::future_status::ready) << "the thread went on after the failure";
    ::close(connection.get());
    EXPECT_TRUE(logged("accepting connections on the test's socket again"));

    acceptor.Stop();
    ::close(client);
    ::close(listener);
}

}  // namespace
