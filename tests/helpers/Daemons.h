// The two daemons as a test starts them, on free ports: their metrics read over HTTP, the system
// observer's status through qn-status, which also reads it inside a network namespace of the
// test's own.
#pragma once

#include <google/protobuf/util/json_util.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hosts/common/SystemObserverStatus.pb.h"
#include "tests/helpers/Await.h"
#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/Sockets.h"

namespace qntest {

class Daemon {
public:
    ChildProcess& Process() { return *m_process; }
    // The loopback port of the daemon's HTTP pages.
    int HttpPort() const { return m_httpPort; }

    std::string Metrics() const { return HttpGet(m_httpPort, "/metrics"); }
    // Lines of the metrics that start with `prefix`; outside a namespace of the test's own.
    int CountMetrics(const std::string& prefix) const { return CountLinesStartingWith(Metrics(), prefix); }
    // Waits up to `limit` until CountMetrics(`prefix`) is `count`; returns the last count.
    int AwaitCount(const std::string& prefix, int count, std::chrono::milliseconds limit = std::chrono::seconds(60)) const
    {
        return Await([&] { return CountMetrics(prefix); }, [count](int found) { return found == count; }, limit, std::chrono::milliseconds(50));
    }

protected:
    // Starts `arguments` and returns its first line that starts with `serving`.
    std::string Start(const std::vector<std::string>& arguments, const std::string& serving)
    {
        m_process = std::make_unique<ChildProcess>(arguments);
        return m_process->ReadLineStartingWith(serving);
    }

    int m_httpPort = 0;

private:
    std::unique_ptr<ChildProcess> m_process;
};

class ResourceObserverDaemon : public Daemon {
public:
    // `options` follow the program; the system observer is on this machine.
    explicit ResourceObserverDaemon(const std::vector<std::string>& options = {})
    {
        std::vector<std::string> arguments{QN_RESOURCE_OBSERVER, "--metrics-port", "0", "--system-observer", "localhost"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const std::string serving = Start(arguments, "qn-resource-observer: serving on");
        m_httpPort = std::atoi(serving.substr(serving.rfind(':') + 1).c_str());
    }
};

class SystemObserverDaemon : public Daemon {
public:
    // On `port` (0: a free one), in the network namespace `netns` (a path like /run/netns/NAME)
    // when one is given; `options` follow the program.
    explicit SystemObserverDaemon(int port = 0, const std::string& netns = {}, const std::vector<std::string>& options = {})
    {
        if (!netns.empty())
            m_prefix = {"/usr/bin/nsenter", "--net=" + netns};
        std::vector<std::string> arguments = m_prefix;
        arguments.insert(arguments.end(), {QN_SYSTEM_RESOURCE_OBSERVER, "--port", std::to_string(port), "--status-port", "0"});
        arguments.insert(arguments.end(), options.begin(), options.end());
        const std::string serving = Start(arguments, "qn-system-resource-observer: serving on ");
        std::sscanf(serving.c_str(), "qn-system-resource-observer: serving on %*[^:]:%d, status on http://127.0.0.1:%d/status", &m_port, &m_httpPort);
    }

    int Port() const { return m_port; }

    // The status page as qn-status prints it, with qn-status's `options`; empty when it can't be read.
    std::string StatusJson(const std::vector<std::string>& options = {}) const
    {
        std::vector<std::string> arguments = m_prefix;
        arguments.insert(arguments.end(), {QN_STATUS, "--json", "--status-port", std::to_string(m_httpPort)});
        arguments.insert(arguments.end(), options.begin(), options.end());
        ChildProcess reader(arguments);
        std::string json;
        for (std::string line = reader.ReadLine(); !line.empty(); line = reader.ReadLine())
            json += line + "\n";
        return json;
    }
    // What the status page says now; no machines when it can't be read.
    qn::status::SystemStatus Status(const std::vector<std::string>& options = {}) const
    {
        qn::status::SystemStatus status;
        (void)google::protobuf::util::JsonStringToMessage(StatusJson(options), &status);
        return status;
    }
    // The first status for which `holds` is true; the last one read after `limit`.
    qn::status::SystemStatus AwaitStatus(const std::function<bool(const qn::status::SystemStatus&)>& holds,
                                         std::chrono::milliseconds limit = std::chrono::seconds(20)) const
    {
        return Await([this] { return Status(); }, holds, limit, std::chrono::milliseconds(50));
    }

private:
    std::vector<std::string> m_prefix;  // what runs a program in the daemon's namespace
    int m_port = 0;
};

}  // namespace qntest
