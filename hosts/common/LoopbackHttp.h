// LoopbackHttp serves a daemon's status pages over HTTP, on the loopback address unless the operator
// names another (a reverse proxy's side of the machine): operators and scrapers on the machine
// read them, nobody else. Handlers run on the server's own threads.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace hosts {

// Where the daemons' pages are unless their command lines say otherwise.
inline constexpr int kSystemObserverStatusPort = 7542;
inline constexpr int kResourceObserverMetricsPort = 7543;
inline constexpr const char* kLoopbackAddress = "127.0.0.1";

class LoopbackHttp {
public:
    struct Page {
        std::string body;
        std::string contentType;
        int status = 200;
    };
    using Parameters = std::multimap<std::string, std::string>;

    LoopbackHttp();
    ~LoopbackHttp();  // stops serving
    LoopbackHttp(const LoopbackHttp&) = delete;
    LoopbackHttp& operator=(const LoopbackHttp&) = delete;

    // Answers GET `path` with what `page` makes at the time of the request.
    void Serve(const std::string& path, std::function<Page()> page);
    // Answers GET `path` with what `page` makes of the request's query parameters.
    void Serve(const std::string& path, std::function<Page(const Parameters&)> page);
    // Binds `address`:`port` (0: a free port) and serves from a thread of its own; false with the
    // reason in `error` when the port can't be had.
    bool Start(int port, std::string& error, const std::string& address = kLoopbackAddress);
    int Port() const { return m_port; }
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    int m_port = 0;
};

}  // namespace hosts
