#include "hosts/common/LoopbackHttp.h"

#include <httplib.h>

#include <chrono>
#include <thread>

namespace hosts {

struct LoopbackHttp::Impl {
    httplib::Server server;
    std::thread thread;
};

// Each connection holds a worker while it is open: idle and slow clients are let go within a couple
// of seconds, and there are workers enough that a handful of them can't keep a scraper waiting.
constexpr int kWorkers = 32;
constexpr auto kReadTimeout = std::chrono::seconds(2);
constexpr time_t kKeepAliveSeconds = 2;

LoopbackHttp::LoopbackHttp() : m_impl(std::make_unique<Impl>())
{
    m_impl->server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    m_impl->server.set_read_timeout(kReadTimeout);
    m_impl->server.set_write_timeout(kReadTimeout);
    m_impl->server.set_keep_alive_timeout(kKeepAliveSeconds);
}

LoopbackHttp::~LoopbackHttp()
{
    Stop();
}

void LoopbackHttp::Serve(const std::string& path, std::function<Page()> page)
{
    Serve(path, [page = std::move(page)](const Parameters&) { return page(); });
}

void LoopbackHttp::Serve(const std::string& path, std::function<Page(const Parameters&)> page)
{
    m_impl->server.Get(path, [page = std::move(page)](const httplib::Request& request, httplib::Response& response) {
        Page made = page(Parameters(request.params.begin(), request.params.end()));
        response.status = made.status;
        response.set_content(std::move(made.body), made.contentType);
    });
}

bool LoopbackHttp::Start(int port, std::string& error)
{
    constexpr const char* kLoopback = "127.0.0.1";
    m_port = port == 0 ? m_impl->server.bind_to_any_port(kLoopback) : (m_impl->server.bind_to_port(kLoopback, port) ? port : -1);
    if (m_port <= 0) {
        error = "can't listen on " + std::string(kLoopback) + ":" + std::to_string(port);
        m_port = 0;
        return false;
    }
    m_impl->thread = std::thread([this] { m_impl->server.listen_after_bind(); });
    return true;
}

void LoopbackHttp::Stop()
{
    if (!m_impl->thread.joinable())
        return;
    m_impl->server.stop();
    m_impl->thread.join();
}

}  // namespace hosts
