// Two system observers for one shard: the hub runs the preferred one, machine 4 the other; machines
// 1 to 3 each run a resource observer that names both, with its demo servers.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "tests/multimachine/NamespacedMachines.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kReporting = 3;
constexpr int kSecondsMachine = 4;

class TwoSystemObservers : public qntest::NamespacedMachines {
protected:
    TwoSystemObservers() : NamespacedMachines(4, "42-") {}

    std::unique_ptr<qntest::SystemObserverDaemon> StartSystemObserver(const std::string& netns, int port, const std::string& name) const
    {
        return std::make_unique<qntest::SystemObserverDaemon>("/run/netns/" + netns, std::vector<std::string>{"--port", std::to_string(port)},
                                                              m_folder + "/log/" + name + ".log");  // the daemons' log folder
    }
    // Every machine current, with a sample younger than `youngerThanSec`.
    static bool AllCurrent(const qn::status::SystemStatus& status, double youngerThanSec = 1e9)
    {
        for (int machine = 1; machine <= kReporting; ++machine)
            if (const auto* entry = qntest::Find(status, HostName(machine)); entry == nullptr || !entry->current() || entry->newest_sample_age_sec() >= youngerThanSec)
                return false;
        return true;
    }
    // A cycle of the resource observers, 5 s scaled.
    static double CycleSec() { return 5 * std::atof(std::getenv("QN_TIME_SCALE")); }
    static double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }
};

TEST_F(TwoSystemObservers, TheFleetMovesToTheSecondAtOnceWithTheEmergenciesOfTheMoveAndStaysWhenTheFirstReturns)
{
    auto first = StartSystemObserver(Hub(), 0, "first");
    const int port = first->Port();
    const auto second = StartSystemObserver(Machine(kSecondsMachine), port, "second");
    ASSERT_EQ(second->Port(), port);
    std::vector<pid_t> emergencyServers;
    for (int machine = 1; machine <= kReporting; ++machine) {
        StartMachine(machine, port, HubAddress() + "," + Address(kSecondsMachine));
        // Breaks its thread limit once its load comes on SIGUSR1: one emergency, raised once.
        emergencyServers.push_back(StartServer(machine, {"--interval", "1", "--thread-limit", "24", "--threads", "32"}).Pid());
    }
    const auto allCurrent = [](const auto& status) { return AllCurrent(status); };
    ASSERT_TRUE(AllCurrent(first->AwaitStatus(allCurrent, 60s)));
    EXPECT_EQ(second->Status().machines_size(), 0) << "the preferred one is kept while it answers";

    ASSERT_EQ(::kill(first->Process().Pid(), SIGKILL), 0);
    const auto killed = Clock::now();
    for (const pid_t server : emergencyServers)
        ASSERT_EQ(::kill(server, SIGUSR1), 0);
    ASSERT_TRUE(AllCurrent(second->AwaitStatus(allCurrent, 60s)));
    const double cycles = SecondsSince(killed) / CycleSec();
    RecordProperty("cycles_from_kill_until_current_at_second", std::to_string(cycles));
    std::printf("every machine current at the second system observer %.1f cycles after the first's SIGKILL\n", cycles);
    for (int machine = 1; machine <= kReporting; ++machine) {
        const std::string emergency = "system resource emergency event received from machine '" + HostName(machine) + "'";
        EXPECT_NE(second->AwaitLogged(emergency), "") << HostName(machine);
        EXPECT_EQ(qntest::Daemon::CountLogged(ObserverLogbook(machine), "the link to the system observer on '" + HubAddress() +
                                                                             "' failed - reporting to the system observer on '" + Address(kSecondsMachine) + "' now"),
                  1);
    }

    // The first comes back; every machine then reports to the second for two more cycles at least.
    first.reset();
    first = StartSystemObserver(Hub(), port, "first-again");
    const auto returned = Clock::now();
    const auto afterReturn = second->AwaitStatus(
        [&](const auto& status) { return SecondsSince(returned) > 3 * CycleSec() && AllCurrent(status, SecondsSince(returned) - 2 * CycleSec()); }, 60s);
    EXPECT_TRUE(AllCurrent(afterReturn)) << afterReturn.DebugString();
    EXPECT_EQ(first->Status().machines_size(), 0) << "nothing moved back";
    for (int machine = 1; machine <= kReporting; ++machine)
        EXPECT_EQ(qntest::Daemon::CountLogged(ObserverLogbook(machine), "reporting to the system observer on '" + HubAddress() + "' now"), 0);
}

}  // namespace
