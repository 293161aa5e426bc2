// The process and machine figures of one sample against what the test reads of /proc itself, and
// the failing reads.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "agent/XLoadMonitor.h"
#include "agent/XLoadMonitorImpl.h"
#include "interfaces/QNError64.h"
#include "platform/FaultInjection.h"
#include "platform/ProcFile.h"
#include "tests/helpers/Await.h"
#include "tests/helpers/Errors.h"
#include "tests/helpers/ThisMachine.h"

namespace {

using platform::SystemCall;

using qntest::ProcField;

std::set<std::string> Entries(const std::string& path, bool numericOnly = false)
{
    std::set<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (numericOnly ? name.find_first_not_of("0123456789") == std::string::npos : name[0] != '.')
            names.insert(name);
    }
    ::closedir(dir);
    return names;
}

// The processes and threads the machine has started since it booted.
long long Forks() { return ProcField("/proc/stat", "processes "); }

std::uint64_t AsUnsigned(const tagQNPreciseTime& time) { return (std::uint64_t{time.highPart} << 32) | time.lowPart; }

struct Sample {
    tagQNResourceInformation info{};
    tagQNMachineResourceLoad previous{};
    Sample() { XLoadMonitor::ZeroData(previous); }
    bool Measure() { return XLoadMonitor::MeasureProcessLoadData(info, previous); }
};

TEST(LoadMeasurement, AgreesWithProcUnderKnownLoad)
{
    constexpr long kMegabytes = 64, kDescriptors = 200, kThreads = 12;
    const std::vector<char> memory(kMegabytes << 20, 1);  // touched
    std::vector<int> files;
    for (long i = 0; i < kDescriptors; ++i)
        files.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    std::vector<std::thread> threads;
    for (long i = 0; i < kThreads; ++i)
        threads.emplace_back([released] { released.wait(); });
    Sample sample;
    ASSERT_TRUE(sample.Measure());
    // Other tests start and end processes meanwhile: the count lies between those alive throughout
    // and those alive before plus every one started since.
    const long long forksBefore = Forks();
    const auto processesBefore = Entries("/proc", true);
    ASSERT_TRUE(sample.Measure());
    const long long started = Forks() - forksBefore;
    std::vector<std::string> throughout;
    std::ranges::set_intersection(processesBefore, Entries("/proc", true), std::back_inserter(throughout));

    const auto& p = sample.info.processLoad;
    EXPECT_NEAR(p.workingSetKB, ProcField("/proc/self/status", "VmRSS:"), 2048);
    EXPECT_GE(p.peakWorkingSetKB, p.workingSetKB);
    EXPECT_GE(p.pagefileUsageKB, kMegabytes * 1024);
    EXPECT_NEAR(p.usedVirtualKB, ProcField("/proc/self/status", "VmSize:"), 1024);
    EXPECT_EQ(p.threadCount, ProcField("/proc/self/status", "Threads:"));
    // The listing's own descriptor is not one of the sample's.
    EXPECT_EQ(p.handleCount + 1, Entries("/proc/self/fd").size());
    EXPECT_GT(p.pageFaultCount, kMegabytes * 256 / 2) << "touching the memory faults its pages in";

    const auto& m = sample.info.machineLoad;
    const long long committed = ProcField("/proc/meminfo", "Committed_AS:");
    EXPECT_NEAR(m.availPhysicalKB, ProcField("/proc/meminfo", "MemAvailable:"), 64 * 1024);
    EXPECT_NEAR(m.usedPhysicalKB + m.availPhysicalKB, ProcField("/proc/meminfo", "MemTotal:"), 1);
    EXPECT_NEAR(m.usedPageFileKB, committed, 128 * 1024);
    EXPECT_NEAR(m.availPageFileKB, std::max(0LL, ProcField("/proc/meminfo", "CommitLimit:") - committed), 128 * 1024);
    EXPECT_GE(m.processCount, throughout.size());
    EXPECT_LE(m.processCount, static_cast<long long>(processesBefore.size()) + started);
    EXPECT_GE(m.threadCount, m.processCount);
    EXPECT_GT(m.handleCount, 0u);
    release.set_value();
    for (auto& thread : threads)
        thread.join();
    for (const int fd : files)
        ::close(fd);
}

TEST(LoadMeasurement, FreeVirtualMemoryIsTheLeastOfAddressSpaceAndMachineAndMachineTimesAreDifferences)
{
    Sample sample;
    ASSERT_TRUE(sample.Measure());
    const auto& load = sample.info.processLoad;
    EXPECT_LE(load.usedVirtualKB + load.availVirtualKB, static_cast<std::int64_t>(0x7FFFFFFFF000ULL / 1024) + 1);
    struct sysinfo machine {};
    ASSERT_EQ(sysinfo(&machine), 0);
    EXPECT_GT(load.availVirtualKB, 0);
    EXPECT_LE(load.availVirtualKB, static_cast<std::int64_t>((machine.totalram + machine.totalswap) * machine.mem_unit / 1024)) << "swap included";

    const auto& times = sample.info.machineLoad;
    EXPECT_EQ(AsUnsigned(times.idleTime) + AsUnsigned(times.kernelTime) + AsUnsigned(times.userTime), 0u) << "zero first";
    std::uint64_t absoluteKernel = AsUnsigned(sample.previous.kernelTime);
    EXPECT_GT(absoluteKernel, 0u);
    EXPECT_EQ(sample.previous.processCount, 0u) << "the kept copy holds only the absolute times";
    // Measured again until the machine's clock ticks have moved on.
    const auto busyTimeAdvanced = [&] {
        absoluteKernel = AsUnsigned(sample.previous.kernelTime);
        return sample.Measure() && AsUnsigned(times.kernelTime) + AsUnsigned(times.userTime) > 0;
    };
    ASSERT_TRUE(qntest::Await(busyTimeAdvanced, [](bool advanced) { return advanced; }, std::chrono::seconds(10)));
    EXPECT_GE(AsUnsigned(times.kernelTime), AsUnsigned(times.idleTime)) << "kernel time includes idle time";
    EXPECT_EQ(AsUnsigned(sample.previous.kernelTime), absoluteKernel + AsUnsigned(times.kernelTime));
}

TEST(LoadMeasurement, EachFailingReadIsLoggedAndLeavesThePreviousTimesForTheNextSample)
{
    const std::tuple<SystemCall, const char*, int> reads[] = {
        {SystemCall::GetProcessMemoryInfo, "WIN API call GetProcessMemoryInfo failed", 384},
        {SystemCall::GetProcessHandleCount, "WIN API call GetProcessHandleCount failed", 408},
        {SystemCall::GetProcessThreadCount, "WIN API call CreateToolhelp32Snapshot failed", 421},
        {SystemCall::GetProcessTimes, "WIN API call GetProcessTimes failed", 455},
        {SystemCall::GlobalMemoryStatusEx, "WIN API call GlobalMemoryStatusEx failed", 472},
        {SystemCall::GetSystemTimes, "WIN API call GetSystemTimes failed", 500},
        {SystemCall::GetPerformanceInfo, "WIN API call GetPerformanceInfo failed", 596}};
    for (const auto& [call, message, line] : reads) {
        SCOPED_TRACE(message);
        Sample sample;
        ASSERT_TRUE(sample.Measure());
        const tagQNMachineResourceLoad before = sample.previous;
        const std::int64_t available = sample.info.processLoad.availVirtualKB;
        XQNLogbookCapture capture;
        platform::FailNextSystemCall(call, EIO);
        EXPECT_FALSE(sample.Measure());
        const XQNLogEntry entry = qntest::Only(capture.WithMessage(message));
        EXPECT_EQ(std::tuple(entry.kind, entry.severity, entry.lastError, entry.line), std::tuple(XQNLogEntry::Kind::ApiError, 5, DWORD{EIO}, line));
        EXPECT_EQ(entry.function, "XLoadMonitor::MeasureProcessLoadData");
        EXPECT_EQ(std::memcmp(&before, &sample.previous, sizeof before), 0);
        if (call == SystemCall::GetProcessMemoryInfo) {
            EXPECT_EQ(sample.info.processLoad.availVirtualKB, available) << "a failure before the virtual figures keeps the last free memory";
            EXPECT_EQ(sample.info.processLoad.workingSetKB, 0);
        }
        if (call == SystemCall::GetProcessTimes) {
            ASSERT_TRUE(sample.Measure());
            EXPECT_EQ(AsUnsigned(sample.info.machineLoad.kernelTime), AsUnsigned(sample.previous.kernelTime) - AsUnsigned(before.kernelTime))
                << "the next sample reports the whole stretch";
        }
    }
}

// Kernels before 6.2 give /proc/self/fd no size: the descriptors are counted from its listing.
TEST(ProcFile, AListingCountsTheNumberedEntriesAsTheDirectorysSizeDoesAndStartsAgainEachTime)
{
    platform::ProcFile descriptors("/proc/self/fd", true);
    const long listed = descriptors.CountNumberedEntries();
    EXPECT_GE(listed, 3) << "at least the standard three";
    if (const long size = descriptors.Size(); size > 0) {
        EXPECT_EQ(listed, size);
    }
    EXPECT_EQ(descriptors.CountNumberedEntries(), listed);
}

TEST(ProcessName, IsTheExecutablesFileNameWithoutFolderAndLastExtension)
{
    for (const auto& [path, name] : {std::pair{u"D:\\srv\\bin\\server.exe", u"server"}, std::pair{u"D:\\srv\\a.b\\tool", u"tool"}, std::pair{u"plain", u"plain"},
                                     std::pair{u"x.tar.gz", u"x.tar"}, std::pair{u"/usr/lib/qn/qn-server-demo", u"qn-server-demo"}})
        EXPECT_EQ(agent::ProcessNameFromPath(path), name);
    EXPECT_EQ(XLoadMonitor::GetCurrentProcessName().View(), u"qn_unit_tests");
    XQNLogbookCapture capture;
    platform::FailNextSystemCall(SystemCall::GetModuleFileName, ENOENT);
    EXPECT_TRUE(XLoadMonitor::GetCurrentProcessName().IsEmpty()) << "an unreadable path gives an empty name";
    const XQNLogEntry failed = qntest::Only(capture.WithMessage("WIN API call GetModuleFileName failed"));
    EXPECT_EQ(std::pair(failed.line, failed.lastError), std::pair(258, DWORD{ENOENT})) << "logged with its reason";
}

TEST(MachineName, IsTheHostNameUpToItsFirstDotInABufferOfSixteenAndAFailedReadRaisesWithTheMappedResult)
{
    platform::FailNextSystemCall(SystemCall::GetComputerName, EACCES);
    const XQNException raised = qntest::Raised([] { XLoadMonitor::GetMachineName(); });
    EXPECT_EQ(std::tuple(raised.Type(), raised.Severity(), raised.Result(), raised.Line()), std::tuple(2, 6, static_cast<HRESULT>(0x80070000 | EACCES), 284));
    EXPECT_EQ(raised.Message().View(), u"GetComputerName failed");
    if (::geteuid() != 0)
        GTEST_SKIP() << "host names of a UTS namespace need root";
    // In a UTS namespace of a thread of its own, which the process's other threads don't see.
    std::thread([] {
        ASSERT_EQ(::unshare(CLONE_NEWUTS), 0);
        ASSERT_EQ(::sethostname("fifteen-chars-x.example", 23), 0);
        EXPECT_EQ(XLoadMonitor::GetMachineName().ToUtf8(), "fifteen-chars-x");
        ASSERT_EQ(::sethostname("sixteen-chars-xy", 16), 0);
        EXPECT_EQ(qntest::Raised([] { XLoadMonitor::GetMachineName(); }).Result(), static_cast<HRESULT>(0x8007006F)) << "ERROR_BUFFER_OVERFLOW";
    }).join();
}

// The figures are the machine's; only the kind of process is fixed.
TEST(SystemInformation, A64BitProcessIsNotWow64)
{
    tagQNSystemInformation info{};
    ASSERT_TRUE(XLoadMonitor::GetSystemInformation(info));
    EXPECT_EQ(std::tuple(info.valid, info.isWow64), std::tuple(1, 0));
    EXPECT_GE(info.numberOfProcessors, 1u);
    EXPECT_EQ(info.activeProcessorMask & 1, 1u) << "the first processor is active";
}

}  // namespace
