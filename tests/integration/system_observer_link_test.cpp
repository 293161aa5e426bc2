// The resource observer's link to a recording system observer process: events passed on, and a
// failing system observer that ends the worker until the host names it again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "interfaces/QNError64.h"
#include "observer/XResourceObserverInstance.h"
#include "platform/transport/WireRecords.h"
#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/TestInstallation.h"

namespace {

using namespace std::chrono_literals;
using qntest::ChildProcess;

class SystemObserverLink : public testing::Test {
protected:
    void SetUp() override { m_installation.Set("DisableAuthentication", "1"); }
    void TearDown() override { XResourceObserverInstance::Destroy(); }

    std::unique_ptr<ChildProcess> StartSystemObserver(const std::string& answer = "0")
    {
        auto observer = std::make_unique<ChildProcess>(
            std::vector<std::string>{QN_RECORDING_OBSERVER, "--class", "system", "--endpoint", "127.0.0.1:0", "--level", "1", "--answer", answer});
        const std::string ready = observer->ReadLineStartingWith("ready");
        EXPECT_FALSE(ready.empty());
        m_installation.Set("SystemResourceObserverPort", ready.substr(6));
        return observer;
    }

    static void SendSample()
    {
        tagQNResourceInformation sample{};
        sample.machineName = SysAllocString(u"node1");
        sample.processName = SysAllocString(u"srv");
        sample.dataValid = 1;
        sample.monitorIntervalSec = 5;
        Observer().SetResourceData(sample);
        transport::FreeStrings(sample);
    }

    static XResourceObserverInstance& Observer() { return XResourceObserverInstance::Instance(); }

    qntest::TestInstallation m_installation;
    XQNLogbookCapture m_log;
};

TEST_F(SystemObserverLink, EventsArePassedOnAndOnlyThoseWithAStateAreLogged)
{
    auto system = StartSystemObserver();
    Observer().SetSystemResourceObserver(XQNComBSTR(u"localhost"));
    tagQNProcessResourceEmergencyEvent quiet{SysAllocString(u"node1"), SysAllocString(u"srv"), nullptr, 4, 0, 0};
    Observer().RaiseProcessResourceEmergencyEvent(quiet);
    EXPECT_EQ(system->ReadLineStartingWith("RaiseSystemResourceEmergencyEvent"), "RaiseSystemResourceEmergencyEvent machine_name: \"node1\"");
    quiet.emergencyState = 0x0800;
    Observer().RaiseProcessResourceEmergencyEvent(quiet);
    EXPECT_EQ(system->ReadLineStartingWith("RaiseSystemResourceEmergencyEvent"),
              "RaiseSystemResourceEmergencyEvent machine_name: \"node1\" state: 2048");
    transport::FreeStrings(quiet);

    tagQNProcessServerEmergencyEvent global{SysAllocString(u"node1"), SysAllocString(u"srv"), nullptr, 4, 0, 0x0100};
    Observer().RaiseGlobalEmergencyEvent(global);
    EXPECT_EQ(system->ReadLineStartingWith("RaiseSystemGlobalEmergencyEvent"), "RaiseSystemGlobalEmergencyEvent machine_name: \"node1\" state: 256");
    transport::FreeStrings(global);
    tagQNSystemResourceAlert machineAlert{SysAllocString(u"node2"), 0x08};
    Observer().NotifyMachineResourceAlert(machineAlert);
    EXPECT_EQ(system->ReadLineStartingWith("NotifySystemResourceAlert"), "NotifySystemResourceAlert machine_name: \"node2\" state: 8");
    transport::FreeStrings(machineAlert);

    std::vector<std::pair<int, int>> traces;
    for (const auto& entry : m_log.Entries())
        if (entry.kind == XQNLogEntry::Kind::Trace)
            traces.emplace_back(entry.line, entry.severity);
    EXPECT_THAT(traces, testing::ElementsAre(std::pair(199, 4), std::pair(239, 4), std::pair(307, 1)));
}

TEST_F(SystemObserverLink, AFailingSystemObserverEndsTheWorkerUntilItIsNamedAgain)
{
    auto system = StartSystemObserver("0x80004005");
    Observer().SetResourceObserverInterval(5);
    SendSample();
    Observer().SetSystemResourceObserver(XQNComBSTR(u"localhost"));
    ASSERT_FALSE(system->ReadLineStartingWith("SetSystemResourceData").empty());
    // The worker ends with the failure kept and logged.
    const auto ended = [&] {
        const auto entries = m_log.Entries();
        return !entries.empty() && entries.back().line == 870;
    };
    for (int i = 0; i < 100 && !ended(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(ended());
    EXPECT_EQ(m_log.Entries().back().result, E_FAIL);

    SendSample();
    Observer().SetSystemResourceObserver(XQNComBSTR(u"localhost"));
    EXPECT_TRUE(m_log.WithMessage("The system resource observer has been already connected - subsequent connects to that observer instance are not possible.")
                    .empty())
        << "the ended worker was replaced, not reported as running";
    EXPECT_EQ(system->ReadLineStartingWith("QueryInterface").rfind("QueryInterface", 0), 0u) << "a fresh worker builds a fresh link";
    EXPECT_FALSE(system->ReadLineStartingWith("SetSystemResourceData").empty());
}

TEST_F(SystemObserverLink, NamingTheSystemObserverWhileTheWorkerRunsOnlyLogs)
{
    auto system = StartSystemObserver();
    EXPECT_THROW(Observer().SetSystemResourceObserver(XQNComBSTR(u"")), XWrappedQNException);
    Observer().SetSystemResourceObserver(XQNComBSTR(u"localhost"));
    Observer().SetSystemResourceObserver(XQNComBSTR(u"127.0.0.1"));
    EXPECT_EQ(m_log.WithMessage("The system resource observer has been already connected - subsequent connects to that observer instance are not possible.")
                  .size(),
              1u);
    EXPECT_EQ(Observer().GetMachineNameSystemObserver(), u"127.0.0.1");
}

}  // namespace
