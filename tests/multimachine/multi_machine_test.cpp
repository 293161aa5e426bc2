// Several machines on one: the hub runs the system resource observer; each machine runs its
// resource observer and two demo server processes.
#include <gtest/gtest.h>

#include "tests/multimachine/NamespacedMachines.h"

namespace {

using namespace std::chrono_literals;

constexpr int kMachines = 3;
using SeveralMachines = qntest::NamespacedMachines;
using qntest::Find;

TEST_F(SeveralMachines, TheSystemObserverKeepsEachMachineApartAndDropsThemAfterTheirSilence)
{
    qntest::SystemObserverDaemon system("/run/netns/" + Hub());
    ASSERT_GT(system.Port(), 0);
    for (int machine = 1; machine <= kMachines; ++machine)
        StartMachine(machine, system.Port());

    const auto allReported = [](const qn::status::SystemStatus& status) {
        for (const auto& [name, usage] : {std::pair{"machine-1", 3u}, {"machine-2", 30u}, {"machine-3", 300u}}) {
            const auto* machine = Find(status, name);
            if (machine == nullptr || machine->external_usage_sum() != usage || !machine->current())
                return false;
        }
        return true;
    };
    const auto status = system.AwaitStatus(allReported);
    ASSERT_TRUE(allReported(status)) << status.DebugString();
    EXPECT_EQ(status.machines_size(), kMachines) << "keyed by their own host names";

    // Machine 2 falls silent; the others keep the store's data current, since staleness counts the
    // cycles in which no machine at all reported.
    ASSERT_TRUE(qntest::Run("ip -n " + Hub() + " link set " + Veth(2) + " down"));
    const auto silent = system.AwaitStatus([](const auto& status) {
        const auto* machine = Find(status, "machine-2");
        return machine != nullptr && machine->newest_sample_age_sec() > 2.0;
    });
    ASSERT_NE(Find(silent, "machine-2"), nullptr);
    EXPECT_GT(Find(silent, "machine-2")->newest_sample_age_sec(), 2.0);
    EXPECT_TRUE(Find(silent, "machine-2")->silent()) << "no sample for ten cycles";
    for (const char* name : {"machine-1", "machine-3"}) {
        ASSERT_NE(Find(silent, name), nullptr) << name;
        EXPECT_LT(Find(silent, name)->newest_sample_age_sec(), Find(silent, "machine-2")->newest_sample_age_sec()) << name << " still reports";
        EXPECT_TRUE(Find(silent, name)->current()) << name;
        EXPECT_FALSE(Find(silent, name)->silent()) << name;
    }
    EXPECT_EQ(silent.machines_size(), kMachines) << "a silent machine stays while others report";

    // Cut the others too: all turn stale together, then all are dropped together.
    ASSERT_TRUE(qntest::Run("ip -n " + Hub() + " link set " + Veth(1) + " down && ip -n " + Hub() + " link set " + Veth(3) + " down"));
    const auto stale = system.AwaitStatus([](const auto& status) { return status.machines_size() == 0 || !status.machines(0).current(); });
    EXPECT_EQ(stale.machines_size(), kMachines);
    for (const auto& machine : stale.machines())
        EXPECT_FALSE(machine.current()) << machine.machine();
    EXPECT_EQ(system.AwaitStatus([](const auto& status) { return status.machines_size() == 0; }).machines_size(), 0);
}

}  // namespace
