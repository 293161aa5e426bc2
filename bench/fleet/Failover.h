// The return of a fleet after it lost its system observer: with `restart` false the first of a
// shard of two is killed with SIGKILL and the fleet moves to the second; with `restart` true the
// only one is killed and started again on its port, as its watchdog does. Each simulated machine
// then does what a resource observer does: its next cycle's call fails, its host sees it within
// its check second and names the next system observer (the second, or the only one again) after
// the wait that platform::RetryDelay gives, the new worker sleeps its first two cycles, links,
// waits one cycle and sends. A failed link is followed the same way by the next in order; a link
// to the lost first fails at once, as a connection to a machine whose daemon is gone does.
// Printed for each size: the time from the kill until every machine is current, the links made
// and refused a second at the peak, the machines that never linked, and the CPU and memory of the
// system observer that takes the fleet.
#pragma once

#include <vector>

#include "platform/WinTypes.h"

namespace fleet {

struct Programs;

void MeasureReturn(const Programs& programs, DWORD level, const std::vector<int>& sizes, bool restart);

}  // namespace fleet
