#include "platform/transport/CallingProcess.h"

#include <sys/socket.h>

#include <charconv>
#include <map>
#include <mutex>
#include <string_view>

#include "platform/transport/ComServer.h"

namespace transport {

namespace {

std::mutex g_peersMutex;
std::map<int, pid_t> g_peerProcesses;
thread_local std::optional<pid_t> t_callingProcess;

std::optional<pid_t> PeerProcessOf(const std::string& peer)
{
    constexpr std::string_view kDescriptorPeer = "fd:";
    int fd = -1;
    if (!peer.starts_with(kDescriptorPeer) || std::from_chars(peer.data() + kDescriptorPeer.size(), peer.data() + peer.size(), fd).ec != std::errc())
        return std::nullopt;
    std::lock_guard lock(g_peersMutex);
    const auto found = g_peerProcesses.find(fd);
    return found == g_peerProcesses.end() ? std::nullopt : std::optional(found->second);
}

}  // namespace

void NotePeerProcess(int connection)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return;
    try {
        std::lock_guard lock(g_peersMutex);
        g_peerProcesses[connection] = peer.pid;
    } catch (...) {
        // Out of memory: calls of this connection go without their process, as unknown peers do.
    }
}

CallingProcessScope::CallingProcessScope(const std::string& peer) { t_callingProcess = PeerProcessOf(peer); }

CallingProcessScope::~CallingProcessScope() { t_callingProcess.reset(); }

std::optional<pid_t> CallingProcessId() { return t_callingProcess; }

}  // namespace transport
