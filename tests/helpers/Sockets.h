// Connections to the daemons' endpoints: raw ones, for tests of what a careless or hostile peer
// does, and plain reads of their HTTP pages.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "tests/helpers/Await.h"

namespace qntest {

// A connection to `address`, or -1. A flood doesn't wait: a connection that is still in the
// backlog counts.
template <typename Address>
int ConnectTo(const Address& address, bool wait)
{
    const int fd = ::socket(reinterpret_cast<const sockaddr&>(address).sa_family, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline int ConnectToSocket(const std::string& path, bool wait = true)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return ConnectTo(address, wait);
}

inline int ConnectToLoopback(int port, bool wait = true)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ConnectTo(address, wait);
}

// Whether the peer closes `fd` within `limit`; what it sends meanwhile (a preface) is read and
// dropped.
inline bool ClosedWithin(int fd, std::chrono::milliseconds limit)
{
    return Await(
        [fd] {
            char bytes[256];
            pollfd readable{fd, POLLIN, 0};
            return ::poll(&readable, 1, 100) == 1 && ::recv(fd, bytes, sizeof bytes, 0) <= 0;
        },
        [](bool closed) { return closed; }, limit);
}

// The body of the page at `path` on the loopback `port`; empty when it can't be read.
inline std::string HttpGet(int port, const std::string& path)
{
    httplib::Client client("127.0.0.1", port);
    const auto response = client.Get(path);
    return response ? response->body : std::string();
}

// Lines of `text` that start with `prefix`.
inline int CountLinesStartingWith(const std::string& text, const std::string& prefix)
{
    int count = 0;
    const std::string lines = "\n" + text;
    for (auto at = lines.find("\n" + prefix); at != std::string::npos; at = lines.find("\n" + prefix, at + 1))
        ++count;
    return count;
}

}  // namespace qntest
