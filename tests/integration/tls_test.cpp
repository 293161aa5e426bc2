// The system observer's TCP link with mutual TLS, under a stand-in and under the real daemon:
// certificates made by openssl for this test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "platform/transport/ComServer.h"
#include "platform/transport/Status.h"
#include "tests/helpers/Await.h"
#include "tests/helpers/Command.h"
#include "tests/helpers/Sockets.h"
#include "tests/helpers/StandIns.h"
#include "tests/helpers/Daemons.h"
#include "tests/helpers/MonitoredServer.h"

namespace {

using qntest::kServed;

constexpr const char* kRefused = "create 0x80070005 call 0x80004005";
constexpr const char* kNoServer = "create 0x800706BA call 0x80004005";
// A handshake that fails is no server either, and on a loaded machine it may outlast the
// activation's deadline.
const auto kNotServed = testing::AnyOf(kNoServer, "create 0x800706BE call 0x80004005");

class MutualTls : public testing::Test {
protected:
    void SetUp() override
    {
        for (const auto& [authority, name] : {std::pair{"ca", "node"}, std::pair{"rogue-ca", "rogue"}})
            MakeCertificate(authority, name);
        m_installation.Set("TLSCAFile", m_installation.Path("ca.pem"));
        m_installation.Set("TLSCertificateFile", m_installation.Path("node.pem"));
        m_installation.Set("TLSPrivateKeyFile", m_installation.Path("node.key"));
    }

    // A new authority `authority` and a certificate `name` for this machine that it signed.
    void MakeCertificate(const std::string& authority, const std::string& name)
    {
        const std::string ca = m_installation.Path(authority), base = m_installation.Path(name);
        ASSERT_TRUE(qntest::Run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + authority + " -keyout " + ca + ".key -out " + ca + ".pem"));
        std::ofstream(base + ".ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
        ASSERT_TRUE(qntest::Run("openssl req -newkey rsa:2048 -nodes -subj /CN=" + name + " -keyout " + base + ".key -out " + base + ".csr"));
        ASSERT_TRUE(qntest::Run("openssl x509 -req -in " + base + ".csr -CA " + ca + ".pem -CAkey " + ca + ".key -CAcreateserial -days 2 -extfile " + base +
                              ".ext -out " + base + ".pem"));
    }

    // The registry of a client that differs from the server's by `changes` (value "" removes
    // it), as the environment setting that points a program at it.
    std::string ClientRegistry(const std::map<std::string, std::string>& changes)
    {
        std::ifstream original(m_installation.Path("registry.ini"));
        std::ofstream copy(m_installation.Path("client.ini"));
        for (std::string line; std::getline(original, line);) {
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
        return qntest::Probe({"--class", "system", "--level", level}, {"/usr/bin/env", ClientRegistry(changes)});
    }

    qntest::TestInstallation m_installation;
};

TEST_F(MutualTls, OnlyPeersWithACertificateOfTheAuthorityAreServedAndRenewedFilesTakeEffectWithoutARestart)
{
    qntest::RecordingObserver observer(m_installation, "system", {"--level", "2"});
    EXPECT_EQ(Probe({{"TLSCertificateFile", ""}, {"TLSPrivateKeyFile", ""}}), kRefused) << "without a certificate";
    EXPECT_EQ(Probe({{"TLSCertificateFile", m_installation.Path("missing.pem")}}), "create 0x80070002 call 0x80004005") << "a certificate named but not there";
    EXPECT_THAT(Probe({{"TLSCertificateFile", m_installation.Path("rogue.pem")}, {"TLSPrivateKeyFile", m_installation.Path("rogue.key")}}), kNotServed) << "with a certificate of another authority";
    EXPECT_THAT(Probe({}, "1"), kNotServed) << "a plain client finds no plain server";
    EXPECT_EQ(Probe({}), kServed);
    EXPECT_EQ(observer.Next().method, "QueryInterface") << "the first thing the object saw came from the served client";
    EXPECT_EQ(observer.Next("NotifySystemResourceAlert").body, "state: 2");

    SCOPED_TRACE("the files of a new authority replace the old ones");
    std::map<std::string, std::string> oldPeer;
    for (const auto& [value, file] : {std::pair{"TLSCAFile", "ca.pem"}, std::pair{"TLSCertificateFile", "node.pem"}, std::pair{"TLSPrivateKeyFile", "node.key"}}) {
        std::filesystem::copy_file(m_installation.Path(file), m_installation.Path(std::string("old-") + file));
        oldPeer[value] = m_installation.Path(std::string("old-") + file);
    }
    MakeCertificate("new-ca", "new-node");
    // Replaced as an operator's tool does it: each file whole at once.
    for (const auto& [from, to] : {std::pair{"new-ca.pem", "ca.pem"}, std::pair{"new-node.pem", "node.pem"}, std::pair{"new-node.key", "node.key"}})
        std::filesystem::rename(m_installation.Path(from), m_installation.Path(to));
    const std::string renewed = qntest::Await([&] { return Probe({}); }, [](const std::string& answer) { return answer == kServed; }, std::chrono::seconds(20),
                                              std::chrono::milliseconds(200));
    EXPECT_EQ(renewed, kServed) << "a peer with the new files is served, by the server started with the old ones";
    EXPECT_THAT(Probe(oldPeer), kNotServed) << "a peer with the old files is refused";
}

TEST_F(MutualTls, APeerThatNeverFinishesItsHandshakeIsDropped)
{
    // At full time: the idle limit of two minutes would otherwise come first.
    const auto started = qntest::AtTimeScale("1", [this] { return std::make_unique<qntest::RecordingObserver>(m_installation, "system", std::vector<std::string>{"--level", "2"}); });
    qntest::RecordingObserver& observer = *started;
    const auto connecting = std::chrono::steady_clock::now();
    const int silent = qntest::ConnectToLoopback(observer.Port());
    ASSERT_GE(silent, 0);
    // A connection left to the idle limit would stay two minutes.
    EXPECT_TRUE(qntest::ClosedWithin(silent, transport::kHandshakeDeadline + std::chrono::seconds(60))) << "dropped at the handshake deadline";
    EXPECT_GE(std::chrono::steady_clock::now() - connecting, transport::kHandshakeDeadline / 2) << "a slow peer has time";
    ::close(silent);
    EXPECT_EQ(Probe({}), kServed);
}

TEST_F(MutualTls, HandshakesWithinTheBoundFinishAndThoseBeyondItAreRefusedUnheard)
{
    for (const auto& [name, value] : qntest::kIdentityChecked)
        m_installation.Set(name, value);
    qntest::SystemObserverDaemon system;
    m_installation.Set("SystemResourceObserverPort", std::to_string(system.Port()));
    // Peers that never finish their handshakes hold all of the bound but one place, then all of it.
    std::vector<int> silent;
    const auto holdPlaces = [&](size_t places) {
        while (places-- > 0)
            silent.push_back(qntest::ConnectToLoopback(system.Port()));
    };
    holdPlaces(transport::kHandshakesInFlight - 1);
    EXPECT_EQ(Probe({}), kServed) << "the last one the bound admits";
    // Held anew: places unseen to end are given up after a while, and the probe may have taken it.
    const auto filling = std::chrono::steady_clock::now();
    holdPlaces(transport::kHandshakesInFlight);
    ASSERT_TRUE(std::ranges::none_of(silent, [](int fd) { return fd < 0; }));
    const int beyond = qntest::ConnectToLoopback(system.Port());
    if (std::chrono::steady_clock::now() - filling > transport::kHandshakePlaceHeld / 2)
        GTEST_SKIP() << "too slow a machine: the silent peers may have given up their places before the last peer came";
    EXPECT_TRUE(qntest::ClosedWithin(beyond, std::chrono::seconds(60)));
    const std::string refused = "qn_transport_handshakes_refused_total ";
    EXPECT_EQ(system.CountMetrics(refused) - system.CountMetrics(refused + "0"), 1) << "refused by the bound, not dropped at the deadline";
    EXPECT_NE(system.AwaitLogged("TLS handshakes in flight already"), "");
    for (const int fd : silent)
        ::close(fd);
    ::close(beyond);
}

TEST_F(MutualTls, ARealInstallationReportsOverTlsAndAResourceObserverWithoutCertificateStoresNothing)
{
    for (const auto& [name, value] : qntest::kIdentityChecked)
        m_installation.Set(name, value);
    m_installation.Set("EnablePacketPrivacy", "1");
    for (const char* missing : {"TLSCertificateFile", "TLSPrivateKeyFile"}) {
        const auto started = qntest::Run("/usr/bin/timeout 60 /usr/bin/env " + ClientRegistry({{missing, ""}}) + " " + QN_SYSTEM_RESOURCE_OBSERVER +
                                         " --port 0 --status-port 0");
        EXPECT_THAT(started.message(), testing::HasSubstr("TLS needs the registry values TLSCAFile, TLSCertificateFile and TLSPrivateKeyFile naming readable files"))
            << "without " << missing;
    }
    qntest::SystemObserverDaemon system;
    m_installation.Set("SystemResourceObserverPort", std::to_string(system.Port()));
    const auto anyMachine = [](const qn::status::SystemStatus& status) { return status.machines_size() > 0; };
    for (const std::string& environment :
         {ClientRegistry({{"TLSCertificateFile", ""}, {"TLSPrivateKeyFile", ""}, {"ResourceObserverSocket", m_installation.Path("certless.sock")}}),
          "KORVEL_REGISTRY=" + m_installation.Path("registry.ini")}) {
        const bool certless = environment.find("client.ini") != std::string::npos;
        SCOPED_TRACE(certless ? "without certificate" : "with its certificate");
        qntest::ResourceObserverDaemon observer({}, {}, {"/usr/bin/env", environment});
        qntest::MonitoredServer server({"--interval", "2"}, {"/usr/bin/env", environment});
        ASSERT_TRUE(server.Monitoring());
        if (certless) {
            const std::string refused = "qn_transport_calls_refused_total{reason=\"credentials\"} ";
            EXPECT_EQ(system.AwaitCount(refused + "0", 0), 0);
            EXPECT_EQ(system.CountMetrics(refused), 1) << "the observer's calls were refused";
            EXPECT_FALSE(anyMachine(system.Status()));
        } else {
            // Current only from the store's next cycle: the silence so far counted against it.
            const auto status = system.AwaitStatus([](const auto& status) { return status.machines_size() > 0 && status.machines(0).current(); });
            ASSERT_EQ(status.machines_size(), 1);
            EXPECT_TRUE(status.machines(0).current());
            EXPECT_GT(status.machines(0).avail_physical_kb(), 0);
        }
        EXPECT_EQ(server.Terminate(), 0);
        EXPECT_EQ(observer.Process().Terminate(), 0);
    }
}

}  // namespace
