// The reads that a sample's figures and a look of the ceiling watch share, so that both see the
// same ceilings. Each allocates nothing; on failure it returns false and leaves errno.
#pragma once

#include <cerrno>
#include <cstdint>

#include "platform/Ceilings.h"
#include "platform/Thread.h"
#include "platform/WinTypes.h"

namespace platform {

inline constexpr std::uint64_t kBytesPerKB = 1024;

// A figure's failure as the Win32 call's: FALSE, with errno as the last error.
inline BOOL FailWithErrno()
{
    SetLastError(static_cast<DWORD>(errno));
    return FALSE;
}

// The machine's memory from /proc/meminfo, in KB.
struct MachineMemoryKB {
    std::uint64_t total = 0;
    std::uint64_t available = 0;
    std::uint64_t swapTotal = 0;
    std::uint64_t swapFree = 0;
    std::uint64_t commitLimit = 0;
    std::uint64_t committed = 0;
};
bool ReadMachineMemory(MachineMemoryKB& memory);
// Every thread of the machine, from /proc/loadavg.
bool ReadMachineThreads(std::uint64_t& threads);

// The memory the process can still obtain before the kernel refuses or kills it: the least of the
// address space left under RLIMIT_AS, its memory cgroups and the machine (`machine`), where strict
// overcommit refuses beyond CommitLimit. `usedVirtualBytes` gets the address space in use.
bool ReadMemoryCeiling(const MachineMemoryKB& machine, Reading reading, Ceiling& memory, std::uint64_t& usedVirtualBytes);
// The open descriptors and the RLIMIT_NOFILE soft limit over them.
bool ReadDescriptorCeiling(std::uint64_t& descriptors, Ceiling& ceiling);
// The process's threads, and the tightest ceiling on them: pids cgroups and threads-max against
// `machineThreads`.
bool ReadThreadCount(std::uint64_t& threads);
Ceiling ThreadCeiling(std::uint64_t threads, std::uint64_t machineThreads);

}  // namespace platform
