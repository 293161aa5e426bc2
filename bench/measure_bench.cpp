// Cost of one sample of the load measurement.
#include <benchmark/benchmark.h>

#include "agent/XLoadMonitor.h"

static void BM_MeasureProcessLoadData(benchmark::State& state)
{
    tagQNResourceInformation info{};
    tagQNMachineResourceLoad previous{};
    XLoadMonitor::ZeroData(previous);
    for (auto _ : state) {
        benchmark::DoNotOptimize(XLoadMonitor::MeasureProcessLoadData(info, previous));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MeasureProcessLoadData);

BENCHMARK_MAIN();
