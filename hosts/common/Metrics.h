// What the two daemons share beyond the transport: a machine's averaged figures as a status entry,
// and the Prometheus text exposition of machine figures in base units (bytes, seconds, ratios).
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "hosts/common/SystemObserverStatus.pb.h"
#include "observer/XResourceAgentRecords.h"

namespace prometheus {
class Registry;
}

namespace hosts {

class TextExposition;

// Sets the figures of `machine` from the averaged `figures`; name, staleness and alerts stay.
void SetFigures(const XResourceAgent::XMachineResourceInfo& figures, qn::status::MachineStatus& machine);

// Adds every machine of an observer's store to `status`: name, whether its data are current, and
// its averaged figures.
template <typename Store>
void AddMachines(const Store& store, qn::status::SystemStatus& status)
{
    for (const XQNComBSTR& name : store.GetMachineNames()) {
        XResourceAgent::XMachineResourceInfo figures;
        qn::status::MachineStatus& machine = *status.add_machines();
        machine.set_current(store.GetMachineResourceData(name, figures));
        machine.set_machine(name.ToUtf8());
        SetFigures(figures, machine);
    }
}

// What a daemon counts of the calls it answers; safe for concurrent use.
struct CallCounts {
    std::atomic<unsigned long long> samplesAccepted{0};
    std::atomic<unsigned long long> samplesRefused{0};  // answered with a failure by the store
    std::atomic<unsigned long long> eventsReceived{0};

    // Counts a sample by the result it was answered.
    HRESULT Sample(bool valid, HRESULT result)
    {
        ++(SUCCEEDED(result) && valid ? samplesAccepted : samplesRefused);
        return result;
    }
};

// The counters of `counts`, named for `daemon` ("qn_resource_observer"), and the calls that the
// transport refused, by reason.
void AddCallMetrics(const std::string& daemon, const CallCounts& counts, prometheus::Registry& registry);

// A counter without labels.
void AddCounter(const std::string& name, const std::string& help, unsigned long long value, prometheus::Registry& registry);

// The pressure of `machine` from `pressure`: the lines the kernel reports.
void SetPressure(const tagQNMachinePressure& pressure, qn::status::MachineStatus& machine);

// One line of pressure that the kernel reports, in base units.
struct PressureLineFigures {
    const char* resource;  // "cpu", "memory", "io"
    const char* kind;      // "some", "full"
    double stalledSeconds;
    double ratio10s;
    double ratio60s;
};
// The lines present in `pressure`.
std::vector<PressureLineFigures> PressureLines(const tagQNMachinePressure& pressure);

// Gauges (and the pressure counters) of every machine of `status`, labelled `machine`.
void WriteMachineMetrics(const qn::status::SystemStatus& status, TextExposition& page);

// The text exposition of everything in `registry`.
std::string Exposition(const prometheus::Registry& registry);

inline constexpr const char* kExpositionType = "text/plain; version=0.0.4; charset=utf-8";
inline constexpr double kBytesPerKB = 1024.0;

}  // namespace hosts
