// The Prometheus metrics of qn-resource-observer: its machines and processes from the observer's
// histories, the alert state, and the counts of what it accepted and refused.
#pragma once

#include <atomic>
#include <string>

#include "platform/WinTypes.h"

namespace hosts {

// What the daemon counts itself; safe for concurrent use.
struct ObserverCounts {
    std::atomic<unsigned long long> samplesAccepted{0};
    std::atomic<unsigned long long> samplesRefused{0};  // answered with a failure by the observer
    std::atomic<LONG> alertState{0};                     // as the last alert handler call told it
};

std::string ResourceObserverMetrics(const ObserverCounts& counts);

}  // namespace hosts
