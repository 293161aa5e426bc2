#include "platform/SystemFigures.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>
#include <span>
#include <string_view>

#include "platform/Bstr.h"
#include "platform/Ceilings.h"
#include "platform/FaultInjection.h"
#include "platform/Thread.h"

namespace platform {

namespace {

constexpr std::size_t kCallCount = static_cast<std::size_t>(SystemCall::GetComputerName) + 1;
std::array<std::atomic<int>, kCallCount> g_injectedErrors{};

}  // namespace

void FailNextSystemCall(SystemCall call, int error) { g_injectedErrors[static_cast<std::size_t>(call)].store(error); }

bool ConsumeInjectedFault(SystemCall call)
{
    auto& slot = g_injectedErrors[static_cast<std::size_t>(call)];
    if (slot.load(std::memory_order_relaxed) == 0)
        return false;
    const int error = slot.exchange(0);
    if (error == 0)
        return false;
    errno = error;
    return true;
}

}  // namespace platform

namespace {

using platform::ConsumeInjectedFault;
using platform::SystemCall;

constexpr std::uint64_t kBytesPerKB = 1024;
constexpr std::uint64_t kHundredNsPerSecond = 10'000'000;
// The user half of a 48-bit address space, as the kernel's TASK_SIZE on x86-64.
constexpr std::uint64_t kUserAddressSpace = 0x7FFFFFFFF000ULL;

// A /proc file opened once and re-read with pread, so that a sample costs one system call per file.
// A forked child reopens it: /proc/self names the process that opened it.
class ProcFile {
public:
    explicit constexpr ProcFile(const char* path, bool directory = false) : m_path(path), m_directory(directory) {}

    // Reads from the start into `buffer`; the text is NUL-terminated. -1 with errno on failure.
    ssize_t Read(char* buffer, std::size_t size)
    {
        const int fd = Descriptor();
        if (fd < 0)
            return -1;
        const ssize_t length = ::pread(fd, buffer, size - 1, 0);
        if (length >= 0)
            buffer[length] = '\0';
        return length;
    }

    // Counts the directory's entries from position `from` on for which `accept(name)` holds; -1
    // with errno on failure.
    template <typename Accept>
    long CountEntries(Accept accept, off_t from = 0)
    {
        const int fd = Descriptor();
        if (fd < 0)
            return -1;
        // The directory offset is shared by every reader of this descriptor.
        std::lock_guard lock(m_readMutex);
        if (::lseek(fd, from, SEEK_SET) < 0)
            return -1;
        alignas(8) char buffer[32768];
        long count = 0;
        for (;;) {
            const long length = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
            if (length < 0)
                return -1;
            if (length == 0)
                return count;
            for (long offset = 0; offset < length;) {
                struct Entry {
                    std::uint64_t inode;
                    std::int64_t next;
                    unsigned short length;
                    unsigned char type;
                    char name[1];
                };
                const auto* entry = reinterpret_cast<const Entry*>(buffer + offset);
                if (accept(std::string_view(entry->name)))
                    ++count;
                offset += entry->length;
            }
        }
    }

    // The size and the link count the kernel gives the file or directory; -1 with errno on failure.
    long Size() { return Stat(&Status::st_size); }
    long Links() { return Stat(&Status::st_nlink); }

    void Forget()
    {
        const int fd = m_fd.exchange(-1);
        if (fd >= 0)
            ::close(fd);
    }

private:
    using Status = struct stat;

    template <typename Field>
    long Stat(Field Status::*field)
    {
        const int fd = Descriptor();
        Status status{};
        if (fd < 0 || ::fstat(fd, &status) != 0)
            return -1;
        return static_cast<long>(status.*field);
    }

    int Descriptor()
    {
        int fd = m_fd.load(std::memory_order_acquire);
        if (fd >= 0)
            return fd;
        std::lock_guard lock(m_openMutex);
        fd = m_fd.load(std::memory_order_acquire);
        if (fd < 0) {
            fd = ::open(m_path, O_RDONLY | O_CLOEXEC | (m_directory ? O_DIRECTORY : 0));
            m_fd.store(fd, std::memory_order_release);
        }
        return fd;
    }

    const char* m_path;
    bool m_directory;
    std::atomic<int> m_fd{-1};
    std::mutex m_openMutex;
    std::mutex m_readMutex;
};

ProcFile g_selfStatm("/proc/self/statm");
ProcFile g_selfTasks("/proc/self/task", true);
ProcFile g_selfFds("/proc/self/fd", true);
ProcFile g_memInfo("/proc/meminfo");
ProcFile g_stat("/proc/stat");
ProcFile g_procRoot("/proc", true);
ProcFile g_loadAvg("/proc/loadavg");
ProcFile g_fileNr("/proc/sys/fs/file-nr");

const int kForgetFilesInChild = pthread_atfork(nullptr, nullptr, [] {
    for (ProcFile* file : {&g_selfStatm, &g_selfTasks, &g_selfFds, &g_memInfo, &g_stat, &g_procRoot, &g_loadAvg, &g_fileNr})
        file->Forget();
});

// The process's cgroups and the machine's limits, read beside every sample.
platform::KernelLimits g_kernelLimits;
std::mutex g_kernelLimitsMutex;

// Peak of VmData + VmStk over the samples taken, as Linux keeps no peak of its own for it.
std::atomic<std::uint64_t> g_peakPrivateKB{0};

// The number after `key` in a "Key:   value kB" text; false when the key is missing.
bool FindNumber(std::string_view text, std::string_view key, std::uint64_t& value)
{
    std::size_t at = 0;
    for (;;) {
        at = text.find(key, at);
        if (at == std::string_view::npos)
            return false;
        if (at == 0 || text[at - 1] == '\n')
            break;
        at += key.size();
    }
    at += key.size();
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
    const auto result = std::from_chars(text.data() + at, text.data() + text.size(), value);
    return result.ec == std::errc();
}

// The space-separated numbers at the start of [at, end) into `values`; false with EPROTO when
// there are fewer.
bool ParseNumbers(const char* at, const char* end, std::span<std::uint64_t> values)
{
    for (auto& value : values) {
        while (at < end && *at == ' ')
            ++at;
        const auto result = std::from_chars(at, end, value);
        if (result.ec != std::errc()) {
            errno = EPROTO;
            return false;
        }
        at = result.ptr;
    }
    return true;
}

bool ReadFields(ProcFile& file, std::initializer_list<std::pair<std::string_view, std::uint64_t*>> fields)
{
    char buffer[4096];
    if (file.Read(buffer, sizeof buffer) < 0)
        return false;
    for (const auto& [key, value] : fields) {
        if (!FindNumber(buffer, key, *value)) {
            errno = EPROTO;
            return false;
        }
    }
    return true;
}

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
    if (!ParseNumbers(buffer, buffer + length, pages))
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

BOOL Fail()
{
    SetLastError(static_cast<DWORD>(errno));
    return FALSE;
}

bool IsNumber(std::string_view name) { return !name.empty() && name.find_first_not_of("0123456789") == std::string_view::npos; }

}  // namespace

BOOL GetProcessMemoryInfo(PROCESS_MEMORY_COUNTERS* counters, DWORD cb)
{
    if (ConsumeInjectedFault(SystemCall::GetProcessMemoryInfo))
        return Fail();
    if (counters == nullptr || cb < sizeof(PROCESS_MEMORY_COUNTERS)) {
        errno = EINVAL;
        return Fail();
    }
    StatmKB memory;
    if (!ReadStatm(memory))
        return Fail();
    // ru_maxrss is the kernel's VmHWM (it also remembers the image before an exec).
    rusage usage{};
    if (!ReadUsage(usage))
        return Fail();
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
        return Fail();
    // Since Linux 6.2 the size of /proc/self/fd is the number of open descriptors: one call instead
    // of a listing that grows with them. Older kernels give 0.
    long entries = g_selfFds.Size();
    if (entries <= 0)
        entries = g_selfFds.CountEntries([](std::string_view name) { return IsNumber(name); });
    if (entries < 0)
        return Fail();
    *count = static_cast<DWORD>(entries);
    if (descriptors != nullptr) {
        // Read every sample: prlimit can change it from outside.
        rlimit limit{};
        *descriptors = {};
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            *descriptors = {limit.rlim_cur, limit.rlim_cur > static_cast<rlim_t>(entries) ? limit.rlim_cur - static_cast<rlim_t>(entries) : 0,
                            platform::CeilingSource::ResourceLimit, "RLIMIT_NOFILE", {}};
    }
    return TRUE;
}

BOOL GetProcessThreadCount(DWORD* count)
{
    if (ConsumeInjectedFault(SystemCall::GetProcessThreadCount))
        return Fail();
    // The link count of /proc/self/task is 2 + the number of threads: one fstat instead of
    // rendering /proc/self/status.
    const long links = g_selfTasks.Links();
    if (links < 0)
        return Fail();
    if (links < 3) {
        errno = EPROTO;
        return Fail();
    }
    *count = static_cast<DWORD>(links - 2);
    return TRUE;
}

BOOL GetProcessTimes(FILETIME* creation, FILETIME* exit, FILETIME* kernel, FILETIME* user)
{
    if (ConsumeInjectedFault(SystemCall::GetProcessTimes))
        return Fail();
    rusage usage{};
    if (!ReadUsage(usage))
        return Fail();
    *creation = {};
    *exit = {};
    *kernel = ToFileTime(HundredNs(usage.ru_stime));
    *user = ToFileTime(HundredNs(usage.ru_utime));
    return TRUE;
}

BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* status) { return GlobalMemoryStatusEx(status, nullptr); }

BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* status, platform::Ceiling* tightest)
{
    using platform::Ceiling;
    using platform::CeilingSource;
    if (ConsumeInjectedFault(SystemCall::GlobalMemoryStatusEx))
        return Fail();
    std::uint64_t totalKB = 0, availableKB = 0, commitLimitKB = 0, committedKB = 0, swapTotalKB = 0, swapFreeKB = 0;
    if (!ReadFields(g_memInfo, {{"MemTotal:", &totalKB},
                                {"MemAvailable:", &availableKB},
                                {"SwapTotal:", &swapTotalKB},
                                {"SwapFree:", &swapFreeKB},
                                {"CommitLimit:", &commitLimitKB},
                                {"Committed_AS:", &committedKB}}))
        return Fail();
    StatmKB process;
    if (!ReadStatm(process))
        return Fail();
    rlimit addressLimit{};
    if (::getrlimit(RLIMIT_AS, &addressLimit) != 0)
        return Fail();
    const bool addressLimited = addressLimit.rlim_cur != RLIM_INFINITY && addressLimit.rlim_cur < kUserAddressSpace;
    const std::uint64_t addressSpace = addressLimited ? addressLimit.rlim_cur : kUserAddressSpace;
    const std::uint64_t usedVirtual = process.size * kBytesPerKB;
    const std::uint64_t availableCommitKB = commitLimitKB > committedKB ? commitLimitKB - committedKB : 0;

    // What the process can still obtain: the least of its address space, its memory cgroups and
    // the machine, where a strict overcommit policy refuses beyond the commit limit.
    Ceiling memory{addressSpace, addressSpace > usedVirtual ? addressSpace - usedVirtual : 0, CeilingSource::ResourceLimit,
                   addressLimited ? "RLIMIT_AS" : "user address space", {}};
    memory.Tighten({(totalKB + swapTotalKB) * kBytesPerKB, (availableKB + swapFreeKB) * kBytesPerKB, CeilingSource::Machine,
                    "MemAvailable + SwapFree", {}});
    {
        std::lock_guard lock(g_kernelLimitsMutex);
        memory.Tighten(g_kernelLimits.Memory(swapFreeKB * kBytesPerKB));
        if (g_kernelLimits.StrictOvercommit())
            memory.Tighten({commitLimitKB * kBytesPerKB, availableCommitKB * kBytesPerKB, CeilingSource::Machine, "CommitLimit", {}});
    }
    if (tightest != nullptr)
        *tightest = memory;

    status->dwMemoryLoad = totalKB == 0 ? 0 : static_cast<DWORD>(100 - availableKB * 100 / totalKB);
    status->ullTotalPhys = totalKB * kBytesPerKB;
    status->ullAvailPhys = availableKB * kBytesPerKB;
    status->ullTotalPageFile = (committedKB + availableCommitKB) * kBytesPerKB;
    status->ullAvailPageFile = availableCommitKB * kBytesPerKB;
    // Total less available stays the address space in use.
    status->ullTotalVirtual = usedVirtual + memory.left;
    status->ullAvailVirtual = memory.left;
    status->ullAvailExtendedVirtual = 0;
    return TRUE;
}

platform::Ceiling GetThreadCeiling(DWORD threads, DWORD machineThreads)
{
    std::lock_guard lock(g_kernelLimitsMutex);
    return g_kernelLimits.Threads(threads, machineThreads);
}

BOOL GetSystemTimes(FILETIME* idle, FILETIME* kernel, FILETIME* user)
{
    if (ConsumeInjectedFault(SystemCall::GetSystemTimes))
        return Fail();
    char buffer[512];
    if (g_stat.Read(buffer, sizeof buffer) < 0)
        return Fail();
    std::string_view line(buffer);
    if (line.substr(0, 4) != "cpu ") {
        errno = EPROTO;
        return Fail();
    }
    std::uint64_t ticks[7] = {};  // user nice system idle iowait irq softirq
    if (!ParseNumbers(buffer + 4, buffer + line.size(), ticks))
        return Fail();
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
        return Fail();
    if (info == nullptr || cb < sizeof(PERFORMANCE_INFORMATION)) {
        errno = EINVAL;
        return Fail();
    }
    // The kernel lists /proc's own files below position 256 and the processes from there on:
    // starting there skips some sixty entries that would cost a quarter of the listing.
    constexpr off_t kFirstProcessEntry = 256;
    const long processes = g_procRoot.CountEntries([](std::string_view name) { return IsNumber(name); }, kFirstProcessEntry);
    if (processes < 0)
        return Fail();
    // "0.12 0.10 0.09 2/345 6789": the total after the slash counts every thread of the machine.
    char loadAvg[128];
    if (g_loadAvg.Read(loadAvg, sizeof loadAvg) < 0)
        return Fail();
    const char* slash = std::strchr(loadAvg, '/');
    std::uint64_t threads = 0;
    if (slash == nullptr || std::from_chars(slash + 1, loadAvg + std::strlen(loadAvg), threads).ec != std::errc()) {
        errno = EPROTO;
        return Fail();
    }
    char fileNr[128];
    std::uint64_t handles = 0;
    if (g_fileNr.Read(fileNr, sizeof fileNr) < 0)
        return Fail();
    if (std::from_chars(fileNr, fileNr + std::strlen(fileNr), handles).ec != std::errc()) {
        errno = EPROTO;
        return Fail();
    }
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

BOOL GetComputerNameW(char16_t* buffer, DWORD* size)
{
    if (ConsumeInjectedFault(SystemCall::GetComputerName))
        return Fail();
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return Fail();
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
