// Faults of a running installation: daemons killed and started again under many agents.
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

bool Running(const ChildProcess& process)
{
    return ::waitpid(process.Pid(), nullptr, WNOHANG) == 0;
}

TEST(Faults, FiftyAgentsGoOnWithAResourceObserverKilledAndStartedAgain)
{
    qntest::TestInstallation installation;
    installation.Set("DisableAuthentication", "1");
    qntest::SystemObserverDaemon system;
    installation.Set("SystemResourceObserverPort", std::to_string(system.Port()));
    auto observer = std::make_unique<qntest::ResourceObserverDaemon>();
    std::vector<std::unique_ptr<ChildProcess>> agents;
    for (int i = 0; i < kAgents; ++i) {
        agents.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{QN_MONITORED_SERVER, "--interval", "1"}));
        ASSERT_EQ(agents.back()->ReadLine(), "started running=1");
    }
    ASSERT_EQ(observer->AwaitCount(kReportingProcess, kAgents), kAgents) << "every agent reports";

    // Killed mid-cycle, back after three scaled seconds, within the agents' reconnect attempts.
    observer.reset();
    std::this_thread::sleep_for(30ms);
    observer = std::make_unique<qntest::ResourceObserverDaemon>();
    EXPECT_EQ(observer->AwaitCount(kReportingProcess, kAgents), kAgents) << "every agent reconnected and the new histories filled";
    EXPECT_EQ(system.AwaitStatus([](const auto& status) { return status.machines_size() == 1 && status.machines(0).current(); }).machines_size(), 1)
        << "the new observer reports the machine again";

    for (auto& agent : agents) {
        EXPECT_TRUE(Running(*agent)) << "agent " << agent->Pid() << " ended";
        EXPECT_EQ(agent->Finish(), 0);
    }
    EXPECT_EQ(observer->Process().Terminate(), 0);
}

}  // namespace
