// An installation of real processes over the real transport: server processes under test, a
// qn-resource-observer and the qn-system-resource-observer it reports to over TCP, read through
// the system observer's HTTP status.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <tuple>

#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/SystemObserverDaemon.h"
#include "tests/helpers/TestInstallation.h"
#include "tests/helpers/ThisMachine.h"

namespace {

using namespace std::chrono_literals;
using qntest::ChildProcess;
using Clock = std::chrono::steady_clock;

// The system observer's cycle of 5 s at the tests' time scale.
constexpr auto kCycle = 50ms;

bool OneCurrentMachine(const qn::status::SystemStatus& status)
{
    return status.machines_size() == 1 && status.machines(0).current();
}

TEST(SystemObserverDaemon, ShowsTheMachineOfARealInstallationThenTurnsItStaleAndDropsItAfterTheSilence)
{
    qntest::TestInstallation installation;
    installation.Set("DisableAuthentication", "1");
    qntest::SystemObserverDaemon system;
    ASSERT_GT(system.Port(), 0);
    installation.Set("SystemResourceObserverPort", std::to_string(system.Port()));
    ChildProcess observer({QN_RESOURCE_OBSERVER, "--metrics-port", "0", "--system-observer", "localhost"});
    ASSERT_FALSE(observer.ReadLineStartingWith("qn-resource-observer: serving on").empty());
    ChildProcess first({QN_MONITORED_SERVER, "--interval", "2", "--usage", "3"});
    ChildProcess second({QN_MONITORED_SERVER, "--interval", "2", "--usage", "4"});
    ASSERT_EQ(first.ReadLine(), "started running=1");
    ASSERT_EQ(second.ReadLine(), "started running=1");

    const auto status = system.AwaitStatus([](const auto& status) { return OneCurrentMachine(status) && status.machines(0).external_usage_sum() == 7; });
    ASSERT_TRUE(OneCurrentMachine(status)) << status.DebugString();
    const qn::status::MachineStatus& machine = status.machines(0);
    EXPECT_EQ(machine.machine(), qntest::HostName());
    EXPECT_EQ(machine.external_usage_sum(), 7u) << "the usage of both server processes";
    EXPECT_GT(machine.avail_physical_kb(), 0);
    EXPECT_LT(machine.avail_physical_kb() + machine.used_physical_kb(), qntest::MemInfoKB("MemTotal") + 1);
    EXPECT_GE(machine.process_count(), 4u) << "at least the four processes of this test";
    EXPECT_GT(machine.handle_count(), 0u);
    EXPECT_FALSE(machine.silent());
    // Pressure as the kernel has it now; the status's figures are of the resource observer's last
    // cycle, a few scaled seconds ago, and a stall total grows by at most the time passed.
    for (const auto& [resource, has, figures] :
         {std::tuple{"cpu", machine.pressure().has_cpu_some(), machine.pressure().cpu_some()},
          std::tuple{"io", machine.pressure().has_io_some(), machine.pressure().io_some()}}) {
        SCOPED_TRACE(resource);
        const double now = qntest::PressureTotalSec(resource, "some");
        if (now < 0) {
            EXPECT_FALSE(has) << "absent where the kernel has no pressure";
            continue;
        }
        ASSERT_TRUE(has);
        EXPECT_LE(figures.total_sec(), now);
        EXPECT_GT(figures.total_sec(), now - 2.0);
        EXPECT_LE(figures.avg10_percent(), 100.0);
    }
    for (const char* figure : {"\"avail_physical_kb\": ", "\"used_page_file_kb\": ", "\"process_count\": "}) {
        const std::string json = system.StatusJson();
        const auto at = json.find(figure);
        ASSERT_NE(at, std::string::npos) << json;
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(json[at + std::strlen(figure)]))) << "a JSON number: " << json.substr(at, 40);
    }
    if (machine.has_cpu_load_percent()) {
        EXPECT_GE(machine.cpu_load_percent(), 0.0);
        EXPECT_LE(machine.cpu_load_percent(), 100.0);
    }

    // Staleness needs 10 silent cycles, the cleanup 31 (their exact counts are the store's unit
    // tests); here the order, and bounds that allow for a late last sample.
    const auto ended = Clock::now();
    EXPECT_EQ(observer.Terminate(), 0);
    const auto stale = system.AwaitStatus([](const auto& status) { return !OneCurrentMachine(status); });
    const auto staleAfter = Clock::now() - ended;
    ASSERT_EQ(stale.machines_size(), 1) << "stale before it is dropped";
    EXPECT_FALSE(stale.machines(0).current());
    EXPECT_GT(stale.machines(0).avail_physical_kb(), 0) << "a stale machine keeps its figures";
    const auto silent = system.AwaitStatus([](const auto& status) { return status.machines_size() == 1 && status.machines(0).silent(); });
    ASSERT_EQ(silent.machines_size(), 1);
    EXPECT_TRUE(silent.machines(0).silent()) << "and silent after its ten cycles";
    EXPECT_GE(staleAfter, 5 * kCycle);
    const auto dropped = system.AwaitStatus([](const auto& status) { return status.machines_size() == 0; });
    EXPECT_EQ(dropped.machines_size(), 0);
    EXPECT_GE(Clock::now() - ended, 25 * kCycle);

    EXPECT_EQ(first.Finish(), 0);
    EXPECT_EQ(second.Finish(), 0);
    EXPECT_EQ(system.Process().Terminate(), 0);
}

}  // namespace
