// The machine's pressure stall information (/proc/pressure/cpu, memory, io): the earliest sign
// that a machine is starving for a resource.
#pragma once

#include <string>

#include "interfaces/QNResourceAgentRecords.h"

namespace platform {

inline constexpr const char* kPressureFolder = "/proc/pressure";

// The figures of the files in `folder`. What the kernel doesn't report (no such folder on kernels
// without PSI, no "full" line for cpu before 5.13) is not present; nothing is logged for it.
tagQNMachinePressure ReadMachinePressure(const std::string& folder = kPressureFolder);

}  // namespace platform
