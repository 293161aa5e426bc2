// Several machines on one: each machine is a network and a UTS namespace with a host name and an
// address of its own, joined to a hub namespace by a veth pair on the hub's bridge. Traffic stays
// inside the namespaces the test made, and they are removed at the end.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/Command.h"
#include "tests/helpers/Daemons.h"
#include "tests/helpers/MonitoredServer.h"

namespace qntest {

inline const std::string kSubnet = "10.213.7.";  // the hub is .1, machine i is .(10 + i)

// The status entry of the machine `name`; null when the status has none.
inline const qn::status::MachineStatus* Find(const qn::status::SystemStatus& status, const std::string& name)
{
    for (const auto& machine : status.machines())
        if (machine.machine() == name)
            return &machine;
    return nullptr;
}

class NamespacedMachines : public testing::Test {
protected:
    // `machines` machines; `tag` sets the names of this test's namespaces and links apart from
    // those of other tests running beside it.
    explicit NamespacedMachines(int machines = 3, std::string tag = "") : m_machines(machines), m_tag(std::move(tag) + std::to_string(::getpid())) {}

    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "network and UTS namespaces need root";
        RemoveNamespaces();
        std::filesystem::create_directories(m_folder);
        // The machines' sockets are made here by the service account, as in an installation's folder.
        if (const passwd* account = ServiceAccount())
            ASSERT_EQ(::chown(m_folder.c_str(), account->pw_uid, account->pw_gid), 0);
        // The hub's registry; the machines get theirs once the hub's port is known.
        WriteRegistry(m_folder + "/registry-hub.ini", "");
        ::setenv("KORVEL_REGISTRY", (m_folder + "/registry-hub.ini").c_str(), 1);
        for (const std::string& command : {"ip netns add " + Hub(), "ip -n " + Hub() + " link set lo up", "ip -n " + Hub() + " link add " + Bridge() + " type bridge",
                                           "ip -n " + Hub() + " addr add " + HubAddress() + "/24 dev " + Bridge(), "ip -n " + Hub() + " link set " + Bridge() + " up"})
            ASSERT_TRUE(qntest::Run(command));
        for (int machine = 1; machine <= m_machines; ++machine) {
            const std::string netns = Machine(machine);
            std::ofstream(UtsFile(machine)).close();
            for (const std::string& command :
                 {"ip netns add " + netns, "ip -n " + netns + " link set lo up", "ip link add " + Veth(machine) + " type veth peer name eth0 netns " + netns,
                  "ip link set " + Veth(machine) + " netns " + Hub(), "ip -n " + Hub() + " link set " + Veth(machine) + " master " + Bridge() + " up",
                  "ip -n " + netns + " addr add " + Address(machine) + "/24 dev eth0", "ip -n " + netns + " link set eth0 up",
                  "unshare --uts=" + UtsFile(machine) + " hostname " + HostName(machine)})
                ASSERT_TRUE(qntest::Run(command));
        }
    }

    void TearDown() override
    {
        m_processes.clear();
        m_observers.clear();
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
        for (int machine = 1; machine <= m_machines; ++machine) {
            (void)qntest::Run("umount " + UtsFile(machine));
            (void)qntest::Run("ip netns del " + Machine(machine));
        }
        (void)qntest::Run("ip netns del " + Hub());
    }

    std::string Hub() const { return "qn" + m_tag + "-hub"; }
    std::string Machine(int machine) const { return "qn" + m_tag + "-m" + std::to_string(machine); }
    std::string Bridge() const { return "qb" + m_tag; }
    std::string Veth(int machine) const { return "qv" + m_tag + "-" + std::to_string(machine); }
    std::string UtsFile(int machine) const { return m_folder + "/uts-" + std::to_string(machine); }
    static std::string HostName(int machine) { return "machine-" + std::to_string(machine); }
    static std::string HubAddress() { return kSubnet + "1"; }
    static std::string Address(int machine) { return kSubnet + std::to_string(10 + machine); }
    // The resource observer's logbook on `machine`.
    std::string ObserverLogbook(int machine) const { return m_folder + "/observer-" + std::to_string(machine) + ".log"; }

    // What runs a program on `machine`, with the machine's own registry file.
    std::vector<std::string> On(int machine) const
    {
        return {"/usr/bin/nsenter", "--net=/run/netns/" + Machine(machine), "--uts=" + UtsFile(machine), "/usr/bin/env",
                "KORVEL_REGISTRY=" + m_folder + "/registry-" + std::to_string(machine) + ".ini"};
    }

    // A resource observer reporting to `systemObservers` (the hub by default), and two servers,
    // whose usage adds up to 3 × 10^(machine - 1).
    void StartMachine(int machine, int systemObserverPort, const std::string& systemObservers = HubAddress())
    {
        WriteRegistry(m_folder + "/registry-" + std::to_string(machine) + ".ini",
                      "ResourceObserverSocket=" + m_folder + "/observer-" + std::to_string(machine) +
                          ".sock\nSystemResourceObserverPort=" + std::to_string(systemObserverPort) + "\n");
        m_observers.push_back(
            std::make_unique<ResourceObserverDaemon>(std::vector<std::string>{"--system-observer", systemObservers}, ObserverLogbook(machine), On(machine)));
        ASSERT_GT(m_observers.back()->HttpPort(), 0) << "not serving: " << m_observers.back()->StandardError();
        const int unit = machine == 1 ? 1 : machine == 2 ? 10 : 100;
        for (int usage : {unit, 2 * unit})
            StartServer(machine, {"--interval", "2", "--usage", std::to_string(usage)});
    }

    // A demo server on `machine` with `options`; it stays until the test ends.
    MonitoredServer& StartServer(int machine, const std::vector<std::string>& options)
    {
        auto server = std::make_unique<MonitoredServer>(options, On(machine));
        EXPECT_TRUE(server->Monitoring());
        MonitoredServer& started = *server;
        m_processes.push_back(std::move(server));
        return started;
    }

    const int m_machines;
    const std::string m_tag;
    const std::string m_folder = "/tmp/qn-machines-" + m_tag;
    std::vector<std::unique_ptr<ResourceObserverDaemon>> m_observers;
    std::vector<std::unique_ptr<ChildProcess>> m_processes;  // the demo servers, ended before the observers
};

}  // namespace qntest
