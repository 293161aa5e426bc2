// qn-resource-observer as a real process between server processes under test and a recording
// system observer.
#include <gtest/gtest.h>

#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/RecordingObserver.h"
#include "tests/helpers/TestInstallation.h"
#include "tests/helpers/ThisMachine.h"

namespace {

using qntest::ChildProcess;

TEST(ResourceObserverDaemon, ForwardsTheMachineFiguresOfItsServerProcessesEveryCycleAndStopsOnSigterm)
{
    qntest::TestInstallation installation;
    installation.Set("DisableAuthentication", "1");
    ChildProcess system({QN_RECORDING_OBSERVER, "--class", "system", "--endpoint", "127.0.0.1:0", "--level", "1"});
    const std::string ready = system.ReadLineStartingWith("ready");
    ASSERT_FALSE(ready.empty());
    installation.Set("SystemResourceObserverPort", ready.substr(6));

    // Any machine has more than one process: the process alert is raised in the first cycle.
    ChildProcess daemon({QN_RESOURCE_OBSERVER, "--metrics-port", "0", "--system-observer", "localhost", "--interval", "5", "--process-limit", "1"});
    EXPECT_EQ(daemon.ReadLine().rfind("qn-resource-observer: serving on " + installation.SocketPath(), 0), 0u);
    ChildProcess server({QN_MONITORED_SERVER, "--interval", "2", "--usage", "5"});
    ASSERT_EQ(server.ReadLineStartingWith("started"), "started running=1");

    const std::string machine = qntest::HostName();
    // Cycles before the first sample send nothing: the history is still empty. The new alert
    // comes before the figures of its cycle.
    EXPECT_EQ(system.ReadLineStartingWith("NotifySystemResourceAlert"), "NotifySystemResourceAlert machine_name: \"" + machine + "\" state: 2");
    const std::string line = system.ReadLine();
    ASSERT_EQ(line.rfind("SetSystemResourceData", 0), 0u);
    ASSERT_FALSE(line.empty());
    qntest::ReceivedCall call{"SetSystemResourceData", line.substr(line.find(' ') + 1), {}};
    const auto figures = call.As<qn::SystemResourceInformation>();
    EXPECT_EQ(figures.machine_name(), machine);
    EXPECT_EQ(figures.data_valid(), 1);
    EXPECT_GT(figures.machine_load().process_count(), 1u);
    EXPECT_GT(figures.machine_load().avail_physical_kb(), 0);
    EXPECT_EQ(figures.external_usage_sum(), 5u) << "the local machine carries its processes' usage";
    EXPECT_DOUBLE_EQ(figures.avg_database_access_ratio(), 22.0 / 11.0);
    EXPECT_FALSE(system.ReadLineStartingWith("SetSystemResourceData").empty()) << "and again the next cycle";

    EXPECT_EQ(server.Finish(), 0);
    EXPECT_EQ(daemon.Terminate(), 0);
}

}  // namespace
