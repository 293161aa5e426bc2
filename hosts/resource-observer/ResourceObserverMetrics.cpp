#include "hosts/resource-observer/ResourceObserverMetrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <optional>
#include <string>
#include <vector>

#include "hosts/common/Metrics.h"
#include "hosts/common/TextExposition.h"
#include "agent/XLoadMonitor.h"
#include "observer/XProcessEnds.h"
#include "observer/XResourceObserverInstance.h"
#include "platform/Pressure.h"

namespace hosts {

namespace {

constexpr double kTicksPerSecond = 1e7;  // 100-ns units

double Seconds(const tagQNPreciseTime& time)
{
    return static_cast<double>(XResourceAgent::Ticks(time)) / kTicksPerSecond;
}

// The closest ceiling of each kind that the agents sent with their newest sample: the limit, what
// is left, and which kind of limit it is.
template <typename Labels>
void AddCeilingMetrics(const XResourceObserverInstance& observer, const std::vector<std::pair<XQNComBSTR, DWORD>>& processes, Labels labels,
                       prometheus::Registry& registry)
{
    struct Kind {
        tagQNResourceCeiling tagQNProcessCeilings::*ceiling;
        const char* limitName;
        const char* limitHelp;
        const char* leftName;
        const char* leftHelp;
        double unit;
    };
    static constexpr Kind kKinds[] = {
        {&tagQNProcessCeilings::memoryKB, "qn_process_memory_ceiling_bytes", "The tightest memory limit of the process: rlimit, cgroup, cgroup_high (memory.high) or machine",
         "qn_process_memory_headroom_bytes", "Memory the process can still obtain under that limit", double(kBytesPerKB)},
        {&tagQNProcessCeilings::descriptors, "qn_process_descriptor_ceiling", "The RLIMIT_NOFILE soft limit of the process",
         "qn_process_descriptors_left", "Descriptors the process can still open", 1.0},
        {&tagQNProcessCeilings::threads, "qn_process_thread_ceiling", "The tightest limit on the process's threads: pids cgroup or threads-max",
         "qn_process_threads_left", "Threads the process can still start", 1.0},
    };
    static constexpr const char* kSources[] = {"none", "rlimit", "cgroup", "machine", "cgroup_high"};
    std::vector<std::optional<tagQNProcessCeilings>> ceilings;
    for (const auto& [name, id] : processes)
        ceilings.push_back(observer.GetProcessCeilings(name, id));
    for (const Kind& kind : kKinds) {
        auto& limits = prometheus::BuildGauge().Name(kind.limitName).Help(kind.limitHelp).Register(registry);
        auto& lefts = prometheus::BuildGauge().Name(kind.leftName).Help(kind.leftHelp).Register(registry);
        for (size_t i = 0; i < processes.size(); ++i) {
            if (!ceilings[i])
                continue;
            const tagQNResourceCeiling& ceiling = (*ceilings[i]).*kind.ceiling;
            if (ceiling.source <= QNCeilingSource_None)
                continue;
            auto labelled = labels(i);
            labelled.emplace("source", ceiling.source < std::ssize(kSources) ? kSources[ceiling.source] : "other");
            limits.Add(labelled).Set(double(ceiling.limit) * kind.unit);
            lefts.Add(labelled).Set(double(ceiling.left) * kind.unit);
        }
    }
}

// The kernel's own signals of each process's cgroup of v2, beside the machine's pressure: series
// only where the kernel gives them, so that none reads as a measured zero.
void AddCgroupSignalMetrics(const XResourceObserverInstance& observer, prometheus::Registry& registry)
{
    auto& high = prometheus::BuildCounter()
                     .Name("qn_process_cgroup_memory_high_events_total")
                     .Help("Times the process's cgroup (v2) went over memory.high and was throttled, as its memory.events counts them")
                     .Register(registry);
    auto& stalled = prometheus::BuildCounter()
                        .Name("qn_process_cgroup_pressure_stalled_seconds_total")
                        .Help("Time in which some (or all) tasks of the process's cgroup (v2) waited for the resource")
                        .Register(registry);
    auto& ratio = prometheus::BuildGauge()
                      .Name("qn_process_cgroup_pressure_ratio")
                      .Help("Share of the window in which some (or all) tasks of the process's cgroup (v2) waited for the resource")
                      .Register(registry);
    for (const auto& [process, signals] : observer.GetProcessCgroupSignals()) {
        const prometheus::Labels labels{{"process", process.first}, {"pid", std::to_string(process.second)}};
        if (signals.highEvents)
            high.Add(labels).Increment(static_cast<double>(*signals.highEvents));
        for (const PressureLineFigures& line : PressureLines(signals.pressure)) {
            auto labelled = labels;
            labelled.insert({{"resource", line.resource}, {"kind", line.kind}});
            stalled.Add(labelled).Increment(line.stalledSeconds);
            for (const auto& [window, value] : {std::pair{"10s", line.ratio10s}, std::pair{"60s", line.ratio60s}}) {
                auto windowed = labelled;
                windowed.emplace("window", window);
                ratio.Add(windowed).Set(value);
            }
        }
    }
}

void AddProcessMetrics(const XResourceObserverInstance& observer, prometheus::Registry& registry)
{
    using XResourceAgent::XProcessResourceInfo;
    using Figure = double (*)(const XProcessResourceInfo&);
    struct Gauge {
        const char* name;
        const char* help;
        Figure figure;
    };
    static constexpr Gauge kGauges[] = {
        {"qn_process_working_set_bytes", "Resident memory, averaged over the newest samples", [](const auto& p) { return p.workingSetKB * kBytesPerKB; }},
        {"qn_process_peak_working_set_bytes", "Peak resident memory, averaged", [](const auto& p) { return p.peakWorkingSetKB * kBytesPerKB; }},
        {"qn_process_private_memory_bytes", "Private commit (data and stack), averaged", [](const auto& p) { return p.pagefileUsageKB * kBytesPerKB; }},
        {"qn_process_virtual_memory_used_bytes", "Address space in use, averaged", [](const auto& p) { return p.usedVirtualKB * kBytesPerKB; }},
        {"qn_process_virtual_memory_available_bytes", "Address space still available, averaged", [](const auto& p) { return p.availVirtualKB * kBytesPerKB; }},
        {"qn_process_threads", "Threads, averaged", [](const auto& p) { return double(p.threadCount); }},
        {"qn_process_handles", "Open files, averaged", [](const auto& p) { return double(p.handleCount); }},
        {"qn_process_external_usage", "External resource usage the server reports", [](const auto& p) { return double(p.externalResourceUsage); }},
    };
    const auto processes = observer.GetProcesses();
    std::vector<std::pair<XProcessResourceInfo, bool>> figures(processes.size());
    for (size_t i = 0; i < processes.size(); ++i)
        figures[i].second = observer.GetProcessResourceData(processes[i].first, processes[i].second, figures[i].first);
    const auto labels = [&](size_t i) { return prometheus::Labels{{"process", processes[i].first.ToUtf8()}, {"pid", std::to_string(processes[i].second)}}; };

    for (const Gauge& gauge : kGauges) {
        auto& family = prometheus::BuildGauge().Name(gauge.name).Help(gauge.help).Register(registry);
        for (size_t i = 0; i < processes.size(); ++i)
            family.Add(labels(i)).Set(gauge.figure(figures[i].first));
    }
    // Cumulative figures are counters of the newest sample: an average of a counter would make
    // rate() wrong.
    auto& cpu = prometheus::BuildCounter().Name("qn_process_cpu_seconds_total").Help("Processor time since the process started").Register(registry);
    auto& faults = prometheus::BuildCounter().Name("qn_process_page_faults_total").Help("Page faults since the process started").Register(registry);
    auto& current = prometheus::BuildGauge().Name("qn_process_data_current").Help("1 while the process reports, 0 once it missed its cycles").Register(registry);
    for (size_t i = 0; i < processes.size(); ++i) {
        current.Add(labels(i)).Set(figures[i].second ? 1.0 : 0.0);
        const auto newest = observer.GetNewestProcessResourceData(processes[i].first, processes[i].second);
        if (!newest)
            continue;  // dropped since the list was taken
        auto kernel = labels(i), user = labels(i);
        kernel.emplace("mode", "kernel");
        user.emplace("mode", "user");
        cpu.Add(kernel).Increment(Seconds(newest->kernelTime));
        cpu.Add(user).Increment(Seconds(newest->userTime));
        faults.Add(labels(i)).Increment(double(newest->pageFaultCount));
    }
    AddCeilingMetrics(observer, processes, labels, registry);
    auto& ends = prometheus::BuildCounter()
                     .Name("qn_process_ends_total")
                     .Help("Ends of reporting processes by cause: oom_kill, oom_kill_among (one of several that ended together), ended")
                     .Register(registry);
    for (const auto& [key, count] : observer.GetProcessEndCounts())
        ends.Add({{"process", key.first}, {"cause", key.second}}).Increment(static_cast<double>(count));
    AddCgroupSignalMetrics(observer, registry);
}

}  // namespace

std::string ResourceObserverMetrics(const ObserverCounts& counts)
{
    prometheus::Registry registry;
    const XResourceObserverInstance& observer = XResourceObserverInstance::Instance();
    qn::status::SystemStatus machines;
    AddMachines(observer, machines);
    // This machine's pressure, read now.
    const std::string local = XResourceAgent::HistoryKey(XLoadMonitor::GetMachineName()).ToUtf8();
    const tagQNMachinePressure pressure = platform::ReadMachinePressure();
    for (auto& machine : *machines.mutable_machines()) {
        machine.set_alert_state(counts.alertState.load());
        if (XResourceAgent::HistoryKey(XQNComBSTR(machine.machine().c_str())).ToUtf8() == local)
            SetPressure(pressure, machine);
    }
    AddProcessMetrics(observer, registry);

    AddCallMetrics("qn_resource_observer", counts, registry);
    AddCounter("qn_resource_observer_events_kept_total", "Events the system observer could not take at once, kept to be passed on", counts.eventsKept.load(),
               registry);
    prometheus::BuildGauge()
        .Name("qn_resource_observer_kept_events")
        .Help("Events kept now, to be passed on")
        .Register(registry)
        .Add({})
        .Set(static_cast<double>(observer.KeptEventCount()));
    AddCounter("qn_resource_observer_dropped_events_total", "Events dropped as the queue of kept events was full", observer.DroppedEventCount(), registry);
    auto& newNames = prometheus::BuildCounter()
                         .Name("qn_resource_observer_new_names_refused_total")
                         .Help("Samples of processes or machines not kept yet, refused as the store was at its bound")
                         .Register(registry);
    newNames.Add({{"kind", "process"}}).Increment(static_cast<double>(observer.RefusedNewProcesses()));
    newNames.Add({{"kind", "machine"}}).Increment(static_cast<double>(observer.RefusedNewMachines()));
    std::string page = Exposition(registry);
    TextExposition text(page);
    WriteMachineMetrics(machines, text);
    return page;
}

}  // namespace hosts
