// What the two daemons share beyond the transport: a machine's averaged figures as a status entry,
// and the Prometheus text exposition of machine figures in base units (bytes, seconds, ratios).
#pragma once

#include <string>

#include "hosts/common/SystemObserverStatus.pb.h"
#include "observer/XResourceAgentRecords.h"

namespace prometheus {
class Registry;
}

namespace hosts {

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

// Gauges of every machine of `status`, labelled `machine`.
void AddMachineMetrics(const qn::status::SystemStatus& status, prometheus::Registry& registry);

// The text exposition of everything in `registry`.
std::string Exposition(const prometheus::Registry& registry);

inline constexpr const char* kExpositionType = "text/plain; version=0.0.4; charset=utf-8";
inline constexpr double kBytesPerKB = 1024.0;

}  // namespace hosts
