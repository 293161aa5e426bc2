// The Prometheus metrics of qn-resource-observer: its machines and processes from the observer's
// histories, the alert state, and the counts of what it accepted and refused.
#pragma once

#include <atomic>
#include <string>

#include "hosts/common/Metrics.h"
#include "platform/WinTypes.h"

namespace hosts {

// What the daemon counts itself; safe for concurrent use.
struct ObserverCounts : CallCounts {
    std::atomic<unsigned long long> eventsKept{0};  // not passed on at once: kept for later
    std::atomic<LONG> alertState{0};                // as the last alert handler call told it
};

std::string ResourceObserverMetrics(const ObserverCounts& counts);

}  // namespace hosts
