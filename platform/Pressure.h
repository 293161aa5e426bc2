// Pressure stall information, the earliest sign of starving for a resource: the machine's
// (/proc/pressure/cpu, memory, io) and that of one cgroup of v2 (its cpu.pressure, memory.pressure,
// io.pressure).
#pragma once

#include <string>

#include "interfaces/QNResourceAgentRecords.h"
#include "platform/Cgroups.h"

namespace platform {

inline constexpr const char* kPressureFolder = "/proc/pressure";

// The figures of the files in `folder`. What the kernel doesn't report (no such folder on kernels
// without PSI, no "full" line for cpu before 5.13) is not present; nothing is logged for it.
tagQNMachinePressure ReadMachinePressure(const std::string& folder = kPressureFolder);

// The pressure files of one cgroup, opened once and re-read with pread. A cgroup of v1, or a
// kernel without PSI, has none: nothing is present then. Not thread-safe.
class CgroupPressure {
public:
    CgroupPressure() = default;
    // The files of the cgroup `folder`; none for an empty folder.
    explicit CgroupPressure(const std::string& folder);

    const std::string& Folder() const { return m_folder; }
    // The lines the files show now, as ReadMachinePressure reads them.
    tagQNMachinePressure Read() const;

private:
    std::string m_folder;
    CgroupFile m_cpu, m_memory, m_io;
};

}  // namespace platform
