// A server process under test: the real qn-server-demo, started and past its start-up.
#pragma once

#include <string>
#include <vector>

#include "tests/helpers/ChildProcess.h"

namespace qntest {

class MonitoredServer : public ChildProcess {
public:
    // With `options`, run through `prefix` (an environment, another user, a limit) when one is
    // given, its standard error appended to the file `standardError` when one is given; returns
    // once the server said whether its monitor runs.
    explicit MonitoredServer(const std::vector<std::string>& options = {}, std::vector<std::string> prefix = {}, const std::string& standardError = {})
        : ChildProcess(Command(options, std::move(prefix)), standardError), m_startLine(ReadLineStartingWith("qn-server-demo: pid "))
    {
    }

    // Whether its monitor loop runs: false too when the server did not start.
    bool Monitoring() const { return m_startLine.find(", monitor running every ") != std::string::npos; }

private:
    static std::vector<std::string> Command(const std::vector<std::string>& options, std::vector<std::string> prefix)
    {
        prefix.push_back(QN_SERVER_DEMO);
        prefix.insert(prefix.end(), options.begin(), options.end());
        return prefix;
    }

    std::string m_startLine;
};

// What runs a program in the cgroup of the folder `cgroup` from its start, as a prefix.
inline std::vector<std::string> InCgroup(const std::string& cgroup)
{
    return {"/bin/sh", "-c", "echo $$ >" + cgroup + "/cgroup.procs && exec \"$@\"", "sh"};
}

}  // namespace qntest
