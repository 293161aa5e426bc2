#include "hosts/resource-observer/ResourceObserverMetrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <string>

#include "hosts/common/Metrics.h"
#include "observer/XResourceObserverInstance.h"
#include "platform/transport/ComServer.h"

namespace hosts {

namespace {

constexpr double kTicksPerSecond = 1e7;  // 100-ns units

double Seconds(const tagQNPreciseTime& time)
{
    return static_cast<double>(XResourceAgent::Ticks(time)) / kTicksPerSecond;
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
        {"qn_process_page_faults", "Page faults since the process started, averaged", [](const auto& p) { return double(p.pageFaultCount); }},
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
    auto& cpu = prometheus::BuildGauge().Name("qn_process_cpu_time_seconds").Help("Processor time since the process started, averaged").Register(registry);
    auto& current = prometheus::BuildGauge().Name("qn_process_data_current").Help("1 while the process reports, 0 once it missed its cycles").Register(registry);
    for (size_t i = 0; i < processes.size(); ++i) {
        auto kernel = labels(i), user = labels(i);
        kernel.emplace("mode", "kernel");
        user.emplace("mode", "user");
        cpu.Add(kernel).Set(Seconds(figures[i].first.kernelTime));
        cpu.Add(user).Set(Seconds(figures[i].first.userTime));
        current.Add(labels(i)).Set(figures[i].second ? 1.0 : 0.0);
    }
}

}  // namespace

std::string ResourceObserverMetrics(const ObserverCounts& counts)
{
    prometheus::Registry registry;
    const XResourceObserverInstance& observer = XResourceObserverInstance::Instance();
    qn::status::SystemStatus machines;
    AddMachines(observer, machines);
    for (auto& machine : *machines.mutable_machines())
        machine.set_alert_state(counts.alertState.load());
    AddMachineMetrics(machines, registry);
    AddProcessMetrics(observer, registry);

    const auto counter = [&](const char* name, const char* help, unsigned long long value) {
        prometheus::BuildCounter().Name(name).Help(help).Register(registry).Add({}).Increment(static_cast<double>(value));
    };
    counter("qn_resource_observer_samples_accepted_total", "Samples the observer took", counts.samplesAccepted.load());
    counter("qn_resource_observer_samples_refused_total", "Samples the observer answered with a failure", counts.samplesRefused.load());
    counter("qn_transport_calls_refused_total", "Calls refused before the observer saw them: no credentials, over the limits, malformed",
            transport::RefusedCalls());
    return Exposition(registry);
}

}  // namespace hosts
