// qn-resource-observer as a test starts it: its metrics on a free loopback port, read over HTTP.
#pragma once

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>

#include "tests/helpers/Await.h"
#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/Sockets.h"

namespace qntest {

class ResourceObserverDaemon {
public:
    // `options` follow the program; the system observer is on this machine.
    explicit ResourceObserverDaemon(const std::vector<std::string>& options = {})
    {
        std::vector<std::string> arguments{QN_RESOURCE_OBSERVER, "--metrics-port", "0", "--system-observer", "localhost"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        m_process = std::make_unique<ChildProcess>(arguments);
        const std::string serving = m_process->ReadLineStartingWith("qn-resource-observer: serving on");
        m_metricsPort = std::atoi(serving.substr(serving.rfind(':') + 1).c_str());
    }

    int MetricsPort() const { return m_metricsPort; }
    ChildProcess& Process() { return *m_process; }

    std::string Metrics() const { return HttpGet(m_metricsPort, "/metrics"); }
    // Lines of the metrics that start with `prefix`.
    int CountMetrics(const std::string& prefix) const { return CountLinesStartingWith(Metrics(), prefix); }

    // Waits up to `limit` until CountMetrics(`prefix`) is `count`; returns the last count.
    int AwaitCount(const std::string& prefix, int count, std::chrono::milliseconds limit = std::chrono::seconds(60)) const
    {
        return Await([&] { return CountMetrics(prefix); }, [count](int found) { return found == count; }, limit, std::chrono::milliseconds(50));
    }

private:
    std::unique_ptr<ChildProcess> m_process;
    int m_metricsPort = 0;
};

}  // namespace qntest
