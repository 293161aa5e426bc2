// A server process under test: links the library, registers an emergency handler, runs the load
// monitor and takes commands on standard input, one per line, answering each with one line:
//   limits KB THREADS HANDLES   sets the emergency limits
//   threads N | memory MB | files N   starts N more idle threads, allocates and touches MB more,
//                               opens N more descriptors ("VERB failed" when the kernel refuses)
//   measure                     measures twice, 50 ms apart, and prints the second sample as
//                               "name value" lines up to "end"
//   log                         prints the logbook so far, "log LINE SEVERITY HRESULT MESSAGE" lines up to "end"
// Prints "emergency 0x<code>" for every call of its handler. Ends, stopping the monitor, when its
// standard input closes.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "agent/XLoadMonitor.h"
#include "agent/XLoadMonitorSettings.h"
#include "agent/XProcessAgent.h"
#include "agent/XProcessResourceObserverInstance.h"
#include "emergency/XResourceEmergencyHandler.h"
#include "interfaces/QNError64.h"

namespace {

std::mutex g_outputMutex;

template <typename... Args>
void Print(const char* format, Args... args)
{
    std::lock_guard lock(g_outputMutex);
    std::printf(format, args...);
    std::fflush(stdout);
}

class PrintingHandler final : public CComObjectGlobal<IQNOPXServerEmergencyHandler> {
public:
    HRESULT GetHandlerInfo(BSTR*) override { return E_FAIL; }
    HRESULT HandleServerEmergency(LONG code) override
    {
        Print("emergency 0x%X\n", static_cast<unsigned>(code));
        return S_OK;
    }
};

// Limits the address space to what the process uses now plus `headroomMB`.
void LimitAddressSpace(long headroomMB)
{
    std::ifstream status("/proc/self/status");
    long long sizeKB = 0;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0)
            sizeKB = std::stoll(line.substr(7));
    const auto bytes = static_cast<rlim_t>(sizeKB + headroomMB * 1024) * 1024;
    const rlimit limit{bytes, bytes};
    if (::setrlimit(RLIMIT_AS, &limit) != 0)
        std::perror("setrlimit");
}

void PrintMeasurement()
{
    tagQNResourceInformation info{};
    tagQNMachineResourceLoad previous{};
    XLoadMonitor::ZeroData(previous);
    const bool first = XLoadMonitor::MeasureProcessLoadData(info, previous);
    const auto firstIdle = info.machineLoad.idleTime;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const bool second = XLoadMonitor::MeasureProcessLoadData(info, previous);
    const auto& p = info.processLoad;
    const auto& m = info.machineLoad;
    const std::pair<const char*, long long> figures[] = {
        {"ok", first && second}, {"firstIdleZero", firstIdle.lowPart == 0 && firstIdle.highPart == 0}, {"workingSetKB", p.workingSetKB},
        {"peakWorkingSetKB", p.peakWorkingSetKB}, {"pagefileUsageKB", p.pagefileUsageKB}, {"usedVirtualKB", p.usedVirtualKB},
        {"threadCount", p.threadCount}, {"handleCount", p.handleCount}, {"pageFaultCount", p.pageFaultCount}, {"usedPhysicalKB", m.usedPhysicalKB},
        {"availPhysicalKB", m.availPhysicalKB}, {"usedPageFileKB", m.usedPageFileKB}, {"availPageFileKB", m.availPageFileKB},
        {"processCount", m.processCount}, {"machineThreadCount", m.threadCount}, {"machineHandleCount", m.handleCount},
        {"machineTimes", m.idleTime.lowPart + m.kernelTime.lowPart + m.userTime.lowPart}};
    for (const auto& [name, value] : figures)
        Print("%s %lld\n", name, value);
    Print("end\n");
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"A server process under test, run by commands on standard input."};
    long interval = 2, usage = 0, headroomMB = 0;
    app.add_option("--interval", interval, "Monitor interval in seconds");
    app.add_option("--usage", usage, "External resource usage to report");
    app.add_option("--address-space-headroom-mb", headroomMB, "Limit the address space to what is used now plus this much");
    CLI11_PARSE(app, argc, argv);
    XQNLogbookCapture log;
    PrintingHandler handler;
    XResourceEmergencyHandler::RegisterProcessEmergencyHandler(CComPtr<IQNOPXServerEmergencyHandler>(&handler));
    XLoadMonitorSettings::Instance().SetMonitorIntervalSec(interval);
    XProcessResourceObserverInstance::Instance().SetProcessExternalResourceUsage(static_cast<ULONG>(usage));
    XProcessResourceObserverInstance::Instance().UpdateDatabaseAccessStatistic(11, 22);
    if (headroomMB > 0)
        LimitAddressSpace(headroomMB);

    std::mutex mutex;
    std::condition_variable released;
    bool done = false;
    std::vector<std::thread> idle;
    std::vector<std::unique_ptr<char[]>> memory;
    {
        XLoadMonitor monitor;
        monitor.Start();
        Print("started running=%d\n", monitor.IsRunnning() ? 1 : 0);
        for (std::string line; std::getline(std::cin, line) && !line.empty();) {
            std::istringstream command(line);
            std::string verb;
            long a = 0, b = 0, c = 0;
            command >> verb >> a >> b >> c;
            bool refused = false;
            if (verb == "limits") {
                XProcessResourceObserverInstance::Instance().SetEmergencyResourceMetric(a, b, c);
                Print("limits\n");
                continue;
            }
            if (verb == "threads") {
                try {
                    for (long i = 0; i < a; ++i)
                        idle.emplace_back([&] {
                            std::unique_lock lock(mutex);
                            released.wait(lock, [&] { return done; });
                        });
                } catch (const std::system_error&) {
                    refused = true;
                }
            } else if (verb == "memory") {
                memory.emplace_back(new char[static_cast<std::size_t>(a) << 20]);
                std::memset(memory.back().get(), 1, static_cast<std::size_t>(a) << 20);
            } else if (verb == "files") {
                for (long i = 0; i < a && !refused; ++i)
                    refused = ::open("/dev/null", O_RDONLY) < 0;
            } else if (verb == "measure") {
                PrintMeasurement();
                continue;
            } else if (verb == "log") {
                for (const auto& entry : log.Entries())
                    Print("log %d %d 0x%08X %s\n", entry.line, entry.severity, static_cast<unsigned>(entry.result), entry.message.c_str());
                Print("end\n");
                continue;
            }
            Print(refused ? "%s failed\n" : "%s %ld\n", verb.c_str(), a);
        }
        monitor.Stop();
    }
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    released.notify_all();
    for (auto& thread : idle)
        thread.join();
    XProcessAgent::Destroy();
    XProcessResourceObserverInstance::Destroy();
    XLoadMonitorSettings::Destroy();
    return 0;
}
