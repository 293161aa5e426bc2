#include "hosts/server-demo/Growth.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <new>
#include <string>
#include <system_error>

namespace demo {

namespace {

constexpr std::size_t kBytesPerMB = 1 << 20;
constexpr const char* kKindNames[] = {"memory", "files", "threads", "cache"};
constexpr const char* kUnits[] = {"MB", "files", "threads", "MB"};

// An unlinked file to write the cache into; -1 when none can be made.
int CacheFile()
{
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder != nullptr && *folder != '\0' ? folder : "/var/tmp") + "/qn-server-demo-cache-XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0)
        ::unlink(path.c_str());
    return fd;
}

}  // namespace

double MonotonicSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::optional<GrowthOrder> ParseGrowth(const std::string& text)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    GrowthOrder order;
    const std::string kind = text.substr(0, colon);
    const auto named = std::find(std::begin(kKindNames), std::end(kKindNames), kind);
    if (named == std::end(kKindNames))
        return std::nullopt;
    order.kind = static_cast<GrowthKind>(named - std::begin(kKindNames));
    try {
        std::size_t used = 0;
        order.perSecond = std::stod(text.substr(colon + 1), &used);
        if (used != text.size() - colon - 1 || !(order.perSecond > 0))
            return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return order;
}

Growth::Growth(const GrowthOrder& order) : m_order(order)
{
    if (m_order.cap > 0) {
        m_memory.reserve(m_order.kind == GrowthKind::Memory ? m_order.cap : 0);
        m_files.reserve(m_order.kind == GrowthKind::Files ? m_order.cap : 0);
        m_threads.reserve(m_order.kind == GrowthKind::Threads ? m_order.cap : 0);
    }
    if (m_order.kind == GrowthKind::Cache)
        m_cacheFile = CacheFile();
    m_grower = std::thread([this] { Run(); });
}

Growth::~Growth()
{
    m_stop = true;
    m_stop.notify_all();
    m_grower.join();
    for (auto& thread : m_threads)
        thread.join();
    for (const int fd : m_files)
        ::close(fd);
    if (m_cacheFile >= 0)
        ::close(m_cacheFile);
}

void Growth::Run()
{
    const auto kind = static_cast<std::size_t>(m_order.kind);
    const auto start = std::chrono::steady_clock::now();
    const auto step = std::chrono::duration<double>(1.0 / m_order.perSecond);
    unsigned grown = 0;
    while (!m_stop && (m_order.cap == 0 || grown < m_order.cap)) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(step * grown));
        if (!GrowOne()) {
            std::printf("qn-server-demo: grow %s refused after %u %s at %.6f s\n", kKindNames[kind], grown, kUnits[kind], MonotonicSeconds());
            std::fflush(stdout);
            return;
        }
        ++grown;
    }
    if (!m_stop) {
        std::printf("qn-server-demo: grow %s reached its cap of %u %s at %.6f s\n", kKindNames[kind], grown, kUnits[kind], MonotonicSeconds());
        std::fflush(stdout);
    }
}

bool Growth::GrowOne()
{
    switch (m_order.kind) {
    case GrowthKind::Memory: {
        std::unique_ptr<char[]> block(new (std::nothrow) char[kBytesPerMB]);
        if (!block)
            return false;
        // Touched, so that the cgroup and the working set count it, not only the address space.
        std::memset(block.get(), 1, kBytesPerMB);
        m_memory.push_back(std::move(block));
        return true;
    }
    case GrowthKind::Files: {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        m_files.push_back(fd);
        return true;
    }
    case GrowthKind::Cache: {
        static const std::string megabyte(kBytesPerMB, '1');
        for (std::size_t written = 0; written < megabyte.size();) {
            const ssize_t length = ::write(m_cacheFile, megabyte.data() + written, megabyte.size() - written);
            if (length <= 0)
                return false;
            written += static_cast<std::size_t>(length);
        }
        return true;
    }
    case GrowthKind::Threads:
        try {
            m_threads.emplace_back([this] { m_stop.wait(false); });
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }
    return false;
}

}  // namespace demo
