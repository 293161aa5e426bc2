#include "hosts/common/LoopbackHttp.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace hosts {

namespace {

// cpp-httplib's ThreadPool ends the process when the system refuses one of its threads (a
// joinable std::thread is destroyed as its constructor unwinds). These workers are as many as
// the system grants, at least the listener's own thread: a request that finds no worker or no
// memory to queue it is answered there.
class Workers final : public httplib::TaskQueue {
public:
    explicit Workers(int count)
    {
        try {
            for (int i = 0; i < count; ++i)
                m_threads.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
        }
    }
    ~Workers() override { shutdown(); }

    void enqueue(std::function<void()> task) override
    {
        try {
            if (!m_threads.empty()) {
                {
                    std::lock_guard lock(m_mutex);
                    m_tasks.push_back(std::move(task));
                }
                m_ready.notify_one();
                return;
            }
        } catch (const std::bad_alloc&) {
        }
        task();
    }

    void shutdown() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_ready.notify_all();
        for (auto& thread : m_threads)
            if (thread.joinable())
                thread.join();
    }

private:
    void Work()
    {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(m_mutex);
                m_ready.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
                if (m_tasks.empty())
                    return;
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
            task();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::function<void()>> m_tasks;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

}  // namespace

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
    m_impl->server.new_task_queue = [] { return new Workers(kWorkers); };
    m_impl->server.set_read_timeout(kReadTimeout);
    m_impl->server.set_write_timeout(kReadTimeout);
    m_impl->server.set_keep_alive_timeout(kKeepAliveSeconds);
    // Browsers ask for brotli too, which this cpp-httplib writes at its slowest quality: 0.6 s for
    // a page of 100 machines against 10 ms in gzip, for a sixth fewer bytes. Pages answer in gzip.
    // The request is the server's own, not const, until the handlers see it.
    m_impl->server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
        auto& headers = const_cast<httplib::Headers&>(request.headers);
        for (auto [header, end] = headers.equal_range("Accept-Encoding"); header != end; ++header)
            if (header->second.find("gzip") != std::string::npos)
                header->second = "gzip";
        return httplib::Server::HandlerResponse::Unhandled;
    });
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

bool LoopbackHttp::Start(int port, std::string& error, const std::string& address)
{
    m_port = port == 0 ? m_impl->server.bind_to_any_port(address) : (m_impl->server.bind_to_port(address, port) ? port : -1);
    if (m_port <= 0) {
        error = "can't listen on " + address + ":" + std::to_string(port);
        m_port = 0;
        return false;
    }
    try {
        m_impl->thread = std::thread([this] { m_impl->server.listen_after_bind(); });
    } catch (const std::system_error& failure) {
        error = "can't start the thread of the pages on " + address + ":" + std::to_string(m_port) + ": " + failure.what();
        m_port = 0;
        return false;
    }
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
