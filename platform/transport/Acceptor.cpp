#include "platform/transport/Acceptor.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "platform/Clock.h"
#include "platform/transport/ServerLog.h"

namespace transport {

namespace {

// Out of descriptors or memory, or any other failure of the listener, the acceptor waits this long
// before it takes connections again.
constexpr DWORD kAcceptBackOffMs = 100;
// The longest the acceptor waits for a connection before it beats again.
constexpr DWORD kAcceptorTurnMs = 1000;

// The connection, not the listener, failed: accept passes on the network error of a connection
// that failed while it waited, and the next one is taken at once.
bool IsLostConnection(int failure)
{
    switch (failure) {
    case EINTR: case ECONNABORTED: case EPROTO: case ENETDOWN: case ENETUNREACH: case EHOSTDOWN:
    case EHOSTUNREACH: case ENONET: case ENOPROTOOPT: case EOPNOTSUPP:
        return true;
    default:
        return false;
    }
}

}  // namespace

Acceptor::Acceptor(int listener, std::string endpoint, std::function<void(int)> receiver, platform::Heartbeat& heartbeat)
    : m_listener(listener), m_endpoint(std::move(endpoint)), m_receiver(std::move(receiver)), m_heartbeat(heartbeat)
{
}

Acceptor::~Acceptor() { Stop(); }

bool Acceptor::Start(std::string& error)
{
    try {
        m_thread = std::thread([this] { Accept(); });
        return true;
    } catch (const std::system_error& failure) {
        error = "can't start the thread that accepts connections on " + m_endpoint + ": " + failure.what();
        return false;
    }
}

void Acceptor::Stop()
{
    if (!m_thread.joinable())
        return;
    m_stopping = true;
    ::shutdown(m_listener, SHUT_RDWR);
    m_thread.join();
    m_heartbeat.Rest();
}

bool Acceptor::AwaitConnection()
{
    m_heartbeat.ExpectWithin(kAcceptorTurnMs + platform::kTurnAllowanceMs);
    const auto turn = std::chrono::duration_cast<std::chrono::milliseconds>(platform::ScaledDuration(kAcceptorTurnMs));
    pollfd listener{m_listener, POLLIN, 0};
    const int ready = ::poll(&listener, 1, std::max(1, static_cast<int>(turn.count())));
    // Any failure but a signal is accept's to tell and wait out.
    return ready > 0 || (ready < 0 && errno != EINTR);
}

void Acceptor::Accept()
{
    bool failing = false, told = false;
    for (;;) {
        try {
            if (!AwaitConnection() && !m_stopping)
                continue;
            const int connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            const int failure = errno;
            if (connection < 0 && m_stopping)
                return;
            if (connection < 0 && IsLostConnection(failure))
                continue;
            if (connection < 0) {
                // A flood lets a connection in now and then: its episodes are told once a minute.
                unsigned long long held = 0;
                if (!failing && m_failureLog.Admit(m_endpoint, held)) {
                    LogTransport(__LINE__, u"XComServer::Accept", HRESULT_FROM_WIN32(static_cast<DWORD>(failure)),
                                 "can't accept connections on " + m_endpoint + ": " + std::strerror(failure) +
                                     " - accepting again as soon as it can" + platform::HeldBackNote(held));
                    told = true;
                }
                failing = true;
                Sleep(kAcceptBackOffMs);
                continue;
            }
            if (told)
                LogTransport(__LINE__, u"XComServer::Accept", S_OK, "accepting connections on " + m_endpoint + " again");
            failing = told = false;
            Receive(connection);
        } catch (const std::bad_alloc&) {
            Sleep(kAcceptBackOffMs);  // no memory even for the logbook's line: the same wait
        }
    }
}

// A connection that can't be handed over for want of memory is closed: its peer connects again.
void Acceptor::Receive(int connection)
{
    try {
        m_receiver(connection);
    } catch (const std::bad_alloc&) {
        ::close(connection);
        Sleep(kAcceptBackOffMs);
    }
}

}  // namespace transport
