// qn-system-resource-observer as a test starts it: on free ports, its status read over HTTP.
#pragma once

#include <google/protobuf/util/json_util.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include "hosts/common/SystemObserverStatus.pb.h"
#include "tests/helpers/ChildProcess.h"

namespace qntest {

class SystemObserverDaemon {
public:
    // `prefix` goes before the program (an environment, a namespace to enter).
    explicit SystemObserverDaemon(std::vector<std::string> prefix = {})
    {
        prefix.insert(prefix.end(), {QN_SYSTEM_RESOURCE_OBSERVER, "--port", "0", "--status-port", "0"});
        m_process = std::make_unique<ChildProcess>(prefix);
        const std::string line = m_process->ReadLineStartingWith("qn-system-resource-observer: serving on ");
        std::sscanf(line.c_str(), "qn-system-resource-observer: serving on %*[^:]:%d, status on http://127.0.0.1:%d/status", &m_port, &m_statusPort);
    }

    int Port() const { return m_port; }
    ChildProcess& Process() { return *m_process; }

    // What the daemon's status page says now; no machines when it can't be read.
    qn::status::SystemStatus Status() const
    {
        qn::status::SystemStatus status;
        httplib::Client client("127.0.0.1", m_statusPort);
        if (const auto response = client.Get("/status"))
            (void)google::protobuf::util::JsonStringToMessage(response->body, &status);
        return status;
    }

    // The first status for which `holds` is true, polled every 10 ms; the last one read after
    // `limit`.
    qn::status::SystemStatus AwaitStatus(const std::function<bool(const qn::status::SystemStatus&)>& holds,
                                         std::chrono::milliseconds limit = std::chrono::seconds(20)) const
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        qn::status::SystemStatus status = Status();
        while (!holds(status) && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            status = Status();
        }
        return status;
    }

private:
    std::unique_ptr<ChildProcess> m_process;
    int m_port = 0;
    int m_statusPort = 0;
};

}  // namespace qntest
