// The Win32 process and machine figures that the load measurement reads, each taken from its
// nearest Linux equivalent and delivered in the Windows units (bytes, 100-ns FILETIME counts,
// counts). Every function concerns the calling process; on failure it returns FALSE or 0 and
// leaves errno as the last error.
#pragma once

#include <cstddef>

#include "platform/WinTypes.h"

namespace platform {
struct Ceiling;
}

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct PROCESS_MEMORY_COUNTERS {
    DWORD cb;
    DWORD PageFaultCount;
    std::size_t PeakWorkingSetSize;
    std::size_t WorkingSetSize;
    std::size_t QuotaPeakPagedPoolUsage;
    std::size_t QuotaPagedPoolUsage;
    std::size_t QuotaPeakNonPagedPoolUsage;
    std::size_t QuotaNonPagedPoolUsage;
    std::size_t PagefileUsage;
    std::size_t PeakPagefileUsage;
};
static_assert(sizeof(PROCESS_MEMORY_COUNTERS) == 72);

struct MEMORYSTATUSEX {
    DWORD dwLength;
    DWORD dwMemoryLoad;
    ULONGLONG ullTotalPhys;
    ULONGLONG ullAvailPhys;
    ULONGLONG ullTotalPageFile;
    ULONGLONG ullAvailPageFile;
    ULONGLONG ullTotalVirtual;
    ULONGLONG ullAvailVirtual;
    ULONGLONG ullAvailExtendedVirtual;
};
static_assert(sizeof(MEMORYSTATUSEX) == 64);

struct PERFORMANCE_INFORMATION {
    DWORD cb;
    std::size_t CommitTotal;
    std::size_t CommitLimit;
    std::size_t CommitPeak;
    std::size_t PhysicalTotal;
    std::size_t PhysicalAvailable;
    std::size_t SystemCache;
    std::size_t KernelTotal;
    std::size_t KernelPaged;
    std::size_t KernelNonpaged;
    std::size_t PageSize;
    DWORD HandleCount;
    DWORD ProcessCount;
    DWORD ThreadCount;
};
static_assert(sizeof(PERFORMANCE_INFORMATION) == 104);

struct SYSTEM_INFO {
    WORD wProcessorArchitecture;
    DWORD dwPageSize;
    ULONGLONG dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
};

inline constexpr WORD PROCESSOR_ARCHITECTURE_INTEL = 0;
inline constexpr WORD PROCESSOR_ARCHITECTURE_ARM64 = 12;
inline constexpr WORD PROCESSOR_ARCHITECTURE_AMD64 = 9;

// Working set = VmRSS, peak = VmHWM, page-file usage = VmData + VmStk (its peak tracked here),
// page faults = minor + major faults.
BOOL GetProcessMemoryInfo(PROCESS_MEMORY_COUNTERS* counters, DWORD cb);
// GDI and USER objects do not exist on Linux: always 0.
DWORD GetGuiResources(DWORD flags);
// Open file descriptors of the process; `descriptors`, when given, gets the RLIMIT_NOFILE soft
// limit and what is left under it.
BOOL GetProcessHandleCount(DWORD* count);
BOOL GetProcessHandleCount(DWORD* count, platform::Ceiling* descriptors);
// Threads of the process; stands in for walking a tool-help thread snapshot.
BOOL GetProcessThreadCount(DWORD* count);
// Kernel and user CPU time of the process from getrusage; creation and exit times are not filled.
BOOL GetProcessTimes(FILETIME* creation, FILETIME* exit, FILETIME* kernel, FILETIME* user);
// Physical memory from MemTotal/MemAvailable; page file (commit): available = CommitLimit -
// Committed_AS (never below 0), total = Committed_AS + available. Virtual: available = what the
// process can still obtain before the kernel refuses or kills it, the least of the address space
// left under RLIMIT_AS, the headroom of its tightest memory cgroup and the machine's (MemAvailable
// + SwapFree, and CommitLimit - Committed_AS under strict overcommit); total = VmSize + available.
// `tightest`, when given, gets the ceiling behind the available figure.
BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* status);
BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* status, platform::Ceiling* tightest);
// The tightest ceiling on the process's `threads`: its pids cgroups, and kernel.threads-max
// against the machine's threads.
platform::Ceiling GetThreadCeiling(DWORD threads, DWORD machineThreads);
// Machine times from the cpu line of /proc/stat: idle = idle + iowait, kernel = system + irq +
// softirq + idle (kernel includes idle), user = user + nice.
BOOL GetSystemTimes(FILETIME* idle, FILETIME* kernel, FILETIME* user);
// Processes = numeric entries of /proc, threads from /proc/loadavg, handles from
// /proc/sys/fs/file-nr.
BOOL GetPerformanceInfo(PERFORMANCE_INFORMATION* info, DWORD cb);
void GetSystemInfo(SYSTEM_INFO* info);
// The executable's path (/proc/self/exe), truncated to `size` - 1 characters; 0 on failure.
DWORD GetModuleFileNameW(char16_t* buffer, DWORD size);
// The host name up to its first dot. Fails with ERROR_BUFFER_OVERFLOW when it does not fit `*size`
// characters including the terminator; on success `*size` is the length.
BOOL GetComputerNameW(char16_t* buffer, DWORD* size);
