// The system observer's page for browsers: its files (built in), and the part of the fleet that
// one view shows, as JSON: the machines that need a look first, then the rest, each with its
// figures, its trend over the last cycles and its recent emergencies and alerts. A fleet of
// thousands is paged here, not in the browser, so that a refresh moves one page of machines.
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
    StatusQuery status;  // silent or alerting ones alone
    std::string name;    // machines whose name holds this, in any case, when not empty
    size_t offset = 0;
    size_t limit = kMaxLimit;

    // From the view's query parameters (`only=silent|alert`, `name=TEXT`, `offset=N`,
    // `limit=1..100`); empty when they ask for something else.
    static std::optional<FleetQuery> FromParameters(const LoopbackHttp::Parameters& parameters);
};

// The machines of `query` as JSON: how many match and need a look, and the page of them.
std::string FleetJson(const MachineBook& book, const MachineTrends& trends, const FleetQuery& query);

// Serves the page, its files and its view of the fleet on `http`.
void ServeFleetPage(LoopbackHttp& http, const MachineBook& book, const MachineTrends& trends);

}  // namespace hosts
