// Where the time of a sample goes: each call of the Linux layer that a sample makes, timed alone:
//   sample_parts CALLS
// prints "part NAME us X" for each, X in microseconds per call.
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstdlib>

#include "platform/SystemFigures.h"

namespace {

template <typename Call>
void Time(const char* name, long calls, Call call)
{
    call();  // opens what later calls re-read
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i)
        call();
    const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    std::printf("part %s us %.2f\n", name, spent.count() / static_cast<double>(calls));
}

}  // namespace

int main(int argc, char** argv)
{
    const long calls = argc > 1 ? std::max(1L, std::strtol(argv[1], nullptr, 10)) : 1000;
    PROCESS_MEMORY_COUNTERS counters{};
    DWORD count = 0;
    FILETIME a{}, b{}, c{}, d{};
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    PERFORMANCE_INFORMATION performance{};
    Time("GetProcessMemoryInfo", calls, [&] { GetProcessMemoryInfo(&counters, sizeof counters); });
    Time("GetProcessHandleCount", calls, [&] { GetProcessHandleCount(&count); });
    Time("GetProcessThreadCount", calls, [&] { GetProcessThreadCount(&count); });
    Time("GetProcessTimes", calls, [&] { GetProcessTimes(&a, &b, &c, &d); });
    Time("GlobalMemoryStatusEx", calls, [&] { GlobalMemoryStatusEx(&memory); });
    Time("GetSystemTimes", calls, [&] { GetSystemTimes(&a, &b, &c); });
    Time("GetPerformanceInfo", calls, [&] { GetPerformanceInfo(&performance, sizeof performance); });
    return 0;
}
