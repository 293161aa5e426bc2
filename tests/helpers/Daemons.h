// The two daemons as a test starts them: as the shipped units do (logbook in a file, and, where the
// test is root, the service account), on free ports; their metrics read over HTTP, the system
// observer's status through qn-status, which also reads it inside a network namespace of the
// test's own.
#pragma once

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hosts/common/SystemObserverStatus.pb.h"
#include "tests/helpers/Await.h"
#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/Command.h"
#include "tests/helpers/Sockets.h"
#include "tests/helpers/TestInstallation.h"

namespace qntest {

// The units' service account.
inline constexpr const char* kServiceAccount = "korvel";

// The values of the registry file that KORVEL_REGISTRY names.
inline std::map<std::string, std::string> RegistryFileValues()
{
    std::map<std::string, std::string> values;
    const char* path = std::getenv("KORVEL_REGISTRY");
    std::ifstream file(path == nullptr ? "" : path);
    for (std::string line; std::getline(file, line);)
        if (const auto equals = line.find('='); equals != std::string::npos)
            values[line.substr(0, equals)] = line.substr(equals + 1);
    return values;
}

// The service account, made as the packages make it when it is missing; null where the test
// can't (not root).
inline const passwd* ServiceAccount()
{
    if (::geteuid() != 0)
        return nullptr;
    if (::getpwnam(kServiceAccount) == nullptr)
        (void)Run(std::string("useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin ") + kServiceAccount);
    return ::getpwnam(kServiceAccount);
}

// How the units start `program`: its logbook in `logbook` (QN_LOGBOOK), and under the service
// account where there is one, set up as an operator sets it up: it owns the socket's folder,
// belongs to the registry's ResourceObserverGroup and may read the TLS files.
inline std::vector<std::string> AsTheUnitsStart(const std::string& program, const std::string& logbook)
{
    std::vector<std::string> command{"/usr/bin/env", "QN_LOGBOOK=" + logbook};
    const passwd* account = ServiceAccount();
    if (account == nullptr)
        return command;
    auto registry = RegistryFileValues();
    if (program.ends_with("qn-resource-observer") && !registry["ResourceObserverSocket"].empty())
        (void)::chown(std::filesystem::path(registry["ResourceObserverSocket"]).parent_path().c_str(), account->pw_uid, account->pw_gid);
    for (const char* file : {"TLSCAFile", "TLSCertificateFile", "TLSPrivateKeyFile"})
        if (!registry[file].empty() && ::chown(registry[file].c_str(), static_cast<uid_t>(-1), account->pw_gid) == 0)
            ::chmod(registry[file].c_str(), 0640);
    const std::string& group = registry["ResourceObserverGroup"];
    command.insert(command.end(), {"/usr/bin/setpriv", "--reuid=" + std::string(kServiceAccount), "--regid=" + std::string(kServiceAccount),
                                   group.empty() ? std::string("--init-groups") : "--groups=" + group,
                                   // Changing the user clears it: the daemon must still end with the test.
                                   "--pdeathsig=SIGKILL"});
    return command;
}

class Daemon {
public:
    // Await, cut short with a failure that quotes the daemon's last words once it has ended: a
    // daemon that crashed answers no later wait either.
    template <typename Read, typename Holds>
    auto AwaitWhileServing(Read read, Holds holds, std::chrono::milliseconds limit) const
    {
        auto reading = Await(read, [&](const auto& now) { return holds(now) || !m_process->Running(); }, limit, std::chrono::milliseconds(50));
        if (!m_process->Running())
            ADD_FAILURE() << m_logbook << " ended; its standard error:\n" << StandardError();
        return reading;
    }
    ChildProcess& Process() { return *m_process; }
    // What the daemon wrote to standard error, and its logbook's lines.
    std::string StandardError() const { return FileText(m_standardError); }
    std::vector<std::string> LogbookLines() const { return LogbookLines(m_logbook); }
    static std::vector<std::string> LogbookLines(const std::string& logbook)
    {
        std::ifstream file(logbook);
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);)
            lines.push_back(line);
        return lines;
    }
    // The first line of its logbook that holds `text`, once there is one; empty when none came
    // within `limit` or the daemon ended.
    std::string AwaitLogged(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(60)) const
    {
        const auto line = [&] {
            for (const std::string& line : LogbookLines())
                if (line.find(text) != std::string::npos)
                    return line;
            return std::string();
        };
        return AwaitWhileServing(line, [](const std::string& found) { return !found.empty(); }, limit);
    }
    // Lines of its logbook, or of the logbook file `logbook`, that hold `text`.
    int CountLogged(const std::string& text) const { return CountLogged(m_logbook, text); }
    static int CountLogged(const std::string& logbook, const std::string& text)
    {
        return static_cast<int>(std::ranges::count_if(LogbookLines(logbook), [&](const std::string& line) { return line.find(text) != std::string::npos; }));
    }
    // The loopback port of the daemon's HTTP pages.
    int HttpPort() const { return m_httpPort; }

    std::string Metrics() const { return HttpGet(m_httpPort, "/metrics"); }
    // Lines of the metrics that start with `prefix`; outside a namespace of the test's own.
    int CountMetrics(const std::string& prefix) const { return CountLinesStartingWith(Metrics(), prefix); }
    // Waits up to `limit` until CountMetrics(`prefix`) is `count`; returns the last count.
    int AwaitCount(const std::string& prefix, int count, std::chrono::milliseconds limit = std::chrono::seconds(60)) const
    {
        return AwaitWhileServing([&] { return CountMetrics(prefix); }, [count](int found) { return found == count; }, limit);
    }

protected:
    // Starts `program` with `options` after `prefix` (a namespace to enter, an environment) as the units start it,
    // and returns its first line that starts with `serving`. Its logbook is `logbook`, by default
    // a file of the log folder, where its standard error goes too.
    std::string Start(const std::vector<std::string>& prefix, const std::string& program, const std::vector<std::string>& options,
                      const std::string& serving, const std::string& logbook)
    {
        const std::string folder = LogFolder(), name = std::filesystem::path(program).filename().string();
        m_logbook = logbook.empty() ? folder + "/" + name + ".log" : logbook;
        m_standardError = folder + "/" + name + ".stderr";
        std::vector<std::string> arguments = AsTheUnitsStart(program, m_logbook);
        arguments.insert(arguments.begin() + 2, prefix.begin(), prefix.end());  // after env, before the account
        arguments.push_back(program);
        arguments.insert(arguments.end(), options.begin(), options.end());
        m_process = std::make_unique<ChildProcess>(arguments, m_standardError);
        return m_process->ReadLineStartingWith(serving);
    }

    int m_httpPort = 0;

private:
    // A folder of the installation's that belongs to the service account, as the units'
    // LogsDirectory.
    static std::string LogFolder()
    {
        const std::string folder = std::filesystem::path(std::getenv("KORVEL_REGISTRY")).parent_path() / "log";
        std::filesystem::create_directories(folder);
        if (const passwd* account = ServiceAccount())
            (void)::chown(folder.c_str(), account->pw_uid, account->pw_gid);
        return folder;
    }

    std::unique_ptr<ChildProcess> m_process;
    std::string m_logbook;
    std::string m_standardError;
};

class ResourceObserverDaemon : public Daemon {
public:
    // `options` follow the program; the system observer is on this machine unless they name one.
    // Run through `prefix` (another machine's namespaces, another registry) when one is given.
    // `logbook` as for Daemon::Start.
    explicit ResourceObserverDaemon(const std::vector<std::string>& options = {}, const std::string& logbook = {}, const std::vector<std::string>& prefix = {})
    {
        std::vector<std::string> arguments{"--metrics-port", "0"};
        if (std::ranges::find(options, "--system-observer") == options.end())
            arguments.insert(arguments.end(), {"--system-observer", "localhost"});
        arguments.insert(arguments.end(), options.begin(), options.end());
        const std::string serving = Start(prefix, QN_RESOURCE_OBSERVER, arguments, "qn-resource-observer: serving on", logbook);
        m_httpPort = std::atoi(serving.substr(serving.rfind(':') + 1).c_str());
    }
};

class SystemObserverDaemon : public Daemon {
public:
    // On a free port unless `options` name one, in the network namespace `netns` (a path like
    // /run/netns/NAME) when one is given; `options` follow the program. `logbook` as for
    // Daemon::Start.
    explicit SystemObserverDaemon(const std::string& netns = {}, const std::vector<std::string>& options = {}, const std::string& logbook = {})
    {
        if (!netns.empty())
            m_prefix = {"/usr/bin/nsenter", "--net=" + netns};
        std::vector<std::string> arguments{"--status-port", "0"};
        if (std::ranges::find(options, "--port") == options.end())
            arguments.insert(arguments.end(), {"--port", "0"});
        arguments.insert(arguments.end(), options.begin(), options.end());
        const std::string serving = Start(m_prefix, QN_SYSTEM_RESOURCE_OBSERVER, arguments, "qn-system-resource-observer: serving on ", logbook);
        std::sscanf(serving.c_str(), "qn-system-resource-observer: serving on %*[^:]:%d, status on http://127.0.0.1:%d/status", &m_port, &m_httpPort);
    }

    int Port() const { return m_port; }

    // The status page as qn-status prints it, with qn-status's `options`; empty when it can't be read.
    std::string StatusJson(const std::vector<std::string>& options = {}) const
    {
        std::vector<std::string> arguments = m_prefix;
        arguments.insert(arguments.end(), {QN_STATUS, "--json", "--status-port", std::to_string(m_httpPort)});
        arguments.insert(arguments.end(), options.begin(), options.end());
        std::string json;
        for (const std::string& line : ChildProcess(arguments).ReadRest())
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
        return AwaitWhileServing([this] { return Status(); }, holds, limit);
    }

private:
    std::vector<std::string> m_prefix;  // what runs a program in the daemon's namespace
    int m_port = 0;
};

// The daemons of one machine: a system observer on a free port, which the installation's registry
// then names, and the resource observer that reports to it; each with its `options`.
struct BothDaemons {
    explicit BothDaemons(TestInstallation& installation, const std::vector<std::string>& resourceOptions = {},
                         const std::vector<std::string>& systemOptions = {})
        : system({}, systemOptions), resource((installation.Set("SystemResourceObserverPort", std::to_string(system.Port())), resourceOptions))
    {
    }

    SystemObserverDaemon system;
    ResourceObserverDaemon resource;
};

}  // namespace qntest
