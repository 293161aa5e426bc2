// The system observer's TCP link with mutual TLS, under a stand-in and under the real daemon:
// certificates made by openssl for this test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "tests/helpers/Await.h"
#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/Sockets.h"
#include "tests/helpers/SystemObserverDaemon.h"
#include "tests/helpers/TestInstallation.h"

namespace {

using qntest::ChildProcess;

void RunQuietly(const std::string& command)
{
    ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
}

class MutualTls : public testing::Test {
protected:
    void SetUp() override
    {
        MakeAuthority("ca");
        MakeCertificate("ca", "node", "DNS:localhost,IP:127.0.0.1");
        MakeAuthority("rogue-ca");
        MakeCertificate("rogue-ca", "rogue", "DNS:localhost,IP:127.0.0.1");
        m_installation.Set("TLSCAFile", m_installation.Path("ca.pem"));
        m_installation.Set("TLSCertificateFile", m_installation.Path("node.pem"));
        m_installation.Set("TLSPrivateKeyFile", m_installation.Path("node.key"));
    }

    void MakeAuthority(const std::string& name)
    {
        const std::string base = m_installation.Path(name);
        RunQuietly("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + name + " -keyout " + base + ".key -out " + base + ".pem");
    }

    void MakeCertificate(const std::string& authority, const std::string& name, const std::string& names)
    {
        const std::string base = m_installation.Path(name);
        const std::string ca = m_installation.Path(authority);
        std::ofstream(base + ".ext") << "subjectAltName=" << names << "\n";
        RunQuietly("openssl req -newkey rsa:2048 -nodes -subj /CN=" + name + " -keyout " + base + ".key -out " + base + ".csr");
        RunQuietly("openssl x509 -req -in " + base + ".csr -CA " + ca + ".pem -CAkey " + ca + ".key -CAcreateserial -days 2 -extfile " + base +
            ".ext -out " + base + ".pem");
    }

    // The system observer stand-in on a free port of the loopback address.
    std::unique_ptr<ChildProcess> StartObserver(const std::string& level)
    {
        auto observer = std::make_unique<ChildProcess>(
            std::vector<std::string>{QN_RECORDING_OBSERVER, "--class", "system", "--endpoint", "127.0.0.1:0", "--level", level});
        const std::string ready = observer->ReadLineStartingWith("ready");
        EXPECT_FALSE(ready.empty());
        m_installation.Set("SystemResourceObserverPort", ready.substr(6));
        return observer;
    }

    // The registry of a client that differs from the server's by `changes` (value "" removes
    // it), as the environment setting that points a program at it.
    std::string ClientRegistry(const std::map<std::string, std::string>& changes)
    {
        std::ifstream original(m_installation.Path("registry.ini"));
        std::ofstream copy(m_installation.Path("client.ini"));
        std::string line;
        while (std::getline(original, line)) {
            const auto name = line.substr(0, line.find('='));
            if (changes.count(name) == 0)
                copy << line << "\n";
            else if (!changes.at(name).empty())
                copy << name << "=" << changes.at(name) << "\n";
        }
        return "KORVEL_REGISTRY=" + m_installation.Path("client.ini");
    }

    std::string Probe(const std::map<std::string, std::string>& changes, const std::string& level = "2")
    {
        ChildProcess client({"/usr/bin/env", ClientRegistry(changes), QN_PROBE_CLIENT, "--class", "system", "--machine", "localhost", "--level", level});
        return client.ReadLine();
    }

    qntest::TestInstallation m_installation;
};

TEST_F(MutualTls, ClientWithACertificateOfTheAuthorityIsServed)
{
    auto observer = StartObserver("2");
    EXPECT_EQ(Probe({}), "create 0x00000000 call 0x00000000");
    EXPECT_EQ(observer->ReadLineStartingWith("NotifySystemResourceAlert"), "NotifySystemResourceAlert state: 2");
}

TEST_F(MutualTls, ClientWithoutCertificateIsRefusedBeforeTheObjectSeesAnything)
{
    auto observer = StartObserver("2");
    EXPECT_EQ(Probe({{"TLSCertificateFile", ""}, {"TLSPrivateKeyFile", ""}}), "create 0x80070005 call 0x80004005");
    EXPECT_EQ(Probe({}), "create 0x00000000 call 0x00000000");
    EXPECT_EQ(observer->ReadLine().rfind("QueryInterface", 0), 0u) << "the first thing the object saw came from the second client";
}

TEST_F(MutualTls, ClientWithACertificateOfAnotherAuthorityCannotConnect)
{
    auto observer = StartObserver("2");
    EXPECT_EQ(Probe({{"TLSCertificateFile", m_installation.Path("rogue.pem")}, {"TLSPrivateKeyFile", m_installation.Path("rogue.key")}}),
              "create 0x800706BA call 0x80004005");
}

TEST_F(MutualTls, APeerThatNeverFinishesItsHandshakeIsDropped)
{
    // At full time: the idle limit of two minutes would otherwise come first.
    ::setenv("QN_TIME_SCALE", "1", 1);
    auto observer = StartObserver("2");
    ::setenv("QN_TIME_SCALE", "0.01", 1);
    const int silent = qntest::ConnectToLoopback(std::stoi(m_installation.Get("SystemResourceObserverPort")));
    ASSERT_GE(silent, 0);
    EXPECT_FALSE(qntest::ClosedWithin(silent, std::chrono::seconds(5))) << "a slow peer has time";
    EXPECT_TRUE(qntest::ClosedWithin(silent, std::chrono::seconds(10))) << "the handshake deadline is 10 s";
    ::close(silent);
    EXPECT_EQ(Probe({}), "create 0x00000000 call 0x00000000");
}

TEST_F(MutualTls, RenewedFilesOfANewAuthorityServeNewPeersWithoutARestartAndRefuseOldOnes)
{
    constexpr const char* kServed = "create 0x00000000 call 0x00000000";
    auto observer = StartObserver("2");
    ASSERT_EQ(Probe({}), kServed);
    std::map<std::string, std::string> oldPeer;
    for (const auto& [value, file] : {std::pair{"TLSCAFile", "ca.pem"}, std::pair{"TLSCertificateFile", "node.pem"}, std::pair{"TLSPrivateKeyFile", "node.key"}}) {
        std::filesystem::copy_file(m_installation.Path(file), m_installation.Path(std::string("old-") + file));
        oldPeer[value] = m_installation.Path(std::string("old-") + file);
    }
    MakeAuthority("new-ca");
    MakeCertificate("new-ca", "new-node", "DNS:localhost,IP:127.0.0.1");
    // Replaced as an operator's tool does it: each file whole at once.
    for (const auto& [from, to] : {std::pair{"new-ca.pem", "ca.pem"}, std::pair{"new-node.pem", "node.pem"}, std::pair{"new-node.key", "node.key"}})
        std::filesystem::rename(m_installation.Path(from), m_installation.Path(to));

    const std::string renewed = qntest::Await([&] { return Probe({}); }, [&](const std::string& answer) { return answer == kServed; },
                                              std::chrono::seconds(20), std::chrono::milliseconds(200));
    EXPECT_EQ(renewed, kServed) << "a peer with the new files is served, by the server started with the old ones";
    EXPECT_EQ(Probe(oldPeer), "create 0x800706BA call 0x80004005") << "a peer with the old files is refused";
}

TEST_F(MutualTls, LevelNoneSpeaksPlainTcp)
{
    auto observer = StartObserver("1");
    EXPECT_EQ(Probe({{"TLSCAFile", ""}}, "1"), "create 0x00000000 call 0x00000000");
    EXPECT_EQ(Probe({}, "2"), "create 0x800706BA call 0x80004005") << "a TLS client finds no TLS server";
}

TEST_F(MutualTls, ARealInstallationReportsOverTlsAndAResourceObserverWithoutCertificateStoresNothing)
{
    m_installation.Set("DisableAuthentication", "0");
    m_installation.Set("EnablePacketPrivacy", "1");
    m_installation.Set("DCOMAuthenticationService", "WINNT");
    qntest::SystemObserverDaemon system;
    m_installation.Set("SystemResourceObserverPort", std::to_string(system.Port()));
    const auto anyMachine = [](const qn::status::SystemStatus& status) { return status.machines_size() > 0; };
    {
        const std::string certless =
            ClientRegistry({{"TLSCertificateFile", ""}, {"TLSPrivateKeyFile", ""}, {"ResourceObserverSocket", m_installation.Path("certless.sock")}});
        ChildProcess observer({"/usr/bin/env", certless, QN_RESOURCE_OBSERVER, "--metrics-port", "0", "--system-observer", "localhost"});
        ChildProcess server({"/usr/bin/env", certless, QN_MONITORED_SERVER, "--interval", "2"});
        ASSERT_EQ(server.ReadLine(), "started running=1");
        EXPECT_FALSE(anyMachine(system.AwaitStatus(anyMachine, std::chrono::seconds(1)))) << "20 cycles of the refused observer";
        EXPECT_EQ(server.Finish(), 0);
        EXPECT_EQ(observer.Terminate(), 0);
    }
    ChildProcess observer({QN_RESOURCE_OBSERVER, "--metrics-port", "0", "--system-observer", "localhost"});
    ChildProcess server({QN_MONITORED_SERVER, "--interval", "2"});
    ASSERT_EQ(server.ReadLine(), "started running=1");
    // Current only from the store's next cycle: the silence so far counted against it.
    const auto status = system.AwaitStatus([](const auto& status) { return status.machines_size() > 0 && status.machines(0).current(); });
    ASSERT_EQ(status.machines_size(), 1);
    EXPECT_TRUE(status.machines(0).current());
    EXPECT_GT(status.machines(0).avail_physical_kb(), 0);
    EXPECT_EQ(server.Finish(), 0);
    EXPECT_EQ(observer.Terminate(), 0);
}

}  // namespace
