// A running installation of real processes over the real transport: fifty server processes under
// test, a qn-resource-observer and the qn-system-resource-observer it reports to over TCP, read
// through the system observer's HTTP status; each daemon killed and started again.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <tuple>

#include "tests/helpers/Daemons.h"
#include "tests/helpers/MonitoredServer.h"
#include "tests/helpers/TestInstallation.h"
#include "tests/helpers/ThisMachine.h"

namespace {

using namespace std::chrono_literals;

constexpr int kAgents = 50;
constexpr const char* kReportingProcess = "qn_process_data_current{";

bool OneCurrentMachine(const qn::status::SystemStatus& status)
{
    return status.machines_size() == 1 && status.machines(0).current();
}

TEST(Installation, ShowsTheMachinesFiguresAndGoesOnWithEachDaemonKilledAndStartedAgainUntilTheMachineTurnsStale)
{
    qntest::TestInstallation installation(qntest::kPlain);
    auto system = std::make_unique<qntest::SystemObserverDaemon>();
    const int port = system->Port();
    installation.Set("SystemResourceObserverPort", std::to_string(port));
    auto observer = std::make_unique<qntest::ResourceObserverDaemon>(std::vector<std::string>{"--relink-interval", "5"});
    std::vector<std::unique_ptr<qntest::MonitoredServer>> agents;
    for (int i = 0; i < kAgents; ++i) {
        const std::string usage = i < 2 ? std::to_string(3 + i) : "0";
        agents.push_back(std::make_unique<qntest::MonitoredServer>(std::vector<std::string>{"--interval", "1", "--usage", usage}));
        ASSERT_TRUE(agents.back()->Monitoring());
    }
    ASSERT_EQ(observer->AwaitCount(kReportingProcess, kAgents), kAgents) << "every agent reports";

    SCOPED_TRACE("the machine's figures");
    // The processor load needs a second measurement of the machine.
    const auto status = system->AwaitStatus(
        [](const auto& status) { return OneCurrentMachine(status) && status.machines(0).external_usage_sum() == 7 && status.machines(0).has_cpu_load_percent(); });
    ASSERT_TRUE(OneCurrentMachine(status)) << status.DebugString();
    const qn::status::MachineStatus& machine = status.machines(0);
    EXPECT_EQ(machine.machine(), qntest::HostName());
    EXPECT_EQ(machine.external_usage_sum(), 7u) << "the usage of the server processes";
    EXPECT_GT(machine.avail_physical_kb(), 0);
    EXPECT_LT(machine.avail_physical_kb() + machine.used_physical_kb(), qntest::MemInfoKB("MemTotal") + 1);
    EXPECT_GE(machine.process_count(), kAgents + 2u) << "at least the processes of this test";
    EXPECT_GT(machine.handle_count(), 0u);
    EXPECT_FALSE(machine.silent());
    ASSERT_TRUE(machine.has_cpu_load_percent());
    EXPECT_GE(machine.cpu_load_percent(), 0.0);
    EXPECT_LE(machine.cpu_load_percent(), 100.0);
    // Pressure as the kernel has it now; the status's figures are of the resource observer's last
    // cycle, a few scaled seconds ago, and a stall total grows by at most the time passed.
    for (const auto& [resource, has, figures] : {std::tuple{"cpu", machine.pressure().has_cpu_some(), machine.pressure().cpu_some()},
                                                 std::tuple{"io", machine.pressure().has_io_some(), machine.pressure().io_some()}}) {
        const double now = qntest::PressureTotalSec(resource, "some");
        EXPECT_EQ(has, now >= 0) << resource << ": absent where the kernel has no pressure";
        if (has) {
            EXPECT_LE(figures.total_sec(), now);
            EXPECT_GT(figures.total_sec(), now - 2.0);
            EXPECT_LE(figures.avg10_percent(), 100.0);
        }
    }
    const std::string json = system->StatusJson();
    for (const char* figure : {"\"avail_physical_kb\": ", "\"used_page_file_kb\": ", "\"process_count\": "}) {
        const auto at = json.find(figure);
        ASSERT_NE(at, std::string::npos) << json;
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(json[at + std::strlen(figure)]))) << "a JSON number: " << json.substr(at, 40);
    }

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
        EXPECT_EQ(agent->Terminate(), 0);
    }

    SCOPED_TRACE("a machine whose samples stop turns stale and keeps its figures");
    EXPECT_EQ(observer->Process().Terminate(), 0);
    const auto stale = system->AwaitStatus([](const auto& status) { return !OneCurrentMachine(status); });
    ASSERT_EQ(stale.machines_size(), 1) << "stale before it is dropped";
    EXPECT_GT(stale.machines(0).avail_physical_kb(), 0);
    EXPECT_EQ(system->Process().Terminate(), 0);
}

}  // namespace
