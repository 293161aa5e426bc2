#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "agent/XLoadMonitor.h"
#include "agent/XLoadMonitorImpl.h"
#include "interfaces/QNError64.h"
#include "platform/FaultInjection.h"
#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/ThisMachine.h"

namespace {

using platform::SystemCall;

// "Key:   value" from a /proc file, read by the test itself.
long long ProcField(const std::string& path, const std::string& key)
{
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line))
        if (line.rfind(key, 0) == 0)
            return std::stoll(line.substr(key.size()));
    return -1;
}

long long CountEntries(const std::string& path, bool numericOnly = false)
{
    long long count = 0;
    DIR* dir = ::opendir(path.c_str());
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        count += numericOnly ? name.find_first_not_of("0123456789") == std::string::npos : name[0] != '.';
    }
    ::closedir(dir);
    return count;
}

std::uint64_t AsUnsigned(const tagQNPreciseTime& time) { return (std::uint64_t{time.highPart} << 32) | time.lowPart; }

struct Sample {
    tagQNResourceInformation info{};
    tagQNMachineResourceLoad previous{};
    Sample() { XLoadMonitor::ZeroData(previous); }
    bool Measure() { return XLoadMonitor::MeasureProcessLoadData(info, previous); }
};

TEST(LoadMeasurement, AgreesWithProcForAChildUnderKnownLoad)
{
    constexpr long kMegabytes = 64, kDescriptors = 200, kThreads = 12;
    qntest::ChildProcess child({QN_LOAD_CHILD, "--mb", std::to_string(kMegabytes), "--fds", std::to_string(kDescriptors), "--threads",
                                std::to_string(kThreads)});
    auto figures = child.ReadFigures();
    const std::string proc = "/proc/" + std::to_string(child.Pid());
    ASSERT_EQ(figures["ok"], 1);
    EXPECT_EQ(figures["firstIdleZero"], 1) << "the first sample after a cleared previous carries zero machine times";

    // Process figures, against what the test reads of the child itself.
    const long long rssKB = ProcField(proc + "/status", "VmRSS:");
    EXPECT_GE(figures["workingSetKB"], kMegabytes * 1024);
    EXPECT_NEAR(figures["workingSetKB"], rssKB, 2048);
    EXPECT_GE(figures["peakWorkingSetKB"], figures["workingSetKB"]);
    EXPECT_GE(figures["pagefileUsageKB"], kMegabytes * 1024);
    EXPECT_NEAR(figures["usedVirtualKB"], ProcField(proc + "/status", "VmSize:"), 1024);
    EXPECT_GE(figures["threadCount"], kThreads + 1);  // sanitizers may add a thread of their own
    EXPECT_EQ(figures["threadCount"], ProcField(proc + "/status", "Threads:"));
    // The library keeps its /proc files open, so the child holds a few descriptors beyond its own.
    EXPECT_EQ(figures["handleCount"], CountEntries(proc + "/fd"));
    EXPECT_GE(figures["handleCount"], kDescriptors + 3);
    EXPECT_GT(figures["pageFaultCount"], kMegabytes * 256 / 2) << "touching the memory faults its pages in";

    // Machine figures, against /proc read independently while the child waits.
    const long long totalKB = ProcField("/proc/meminfo", "MemTotal:");
    EXPECT_NEAR(figures["availPhysicalKB"], ProcField("/proc/meminfo", "MemAvailable:"), 64 * 1024);
    EXPECT_NEAR(figures["usedPhysicalKB"] + figures["availPhysicalKB"], totalKB, 1);
    const long long commitLimit = ProcField("/proc/meminfo", "CommitLimit:");
    const long long committed = ProcField("/proc/meminfo", "Committed_AS:");
    EXPECT_NEAR(figures["usedPageFileKB"], committed, 128 * 1024);
    EXPECT_NEAR(figures["availPageFileKB"], std::max(0LL, commitLimit - committed), 128 * 1024);
    EXPECT_NEAR(figures["processCount"], CountEntries("/proc", true), 20);
    EXPECT_GE(figures["machineThreadCount"], figures["processCount"]);
    EXPECT_GT(figures["machineHandleCount"], 0);
    EXPECT_GT(figures["idleTime"] + figures["machineKernelTime"] + figures["machineUserTime"], 0)
        << "the second sample carries the time that passed since the first";
    EXPECT_EQ(child.Finish(), 0);
}

TEST(LoadMeasurement, FreeVirtualMemoryIsTheLeastOfAddressSpaceAndMachine)
{
    Sample sample;
    ASSERT_TRUE(sample.Measure());
    const auto& load = sample.info.processLoad;
    EXPECT_LE(load.usedVirtualKB + load.availVirtualKB, static_cast<std::int64_t>(0x7FFFFFFFF000ULL / 1024) + 1);
    // No more than the machine has free, swap included.
    struct sysinfo machine {};
    ASSERT_EQ(sysinfo(&machine), 0);
    const auto machineKB = static_cast<std::int64_t>((machine.totalram + machine.totalswap) * machine.mem_unit / 1024);
    EXPECT_GT(load.availVirtualKB, 0);
    EXPECT_LE(load.availVirtualKB, machineKB);
}

TEST(LoadMeasurement, MachineTimesAreZeroFirstAndDifferencesLater)
{
    Sample sample;
    ASSERT_TRUE(sample.Measure());
    const auto& machine = sample.info.machineLoad;
    EXPECT_EQ(AsUnsigned(machine.idleTime) + AsUnsigned(machine.kernelTime) + AsUnsigned(machine.userTime), 0u);
    const std::uint64_t absoluteKernel = AsUnsigned(sample.previous.kernelTime);
    EXPECT_GT(absoluteKernel, 0u);
    EXPECT_EQ(sample.previous.processCount, 0u) << "the kept copy holds only the absolute times";

    usleep(30000);
    ASSERT_TRUE(sample.Measure());
    EXPECT_GT(AsUnsigned(machine.kernelTime) + AsUnsigned(machine.userTime), 0u);
    EXPECT_GE(AsUnsigned(machine.kernelTime), AsUnsigned(machine.idleTime)) << "kernel time includes idle time";
    EXPECT_EQ(AsUnsigned(sample.previous.kernelTime), absoluteKernel + AsUnsigned(machine.kernelTime));
}

struct FailingRead {
    SystemCall call;
    const char* message;
    int line;
};

class FailedRead : public testing::TestWithParam<FailingRead> {};

TEST_P(FailedRead, LogsTheCallAndLeavesPreviousUntouched)
{
    Sample sample;
    ASSERT_TRUE(sample.Measure());
    const tagQNMachineResourceLoad before = sample.previous;
    XQNLogbookCapture capture;

    platform::FailNextSystemCall(GetParam().call, EIO);
    EXPECT_FALSE(sample.Measure());

    const auto entries = capture.WithMessage(GetParam().message);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].kind, XQNLogEntry::Kind::ApiError);
    EXPECT_EQ(entries[0].severity, 5);
    EXPECT_EQ(entries[0].lastError, static_cast<DWORD>(EIO));
    EXPECT_EQ(entries[0].file, "XLoadMonitor");
    EXPECT_EQ(entries[0].line, GetParam().line);
    EXPECT_EQ(entries[0].component, "QNResourceAgent");
    EXPECT_EQ(entries[0].function, "XLoadMonitor::MeasureProcessLoadData");
    EXPECT_EQ(std::memcmp(&before, &sample.previous, sizeof before), 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRead, FailedRead,
    testing::Values(FailingRead{SystemCall::GetProcessMemoryInfo, "WIN API call GetProcessMemoryInfo failed", 384},
                    FailingRead{SystemCall::GetProcessHandleCount, "WIN API call GetProcessHandleCount failed", 408},
                    FailingRead{SystemCall::GetProcessThreadCount, "WIN API call CreateToolhelp32Snapshot failed", 421},
                    FailingRead{SystemCall::GetProcessTimes, "WIN API call GetProcessTimes failed", 455},
                    FailingRead{SystemCall::GlobalMemoryStatusEx, "WIN API call GlobalMemoryStatusEx failed", 472},
                    FailingRead{SystemCall::GetSystemTimes, "WIN API call GetSystemTimes failed", 500},
                    FailingRead{SystemCall::GetPerformanceInfo, "WIN API call GetPerformanceInfo failed", 596}),
    [](const testing::TestParamInfo<FailingRead>& info) { return "Line" + std::to_string(info.param.line); });

TEST(LoadMeasurement, AfterAFailedSampleTheNextReportsTheWholeStretch)
{
    Sample sample;
    ASSERT_TRUE(sample.Measure());
    const std::uint64_t firstKernel = AsUnsigned(sample.previous.kernelTime);
    platform::FailNextSystemCall(SystemCall::GetProcessTimes, EIO);
    usleep(20000);
    EXPECT_FALSE(sample.Measure());
    usleep(20000);
    ASSERT_TRUE(sample.Measure());
    EXPECT_EQ(AsUnsigned(sample.info.machineLoad.kernelTime), AsUnsigned(sample.previous.kernelTime) - firstKernel);
}

TEST(LoadMeasurement, FailureBeforeTheVirtualFiguresKeepsTheLastFreeVirtualMemory)
{
    Sample sample;
    ASSERT_TRUE(sample.Measure());
    const std::int64_t available = sample.info.processLoad.availVirtualKB;
    platform::FailNextSystemCall(SystemCall::GetProcessMemoryInfo, EIO);
    EXPECT_FALSE(sample.Measure());
    EXPECT_EQ(sample.info.processLoad.availVirtualKB, available);
    EXPECT_EQ(sample.info.processLoad.workingSetKB, 0);
}

TEST(ProcessName, KeepsTheFileNameWithoutFolderAndLastExtension)
{
    EXPECT_EQ(agent::ProcessNameFromPath(u"D:\\srv\\bin\\server.exe"), u"server");
    EXPECT_EQ(agent::ProcessNameFromPath(u"D:\\srv\\a.b\\tool"), u"tool");
    EXPECT_EQ(agent::ProcessNameFromPath(u"plain"), u"plain");
    EXPECT_EQ(agent::ProcessNameFromPath(u"x.tar.gz"), u"x.tar");
    EXPECT_EQ(agent::ProcessNameFromPath(u"/usr/lib/qn/qn-server-demo"), u"qn-server-demo");
}

TEST(ProcessName, OfThisProcessIsItsExecutable)
{
    EXPECT_EQ(XLoadMonitor::GetCurrentProcessName().View(), u"qn_unit_tests");
}

TEST(ProcessName, UnreadablePathGivesEmptyNameAndLogs)
{
    XQNLogbookCapture capture;
    platform::FailNextSystemCall(SystemCall::GetModuleFileName, ENOENT);
    EXPECT_TRUE(XLoadMonitor::GetCurrentProcessName().IsEmpty());
    const auto entries = capture.WithMessage("WIN API call GetModuleFileName failed");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].line, 258);
    EXPECT_EQ(entries[0].function, "XLoadMonitor::GetCurrentProcessName");
}

TEST(MachineName, IsTheHostNameUpToItsFirstDot)
{
    const std::string expected = qntest::HostName();
    if (expected.size() > 15)
        GTEST_SKIP() << "host name too long for this check";
    EXPECT_EQ(XLoadMonitor::GetMachineName().ToUtf8(), expected);
}

TEST(MachineName, FailedReadRaisesWithTheMappedResult)
{
    platform::FailNextSystemCall(SystemCall::GetComputerName, EACCES);
    try {
        XLoadMonitor::GetMachineName();
        FAIL() << "did not raise";
    } catch (const XWrappedQNException& e) {
        EXPECT_EQ(e.Get().Type(), 2);
        EXPECT_EQ(e.Get().Severity(), 6);
        EXPECT_EQ(e.Get().Result(), static_cast<HRESULT>(0x80070000 | EACCES));
        EXPECT_EQ(e.Get().Message().View(), u"GetComputerName failed");
        EXPECT_EQ(e.Get().Line(), 284);
    }
}

TEST(SystemInformation, A64BitProcessIsNotWow64)
{
    tagQNSystemInformation info{};
    ASSERT_TRUE(XLoadMonitor::GetSystemInformation(info));
    EXPECT_EQ(info.valid, 1);
    EXPECT_EQ(info.isWow64, 0);
    EXPECT_EQ(info.numberOfProcessors, static_cast<std::uint32_t>(::sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_EQ(info.activeProcessorMask, (1u << info.numberOfProcessors) - 1);
}

}  // namespace
