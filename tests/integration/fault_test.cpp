// Faults of a running installation: each daemon killed and started again under many agents.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <thread>

#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/ResourceObserverDaemon.h"
#include "tests/helpers/SystemObserverDaemon.h"
#include "tests/helpers/TestInstallation.h"

namespace {

using namespace std::chrono_literals;
using qntest::ChildProcess;

constexpr int kAgents = 50;
constexpr const char* kReportingProcess = "qn_process_data_current{";

bool OneCurrentMachine(const qn::status::SystemStatus& status)
{
    return status.machines_size() == 1 && status.machines(0).current();
}

TEST(Faults, FiftyAgentsAndTheLinkToTheSystemObserverGoOnWithEachDaemonKilledAndStartedAgain)
{
    qntest::TestInstallation installation(qntest::kPlain);
    auto system = std::make_unique<qntest::SystemObserverDaemon>();
    const int port = system->Port();
    installation.Set("SystemResourceObserverPort", std::to_string(port));
    auto observer = std::make_unique<qntest::ResourceObserverDaemon>(std::vector<std::string>{"--relink-interval", "5"});
    std::vector<std::unique_ptr<ChildProcess>> agents;
    for (int i = 0; i < kAgents; ++i) {
        agents.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{QN_MONITORED_SERVER, "--interval", "1"}));
        ASSERT_EQ(agents.back()->ReadLine(), "started running=1");
    }
    ASSERT_EQ(observer->AwaitCount(kReportingProcess, kAgents), kAgents) << "every agent reports";

    SCOPED_TRACE("the resource observer killed mid-cycle, back after three scaled seconds, within the agents' reconnect attempts");
    observer.reset();
    std::this_thread::sleep_for(30ms);
    observer = std::make_unique<qntest::ResourceObserverDaemon>(std::vector<std::string>{"--relink-interval", "5"});
    EXPECT_EQ(observer->AwaitCount(kReportingProcess, kAgents), kAgents) << "every agent reconnected and the new histories filled";
    EXPECT_TRUE(OneCurrentMachine(system->AwaitStatus(OneCurrentMachine))) << "the new observer reports the machine again";

    SCOPED_TRACE("the system observer killed and away for ten of the resource observer's cycles");
    // Its next call fails and ends the resource observer's worker; a quick return would be met by
    // the channel's own reconnection.
    system.reset();
    std::this_thread::sleep_for(500ms);
    system = std::make_unique<qntest::SystemObserverDaemon>(port);
    ASSERT_EQ(system->Port(), port);
    EXPECT_TRUE(OneCurrentMachine(system->AwaitStatus(OneCurrentMachine))) << "figures arrive again on the relink timer";

    for (auto& agent : agents) {
        EXPECT_EQ(::waitpid(agent->Pid(), nullptr, WNOHANG), 0) << "agent " << agent->Pid() << " ended";
        EXPECT_EQ(agent->Finish(), 0);
    }
    EXPECT_EQ(observer->Process().Terminate(), 0);
}

}  // namespace
