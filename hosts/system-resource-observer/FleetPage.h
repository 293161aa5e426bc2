// The system observer's page for browsers: its files (built in), and the part of the fleet that
// one view shows, as JSON: the machines that need a look first, then the rest, or the fleet in the
// order of one column, each with its figures, its trend over the last cycles and its recent
// emergencies and alerts. A fleet of thousands is ordered and paged here, not in the browser, so
// that a refresh moves one page of machines.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "hosts/common/LoopbackHttp.h"
#include "hosts/system-resource-observer/MachineTrends.h"
#include "hosts/system-resource-observer/SystemObserverStatus.h"

namespace hosts {

struct FleetQuery {
    static constexpr size_t kMaxLimit = 100;
    // Look: those that need a look first, then by name. The others order by one column; a figure
    // that a machine did not send puts it last in either direction.
    enum class Order { Look, Name, Cpu, FreePhysical, FreeCommit, Pressure, OomKills, SampleAge };
    StatusQuery status;  // silent or alerting ones alone
    std::string name;    // machines whose name holds this, in any case, when not empty
    Order order = Order::Look;
    bool descending = false;
    size_t offset = 0;
    size_t limit = kMaxLimit;

    // From the view's query parameters (`only=silent|alert`, `name=TEXT`,
    // `sort=name|cpu|physical|commit|pressure|oom|age`, `order=asc|desc`, `offset=N`,
    // `limit=1..100`); empty when they ask for something else.
    static std::optional<FleetQuery> FromParameters(const LoopbackHttp::Parameters& parameters);
};

// The machines of `query` as JSON: how many match and need a look, and the page of them.
std::string FleetJson(const MachineBook& book, const MachineTrends& trends, const FleetQuery& query);

// Serves the page, its files and its view of the fleet on `http`.
void ServeFleetPage(LoopbackHttp& http, const MachineBook& book, const MachineTrends& trends);

}  // namespace hosts
