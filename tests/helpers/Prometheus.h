// A real Prometheus server for a test: Debian's, on a free loopback port, with the test's own
// configuration and storage; its instant queries read back as text.
#pragma once

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tests/helpers/Await.h"
#include "tests/helpers/ChildProcess.h"

namespace qntest {

inline constexpr const char* kPrometheus = "/usr/bin/prometheus";

// Why a test that runs Prometheus and promtool can't; empty when both are here.
inline std::string PrometheusMissing()
{
    for (const char* program : {kPrometheus, "/usr/bin/promtool"})
        if (::access(program, X_OK) != 0)
            return std::string("no ") + program + ": Debian's prometheus package is not installed (scripts/setup-deps installs it)";
    return {};
}

inline int FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

class PrometheusServer {
public:
    // Serves with `configuration` (the YAML of prometheus.yml), its files in `folder`, made here.
    PrometheusServer(const std::string& folder, const std::string& configuration) : m_port(FreeLoopbackPort())
    {
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "/prometheus.yml") << configuration;
        m_process = std::make_unique<ChildProcess>(std::vector<std::string>{kPrometheus, "--config.file=" + folder + "/prometheus.yml",
                                                                            "--storage.tsdb.path=" + folder + "/tsdb",
                                                                            "--web.listen-address=127.0.0.1:" + std::to_string(m_port)});
    }

    std::string Target() const { return "127.0.0.1:" + std::to_string(m_port); }

    // The first value of an instant query, as Prometheus writes it; empty while there is none.
    // Read from the answer's text: the sample is `"value":[TIME,"VALUE"]`.
    std::string Query(const std::string& query) const
    {
        httplib::Client client("127.0.0.1", m_port);
        const auto response = client.Get("/api/v1/query", httplib::Params{{"query", query}}, httplib::Headers{});
        if (!response)
            return {};
        const std::string& answer = response->body;
        const auto value = answer.find("\"value\":[");
        const auto start = value == std::string::npos ? value : answer.find(",\"", value);
        const auto end = start == std::string::npos ? start : answer.find('"', start + 2);
        return end == std::string::npos ? std::string() : answer.substr(start + 2, end - start - 2);
    }

    // The query's value once there is one (equal to `wanted` when given); empty after a minute.
    std::string AwaitQuery(const std::string& query, const std::string& wanted = {}) const
    {
        using namespace std::chrono_literals;
        return Await([&] { return Query(query); }, [&](const std::string& value) { return !value.empty() && (wanted.empty() || value == wanted); }, 60s,
                     100ms);
    }

private:
    int m_port;
    std::unique_ptr<ChildProcess> m_process;
};

}  // namespace qntest
