// Takes a number of samples of the load measurement and prints their cost:
//   measure_loop SAMPLES [--fds N] [--processes N] [--ceilings | --looks]
// prints "us_per_sample X allocations_per_sample Y" after opening N more descriptors and starting N
// idle child processes, so that the growth of the cost with them shows. With --ceilings each
// sample is the monitor's: the figures and the kernel's ceilings (cgroups, rlimits) together. With
// --looks each is a look of the ceiling watch at every kind instead. With no options it does
// nothing else, so that strace can count the system calls of one sample (bench/syscalls-per-sample).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "agent/XLoadMonitor.h"
#include "agent/XLoadMonitorImpl.h"
#include "platform/CeilingWatch.h"
#include "platform/Ceilings.h"

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

// Every allocation of the process through new, the library's included.
void* operator new(std::size_t size)
{
    ++g_allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

int main(int argc, char** argv)
{
    const long samples = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
    long fds = 0, processes = 0;
    bool withCeilings = false, looks = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--ceilings") == 0)
            withCeilings = true;
        else if (std::strcmp(argv[i], "--looks") == 0)
            looks = true;
        else if (i + 1 < argc && std::strcmp(argv[i], "--fds") == 0)
            fds = std::strtol(argv[++i], nullptr, 10);
        else if (i + 1 < argc && std::strcmp(argv[i], "--processes") == 0)
            processes = std::strtol(argv[++i], nullptr, 10);
    }
    for (long i = 0; i < fds; ++i)
        ::open("/dev/null", O_RDONLY);
    std::vector<pid_t> children;
    for (long i = 0; i < processes; ++i)
        if (const pid_t child = ::fork(); child == 0) {
            ::pause();
            ::_exit(0);
        } else if (child > 0) {
            children.push_back(child);
        }

    tagQNResourceInformation info{};
    tagQNMachineResourceLoad previous{};
    XLoadMonitor::ZeroData(previous);
    platform::ProcessCeilings ceilings;
    platform::ProcessCeilings* const wanted = withCeilings ? &ceilings : nullptr;
    agent::MeasureProcessLoad(info, previous, wanted);  // opens what later samples re-read
    platform::CeilingWatch watch;
    // Each look a minute and more after the last, so that every kind is due.
    const auto lookAt = [start = platform::CeilingWatch::Clock::now()](long i) { return start + i * (platform::LookSchedule::kLatest + std::chrono::seconds(1)); };
    if (looks)
        watch.Look({}, lookAt(0), ceilings);
    const long allocationsBefore = g_allocations.load();
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < samples; ++i) {
        if (looks)
            watch.Look({}, lookAt(i + 1), ceilings);
        else
            agent::MeasureProcessLoad(info, previous, wanted);
    }
    const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    if (looks)
        std::printf("us_per_look %.2f allocations_per_look %.2f\n", samples > 0 ? spent.count() / samples : 0.0,
                    samples > 0 ? static_cast<double>(g_allocations.load() - allocationsBefore) / samples : 0.0);
    else if (argc > 2 || samples > 0)
        std::printf("us_per_sample %.2f allocations_per_sample %.2f\n", samples > 0 ? spent.count() / samples : 0.0,
                    samples > 0 ? static_cast<double>(g_allocations.load() - allocationsBefore) / samples : 0.0);

    for (const pid_t child : children) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    return 0;
}
