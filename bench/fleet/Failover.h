// The move of a fleet from a lost system observer to the second of its shard. The simulated
// machines report to the first until it is killed with SIGKILL; each then does what a resource
// observer does: its next cycle's call fails, its host names the second within its check second,
// the new worker sleeps its first two cycles, links, waits one cycle and sends. Printed for each
// size: the time from the kill until every machine is current at the second, and the second's CPU
// and memory while the fleet arrives.
#pragma once

#include <vector>

#include "platform/WinTypes.h"

namespace fleet {

struct Programs;

void MeasureFailover(const Programs& programs, DWORD level, const std::vector<int>& sizes);

}  // namespace fleet
