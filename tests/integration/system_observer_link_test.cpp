// The resource observer's link to a recording system observer process, in this process and as the
// real daemon: figures and events passed on, and a failing system observer that ends the worker
// until the host names it again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "interfaces/QNError64.h"
#include "observer/XResourceObserverInstance.h"
#include "platform/transport/WireRecords.h"
#include "tests/helpers/Await.h"
#include "tests/helpers/Daemons.h"
#include "tests/helpers/MonitoredServer.h"
#include "tests/helpers/Sample.h"
#include "tests/helpers/StandIns.h"
#include "tests/helpers/ThisMachine.h"

namespace {

using namespace std::chrono_literals;
using qntest::RecordingObserver;

constexpr const char* kAlreadyConnected = "The system resource observer has been already connected - subsequent connects to that observer instance are not possible.";

class SystemObserverLink : public testing::Test {
protected:
    void TearDown() override { XResourceObserverInstance::Destroy(); }
    static XResourceObserverInstance& Observer() { return XResourceObserverInstance::Instance(); }

    qntest::TestInstallation m_installation{qntest::kPlain};
    XQNLogbookCapture m_log;
};

TEST_F(SystemObserverLink, EventsArePassedOnAndOnlyThoseWithAStateAreLoggedAndANamingWhileTheWorkerRunsOnlyLogs)
{
    RecordingObserver system(m_installation, "system");
    EXPECT_THROW(Observer().SetSystemResourceObserver(XQNComBSTR(u"")), XWrappedQNException);
    Observer().SetSystemResourceObserver(XQNComBSTR(u"localhost"));
    // Each event as the observer gets it, what the system observer receives of it, and the method.
    using Link = XResourceObserverInstance;
    const auto passedOn = [&](auto event, void (Link::*take)(const decltype(event)&), const char* method) {
        (Observer().*take)(event);
        transport::FreeStrings(event);
        return system.Next(method).body;
    };
    using Emergency = tagQNProcessResourceEmergencyEvent;
    const auto node1 = [](LONG state) { return Emergency{SysAllocString(u"node1"), SysAllocString(u"srv"), nullptr, 4, 0, state}; };
    EXPECT_EQ(passedOn(node1(0), &Link::RaiseProcessResourceEmergencyEvent, "RaiseSystemResourceEmergencyEvent"), "machine_name: \"node1\"");
    EXPECT_EQ(passedOn(node1(0x0800), &Link::RaiseProcessResourceEmergencyEvent, "RaiseSystemResourceEmergencyEvent"), "machine_name: \"node1\" state: 2048");
    EXPECT_EQ(passedOn(tagQNProcessServerEmergencyEvent{SysAllocString(u"node1"), SysAllocString(u"srv"), nullptr, 4, 0, 0x0100}, &Link::RaiseGlobalEmergencyEvent,
                       "RaiseSystemGlobalEmergencyEvent"),
              "machine_name: \"node1\" state: 256");
    EXPECT_EQ(passedOn(tagQNSystemResourceAlert{SysAllocString(u"node2"), 0x08}, &Link::NotifyMachineResourceAlert, "NotifySystemResourceAlert"), "machine_name: \"node2\" state: 8");
    std::vector<std::pair<int, int>> traces;
    for (const auto& entry : m_log.Entries())
        if (entry.kind == XQNLogEntry::Kind::Trace)
            traces.emplace_back(entry.line, entry.severity);
    EXPECT_THAT(traces, testing::ElementsAre(std::pair(199, 4), std::pair(239, 4), std::pair(307, 1)));

    Observer().SetSystemResourceObserver(XQNComBSTR(u"127.0.0.1"));
    EXPECT_EQ(m_log.WithMessage(kAlreadyConnected).size(), 1u);
    EXPECT_EQ(Observer().GetMachineNameSystemObserver(), u"127.0.0.1");
}

TEST_F(SystemObserverLink, AFailingSystemObserverEndsTheWorkerUntilItIsNamedAgain)
{
    RecordingObserver system(m_installation, "system", {"--answer", "0x80004005"});
    // Of this machine: its figures carry the usage and the database access ratio of its processes.
    const auto sendSample = [] {
        qntest::Sample sample(platform::ToUtf16(qntest::HostName()).c_str(), u"srv");
        sample.externalUsage = {7, 22, 11};
        Observer().SetResourceData(sample);
    };
    Observer().SetResourceObserverInterval(5);
    sendSample();
    Observer().SetSystemResourceObserver(XQNComBSTR(u"localhost"));
    const auto figures = system.Next("SetSystemResourceData");
    ASSERT_FALSE(figures.method.empty());
    EXPECT_TRUE(qntest::HasFields(figures.As<qn::SystemResourceInformation>(), "external_usage_sum: 7 avg_database_access_ratio: 2"));
    // The worker ends with the failure kept and logged.
    const auto last = qntest::Await([&] { return m_log.Entries(); }, [](const auto& entries) { return !entries.empty() && entries.back().line == 870; }, 60s);
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.back().line, 870);
    EXPECT_EQ(last.back().result, E_FAIL);

    sendSample();
    Observer().SetSystemResourceObserver(XQNComBSTR(u"localhost"));
    EXPECT_TRUE(m_log.WithMessage(kAlreadyConnected).empty()) << "the ended worker was replaced, not reported as running";
    EXPECT_EQ(system.Next("QueryInterface").method, "QueryInterface") << "a fresh worker builds a fresh link";
    EXPECT_FALSE(system.Next("SetSystemResourceData").method.empty());
}

TEST_F(SystemObserverLink, OnlyThisMachinesFiguresCarryItsPressureAndOomKills)
{
    qntest::SystemObserverDaemon system;
    m_installation.Set("SystemResourceObserverPort", std::to_string(system.Port()));
    const std::string local = qntest::HostName();
    // Samples name their machine, and a server may name another than the observer's own.
    Observer().SetResourceObserverInterval(5);
    Observer().SetResourceData(qntest::Sample(platform::ToUtf16(local).c_str(), u"srv"));
    Observer().SetResourceData(qntest::Sample(u"ELSEWHERE", u"srv"));
    Observer().SetSystemResourceObserver(XQNComBSTR(u"localhost"));
    const auto status = system.AwaitStatus([](const auto& status) { return status.machines_size() == 2; }, 60s);
    ASSERT_EQ(status.machines_size(), 2) << status.DebugString();
    for (const auto& machine : status.machines()) {
        const bool here = machine.machine() == local;
        EXPECT_EQ(machine.has_oom_kills(), here) << machine.ShortDebugString();
        EXPECT_TRUE(here || !machine.has_pressure()) << machine.ShortDebugString();
    }
}

TEST(ResourceObserverDaemon, PassesOnANewMachineAlertBeforeTheFiguresOfItsCycle)
{
    qntest::TestInstallation installation(qntest::kPlain);
    qntest::RecordingObserver system(installation, "system");
    // Any machine has more than one process: the process alert is raised in the first cycle.
    qntest::ResourceObserverDaemon daemon({"--interval", "5", "--process-limit", "1"});
    qntest::MonitoredServer server({"--interval", "2"});
    ASSERT_TRUE(server.Monitoring());

    // Cycles before the first sample send nothing: the history is still empty.
    EXPECT_EQ(system.Next("NotifySystemResourceAlert").body, "machine_name: \"" + qntest::HostName() + "\" state: 2");
    EXPECT_EQ(system.Next().method, "SetSystemResourceData") << "the figures of the alert's cycle follow it";
}

}  // namespace
