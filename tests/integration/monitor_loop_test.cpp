// The monitor loop against a real observer process: in a server process under test
// (qn-server-demo) and in this test process, where faults can be injected.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "agent/XLoadMonitor.h"
#include "agent/XLoadMonitorSettings.h"
#include "agent/XProcessAgent.h"
#include "agent/XProcessResourceObserverInstance.h"
#include "interfaces/QNError64.h"
#include "platform/FaultInjection.h"
#include "platform/Thread.h"
#include "tests/helpers/Await.h"
#include "tests/helpers/Errors.h"
#include "tests/helpers/MonitoredServer.h"
#include "tests/helpers/StandIns.h"
#include "tests/helpers/ThisMachine.h"

namespace {

using namespace std::chrono_literals;
using qntest::HasFields;
using qntest::ReceivedCall;
using qntest::RecordingObserver;

constexpr const char* kSample = "SetProcessResourceInfo";
constexpr const char* kEmergency = "RaiseProcessResourceEmergencyEvent";
constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BA);

class MonitoredServer : public testing::Test {
protected:
    qntest::TestInstallation m_installation{qntest::kIdentityChecked};
};

TEST_F(MonitoredServer, FirstSampleAfterTheFirstSleepAndAWaitThenOnePerInterval)
{
    RecordingObserver observer(m_installation);
    const auto started = std::chrono::steady_clock::now();
    qntest::MonitoredServer server({"--interval", "2", "--usage", "42"});
    EXPECT_TRUE(server.Monitoring());

    std::vector<ReceivedCall> samples;
    for (int i = 0; i < 4; ++i)
        samples.push_back(observer.Next(kSample));
    // From before the start to when the test read them, which a slow test can only lengthen.
    EXPECT_GE(samples[0].at - started, 115ms) << "10 s of first sleep and one interval of 2 s, at 1/100 speed";
    EXPECT_GE(samples[3].at - started, 175ms) << "and three more intervals";
    const std::string expected = "machine_name: '" + qntest::HostName() + "' process_name: 'qn-server-demo' aux_text: '' process_id: " +
                                 std::to_string(server.Pid()) + " monitor_interval_sec: 2 data_valid: 1 external_usage { external_resource_usage: 42 }";
    for (const auto& call : samples)
        EXPECT_TRUE(HasFields(call.As<qn::ResourceInformation>(), expected));
}

// A thread limit of one and a free memory limit of nearly 2 TB are broken from the first cycle:
// the low memory emergency comes from the real measurement of the free virtual memory. (That each
// is raised once a life, with its handler's call and warning, is process_checks_test's.) Both come
// in one event, or, where the first cycle came so late that the watch stood in for it, in the
// watch's and the cycle's.
TEST_F(MonitoredServer, BrokenLimitsSendTheirEmergencyBeforeThatCyclesSample)
{
    RecordingObserver observer(m_installation);
    constexpr long kFreeKB = 2000000000;
    qntest::MonitoredServer server({"--interval", "2", "--thread-limit", "1", "--memory-kb-limit", std::to_string(kFreeKB)});
    unsigned raised = 0;
    ReceivedCall call = observer.Next();
    while (raised != 0x801 && !call.method.empty()) {
        if (call.method == kEmergency) {
            const auto event = call.As<qn::ProcessEvent>();
            const auto state = static_cast<unsigned>(event.state());
            EXPECT_EQ(event.process_id(), static_cast<unsigned>(server.Pid()));
            EXPECT_EQ(state & raised, 0u) << "each once";
            raised |= state;
            call = observer.Next();
            EXPECT_TRUE(call.method == kEmergency || call.method == kSample) << call.method;
        } else {
            call = observer.Next();
        }
    }
    const ReceivedCall& sample = call;
    ASSERT_EQ(sample.method, kSample) << "the sample of the same cycle follows the event";
    EXPECT_GT(sample.As<qn::ResourceInformation>().process_load().avail_virtual_kb(), 0);
    EXPECT_LT(sample.As<qn::ResourceInformation>().process_load().avail_virtual_kb(), kFreeKB);
}

// No observer from the start: the watch checks the limits without it, the handler hears of the
// emergency at once, and the kept event goes to the observer that comes, before the first sample.
TEST_F(MonitoredServer, WithoutAnObserverTheWatchChecksTheLimitsAndKeepsTheEventForTheFirstCycleThatLinks)
{
    const std::string log = m_installation.Path("demo.log");
    qntest::MonitoredServer server({"--interval", "2", "--thread-limit", "1"}, {"/usr/bin/env", "QN_LOGBOOK=" + log});
    EXPECT_NE(server.ReadLineStartingWith("qn-server-demo: server emergency 0x800 at "), "");
    const std::string alone = "checks the process's limits without the resource observer";
    ASSERT_NE(qntest::AwaitFileSays(log, alone).find(alone), std::string::npos);

    RecordingObserver observer(m_installation);
    ReceivedCall call = observer.Next();
    while (call.method == "QueryInterface")
        call = observer.Next();
    ASSERT_EQ(call.method, kEmergency);
    EXPECT_TRUE(HasFields(call.As<qn::ProcessEvent>(), "state: 0x800 process_id: " + std::to_string(server.Pid())));
    EXPECT_EQ(observer.Next().method, kSample);
}

class MonitorLoop : public testing::Test {
protected:
    void SetUp() override { XLoadMonitorSettings::Instance().SetMonitorIntervalSec(2); }
    void TearDown() override
    {
        m_monitor.Stop();
        XProcessAgent::Destroy();
        XProcessResourceObserverInstance::Destroy();
        XLoadMonitorSettings::Destroy();
    }

    // The waits the loop logged before it started again, as "N ms"; waits up to `limit` for `count`.
    std::vector<std::string> Restarts(std::chrono::milliseconds limit = 0ms, std::size_t count = 1)
    {
        const auto read = [this] {
            std::vector<std::string> waits;
            for (const auto& entry : m_log.Entries())
                if (entry.message.starts_with("load monitor ended - starting it again in "))
                    waits.push_back(entry.message.substr(entry.message.rfind(' ', entry.message.size() - 4) + 1));
            return waits;
        };
        return qntest::Await(read, [count](const auto& waits) { return waits.size() >= count; }, limit, 5ms);
    }

    qntest::TestInstallation m_installation{qntest::kIdentityChecked};
    XQNLogbookCapture m_log;
    XLoadMonitor m_monitor;
};

// The threads of this process named `name`.
int ThreadsNamed(const std::string& name)
{
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");  // a thread that ended meanwhile reads as none
        std::string text;
        count += std::getline(comm, text) && text == name;
    }
    return count;
}

TEST_F(MonitorLoop, AStoppedMonitorStaysStoppedAndIntervalsOfZeroNegativeOrWrappedStartNothing)
{
    RecordingObserver observer(m_installation);
    m_monitor.Start();
    observer.Next(kSample);
    EXPECT_EQ(ThreadsNamed("qn-load-watch"), 1) << "the watch beside the loop";
    m_monitor.Stop();
    EXPECT_EQ(qntest::Await([] { return ThreadsNamed("qn-load-watch"); }, [](int threads) { return threads == 0; }, 60s), 0) << "Stop ended the watch";
    m_monitor.Start();
    EXPECT_FALSE(m_monitor.IsRunnning());
    for (const int seconds : {0, -5, 3000000}) {
        XLoadMonitorSettings::Instance().SetMonitorIntervalSec(seconds);
        XLoadMonitor monitor;
        monitor.Start();
        EXPECT_FALSE(monitor.IsRunnning()) << seconds;
    }
}

TEST_F(MonitorLoop, AFailedMeasurementStillSendsItsSampleMarkedInvalid)
{
    RecordingObserver observer(m_installation);
    XProcessResourceObserverInstance::Instance().SetProcessExternalResourceUsage(9);
    m_monitor.Start();
    EXPECT_EQ(observer.Next(kSample).As<qn::ResourceInformation>().data_valid(), 1);

    // Armed again until a cycle took the fault: the watch measures too when a cycle is late.
    qn::ResourceInformation failed;
    do {
        platform::FailNextSystemCall(platform::SystemCall::GetProcessMemoryInfo, EIO);
        failed = observer.Next(kSample).As<qn::ResourceInformation>();
    } while (failed.data_valid() == 1);
    EXPECT_TRUE(HasFields(failed, "data_valid: 0 monitor_interval_sec: 2 external_usage { external_resource_usage: 9 } process_load { working_set_kb: 0 } "
                                  "machine_load { avail_physical_kb: 0 } process_id: " + std::to_string(GetCurrentProcessId())));
    EXPECT_FALSE(failed.process_name().empty());
    EXPECT_EQ(observer.Next(kSample).As<qn::ResourceInformation>().data_valid(), 1) << "the next cycle measures again";
}

TEST_F(MonitorLoop, AnObserverBackBetweenCyclesIsReconnectedAndOneAwayLongerThanEveryAttemptEndsTheLoopWhichStartsAgain)
{
    auto observer = std::make_unique<RecordingObserver>(m_installation);
    m_monitor.Start();
    observer->Next(kSample);

    SCOPED_TRACE("killed and started again between cycles");
    observer.reset();
    const std::string reconnecting = qntest::ReconnectMessage("ptrIResourceObserver->SetProcessResourceInfo", 1);
    ASSERT_FALSE(qntest::AwaitLogged(m_log, reconnecting).empty()) << "a call found no observer";
    observer = std::make_unique<RecordingObserver>(m_installation);
    EXPECT_EQ(observer->Next().method, "QueryInterface");
    EXPECT_EQ(observer->Next(kSample).As<qn::ResourceInformation>().data_valid(), 1);
    EXPECT_EQ(qntest::Only(m_log.WithMessage(reconnecting)).result, kServerUnavailable);
    EXPECT_TRUE(Restarts().empty());

    SCOPED_TRACE("away longer than every attempt");
    observer.reset();
    // The reconnect tries five times, 60 scaled seconds apart; three reconnects with their
    // connection retries: a bound for slow sanitizer runs.
    ASSERT_FALSE(Restarts(60s).empty());
    const auto entries = m_log.Entries();
    const auto restart = std::find_if(entries.begin(), entries.end(), [](const XQNLogEntry& entry) { return entry.message.starts_with("load monitor ended"); });
    ASSERT_NE(restart, entries.begin());
    const XQNLogEntry& ended = *std::prev(restart);
    EXPECT_EQ(ended.result, kServerUnavailable) << ended.message;
    EXPECT_EQ(ended.severity, 3) << "the connection failure that ended the loop";
    EXPECT_TRUE(m_monitor.IsRunnning()) << "monitoring goes on";

    // Away through the next run's attempts too: the wait before each run doubles.
    const auto waits = Restarts(60s, 2);
    ASSERT_GE(waits.size(), 2u);
    observer = std::make_unique<RecordingObserver>(m_installation);
    EXPECT_EQ(observer->Next(kSample).As<qn::ResourceInformation>().data_valid(), 1);
    EXPECT_EQ(waits[0], "2000 ms") << "one interval after a run with cycles";
    EXPECT_EQ(waits[1], "4000 ms") << "doubled after a run that never reached a cycle";
}

TEST_F(MonitorLoop, RpcFailureAnswersAreRetriedWithThreeReconnectsAndOtherFailuresEndTheLoopAtOnce)
{
    // The loop ends on the call's failure after its last reconnect without sending again.
    for (const auto& [answer, retries, samples] : {std::tuple{"0x800706BE", 3, 3}, std::tuple{"0x80070057", 0, 1}}) {
        SCOPED_TRACE(answer);
        const HRESULT failure = static_cast<HRESULT>(std::stoul(answer, nullptr, 16));
        RecordingObserver observer(m_installation, "resource", {"--answer", answer});
        XLoadMonitorSettings::Instance().SetMonitorIntervalSec(30);  // time to stop it before it starts again
        XLoadMonitor monitor;
        m_log.Clear();
        monitor.Start();
        ASSERT_FALSE(Restarts(10s).empty());
        monitor.Stop();
        for (int count = 1; count <= 3; ++count) {
            const auto logged = m_log.WithMessage(qntest::ReconnectMessage("ptrIResourceObserver->SetProcessResourceInfo", count));
            ASSERT_EQ(logged.size(), count <= retries ? 1u : 0u) << count;
            if (count <= retries) {
                EXPECT_EQ(logged[0].result, failure);
                EXPECT_EQ(logged[0].line, 818);
            }
        }
        const auto entries = m_log.Entries();
        EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [&](const auto& entry) { return entry.line == 832 && entry.result == failure; }), 1)
            << "the call's failure ends the loop";

        XProcessAgent::Destroy();  // closes the connection, so the observer ends at once
        const auto calls = observer.Finish();
        EXPECT_EQ(qntest::Count(calls, kSample), samples);
        EXPECT_EQ(qntest::Count(calls, "QueryInterface"), 1 + retries) << "the first connection and a reconnect for each retry";
    }
}

}  // namespace
