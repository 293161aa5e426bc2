// qn-resource-observer as a real process between a server process under test and a recording
// system observer.
#include <gtest/gtest.h>

#include "tests/helpers/StandIns.h"
#include "tests/helpers/ThisMachine.h"

namespace {

using qntest::ChildProcess;

TEST(ResourceObserverDaemon, ForwardsTheMachineFiguresOfItsServerProcessesEveryCycleAfterANewAlertAndStopsOnSigterm)
{
    qntest::TestInstallation installation(qntest::kPlain);
    qntest::RecordingObserver system(installation, "system");
    // Any machine has more than one process: the process alert is raised in the first cycle.
    ChildProcess daemon({QN_RESOURCE_OBSERVER, "--metrics-port", "0", "--system-observer", "localhost", "--interval", "5", "--process-limit", "1"});
    EXPECT_EQ(daemon.ReadLine().rfind("qn-resource-observer: serving on " + installation.SocketPath(), 0), 0u);
    ChildProcess server({QN_MONITORED_SERVER, "--interval", "2", "--usage", "5"});
    ASSERT_EQ(server.ReadLineStartingWith("started"), "started running=1");

    // Cycles before the first sample send nothing: the history is still empty.
    const std::string machine = "machine_name: \"" + qntest::HostName() + "\"";
    EXPECT_EQ(system.Next("NotifySystemResourceAlert").body, machine + " state: 2");
    const qntest::ReceivedCall figures = system.Next();
    ASSERT_EQ(figures.method, "SetSystemResourceData") << "the figures of the alert's cycle follow it";
    const auto sample = figures.As<qn::SystemResourceInformation>();
    EXPECT_TRUE(qntest::HasFields(sample, machine + " data_valid: 1 external_usage_sum: 5 avg_database_access_ratio: 2"))
        << "the local machine carries its processes' usage";
    EXPECT_GT(sample.machine_load().process_count(), 1u);
    EXPECT_GT(sample.machine_load().avail_physical_kb(), 0);
    EXPECT_FALSE(system.Next("SetSystemResourceData").method.empty()) << "and again the next cycle";

    EXPECT_EQ(server.Finish(), 0);
    EXPECT_EQ(daemon.Terminate(), 0);
}

}  // namespace
