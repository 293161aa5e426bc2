// A server process under test: links the library, registers an emergency handler, runs the load
// monitor and takes commands on standard input, one per line:
//   limits KB THREADS HANDLES   sets the emergency limits
//   threads N                   starts N more idle threads ("threads failed" when one can't be)
//   memory MB                   allocates and touches MB more
//   files N                     opens N more descriptors ("files failed" at the first refusal)
//   stop | start                calls Stop or Start of the monitor
//   measure                     measures twice, 50 ms apart, and prints the second sample as
//                               "name value" lines up to "end"
//   log                         prints the logbook so far, one "log LINE SEVERITY HRESULT MESSAGE" a line
// and answers each with one line. Output: "emergency 0x<code>" for every call of its handler.
//   qn-monitored-server [--interval S] [--usage N] [--address-space-headroom-mb M] [--nofile N]
//                       [--join-cgroup FOLDER]...
// --nofile sets RLIMIT_NOFILE; --join-cgroup moves the process into a cgroup before the monitor starts.
// Ends, stopping the monitor, when its standard input closes.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <system_error>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
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
    const rlim_t limit = static_cast<rlim_t>(sizeKB + headroomMB * 1024) * 1024;
    const rlimit value{limit, limit};
    if (::setrlimit(RLIMIT_AS, &value) != 0)
        std::perror("setrlimit");
}

// Two measurements from a cleared previous sample, printed as "measure" describes.
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
    long interval = 2, usage = 0, headroomMB = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (flag == "--join-cgroup") {
            std::ofstream(std::string(argv[i + 1]) + "/cgroup.procs") << ::getpid() << std::endl;
        } else if (flag == "--nofile") {
            const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
                std::perror("setrlimit");
        } else if (flag == "--interval")
            interval = value;
        else if (flag == "--usage")
            usage = value;
        else if (flag == "--address-space-headroom-mb")
            headroomMB = value;
    }
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
            command >> verb;
            if (verb == "limits") {
                long kb = 0, threads = 0, handles = 0;
                command >> kb >> threads >> handles;
                XProcessResourceObserverInstance::Instance().SetEmergencyResourceMetric(kb, threads, handles);
                Print("limits\n");
            } else if (verb == "threads") {
                int count = 0;
                command >> count;
                try {
                    for (int i = 0; i < count; ++i)
                        idle.emplace_back([&] {
                            std::unique_lock lock(mutex);
                            released.wait(lock, [&] { return done; });
                        });
                    Print("threads %d\n", count);
                } catch (const std::system_error&) {
                    Print("threads failed\n");
                }
            } else if (verb == "memory") {
                long megabytes = 0;
                command >> megabytes;
                const std::size_t bytes = static_cast<std::size_t>(megabytes) << 20;
                memory.emplace_back(new char[bytes]);
                std::memset(memory.back().get(), 1, bytes);
                Print("memory %ld\n", megabytes);
            } else if (verb == "files") {
                int count = 0;
                command >> count;
                bool refused = false;
                for (int i = 0; i < count && !refused; ++i)
                    refused = ::open("/dev/null", O_RDONLY) < 0;
                Print(refused ? "files failed\n" : "files %d\n", count);
            } else if (verb == "stop" || verb == "start") {
                verb == "stop" ? monitor.Stop() : monitor.Start();
                Print("%s running=%d\n", verb.c_str(), monitor.IsRunnning() ? 1 : 0);
            } else if (verb == "measure") {
                PrintMeasurement();
            } else if (verb == "log") {
                for (const auto& entry : log.Entries())
                    Print("log %d %d 0x%08X %s\n", entry.line, entry.severity, static_cast<unsigned>(entry.result), entry.message.c_str());
                Print("end\n");
            }
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
