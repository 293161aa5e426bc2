// How the observers' cycles grow with what they hold: the resource observer's cycle (bookkeeping,
// averaging and checking every machine, sending it on, cleanup) with 1,000 processes on 10
// machines, and the system observer's cycle and a status query of every machine with 1,000
// machines. Only the cycle is timed, not the samples that arrive before it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "bench/SystemObserverCycle.h"
#include "observer/XResourceObserverInstance.h"
#include "systemobserver/XSystemResourceObserverInstance.h"

// The benchmark's view of the resource observer's worker.
struct XResourceObserverInstanceProbe {
    static void Cycle(XResourceObserverInstance& observer, const CComPtr<IQNSystemResourceObserver>& link)
    {
        observer.UpdateCycleCounters();
        observer.SyncSystemResourceObserver(link);
        observer.CleanupResourceObserver();
    }
};

namespace {

// A system observer in this process that takes everything and keeps nothing.
class NullSystemObserver final : public CComObjectGlobal<IQNSystemResourceObserver> {
public:
    HRESULT SetSystemResourceData(const tagQNSystemResourceInformation*) override { return S_OK; }
    HRESULT RaiseSystemResourceEmergencyEvent(const tagQNSystemResourceEmergencyEvent*) override { return S_OK; }
    HRESULT NotifySystemResourceAlert(const tagQNSystemResourceAlert*) override { return S_OK; }
};

BSTR Text(const std::string& text)
{
    return SysAllocString(platform::ToUtf16(text).c_str());
}

// Fills the histories with `report` and times `cycle` alone, each time after a fresh round of
// samples, as between two cycles of a running installation.
template <typename Report, typename Cycle>
void TimeCycles(benchmark::State& state, Report report, Cycle cycle)
{
    constexpr int kHistoryLength = 4;
    for (int sample = 0; sample < kHistoryLength; ++sample)
        report();
    for (auto _ : state) {
        report();
        const auto start = std::chrono::steady_clock::now();
        cycle();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}

void BM_ResourceObserverCycle(benchmark::State& state)
{
    const int processes = static_cast<int>(state.range(0));
    const int machines = static_cast<int>(state.range(1));
    XResourceObserverInstance& observer = XResourceObserverInstance::Instance();
    observer.SetResourceAlertMetric(1000000, 1000000, 1, 1, 99.0);  // every check runs, none raises
    NullSystemObserver sink;
    const CComPtr<IQNSystemResourceObserver> link(&sink);
    // One sample of every process.
    const auto report = [&] {
        for (int i = 0; i < processes; ++i) {
            tagQNResourceInformation info{};
            info.machineName = Text("machine-" + std::to_string(i % machines));
            info.processName = Text("server-" + std::to_string(i % 7));
            info.auxText = Text("");
            info.processId = static_cast<DWORD>(i);
            info.dataValid = 1;
            info.monitorIntervalSec = 5;
            info.machineLoad.processCount = 100;
            info.machineLoad.availPhysicalKB = 1 << 20;
            info.machineLoad.availPageFileKB = 1 << 20;
            observer.SetResourceData(info);
            SysFreeString(info.machineName);
            SysFreeString(info.processName);
            SysFreeString(info.auxText);
        }
    };
    TimeCycles(state, report, [&] { XResourceObserverInstanceProbe::Cycle(observer, link); });
    state.counters["processes"] = processes;
    state.counters["machines"] = machines;
    XResourceObserverInstance::Destroy();
}
BENCHMARK(BM_ResourceObserverCycle)->Args({1000, 10})->Args({100, 1})->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_SystemObserverCycleAndQueries(benchmark::State& state)
{
    const int machines = static_cast<int>(state.range(0));
    XSystemResourceObserverInstance& store = XSystemResourceObserverInstance::Instance();
    // One sample of every machine.
    const auto report = [&] {
        for (int i = 0; i < machines; ++i) {
            tagQNSystemResourceInformation info{};
            info.machineName = Text("machine-" + std::to_string(i));
            info.dataValid = 1;
            store.SetSystemResourceData(info);
            SysFreeString(info.machineName);
        }
    };
    TimeCycles(state, report, [&] {
        XSystemResourceObserverInstanceProbe::Cycle(store);
        for (const XQNComBSTR& name : store.GetMachineNames()) {
            XResourceAgent::XMachineResourceInfo figures;
            benchmark::DoNotOptimize(store.GetMachineResourceData(name, figures));
        }
    });
    state.counters["machines"] = machines;
    XSystemResourceObserverInstance::Destroy();
}
BENCHMARK(BM_SystemObserverCycleAndQueries)->Arg(1000)->Arg(100)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
