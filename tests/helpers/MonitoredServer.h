// A server process under test: qn-monitored-server, started and past its start-up.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tests/helpers/ChildProcess.h"

namespace qntest {

class MonitoredServer : public ChildProcess {
public:
    // With `options`, run through `prefix` (an environment or another user) when one is given;
    // returns once the server printed its start line.
    explicit MonitoredServer(const std::vector<std::string>& options = {}, std::vector<std::string> prefix = {})
        : ChildProcess(Command(options, std::move(prefix))), m_startLine(ReadLineStartingWith("started"))
    {
    }

    // "started running=1" with a monitor loop, "started running=0" without; empty when it failed.
    const std::string& StartLine() const { return m_startLine; }
    // Just after the process was started, before it reached its start line.
    std::chrono::steady_clock::time_point StartedAt() const { return m_startedAt; }

private:
    static std::vector<std::string> Command(const std::vector<std::string>& options, std::vector<std::string> prefix)
    {
        prefix.push_back(QN_MONITORED_SERVER);
        prefix.insert(prefix.end(), options.begin(), options.end());
        return prefix;
    }

    std::chrono::steady_clock::time_point m_startedAt = std::chrono::steady_clock::now();
    std::string m_startLine;
};

}  // namespace qntest
