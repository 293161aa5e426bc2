#include "hosts/common/Metrics.h"

#include <prometheus/counter.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <optional>
#include <utility>

#include "emergency/QNServerEmergency.h"
#include "emergency/XResourceAlertAdditions.h"
#include "hosts/common/TextExposition.h"
#include "platform/transport/ComServer.h"

namespace hosts {

void SetFigures(const XResourceAgent::XMachineResourceInfo& figures, qn::status::MachineStatus& machine)
{
    double load = 0.0;
    if (XResourceAgent::GetCpuLoad(figures.idleTime, figures.kernelTime, figures.userTime, load))
        machine.set_cpu_load_percent(load * 100.0);
    machine.set_avail_physical_kb(static_cast<double>(figures.availPhysicalKB));
    machine.set_used_physical_kb(static_cast<double>(figures.usedPhysicalKB));
    machine.set_avail_page_file_kb(static_cast<double>(figures.availPageFileKB));
    machine.set_used_page_file_kb(static_cast<double>(figures.usedPageFileKB));
    machine.set_process_count(figures.processCount);
    machine.set_thread_count(figures.threadCount);
    machine.set_handle_count(figures.handleCount);
    machine.set_external_usage_sum(figures.externalUsageSum);
    machine.set_avg_database_access_ratio(figures.avgDatabaseAccessRatio);
}

namespace {

// The six lines of pressure: where each is in the record and in the status, and its labels.
struct PressureLine {
    tagQNPressureFigures tagQNMachinePressure::*figures;
    bool (qn::status::MachinePressure::*has)() const;
    const qn::status::PressureStatus& (qn::status::MachinePressure::*get)() const;
    qn::status::PressureStatus* (qn::status::MachinePressure::*put)();
    const char* resource;
    const char* kind;
};
using Pressure = qn::status::MachinePressure;
constexpr PressureLine kPressureLines[] = {
    {&tagQNMachinePressure::cpuSome, &Pressure::has_cpu_some, &Pressure::cpu_some, &Pressure::mutable_cpu_some, "cpu", "some"},
    {&tagQNMachinePressure::cpuFull, &Pressure::has_cpu_full, &Pressure::cpu_full, &Pressure::mutable_cpu_full, "cpu", "full"},
    {&tagQNMachinePressure::memorySome, &Pressure::has_memory_some, &Pressure::memory_some, &Pressure::mutable_memory_some, "memory", "some"},
    {&tagQNMachinePressure::memoryFull, &Pressure::has_memory_full, &Pressure::memory_full, &Pressure::mutable_memory_full, "memory", "full"},
    {&tagQNMachinePressure::ioSome, &Pressure::has_io_some, &Pressure::io_some, &Pressure::mutable_io_some, "io", "some"},
    {&tagQNMachinePressure::ioFull, &Pressure::has_io_full, &Pressure::io_full, &Pressure::mutable_io_full, "io", "full"},
};
constexpr double kMicrosecondsPerSecond = 1e6;
constexpr double kPercent = 100.0;

void WritePressureMetrics(const qn::status::SystemStatus& status, TextExposition& page)
{
    const auto lines = [&](auto write) {
        for (const auto& machine : status.machines()) {
            if (!machine.has_pressure())
                continue;
            for (const PressureLine& line : kPressureLines)
                if ((machine.pressure().*line.has)())
                    write(machine.machine(), line, (machine.pressure().*line.get)());
        }
    };
    page.Family("qn_machine_pressure_stalled_seconds_total", "Time in which some (or all) tasks waited for the resource, since boot", "counter");
    lines([&](const std::string& machine, const PressureLine& line, const qn::status::PressureStatus& figures) {
        page.Sample("qn_machine_pressure_stalled_seconds_total", {{"kind", line.kind}, {"machine", machine}, {"resource", line.resource}}, figures.total_sec());
    });
    page.Family("qn_machine_pressure_ratio", "Share of the window in which some (or all) tasks waited for the resource", "gauge");
    lines([&](const std::string& machine, const PressureLine& line, const qn::status::PressureStatus& figures) {
        for (const auto& [window, percent] : {std::pair{"10s", figures.avg10_percent()}, std::pair{"60s", figures.avg60_percent()}})
            page.Sample("qn_machine_pressure_ratio", {{"kind", line.kind}, {"machine", machine}, {"resource", line.resource}, {"window", window}},
                        percent / kPercent);
    });
}

}  // namespace

void SetPressure(const tagQNMachinePressure& pressure, qn::status::MachineStatus& machine)
{
    for (const PressureLine& line : kPressureLines) {
        const tagQNPressureFigures& figures = pressure.*line.figures;
        if (figures.present == 0)
            continue;
        qn::status::PressureStatus& out = *(machine.mutable_pressure()->*line.put)();
        out.set_avg10_percent(figures.avg10Percent);
        out.set_avg60_percent(figures.avg60Percent);
        out.set_total_sec(static_cast<double>(figures.totalUs) / kMicrosecondsPerSecond);
    }
}

std::vector<PressureLineFigures> PressureLines(const tagQNMachinePressure& pressure)
{
    std::vector<PressureLineFigures> lines;
    for (const PressureLine& line : kPressureLines)
        if (const tagQNPressureFigures& figures = pressure.*line.figures; figures.present != 0)
            lines.push_back({line.resource, line.kind, static_cast<double>(figures.totalUs) / kMicrosecondsPerSecond, figures.avg10Percent / kPercent,
                             figures.avg60Percent / kPercent});
    return lines;
}

void WriteMachineMetrics(const qn::status::SystemStatus& status, TextExposition& page)
{
    WritePressureMetrics(status, page);
    // A figure a machine doesn't have (yet) is no series of it.
    using Figure = std::optional<double> (*)(const qn::status::MachineStatus&);
    struct Gauge {
        const char* name;
        const char* help;
        Figure figure;
    };
    static constexpr Gauge kGauges[] = {
        {"qn_machine_physical_memory_available_bytes", "Free physical memory, averaged over the newest samples",
         [](const auto& m) -> std::optional<double> { return m.avail_physical_kb() * kBytesPerKB; }},
        {"qn_machine_physical_memory_used_bytes", "Used physical memory, averaged",
         [](const auto& m) -> std::optional<double> { return m.used_physical_kb() * kBytesPerKB; }},
        {"qn_machine_commit_memory_available_bytes", "Commit memory still available, averaged",
         [](const auto& m) -> std::optional<double> { return m.avail_page_file_kb() * kBytesPerKB; }},
        {"qn_machine_commit_memory_used_bytes", "Committed memory, averaged",
         [](const auto& m) -> std::optional<double> { return m.used_page_file_kb() * kBytesPerKB; }},
        {"qn_machine_processes", "Processes on the machine, averaged", [](const auto& m) -> std::optional<double> { return m.process_count(); }},
        {"qn_machine_threads", "Threads on the machine, averaged", [](const auto& m) -> std::optional<double> { return m.thread_count(); }},
        {"qn_machine_handles", "Open files on the machine, averaged", [](const auto& m) -> std::optional<double> { return m.handle_count(); }},
        {"qn_machine_external_usage", "External resource usage of the machine's server processes",
         [](const auto& m) -> std::optional<double> { return m.external_usage_sum(); }},
        {"qn_machine_alert_state", "Alert bits last reported for the machine (0: none)",
         [](const auto& m) -> std::optional<double> { return m.alert_state(); }},
        {"qn_machine_data_current", "1 while samples keep arriving, 0 once the data are stale",
         [](const auto& m) -> std::optional<double> { return m.current() ? 1.0 : 0.0; }},
        {"qn_machine_cpu_load_ratio", "Processor load of the newest intervals, 0 to 1",
         [](const auto& m) { return m.has_cpu_load_percent() ? std::optional(m.cpu_load_percent() / 100.0) : std::nullopt; }},
    };
    for (const Gauge& gauge : kGauges) {
        page.Family(gauge.name, gauge.help, "gauge");
        for (const auto& machine : status.machines())
            if (const std::optional<double> value = gauge.figure(machine))
                page.Sample(gauge.name, {{"machine", machine.machine()}}, *value);
    }
    // Each alert its own series, which rules can select without taking the bitmask apart.
    static constexpr std::pair<LONG, const char*> kAlerts[] = {
        {TooManyOPXServersInPool, "servers_in_pool"}, {TooManyMachineProcesses, "processes"}, {TooManyMachineHandles, "handles"},
        {LowPhysicalMemory, "physical_memory"},       {LowVirtualMemory, "commit_memory"},     {HighCpuUtilization, "cpu"},
        {HighPressure, "pressure"},
    };
    page.Family("qn_machine_alert", "1 while the alert is set in the machine's alert state, else 0", "gauge");
    for (const auto& machine : status.machines())
        for (const auto& [bit, alert] : kAlerts)
            page.Sample("qn_machine_alert", {{"alert", alert}, {"machine", machine.machine()}}, (machine.alert_state() & bit) != 0 ? 1.0 : 0.0);
}

void AddCounter(const std::string& name, const std::string& help, unsigned long long value, prometheus::Registry& registry)
{
    prometheus::BuildCounter().Name(name).Help(help).Register(registry).Add({}).Increment(static_cast<double>(value));
}

void AddCallMetrics(const std::string& daemon, const CallCounts& counts, prometheus::Registry& registry)
{
    AddCounter(daemon + "_samples_accepted_total", "Samples the store took", counts.samplesAccepted.load(), registry);
    AddCounter(daemon + "_samples_refused_total", "Samples the store answered with a failure", counts.samplesRefused.load(), registry);
    AddCounter(daemon + "_events_received_total", "Emergencies and alerts received", counts.eventsReceived.load(), registry);
    auto& refused =
        prometheus::BuildCounter().Name("qn_transport_calls_refused_total").Help("Calls refused before the store saw them, by reason").Register(registry);
    for (const auto& [reason, name] : {std::pair{transport::Refusal::NoCredentials, "credentials"}, std::pair{transport::Refusal::OverLimits, "limits"},
                                       std::pair{transport::Refusal::Malformed, "malformed"}})
        refused.Add({{"reason", name}}).Increment(static_cast<double>(transport::RefusedCalls(reason)));
    AddCounter("qn_transport_handshakes_refused_total", "Connections closed unheard while the most TLS handshakes ran", transport::RefusedHandshakes(), registry);
}

std::string Exposition(const prometheus::Registry& registry)
{
    return prometheus::TextSerializer().Serialize(registry.Collect());
}

}  // namespace hosts
