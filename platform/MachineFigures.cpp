// The machine's figures: memory, processor times, processes, threads and handles, processors and
// name. The memory status also carries the calling process's virtual memory, as on Windows.
#include <pthread.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "platform/Bstr.h"
#include "platform/FaultInjection.h"
#include "platform/FigureReads.h"
#include "platform/ProcFile.h"
#include "platform/SystemFigures.h"

namespace {

using platform::ConsumeInjectedFault;
using platform::FailWithErrno;
using platform::kBytesPerKB;
using platform::SystemCall;

constexpr std::uint64_t kHundredNsPerSecond = 10'000'000;

platform::ProcFile g_memInfo("/proc/meminfo");
platform::ProcFile g_stat("/proc/stat");
platform::ProcFile g_procRoot("/proc", true);
platform::ProcFile g_loadAvg("/proc/loadavg");
platform::ProcFile g_fileNr("/proc/sys/fs/file-nr");

// The machine's files name no process, but a child may close what it inherited.
const int kForgetFilesInChild = pthread_atfork(nullptr, nullptr, [] {
    for (platform::ProcFile* file : {&g_memInfo, &g_stat, &g_procRoot, &g_loadAvg, &g_fileNr})
        file->Forget();
});

FILETIME ToFileTime(std::uint64_t hundredNs)
{
    return {static_cast<DWORD>(hundredNs & 0xFFFFFFFF), static_cast<DWORD>(hundredNs >> 32)};
}

// The first number of a small file's text.
bool ReadFirstNumber(const char* text, std::uint64_t& value)
{
    if (std::from_chars(text, text + std::strlen(text), value).ec == std::errc())
        return true;
    errno = EPROTO;
    return false;
}

}  // namespace

namespace platform {

bool ReadMachineMemory(MachineMemoryKB& memory)
{
    return ReadFields(g_memInfo, {{"MemTotal:", &memory.total},
                                  {"MemAvailable:", &memory.available},
                                  {"SwapTotal:", &memory.swapTotal},
                                  {"SwapFree:", &memory.swapFree},
                                  {"CommitLimit:", &memory.commitLimit},
                                  {"Committed_AS:", &memory.committed}});
}

bool ReadMachineThreads(std::uint64_t& threads)
{
    // "0.12 0.10 0.09 2/345 6789": the total after the slash counts every thread of the machine.
    char loadAvg[128];
    if (g_loadAvg.Read(loadAvg, sizeof loadAvg) < 0)
        return false;
    const char* slash = std::strchr(loadAvg, '/');
    if (slash == nullptr) {
        errno = EPROTO;
        return false;
    }
    return ReadFirstNumber(slash + 1, threads);
}

}  // namespace platform

BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* status) { return GlobalMemoryStatusEx(status, nullptr); }

BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* status, platform::Ceiling* tightest)
{
    if (ConsumeInjectedFault(SystemCall::GlobalMemoryStatusEx))
        return FailWithErrno();
    platform::MachineMemoryKB machine;
    if (!platform::ReadMachineMemory(machine))
        return FailWithErrno();
    platform::Ceiling memory;
    std::uint64_t usedVirtual = 0;
    if (!platform::ReadMemoryCeiling(machine, platform::Reading::Sample, memory, usedVirtual))
        return FailWithErrno();
    if (tightest != nullptr)
        *tightest = memory;
    const std::uint64_t availableCommitKB = machine.commitLimit > machine.committed ? machine.commitLimit - machine.committed : 0;
    status->dwMemoryLoad = machine.total == 0 ? 0 : static_cast<DWORD>(100 - machine.available * 100 / machine.total);
    status->ullTotalPhys = machine.total * kBytesPerKB;
    status->ullAvailPhys = machine.available * kBytesPerKB;
    status->ullTotalPageFile = (machine.committed + availableCommitKB) * kBytesPerKB;
    status->ullAvailPageFile = availableCommitKB * kBytesPerKB;
    // Total less available stays the address space in use.
    status->ullTotalVirtual = usedVirtual + memory.left;
    status->ullAvailVirtual = memory.left;
    status->ullAvailExtendedVirtual = 0;
    return TRUE;
}

BOOL GetSystemTimes(FILETIME* idle, FILETIME* kernel, FILETIME* user)
{
    if (ConsumeInjectedFault(SystemCall::GetSystemTimes))
        return FailWithErrno();
    char buffer[512];
    if (g_stat.Read(buffer, sizeof buffer) < 0)
        return FailWithErrno();
    std::string_view line(buffer);
    if (line.substr(0, 4) != "cpu ") {
        errno = EPROTO;
        return FailWithErrno();
    }
    std::uint64_t ticks[7] = {};  // user nice system idle iowait irq softirq
    if (!platform::ParseNumbers(buffer + 4, buffer + line.size(), ticks))
        return FailWithErrno();
    static const std::uint64_t hundredNsPerTick = kHundredNsPerSecond / static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
    const auto [userTicks, niceTicks, systemTicks, idleTicks, iowaitTicks, irqTicks, softirqTicks] = ticks;
    const std::uint64_t idleAll = idleTicks + iowaitTicks;
    *idle = ToFileTime(idleAll * hundredNsPerTick);
    *kernel = ToFileTime((systemTicks + irqTicks + softirqTicks + idleAll) * hundredNsPerTick);
    *user = ToFileTime((userTicks + niceTicks) * hundredNsPerTick);
    return TRUE;
}

BOOL GetPerformanceInfo(PERFORMANCE_INFORMATION* info, DWORD cb)
{
    if (ConsumeInjectedFault(SystemCall::GetPerformanceInfo))
        return FailWithErrno();
    if (info == nullptr || cb < sizeof(PERFORMANCE_INFORMATION)) {
        errno = EINVAL;
        return FailWithErrno();
    }
    // The kernel lists /proc's own files below position 256 and the processes from there on:
    // starting there skips some sixty entries that would cost a quarter of the listing.
    constexpr off_t kFirstProcessEntry = 256;
    const long processes = g_procRoot.CountNumberedEntries(kFirstProcessEntry);
    if (processes < 0)
        return FailWithErrno();
    std::uint64_t threads = 0;
    if (!platform::ReadMachineThreads(threads))
        return FailWithErrno();
    char fileNr[128];
    std::uint64_t handles = 0;
    if (g_fileNr.Read(fileNr, sizeof fileNr) < 0 || !ReadFirstNumber(fileNr, handles))
        return FailWithErrno();
    *info = {};
    info->cb = cb;
    info->PageSize = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    info->ProcessCount = static_cast<DWORD>(processes);
    info->ThreadCount = static_cast<DWORD>(threads);
    info->HandleCount = static_cast<DWORD>(handles);
    return TRUE;
}

void GetSystemInfo(SYSTEM_INFO* info)
{
    constexpr unsigned kMaskBits = 64;
    const auto processors = static_cast<DWORD>(::sysconf(_SC_NPROCESSORS_ONLN));
    utsname name{};
    ::uname(&name);
    const std::string_view machine(name.machine);
    *info = {};
    info->wProcessorArchitecture = machine == "x86_64"    ? PROCESSOR_ARCHITECTURE_AMD64
                                   : machine == "aarch64" ? PROCESSOR_ARCHITECTURE_ARM64
                                                          : PROCESSOR_ARCHITECTURE_INTEL;
    info->dwPageSize = static_cast<DWORD>(::sysconf(_SC_PAGESIZE));
    info->dwNumberOfProcessors = processors;
    info->dwActiveProcessorMask = processors >= kMaskBits ? ~0ULL : (1ULL << processors) - 1;
}

BOOL GetComputerNameW(char16_t* buffer, DWORD* size)
{
    if (ConsumeInjectedFault(SystemCall::GetComputerName))
        return FailWithErrno();
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return FailWithErrno();
    std::string_view name(host);
    name = name.substr(0, name.find('.'));
    const std::u16string wide = platform::ToUtf16(name);
    if (wide.size() + 1 > *size) {
        *size = static_cast<DWORD>(wide.size() + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::copy(wide.begin(), wide.end(), buffer);
    buffer[wide.size()] = u'\0';
    *size = static_cast<DWORD>(wide.size());
    return TRUE;
}
