// The calling process's own figures: memory, descriptors, threads, times, executable, and the
// ceilings the kernel holds them to.
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "platform/Bstr.h"
#include "platform/FaultInjection.h"
#include "platform/FigureReads.h"
#include "platform/ProcFile.h"
#include "platform/SystemFigures.h"

namespace {

using platform::ConsumeInjectedFault;
using platform::kBytesPerKB;
using platform::SystemCall;

constexpr std::uint64_t kHundredNsPerSecond = 10'000'000;
// The user half of a 48-bit address space, as the kernel's TASK_SIZE on x86-64.
constexpr std::uint64_t kUserAddressSpace = 0x7FFFFFFFF000ULL;

platform::ProcFile g_selfStatm("/proc/self/statm");
platform::ProcFile g_selfTasks("/proc/self/task", true);
platform::ProcFile g_selfFds("/proc/self/fd", true);

const int kForgetFilesInChild = pthread_atfork(nullptr, nullptr, [] {
    for (platform::ProcFile* file : {&g_selfStatm, &g_selfTasks, &g_selfFds})
        file->Forget();
});

// The process's cgroups and the machine's limits, read beside every sample and every look.
platform::KernelLimits g_kernelLimits;
std::mutex g_kernelLimitsMutex;

// Peak of VmData + VmStk over the samples taken, as Linux keeps no peak of its own for it.
std::atomic<std::uint64_t> g_peakPrivateKB{0};

// The process's memory in KB from /proc/self/statm: the counters behind VmSize, VmRSS and
// VmData + VmStk of /proc/self/status, which costs several times more to render.
struct StatmKB {
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    std::uint64_t dataAndStack = 0;
};

bool ReadStatm(StatmKB& memory)
{
    char buffer[256];
    const ssize_t length = g_selfStatm.Read(buffer, sizeof buffer);
    if (length < 0)
        return false;
    std::uint64_t pages[6] = {};  // size resident shared text lib data
    if (!platform::ParseNumbers(buffer, buffer + length, pages))
        return false;
    static const std::uint64_t kbPerPage = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) / kBytesPerKB;
    memory = {pages[0] * kbPerPage, pages[1] * kbPerPage, pages[5] * kbPerPage};
    return true;
}

bool ReadUsage(rusage& usage) { return ::getrusage(RUSAGE_SELF, &usage) == 0; }

FILETIME ToFileTime(std::uint64_t hundredNs)
{
    return {static_cast<DWORD>(hundredNs & 0xFFFFFFFF), static_cast<DWORD>(hundredNs >> 32)};
}

std::uint64_t HundredNs(const timeval& time)
{
    return static_cast<std::uint64_t>(time.tv_sec) * kHundredNsPerSecond + static_cast<std::uint64_t>(time.tv_usec) * 10;
}

}  // namespace

namespace platform {

bool ReadMemoryCeiling(const MachineMemoryKB& machine, Reading reading, Ceiling& memory, std::uint64_t& usedVirtualBytes)
{
    StatmKB process;
    if (!ReadStatm(process))
        return false;
    rlimit addressLimit{};
    if (::getrlimit(RLIMIT_AS, &addressLimit) != 0)
        return false;
    const bool addressLimited = addressLimit.rlim_cur != RLIM_INFINITY && addressLimit.rlim_cur < kUserAddressSpace;
    const std::uint64_t addressSpace = addressLimited ? addressLimit.rlim_cur : kUserAddressSpace;
    usedVirtualBytes = process.size * kBytesPerKB;
    memory = {addressSpace, addressSpace > usedVirtualBytes ? addressSpace - usedVirtualBytes : 0, CeilingSource::ResourceLimit,
              addressLimited ? "RLIMIT_AS" : "user address space", {}};
    memory.Tighten({(machine.total + machine.swapTotal) * kBytesPerKB, (machine.available + machine.swapFree) * kBytesPerKB, CeilingSource::Machine,
                    "MemAvailable + SwapFree", {}});
    std::lock_guard lock(g_kernelLimitsMutex);
    memory.Tighten(g_kernelLimits.Memory(machine.swapFree * kBytesPerKB, reading));
    if (g_kernelLimits.StrictOvercommit()) {
        const std::uint64_t availableCommitKB = machine.commitLimit > machine.committed ? machine.commitLimit - machine.committed : 0;
        memory.Tighten({machine.commitLimit * kBytesPerKB, availableCommitKB * kBytesPerKB, CeilingSource::Machine, "CommitLimit", {}});
    }
    return true;
}

bool ReadDescriptorCeiling(std::uint64_t& descriptors, Ceiling& ceiling)
{
    // Since Linux 6.2 the size of /proc/self/fd is the number of open descriptors: one call instead
    // of a listing that grows with them. Older kernels give 0.
    long entries = g_selfFds.Size();
    if (entries <= 0)
        entries = g_selfFds.CountNumberedEntries();
    if (entries < 0)
        return false;
    descriptors = static_cast<std::uint64_t>(entries);
    // Read every time: prlimit can change it from outside.
    rlimit limit{};
    ceiling = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        ceiling = {limit.rlim_cur, limit.rlim_cur > descriptors ? limit.rlim_cur - descriptors : 0, CeilingSource::ResourceLimit, "RLIMIT_NOFILE", {}};
    return true;
}

bool ReadThreadCount(std::uint64_t& threads)
{
    // The link count of /proc/self/task is 2 + the number of threads: one fstat instead of
    // rendering /proc/self/status.
    const long links = g_selfTasks.Links();
    if (links < 0)
        return false;
    if (links < 3) {
        errno = EPROTO;
        return false;
    }
    threads = static_cast<std::uint64_t>(links - 2);
    return true;
}

Ceiling ThreadCeiling(std::uint64_t threads, std::uint64_t machineThreads)
{
    std::lock_guard lock(g_kernelLimitsMutex);
    return g_kernelLimits.Threads(threads, machineThreads);
}

}  // namespace platform

BOOL GetProcessMemoryInfo(PROCESS_MEMORY_COUNTERS* counters, DWORD cb)
{
    if (ConsumeInjectedFault(SystemCall::GetProcessMemoryInfo))
        return platform::FailWithErrno();
    if (counters == nullptr || cb < sizeof(PROCESS_MEMORY_COUNTERS)) {
        errno = EINVAL;
        return platform::FailWithErrno();
    }
    StatmKB memory;
    if (!ReadStatm(memory))
        return platform::FailWithErrno();
    // ru_maxrss is the kernel's VmHWM (it also remembers the image before an exec).
    rusage usage{};
    if (!ReadUsage(usage))
        return platform::FailWithErrno();
    const std::uint64_t privateKB = memory.dataAndStack;
    std::uint64_t peakKB = g_peakPrivateKB.load();
    while (privateKB > peakKB && !g_peakPrivateKB.compare_exchange_weak(peakKB, privateKB)) {
    }
    *counters = {};
    counters->cb = cb;
    counters->PageFaultCount = static_cast<DWORD>(usage.ru_minflt + usage.ru_majflt);
    counters->WorkingSetSize = memory.resident * kBytesPerKB;
    counters->PeakWorkingSetSize = std::max<std::uint64_t>(static_cast<std::uint64_t>(usage.ru_maxrss), memory.resident) * kBytesPerKB;
    counters->PagefileUsage = privateKB * kBytesPerKB;
    counters->PeakPagefileUsage = std::max(privateKB, peakKB) * kBytesPerKB;
    return TRUE;
}

DWORD GetGuiResources(DWORD) { return 0; }

BOOL GetProcessHandleCount(DWORD* count) { return GetProcessHandleCount(count, nullptr); }

BOOL GetProcessHandleCount(DWORD* count, platform::Ceiling* descriptors)
{
    if (ConsumeInjectedFault(SystemCall::GetProcessHandleCount))
        return platform::FailWithErrno();
    std::uint64_t open = 0;
    platform::Ceiling ceiling;
    if (!platform::ReadDescriptorCeiling(open, ceiling))
        return platform::FailWithErrno();
    *count = static_cast<DWORD>(open);
    if (descriptors != nullptr)
        *descriptors = ceiling;
    return TRUE;
}

BOOL GetProcessThreadCount(DWORD* count)
{
    if (ConsumeInjectedFault(SystemCall::GetProcessThreadCount))
        return platform::FailWithErrno();
    std::uint64_t threads = 0;
    if (!platform::ReadThreadCount(threads))
        return platform::FailWithErrno();
    *count = static_cast<DWORD>(threads);
    return TRUE;
}

platform::Ceiling GetThreadCeiling(DWORD threads, DWORD machineThreads) { return platform::ThreadCeiling(threads, machineThreads); }

BOOL GetProcessTimes(FILETIME* creation, FILETIME* exit, FILETIME* kernel, FILETIME* user)
{
    if (ConsumeInjectedFault(SystemCall::GetProcessTimes))
        return platform::FailWithErrno();
    rusage usage{};
    if (!ReadUsage(usage))
        return platform::FailWithErrno();
    *creation = {};
    *exit = {};
    *kernel = ToFileTime(HundredNs(usage.ru_stime));
    *user = ToFileTime(HundredNs(usage.ru_utime));
    return TRUE;
}

DWORD GetModuleFileNameW(char16_t* buffer, DWORD size)
{
    if (ConsumeInjectedFault(SystemCall::GetModuleFileName) || size == 0) {
        SetLastError(static_cast<DWORD>(size == 0 ? EINVAL : errno));
        return 0;
    }
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        SetLastError(static_cast<DWORD>(errno));
        return 0;
    }
    const std::u16string wide = platform::ToUtf16(std::string_view(path, static_cast<std::size_t>(length)));
    const DWORD copied = std::min<DWORD>(static_cast<DWORD>(wide.size()), size - 1);
    std::copy_n(wide.data(), copied, buffer);
    buffer[copied] = u'\0';
    return copied;
}
