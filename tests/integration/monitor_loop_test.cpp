// The monitor loop against a real observer process: in a server process under test (the host
// program qn-monitored-server) and in this test process, where faults can be injected.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "agent/XLoadMonitor.h"
#include "agent/XLoadMonitorSettings.h"
#include "agent/XProcessAgent.h"
#include "agent/XProcessResourceObserverInstance.h"
#include "interfaces/QNError64.h"
#include "platform/FaultInjection.h"
#include "platform/Thread.h"
#include "tests/helpers/RecordingObserver.h"
#include "tests/helpers/TestInstallation.h"
#include "tests/helpers/ThisMachine.h"

namespace {

using namespace std::chrono_literals;
using qntest::ChildProcess;
using qntest::ReceivedCall;
using qntest::RecordingObserver;
using Clock = std::chrono::steady_clock;

constexpr const char* kSample = "SetProcessResourceInfo";
constexpr const char* kEmergency = "RaiseProcessResourceEmergencyEvent";
constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BA);

// Threads of process `pid` that run a monitor loop.
int CountMonitorThreads(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    int count = 0;
    if (DIR* folder = ::opendir(tasks.c_str())) {
        while (const dirent* entry = ::readdir(folder)) {
            std::string name;
            std::ifstream(tasks + "/" + entry->d_name + "/comm") >> name;
            count += name == "qn-load-monitor";
        }
        ::closedir(folder);
    }
    return count;
}

// The count once it is `expected`, or after a second: a worker names its thread only once it
// runs, and its thread outlives the signal of its end by a moment.
int MonitorThreads(pid_t pid, int expected)
{
    int count = CountMonitorThreads(pid);
    for (int i = 0; i < 100 && count != expected; ++i) {
        std::this_thread::sleep_for(10ms);
        count = CountMonitorThreads(pid);
    }
    return count;
}

class Installation : public testing::Test {
protected:
    void SetUp() override
    {
        m_installation.Set("DisableAuthentication", "0");
        m_installation.Set("EnablePacketPrivacy", "0");
        m_installation.Set("DCOMAuthenticationService", "WINNT");
    }
    std::unique_ptr<RecordingObserver> StartObserver(const std::string& answer = "0")
    {
        return std::make_unique<RecordingObserver>(m_installation.SocketPath(), answer);
    }

    qntest::TestInstallation m_installation;
};

// ---- A server process under test ----

class MonitoredServer : public Installation {
protected:
    std::unique_ptr<ChildProcess> StartServer(std::vector<std::string> options = {})
    {
        options.insert(options.begin(), QN_MONITORED_SERVER);
        auto server = std::make_unique<ChildProcess>(options);
        m_started = Clock::now();
        m_startLine = server->ReadLineStartingWith("started");
        return server;
    }

    Clock::time_point m_started;
    std::string m_startLine;
};

TEST_F(MonitoredServer, FirstSampleAfterTheFirstSleepAndAWaitThenOnePerInterval)
{
    auto observer = StartObserver();
    auto server = StartServer({"--interval", "2", "--usage", "42"});
    EXPECT_EQ(m_startLine, "started running=1");

    std::vector<ReceivedCall> samples;
    for (int i = 0; i < 4; ++i)
        samples.push_back(observer->Next(kSample));
    // 10 s of first sleep and one interval of 2 s, at 1/100 speed.
    EXPECT_GE(samples[0].at - m_started, 115ms);
    // Three intervals of 20 ms; taken over all three, a late reading of one sample doesn't count.
    EXPECT_GE(samples[3].at - samples[0].at, 50ms);

    for (const auto& call : samples) {
        const auto sample = call.As<qn::ResourceInformation>();
        EXPECT_EQ(sample.machine_name(), qntest::HostName());
        EXPECT_EQ(sample.process_name(), "qn-monitored-server");
        EXPECT_EQ(sample.aux_text(), "");
        EXPECT_TRUE(sample.has_aux_text());
        EXPECT_EQ(sample.process_id(), static_cast<unsigned>(server->Pid()));
        EXPECT_EQ(sample.monitor_interval_sec(), 2);
        EXPECT_EQ(sample.data_valid(), 1);
        EXPECT_EQ(sample.external_usage().external_resource_usage(), 42u);
        EXPECT_EQ(sample.external_usage().database_counter_a(), 11u);
        EXPECT_EQ(sample.external_usage().database_counter_b(), 22u);
        EXPECT_GT(sample.process_load().thread_count(), 1u);
        EXPECT_GT(sample.machine_load().avail_physical_kb(), 0);
    }
    EXPECT_EQ(server->Finish(), 0);
}

TEST_F(MonitoredServer, ABrokenThreadLimitSendsOneEmergencyBeforeThatCyclesSampleAndNoneLater)
{
    auto observer = StartObserver();
    auto server = StartServer();
    const unsigned threads = observer->Next(kSample).As<qn::ResourceInformation>().process_load().thread_count();
    const unsigned limit = threads + 5;
    server->Write("limits 0 " + std::to_string(limit) + " 0");
    EXPECT_EQ(server->ReadLine(), "limits");
    server->Write("threads 20");
    // The handler may print its line before the answer to the command.
    int handlerCalls = 0;
    for (std::string line = server->ReadLine(); line != "threads 20" && !line.empty(); line = server->ReadLine())
        handlerCalls += line == "emergency 0x800";

    ReceivedCall call = observer->Next();
    while (call.method == kSample)
        call = observer->Next();
    ASSERT_EQ(call.method, kEmergency);
    const auto event = call.As<qn::ProcessEvent>();
    EXPECT_EQ(event.state(), 0x0800);
    EXPECT_EQ(event.process_id(), static_cast<unsigned>(server->Pid()));
    const ReceivedCall sample = observer->Next();
    ASSERT_EQ(sample.method, kSample) << "the sample of the same cycle follows the event";
    EXPECT_GT(sample.As<qn::ResourceInformation>().process_load().thread_count(), limit);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(observer->Next().method, kSample) << "a standing emergency is sent once";

    EXPECT_EQ(server->Finish(), 0);
    for (std::string line = server->ReadLine(); !line.empty(); line = server->ReadLine())
        handlerCalls += line == "emergency 0x800";
    EXPECT_EQ(handlerCalls, 1) << "the handler was called once";
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// The sanitizers reserve terabytes of address space, so a limit on it can't be tried under them.
TEST_F(MonitoredServer, ALowAddressSpaceLimitRaisesTheLowMemoryEmergencyFromTheRealMeasurement)
{
    auto observer = StartObserver();
    // Room for gRPC's threads (8 MB of stack each): with less, a thread it can't start leaves its
    // pool waiting forever at the process's end.
    auto server = StartServer({"--address-space-headroom-mb", "1024"});
    server->Write("limits 2097152 0 0");
    EXPECT_EQ(server->ReadLine(), "limits");
    const ReceivedCall call = observer->Next(kEmergency);
    EXPECT_EQ(call.As<qn::ProcessEvent>().state(), 0x0001);
    const auto sample = observer->Next(kSample).As<qn::ResourceInformation>();
    EXPECT_GT(sample.process_load().avail_virtual_kb(), 0);
    EXPECT_LT(sample.process_load().avail_virtual_kb(), 2097152);
    EXPECT_EQ(server->ReadLine(), "emergency 0x1");
    server->Write("log");
    EXPECT_THAT(server->ReadLineStartingWith("log 184 5"), testing::HasSubstr("LOW MEMORY EMERGENCY WARNING: amount of available virtual process memory: "));
    EXPECT_EQ(server->Finish(), 0);
}
#endif

TEST_F(MonitoredServer, StartTwiceRunsOneLoopAndAStoppedMonitorStaysStopped)
{
    auto observer = StartObserver();
    auto server = StartServer({"--interval", "50"});
    server->Write("start");
    EXPECT_EQ(server->ReadLine(), "start running=1");
    EXPECT_EQ(MonitorThreads(server->Pid(), 1), 1);

    observer->Next(kSample);
    const auto stopping = Clock::now();
    server->Write("stop");
    EXPECT_EQ(server->ReadLine(), "stop running=0");
    EXPECT_LT(Clock::now() - stopping, 300ms) << "Stop cuts the wait of 500 scaled ms short";
    server->Write("start");
    EXPECT_EQ(server->ReadLine(), "start running=0");
    EXPECT_EQ(MonitorThreads(server->Pid(), 0), 0);
    EXPECT_EQ(server->Finish(), 0);
    EXPECT_THAT(observer->Finish(), testing::Each(testing::Field(&ReceivedCall::method, testing::Ne(kSample))));
}

TEST_F(MonitoredServer, IntervalsOfZeroNegativeOrWrappedStartNothing)
{
    for (const char* seconds : {"0", "-5", "3000000"}) {
        auto server = StartServer({"--interval", seconds});
        EXPECT_EQ(m_startLine, "started running=0") << seconds;
        EXPECT_EQ(CountMonitorThreads(server->Pid()), 0) << seconds;
        EXPECT_EQ(server->Finish(), 0);
    }
}

// ---- The loop in this process ----

class MonitorLoop : public Installation {
protected:
    void SetUp() override
    {
        Installation::SetUp();
        XLoadMonitorSettings::Instance().SetMonitorIntervalSec(2);
    }
    void TearDown() override
    {
        m_monitor.Stop();
        XProcessAgent::Destroy();
        XProcessResourceObserverInstance::Destroy();
        XLoadMonitorSettings::Destroy();
    }

    // Waits until the loop has ended by itself and logged that it starts again; false when that
    // has not happened after `limit`.
    bool LoopEndsAndRestarts(std::chrono::milliseconds limit)
    {
        for (const auto until = Clock::now() + limit; Clock::now() < until; std::this_thread::sleep_for(5ms))
            for (const auto& entry : m_log.Entries())
                if (entry.message.starts_with("load monitor ended - starting it again in "))
                    return true;
        return false;
    }

    std::vector<int> Entries(int line, HRESULT result) const
    {
        std::vector<int> found;
        for (const auto& entry : m_log.Entries())
            if (entry.line == line && entry.result == result)
                found.push_back(entry.line);
        return found;
    }

    XQNLogbookCapture m_log;
    XLoadMonitor m_monitor;
};

TEST_F(MonitorLoop, AFailedMeasurementStillSendsItsSampleMarkedInvalid)
{
    auto observer = StartObserver();
    XProcessResourceObserverInstance::Instance().SetProcessExternalResourceUsage(9);
    m_monitor.Start();
    EXPECT_EQ(observer->Next(kSample).As<qn::ResourceInformation>().data_valid(), 1);
    platform::FailNextSystemCall(platform::SystemCall::GetProcessMemoryInfo, EIO);

    qn::ResourceInformation failed;
    do
        failed = observer->Next(kSample).As<qn::ResourceInformation>();
    while (failed.data_valid() == 1);
    EXPECT_EQ(failed.data_valid(), 0);
    EXPECT_EQ(failed.process_id(), GetCurrentProcessId());
    EXPECT_FALSE(failed.process_name().empty());
    EXPECT_EQ(failed.monitor_interval_sec(), 2);
    EXPECT_EQ(failed.external_usage().external_resource_usage(), 9u);
    EXPECT_EQ(failed.process_load().working_set_kb(), 0);
    EXPECT_EQ(failed.machine_load().avail_physical_kb(), 0);
    EXPECT_EQ(observer->Next(kSample).As<qn::ResourceInformation>().data_valid(), 1) << "the next cycle measures again";
}

TEST_F(MonitorLoop, AnObserverKilledAndRestartedBetweenCyclesIsReconnected)
{
    auto observer = StartObserver();
    m_monitor.Start();
    observer->Next(kSample);
    observer->Kill();
    std::this_thread::sleep_for(60ms);  // three intervals: at least one call finds no observer
    observer = StartObserver();
    EXPECT_EQ(observer->Next().method, "QueryInterface");
    EXPECT_EQ(observer->Next(kSample).As<qn::ResourceInformation>().data_valid(), 1);
    EXPECT_TRUE(m_monitor.IsRunnning());
    EXPECT_EQ(m_log.WithMessage("ptrIResourceObserver->SetProcessResourceInfo failed by RPC error - try to reconnect resource observer the 1. time")
                  .at(0)
                  .result,
              kServerUnavailable);
}

TEST_F(MonitorLoop, AnObserverAwayLongerThanEveryAttemptEndsTheLoopWhichStartsAgainAndReportsOnceItIsBack)
{
    auto observer = StartObserver();
    m_monitor.Start();
    observer->Next(kSample);
    observer->Kill();
    // The reconnect tries five times, 60 scaled seconds apart.
    // Three reconnects with their connection retries: a bound for slow sanitizer runs.
    ASSERT_TRUE(LoopEndsAndRestarts(60s));
    const auto entries = m_log.Entries();
    ASSERT_GE(entries.size(), 2u);
    const auto& ended = entries[entries.size() - 2];
    EXPECT_EQ(ended.result, kServerUnavailable) << ended.message;
    EXPECT_EQ(ended.severity, 3) << "the connection failure that ended the loop";
    EXPECT_TRUE(m_monitor.IsRunnning()) << "monitoring goes on";

    // Away through the next run's attempts too: the wait before each run doubles.
    std::this_thread::sleep_for(5s);
    observer = StartObserver();
    EXPECT_EQ(observer->Next(kSample).As<qn::ResourceInformation>().data_valid(), 1);
    std::vector<std::string> waits;
    for (const auto& entry : m_log.Entries())
        if (entry.message.starts_with("load monitor ended - starting it again in "))
            waits.push_back(entry.message.substr(entry.message.rfind(' ', entry.message.size() - 4) + 1));
    ASSERT_GE(waits.size(), 2u);
    EXPECT_EQ(waits[0], "2000 ms") << "one interval after a run with cycles";
    EXPECT_EQ(waits[1], "4000 ms") << "doubled after a run that never reached a cycle";
}

TEST_F(MonitorLoop, RpcFailureAnswersAreRetriedWithThreeReconnectsThenEndTheLoop)
{
    constexpr HRESULT kCallFailed = static_cast<HRESULT>(0x800706BE);
    auto observer = StartObserver("0x800706BE");
    XLoadMonitorSettings::Instance().SetMonitorIntervalSec(30);  // time to stop it before it starts again
    m_monitor.Start();
    ASSERT_TRUE(LoopEndsAndRestarts(10s));
    m_monitor.Stop();
    for (int count = 1; count <= 3; ++count) {
        const auto retries = m_log.WithMessage("ptrIResourceObserver->SetProcessResourceInfo failed by RPC error - try to reconnect resource observer the " +
                                               std::to_string(count) + ". time");
        ASSERT_EQ(retries.size(), 1u) << count;
        EXPECT_EQ(retries[0].result, kCallFailed);
        EXPECT_EQ(retries[0].line, 818);
    }
    EXPECT_EQ(Entries(832, kCallFailed).size(), 1u) << "the call's failure ends the loop";

    XProcessAgent::Destroy();  // closes the connection, so the observer ends at once
    const auto calls = observer->Finish();
    const auto count = [&](const std::string& method) { return std::count_if(calls.begin(), calls.end(), [&](const auto& c) { return c.method == method; }); };
    EXPECT_EQ(count(kSample), 3);
    EXPECT_EQ(count("QueryInterface"), 1 + 3) << "the first connection and three reconnects";
}

TEST_F(MonitorLoop, AnInvalidArgumentAnswerIsNotRetried)
{
    auto observer = StartObserver("0x80070057");
    XLoadMonitorSettings::Instance().SetMonitorIntervalSec(30);
    m_monitor.Start();
    ASSERT_TRUE(LoopEndsAndRestarts(10s));
    m_monitor.Stop();
    EXPECT_EQ(Entries(832, E_INVALIDARG).size(), 1u);
    XProcessAgent::Destroy();
    const auto calls = observer->Finish();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const auto& c) { return c.method == kSample; }), 1);
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const auto& c) { return c.method == "QueryInterface"; }), 1);
}

}  // namespace
