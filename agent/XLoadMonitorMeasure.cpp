#include <algorithm>

#include "agent/XLoadMonitor.h"
#include "agent/XLoadMonitorImpl.h"
#include "interfaces/QNError64.h"
#include "module/QNResourceAgentModule.h"
#include "platform/Ceilings.h"
#include "platform/SystemFigures.h"
#include "platform/Thread.h"

namespace {

constexpr std::int64_t kBytesPerKB = 1024;
constexpr DWORD kModulePathCharacters = 260;
constexpr DWORD kComputerNameCharacters = 16;

// Line numbers of the logbook entries, as operators know them from the original.
constexpr int kLineGetModuleFileName = 258;
constexpr int kLineGetComputerName = 284;
constexpr int kLineGetProcessMemoryInfo = 384;
constexpr int kLineGetProcessHandleCount = 408;
constexpr int kLineThreadSnapshot = 421;
constexpr int kLineGetProcessTimes = 455;
constexpr int kLineGlobalMemoryStatusEx = 472;
constexpr int kLineGetSystemTimes = 500;
constexpr int kLineGetPerformanceInfo = 596;

bool ReportFailure(int line, std::u16string_view message)
{
    static const XQNComBSTR function(u"XLoadMonitor::MeasureProcessLoadData");
    const DWORD lastError = GetLastError();
    XQNError::WriteAPIErrorToLogBook(XQNResourceAgentModule::Location("XLoadMonitor", line, function), QNSeverity_CallFailure,
                                     message, lastError);
    return false;
}

std::int64_t ToKB(std::uint64_t bytes) { return static_cast<std::int64_t>(bytes / kBytesPerKB); }

tagQNPreciseTime ToPreciseTime(const FILETIME& time) { return {time.dwLowDateTime, time.dwHighDateTime}; }

std::int64_t AsSigned(const tagQNPreciseTime& time)
{
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.highPart) << 32) | time.lowPart);
}

tagQNPreciseTime FromSigned(std::int64_t value)
{
    const auto bits = static_cast<std::uint64_t>(value);
    return {static_cast<std::uint32_t>(bits & 0xFFFFFFFF), static_cast<std::uint32_t>(bits >> 32)};
}

// Stores the new absolute time into `current` and, when there is a previous one, the difference
// into `delta`; the first sample after `previous` was cleared reports zero.
void TakeDifference(const FILETIME& now, const tagQNPreciseTime& previous, tagQNPreciseTime& current, tagQNPreciseTime& delta)
{
    current = ToPreciseTime(now);
    const std::int64_t before = AsSigned(previous);
    if (before > 0)
        delta = FromSigned(AsSigned(current) - before);
}

// 32-bit-on-64-bit emulation has no counterpart for this 64-bit library on Linux.
LONG IsWow64() { return 0; }

}  // namespace

bool XLoadMonitor::MeasureProcessLoadData(tagQNResourceInformation& info, tagQNMachineResourceLoad& previous)
{
    return agent::MeasureProcessLoad(info, previous, nullptr);
}

bool agent::MeasureProcessLoad(tagQNResourceInformation& info, tagQNMachineResourceLoad& previous, platform::ProcessCeilings* ceilings)
{
    XLoadMonitor::ZeroData(info);
    auto& process = info.processLoad;
    auto& machine = info.machineLoad;

    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(&counters, sizeof counters))
        return ReportFailure(kLineGetProcessMemoryInfo, u"WIN API call GetProcessMemoryInfo failed");
    process.pagefileUsageKB = ToKB(counters.PagefileUsage);
    process.peakPagefileUsageKB = ToKB(counters.PeakPagefileUsage);
    process.workingSetKB = ToKB(counters.WorkingSetSize);
    process.peakWorkingSetKB = ToKB(counters.PeakWorkingSetSize);
    process.pageFaultCount = counters.PageFaultCount;

    constexpr DWORD kGdiObjects = 0;
    constexpr DWORD kUserObjects = 1;
    process.gdiObjectCount = GetGuiResources(kGdiObjects);
    process.userObjectCount = GetGuiResources(kUserObjects);

    DWORD handles = 0;
    if (!GetProcessHandleCount(&handles, ceilings != nullptr ? &ceilings->descriptors : nullptr))
        return ReportFailure(kLineGetProcessHandleCount, u"WIN API call GetProcessHandleCount failed");
    process.handleCount = handles;

    DWORD threads = 0;
    if (!GetProcessThreadCount(&threads))
        return ReportFailure(kLineThreadSnapshot, u"WIN API call CreateToolhelp32Snapshot failed");
    process.threadCount = threads;

    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetProcessTimes(&creation, &exit, &kernel, &user))
        return ReportFailure(kLineGetProcessTimes, u"WIN API call GetProcessTimes failed");
    process.kernelTime = ToPreciseTime(kernel);
    process.userTime = ToPreciseTime(user);

    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    if (!GlobalMemoryStatusEx(&memory, ceilings != nullptr ? &ceilings->memory : nullptr))
        return ReportFailure(kLineGlobalMemoryStatusEx, u"WIN API call GlobalMemoryStatusEx failed");
    process.usedVirtualKB = ToKB(memory.ullTotalVirtual - memory.ullAvailVirtual);
    process.availVirtualKB = ToKB(memory.ullAvailVirtual);
    machine.usedPageFileKB = ToKB(memory.ullTotalPageFile - memory.ullAvailPageFile);
    machine.availPageFileKB = ToKB(memory.ullAvailPageFile);
    machine.usedPhysicalKB = ToKB(memory.ullTotalPhys - memory.ullAvailPhys);
    machine.availPhysicalKB = ToKB(memory.ullAvailPhys);

    tagQNMachineResourceLoad current;
    XLoadMonitor::ZeroData(current);
    FILETIME idleTime{}, kernelTime{}, userTime{};
    if (!GetSystemTimes(&idleTime, &kernelTime, &userTime))
        return ReportFailure(kLineGetSystemTimes, u"WIN API call GetSystemTimes failed");
    TakeDifference(idleTime, previous.idleTime, current.idleTime, machine.idleTime);
    TakeDifference(kernelTime, previous.kernelTime, current.kernelTime, machine.kernelTime);
    TakeDifference(userTime, previous.userTime, current.userTime, machine.userTime);

    PERFORMANCE_INFORMATION performance{};
    if (!GetPerformanceInfo(&performance, sizeof performance))
        return ReportFailure(kLineGetPerformanceInfo, u"WIN API call GetPerformanceInfo failed");
    machine.processCount = performance.ProcessCount;
    machine.threadCount = performance.ThreadCount;
    machine.handleCount = performance.HandleCount;
    if (ceilings != nullptr)
        ceilings->threads = GetThreadCeiling(threads, performance.ThreadCount);

    previous = current;
    return true;
}

bool XLoadMonitor::GetSystemInformation(tagQNSystemInformation& info)
{
    ZeroData(info);
    const LONG wow64 = IsWow64();
    if (wow64 != 0 && wow64 != 1)
        return false;
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    info.isWow64 = wow64 == 1 ? 1 : 0;
    info.numberOfProcessors = system.dwNumberOfProcessors;
    info.activeProcessorMask = static_cast<std::uint32_t>(system.dwActiveProcessorMask & 0xFFFFFFFF);
    info.processorArchitecture = system.wProcessorArchitecture;
    info.valid = 1;
    return true;
}

std::u16string_view agent::ProcessNameFromPath(std::u16string_view path)
{
    const std::size_t slash = path.find_last_of(u"/\\");
    if (slash != std::u16string_view::npos)
        path.remove_prefix(slash + 1);
    const std::size_t dot = path.rfind(u'.');
    if (dot != std::u16string_view::npos)
        path = path.substr(0, dot);
    return path;
}

XQNComBSTR XLoadMonitor::GetCurrentProcessName()
{
    char16_t path[kModulePathCharacters];
    const DWORD length = GetModuleFileNameW(path, kModulePathCharacters);
    if (length == 0) {
        static const XQNComBSTR function(u"XLoadMonitor::GetCurrentProcessName");
        const DWORD lastError = GetLastError();
        XQNError::WriteAPIErrorToLogBook(XQNResourceAgentModule::Location("XLoadMonitor", kLineGetModuleFileName, function),
                                         QNSeverity_CallFailure, u"WIN API call GetModuleFileName failed", lastError);
        return XQNComBSTR(u"");
    }
    return XQNComBSTR(agent::ProcessNameFromPath(std::u16string_view(path, length)));
}

XQNComBSTR XLoadMonitor::GetMachineName()
{
    char16_t name[kComputerNameCharacters];
    DWORD size = kComputerNameCharacters;
    if (!GetComputerNameW(name, &size)) {
        static const XQNComBSTR function(u"XLoadMonitor::GetMachineName");
        XQNExceptionFactory::DoThrowException(QNExceptionType_System,
                                              XQNResourceAgentModule::Location("XLoadMonitor", kLineGetComputerName, function),
                                              HResultFromLastError(GetLastError()), QNSeverity_Error, u"GetComputerName failed", u"");
    }
    return XQNComBSTR(std::u16string_view(name, size));
}
