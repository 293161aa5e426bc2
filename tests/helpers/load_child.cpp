// A process that makes a known load, measures itself through the library and prints the sample as
// "name value" lines, then waits for a line on standard input so that the test can read its /proc
// entries while it still holds the load.
#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/XLoadMonitor.h"

int main(int argc, char** argv)
{
    long megabytes = 0, descriptors = 0, threads = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (flag == "--mb")
            megabytes = value;
        else if (flag == "--fds")
            descriptors = value;
        else if (flag == "--threads")
            threads = value;
    }

    std::vector<char> memory(static_cast<std::size_t>(megabytes) * 1024 * 1024);
    std::memset(memory.data(), 1, memory.size());  // touched, so that it is resident
    std::vector<int> files;
    for (long i = 0; i < descriptors; ++i)
        files.push_back(::open("/dev/null", O_RDONLY));
    std::mutex mutex;
    std::condition_variable released;
    bool done = false;
    std::vector<std::thread> workers;
    for (long i = 0; i < threads; ++i)
        workers.emplace_back([&] {
            std::unique_lock lock(mutex);
            released.wait(lock, [&] { return done; });
        });

    tagQNResourceInformation info{};
    tagQNMachineResourceLoad previous{};
    XLoadMonitor::ZeroData(previous);
    const bool first = XLoadMonitor::MeasureProcessLoadData(info, previous);
    const auto firstIdle = info.machineLoad.idleTime;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const bool second = XLoadMonitor::MeasureProcessLoadData(info, previous);
    const auto& p = info.processLoad;
    const auto& m = info.machineLoad;
    std::printf("ok %d\nfirstIdleZero %d\nworkingSetKB %lld\npeakWorkingSetKB %lld\npagefileUsageKB %lld\nusedVirtualKB %lld\n"
                "availVirtualKB %lld\nthreadCount %u\nhandleCount %u\npageFaultCount %u\nkernelTime %u\nuserTime %u\n"
                "usedPhysicalKB %lld\navailPhysicalKB %lld\nusedPageFileKB %lld\navailPageFileKB %lld\nprocessCount %u\n"
                "machineThreadCount %u\nmachineHandleCount %u\nidleTime %u\nmachineKernelTime %u\nmachineUserTime %u\n",
                first && second, firstIdle.lowPart == 0 && firstIdle.highPart == 0, static_cast<long long>(p.workingSetKB),
                static_cast<long long>(p.peakWorkingSetKB), static_cast<long long>(p.pagefileUsageKB),
                static_cast<long long>(p.usedVirtualKB), static_cast<long long>(p.availVirtualKB), p.threadCount, p.handleCount,
                p.pageFaultCount, p.kernelTime.lowPart, p.userTime.lowPart, static_cast<long long>(m.usedPhysicalKB),
                static_cast<long long>(m.availPhysicalKB), static_cast<long long>(m.usedPageFileKB),
                static_cast<long long>(m.availPageFileKB), m.processCount, m.threadCount, m.handleCount, m.idleTime.lowPart,
                m.kernelTime.lowPart, m.userTime.lowPart);
    std::printf("end\n");
    std::fflush(stdout);

    std::string line;
    std::getline(std::cin, line);
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    released.notify_all();
    for (auto& worker : workers)
        worker.join();
    for (int fd : files)
        ::close(fd);
    return 0;
}
