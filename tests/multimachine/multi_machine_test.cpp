// Several machines on one: each machine is a network and a UTS namespace with a host name and an
// address of its own, joined to a hub namespace by a veth pair on the hub's bridge. The hub runs
// the system resource observer; each machine runs its resource observer and two demo server
// processes. Traffic stays inside the namespaces the test made, and they are removed at the end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/Command.h"
#include "tests/helpers/Daemons.h"
#include "tests/helpers/MonitoredServer.h"

namespace {

using namespace std::chrono_literals;
using qntest::ChildProcess;

constexpr int kMachines = 3;
const std::string kSubnet = "10.213.7.";  // the hub is .1, machine i is .(10 + i)

class SeveralMachines : public testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "network and UTS namespaces need root";
        RemoveNamespaces();
        std::filesystem::create_directories(m_folder);
        // The hub's registry; the machines get theirs once the hub's port is known.
        WriteRegistry(m_folder + "/registry-hub.ini", "");
        ::setenv("KORVEL_REGISTRY", (m_folder + "/registry-hub.ini").c_str(), 1);
        for (const std::string& command : {"ip netns add " + Hub(), "ip -n " + Hub() + " link set lo up", "ip -n " + Hub() + " link add " + Bridge() + " type bridge",
                                           "ip -n " + Hub() + " addr add " + kSubnet + "1/24 dev " + Bridge(), "ip -n " + Hub() + " link set " + Bridge() + " up"})
            ASSERT_TRUE(qntest::Run(command));
        for (int machine = 1; machine <= kMachines; ++machine) {
            const std::string netns = Machine(machine);
            std::ofstream(UtsFile(machine)).close();
            for (const std::string& command :
                 {"ip netns add " + netns, "ip -n " + netns + " link set lo up", "ip link add " + Veth(machine) + " type veth peer name eth0 netns " + netns,
                  "ip link set " + Veth(machine) + " netns " + Hub(), "ip -n " + Hub() + " link set " + Veth(machine) + " master " + Bridge() + " up",
                  "ip -n " + netns + " addr add " + kSubnet + std::to_string(10 + machine) + "/24 dev eth0", "ip -n " + netns + " link set eth0 up",
                  "unshare --uts=" + UtsFile(machine) + " hostname " + HostName(machine)})
                ASSERT_TRUE(qntest::Run(command));
        }
    }

    void TearDown() override
    {
        m_processes.clear();
        ::unsetenv("KORVEL_REGISTRY");
        RemoveNamespaces();
        std::filesystem::remove_all(m_folder);
    }

    // Plain connections: the transport's security has tests of its own.
    static void WriteRegistry(const std::string& path, const std::string& values)
    {
        std::ofstream(path) << "[SOFTWARE\\KORVEL]\nDisableAuthentication=1\nDCOMAuthenticationService=WINNT\n" << values;
    }

    // Leftovers of an earlier run of this process id too.
    void RemoveNamespaces()
    {
        for (int machine = 1; machine <= kMachines; ++machine) {
            (void)qntest::Run("umount " + UtsFile(machine));
            (void)qntest::Run("ip netns del " + Machine(machine));
        }
        (void)qntest::Run("ip netns del " + Hub());
    }

    std::string Tag() const { return std::to_string(::getpid()); }
    std::string Hub() const { return "qn" + Tag() + "-hub"; }
    std::string Machine(int machine) const { return "qn" + Tag() + "-m" + std::to_string(machine); }
    std::string Bridge() const { return "qb" + Tag(); }
    std::string Veth(int machine) const { return "qv" + Tag() + "-" + std::to_string(machine); }
    std::string UtsFile(int machine) const { return m_folder + "/uts-" + std::to_string(machine); }
    static std::string HostName(int machine) { return "machine-" + std::to_string(machine); }

    // What runs a program on `machine`, with the machine's own registry file.
    std::vector<std::string> On(int machine) const
    {
        return {"/usr/bin/nsenter", "--net=/run/netns/" + Machine(machine), "--uts=" + UtsFile(machine), "/usr/bin/env",
                "KORVEL_REGISTRY=" + m_folder + "/registry-" + std::to_string(machine) + ".ini"};
    }

    // A resource observer reporting to the hub and two servers, whose usage adds up to 3 × 10^(machine - 1).
    void StartMachine(int machine, int systemObserverPort)
    {
        WriteRegistry(m_folder + "/registry-" + std::to_string(machine) + ".ini",
                      "ResourceObserverSocket=" + m_folder + "/observer-" + std::to_string(machine) +
                          ".sock\nSystemResourceObserverPort=" + std::to_string(systemObserverPort) + "\n");
        std::vector<std::string> observer = On(machine);
        observer.insert(observer.end(), {QN_RESOURCE_OBSERVER, "--metrics-port", "0", "--system-observer", kSubnet + "1"});
        m_processes.push_back(std::make_unique<ChildProcess>(observer));
        ASSERT_FALSE(m_processes.back()->ReadLineStartingWith("qn-resource-observer: serving on").empty());
        const int unit = machine == 1 ? 1 : machine == 2 ? 10 : 100;
        for (int usage : {unit, 2 * unit}) {
            auto server = std::make_unique<qntest::MonitoredServer>(std::vector<std::string>{"--interval", "2", "--usage", std::to_string(usage)}, On(machine));
            ASSERT_TRUE(server->Monitoring());
            m_processes.push_back(std::move(server));
        }
    }

    const std::string m_folder = "/tmp/qn-machines-" + std::to_string(::getpid());
    std::vector<std::unique_ptr<ChildProcess>> m_processes;
};

const qn::status::MachineStatus* Find(const qn::status::SystemStatus& status, const std::string& name)
{
    for (const auto& machine : status.machines())
        if (machine.machine() == name)
            return &machine;
    return nullptr;
}

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
    EXPECT_EQ(system.Process().Terminate(), 0);
}

}  // namespace
