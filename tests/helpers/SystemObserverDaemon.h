// qn-system-resource-observer as a test starts it: on free ports, its status read over HTTP,
// optionally inside a network namespace of the test's own.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <google/protobuf/util/json_util.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include "hosts/common/SystemObserverStatus.pb.h"
#include "tests/helpers/Await.h"
#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/Sockets.h"

namespace qntest {

class SystemObserverDaemon {
public:
    // On `port` (0: a free one), in the network namespace `netns` (a path like /run/netns/NAME)
    // when one is given; `options` follow the program.
    explicit SystemObserverDaemon(int port = 0, std::string netns = {}, const std::vector<std::string>& options = {}) : m_netns(std::move(netns))
    {
        std::vector<std::string> arguments{QN_SYSTEM_RESOURCE_OBSERVER, "--port", std::to_string(port), "--status-port", "0"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        if (!m_netns.empty())
            arguments.insert(arguments.begin(), {"/usr/bin/nsenter", "--net=" + m_netns});
        m_process = std::make_unique<ChildProcess>(arguments);
        const std::string line = m_process->ReadLineStartingWith("qn-system-resource-observer: serving on ");
        std::sscanf(line.c_str(), "qn-system-resource-observer: serving on %*[^:]:%d, status on http://127.0.0.1:%d/status", &m_port, &m_statusPort);
    }

    int Port() const { return m_port; }
    int StatusPort() const { return m_statusPort; }
    ChildProcess& Process() { return *m_process; }

    // What the daemon's status page says now; no machines when it can't be read.
    qn::status::SystemStatus Status() const
    {
        qn::status::SystemStatus status;
        (void)google::protobuf::util::JsonStringToMessage(StatusJson(), &status);
        return status;
    }

    // The page as it is served; empty when it can't be read.
    std::string StatusJson() const
    {
        std::string json;
        // The page is on the loopback of the daemon's namespace: a thread of its own enters it.
        std::thread reader([&] {
            if (!m_netns.empty()) {
                const int fd = ::open(m_netns.c_str(), O_RDONLY | O_CLOEXEC);
                const bool entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
                if (fd >= 0)
                    ::close(fd);
                if (!entered)
                    return;
            }
            httplib::Client client("127.0.0.1", m_statusPort);
            if (const auto response = client.Get("/status"))
                json = response->body;
        });
        reader.join();
        return json;
    }

    // Lines of the metrics that start with `prefix`; outside a namespace of the test's own.
    int CountMetrics(const std::string& prefix) const { return CountLinesStartingWith(HttpGet(m_statusPort, "/metrics"), prefix); }

    // The first status for which `holds` is true, polled every 10 ms; the last one read after
    // `limit`.
    qn::status::SystemStatus AwaitStatus(const std::function<bool(const qn::status::SystemStatus&)>& holds,
                                         std::chrono::milliseconds limit = std::chrono::seconds(20)) const
    {
        return Await([this] { return Status(); }, holds, limit);
    }

private:
    std::string m_netns;
    std::unique_ptr<ChildProcess> m_process;
    int m_port = 0;
    int m_statusPort = 0;
};

}  // namespace qntest
