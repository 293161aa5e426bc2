// qn-server-demo: a stand-in for a server process. It loads the library, sets the emergency
// limits, logs every server emergency its handler hears of and runs the load monitor. On request
// it makes load, so that emergencies and machine alerts happen: after --load-after seconds (on the
// system's scaled clock) or on SIGUSR1, for --load-for seconds or until stopped. The load is held
// at once, or grown at a steady rate (--grow) until the kernel refuses. Stops on SIGINT or SIGTERM.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "agent/XLoadMonitor.h"
#include "agent/XLoadMonitorSettings.h"
#include "agent/XProcessAgent.h"
#include "agent/XProcessResourceObserverInstance.h"
#include "emergency/XEmergencyHandlerHelper.h"
#include "emergency/XResourceEmergencyHandler.h"
#include "hosts/common/HostSupport.h"
#include "hosts/server-demo/Growth.h"

namespace {

// Lives as long as the program.
class EmergencyLogger final : public CComObjectGlobal<IQNOPXServerEmergencyHandler> {
public:
    HRESULT GetHandlerInfo(BSTR* description) override
    {
        *description = SysAllocString(u"qn-server-demo emergency logger");
        return S_OK;
    }
    HRESULT HandleServerEmergency(LONG code) override
    {
        const QNErrorLocation location{"qn-server-demo", __LINE__, u"qn-server-demo", u"EmergencyLogger::HandleServerEmergency"};
        XQNError::WriteTraceToErrorLogBook(location, QNSeverity_Trace,
                                           XQNComBSTR::GetFormatted(u"server emergency raised: 0x%X (%s)", code,
                                                                    XEmergencyHandlerHelper::BuildEmergencyCauseMsg(static_cast<QNServerEmergency>(code))),
                                           u"");
        // With the time every process of the machine shares, so that a lead time can be measured.
        std::printf("qn-server-demo: server emergency 0x%X at %.6f s\n", static_cast<unsigned>(code), demo::MonotonicSeconds());
        std::fflush(stdout);
        return S_OK;
    }
};

struct LoadOrder {
    unsigned threads = 0;
    unsigned memoryMB = 0;
    unsigned files = 0;
    unsigned cpuThreads = 0;
    std::optional<demo::GrowthOrder> growth;
};

// Load of the four kinds, held from construction to destruction.
class Load {
public:
    // As much of `order` as the kernel grants: a refused thread or allocation ends that kind.
    explicit Load(const LoadOrder& order)
    {
        Start(order.threads, [this] {
            std::unique_lock lock(m_mutex);
            m_released.wait(lock, [this] { return m_done; });
        });
        Start(order.cpuThreads, [this] {
            while (!m_spinning.load(std::memory_order_relaxed)) {
            }
        });
        constexpr size_t kBytesPerMB = 1024 * 1024;
        m_memory.reset(new (std::nothrow) char[order.memoryMB * kBytesPerMB]);
        // Touched, so that it counts in the working set and not only in the commit.
        if (m_memory != nullptr)
            std::memset(m_memory.get(), 1, order.memoryMB * kBytesPerMB);
        for (unsigned i = 0; i < order.files; ++i)
            if (const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0)
                m_files.push_back(fd);
        if (order.growth)
            m_growth = std::make_unique<demo::Growth>(*order.growth);
    }
    ~Load()
    {
        m_growth.reset();
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_spinning = true;
        m_released.notify_all();
        for (auto& thread : m_threads)
            thread.join();
        for (const int fd : m_files)
            ::close(fd);
    }
    Load(const Load&) = delete;
    Load& operator=(const Load&) = delete;

private:
    template <typename Body>
    void Start(unsigned count, Body body)
    {
        try {
            for (unsigned i = 0; i < count; ++i)
                m_threads.emplace_back(body);
        } catch (const std::system_error&) {
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_done = false;
    std::atomic<bool> m_spinning{false};
    std::vector<std::thread> m_threads;
    std::unique_ptr<char[]> m_memory;
    std::vector<int> m_files;
    std::unique_ptr<demo::Growth> m_growth;
};

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"A stand-in server process: runs the load monitor and makes load on request."};
    int interval = 5;
    long memoryKBLimit = 0, threadLimit = 0, handleLimit = 0;
    unsigned usage = 0, loadAfter = 0, loadFor = 0;
    LoadOrder order;
    app.add_option("--interval", interval, "Monitor interval in seconds")->capture_default_str();
    app.add_option("--memory-kb-limit", memoryKBLimit, "Emergency below this much free virtual memory, KB (0: off)");
    app.add_option("--thread-limit", threadLimit, "Emergency above this many threads (0: off)");
    app.add_option("--handle-limit", handleLimit, "Emergency above this many open files (0: off)");
    app.add_option("--usage", usage, "External resource usage to report");
    app.add_option("--threads", order.threads, "Load: idle threads to start");
    app.add_option("--memory-mb", order.memoryMB, "Load: memory to allocate and touch, MB");
    app.add_option("--files", order.files, "Load: files to open");
    app.add_option("--cpu", order.cpuThreads, "Load: threads that keep a processor busy");
    std::string growth;
    unsigned growthCap = 0;
    app.add_option("--grow", growth,
                   "Load: grow one resource at a steady rate until the kernel refuses: memory:MB_PER_S, files:PER_S, threads:PER_S, or "
                   "cache:MB_PER_S (a file written into the page cache, which must raise nothing)")
        ->check([](const std::string& text) {
            return demo::ParseGrowth(text) ? std::string() : "expected memory:MB_PER_S, files:PER_S, threads:PER_S or cache:MB_PER_S";
        });
    app.add_option("--grow-cap", growthCap, "Stop growing at this many MB, files or threads (0: until refused)");
    app.add_option("--load-after", loadAfter, "Make the load this many seconds after the start (0: only on SIGUSR1)");
    app.add_option("--load-for", loadFor, "Release the load after this many seconds (0: hold it)");
    CLI11_PARSE(app, argc, argv);
    if (!growth.empty()) {
        order.growth = demo::ParseGrowth(growth);
        order.growth->cap = growthCap;
    }

    sigset_t signals = hosts::BlockStopSignals();
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    EmergencyLogger handler;
    XResourceEmergencyHandler::RegisterProcessEmergencyHandler(CComPtr<IQNOPXServerEmergencyHandler>(&handler));
    XLoadMonitorSettings::Instance().SetMonitorIntervalSec(interval);
    XProcessResourceObserverInstance::Instance().SetEmergencyResourceMetric(memoryKBLimit, threadLimit, handleLimit);
    XProcessResourceObserverInstance::Instance().SetProcessExternalResourceUsage(usage);
    {
        XLoadMonitor monitor;
        try {
            monitor.Start();
        } catch (const XWrappedQNException& exception) {
            XQNError::WriteErrorToLogBook(exception);  // no thread for it: the demo says it doesn't run
        }
        std::printf("qn-server-demo: pid %d, monitor %s every %d s\n", ::getpid(), monitor.IsRunnning() ? "running" : "not running", interval);
        std::fflush(stdout);

        std::unique_ptr<Load> load;
        int signal = loadAfter > 0 ? hosts::WaitForSignal(signals, loadAfter) : sigwaitinfo(&signals, nullptr);
        while (signal != SIGINT && signal != SIGTERM) {
            if (!load) {
                load = std::make_unique<Load>(order);
                std::printf("qn-server-demo: pid %d makes load: %u threads, %u MB, %u files, %u busy threads%s%s\n", ::getpid(), order.threads,
                            order.memoryMB, order.files, order.cpuThreads, growth.empty() ? "" : ", grows ", growth.c_str());
            } else {
                load.reset();
                std::printf("qn-server-demo: pid %d released its load\n", ::getpid());
            }
            std::fflush(stdout);
            signal = load && loadFor > 0 ? hosts::WaitForSignal(signals, loadFor) : sigwaitinfo(&signals, nullptr);
        }
        monitor.Stop();
    }
    XProcessAgent::Destroy();
    XProcessResourceObserverInstance::Destroy();
    XLoadMonitorSettings::Destroy();
    return 0;
}
