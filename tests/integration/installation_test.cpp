// A running installation of real processes over the real transport: fifty server processes, a
// qn-resource-observer and the qn-system-resource-observer it reports to over TCP, read through the
// system observer's HTTP status. Outages of either daemon are the monitor loop's and the endurance
// test's.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>

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

TEST(Installation, ShowsTheMachinesFiguresAndEveryProgramEndsCleanly)
{
    qntest::TestInstallation installation(qntest::kPlain);
    // Cycles of half a second: cycles of 50 ms could take the machine for silent between two
    // samples of a loaded machine.
    const auto started = qntest::AtTimeScale("0.1", [&] { return std::make_unique<qntest::BothDaemons>(installation); });
    qntest::BothDaemons& daemons = *started;
    auto& system = daemons.system;
    std::vector<std::unique_ptr<qntest::MonitoredServer>> agents;
    for (int i = 0; i < kAgents; ++i) {
        const std::string usage = i < 2 ? std::to_string(3 + i) : "0";
        agents.push_back(std::make_unique<qntest::MonitoredServer>(std::vector<std::string>{"--interval", "1", "--usage", usage}));
        ASSERT_TRUE(agents.back()->Monitoring());
    }
    ASSERT_EQ(daemons.resource.AwaitCount(kReportingProcess, kAgents), kAgents) << "every agent reports";

    SCOPED_TRACE("the machine's figures");
    // The processor load needs a second measurement of the machine.
    const auto status = system.AwaitStatus(
        [](const auto& status) { return OneCurrentMachine(status) && status.machines(0).external_usage_sum() == 7 && status.machines(0).has_cpu_load_percent(); });
    ASSERT_TRUE(OneCurrentMachine(status)) << status.DebugString();
    const qn::status::MachineStatus& machine = status.machines(0);
    EXPECT_EQ(machine.machine(), qntest::HostName());
    EXPECT_EQ(machine.external_usage_sum(), 7u) << "the usage of the server processes";
    EXPECT_FALSE(machine.silent());
    EXPECT_EQ(machine.pressure().has_cpu_some(), qntest::PressureTotalSec("cpu", "some") >= 0) << "pressure comes along where the kernel has it";
    const std::string json = system.StatusJson();
    for (const char* figure : {"\"avail_physical_kb\": ", "\"used_page_file_kb\": ", "\"process_count\": "}) {
        const auto at = json.find(figure);
        ASSERT_NE(at, std::string::npos) << json;
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(json[at + std::strlen(figure)]))) << "a JSON number: " << json.substr(at, 40);
    }

    SCOPED_TRACE("every program ends cleanly when told to (staleness is multi_machine_test's)");
    for (auto& agent : agents)
        EXPECT_EQ(agent->Terminate(), 0);
    EXPECT_EQ(daemons.resource.Process().Terminate(), 0);
    EXPECT_NE(::access(installation.SocketPath().c_str(), F_OK), 0) << "a daemon that stops takes its socket file away";
    EXPECT_EQ(system.Process().Terminate(), 0);
}

}  // namespace
