// status_cost: what the system observer's own code costs at 1,000, 5,000 and 10,000 machines,
// without the transport: a cycle's round of samples taken by the store and the daemon's notes, the
// store's cycle, a whole /status and /metrics page made. Each is the thread's CPU time (so that
// other work on the machine doesn't count), the median of several after a first that warms the
// memory up; bench/fleet measures the daemon whole.
//   status_cost [MACHINES...]
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/SystemObserverCycle.h"
#include "hosts/system-resource-observer/SystemObserverStatus.h"
#include "systemobserver/XSystemResourceObserverInstance.h"

namespace {

constexpr int kRepeats = 7;
constexpr int kHistoryLength = 4;

double ThreadCpuMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000 + static_cast<double>(now.tv_nsec) / 1e6;
}

template <typename Work>
double MedianMs(Work work)
{
    std::vector<double> times;
    for (int i = 0; i <= kRepeats; ++i) {
        const double start = ThreadCpuMs();
        work();
        times.push_back(ThreadCpuMs() - start);
    }
    times.erase(times.begin());  // the first warms up
    std::nth_element(times.begin(), times.begin() + kRepeats / 2, times.end());
    return times[kRepeats / 2];
}

struct Machines {
    std::vector<BSTR> names;
    explicit Machines(int count)
    {
        for (int i = 0; i < count; ++i)
            names.push_back(SysAllocString(platform::ToUtf16("fleet-machine-" + std::to_string(i)).c_str()));
    }
    ~Machines()
    {
        for (BSTR name : names)
            SysFreeString(name);
    }
};

// One sample of every machine, as the daemon takes a version-3 call: store, then notes.
void Round(const Machines& machines, hosts::MachineBook& book, int round)
{
    tagQNMachinePressure pressure{};
    for (size_t i = 0; i < machines.names.size(); ++i) {
        tagQNSystemResourceInformation info{};
        info.machineName = machines.names[i];
        info.dataValid = 1;
        info.machineLoad.processCount = static_cast<ULONG>(100 + round);
        info.machineLoad.availPhysicalKB = 1 << 20;
        const tagQNMachineOomKills kills{0, nullptr, 0, 0};
        XSystemResourceObserverInstance::Instance().SetSystemResourceData(info);
        book.SampleArrived(info.machineName, &pressure, &kills);
        if (static_cast<int>(i % 50) == round % 50)
            book.AlertArrived(info.machineName, 0x20);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<int> sizes{1000, 5000, 10000};
    if (argc > 1)
        sizes.clear();
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    std::printf("%-44s", "machines");
    for (int size : sizes)
        std::printf(" %10d", size);
    std::printf("\n");
    std::vector<std::vector<double>> rows(5);
    for (int size : sizes) {
        XSystemResourceObserverInstance& store = XSystemResourceObserverInstance::Instance();
        store.SetMachineLimit(static_cast<size_t>(size) * 2);
        hosts::MachineBook book(static_cast<size_t>(size) * 2);
        const Machines machines(size);
        for (int round = 0; round < kHistoryLength; ++round)
            Round(machines, book, round);
        int round = kHistoryLength;
        rows[0].push_back(MedianMs([&] { Round(machines, book, round++); }));
        rows[1].push_back(MedianMs([&] { XSystemResourceObserverInstanceProbe::Cycle(store); }));
        rows[2].push_back(MedianMs([&] { hosts::StatusJson(book, {}); }));
        rows[3].push_back(MedianMs([&] { hosts::SystemObserverMetrics(book.Status(), hosts::CallCounts{}); }));
        rows[4].push_back(rows[0].back() + rows[1].back() + rows[2].back());
        XSystemResourceObserverInstance::Destroy();
    }
    const char* names[] = {"a round of samples (store + notes), ms", "the store's cycle, ms", "a whole /status, ms", "/metrics, ms",
                           "all of a cycle's work and a /status, ms"};
    for (size_t row = 0; row < rows.size(); ++row) {
        std::printf("%-44s", names[row]);
        for (double value : rows[row])
            std::printf(" %10.2f", value);
        for (size_t i = 1; i < rows[row].size(); ++i)
            std::printf("  x%.2f", rows[row][i] / rows[row][i - 1]);
        std::printf("\n");
    }
    return 0;
}
