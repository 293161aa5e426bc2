// The system observer's status for a large fleet: qn-status (and the page's query behind it) shows
// the silent machines, those with an alert, or one machine by name, and nothing else.
#include <gtest/gtest.h>

#include <cstdlib>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "platform/Bstr.h"
#include "tests/helpers/Daemons.h"
#include "tests/helpers/Sockets.h"
#include "tests/helpers/SystemObserverClient.h"
#include "tests/helpers/TestInstallation.h"

namespace {

using namespace std::chrono_literals;

std::set<std::string> Names(const qn::status::SystemStatus& status)
{
    std::set<std::string> names;
    for (const auto& machine : status.machines())
        names.insert(machine.machine());
    return names;
}

TEST(FleetStatus, ShowsTheSilentMachinesThoseWithAnAlertOrOneByNameAlone)
{
    qntest::TestInstallation installation(qntest::kPlain);
    // Cycles of half a second: a machine is silent after 5 s, and the installation's data turn
    // stale only if the test's own reports stop for as long.
    const auto started = qntest::AtTimeScale("0.1", [] { return std::make_unique<qntest::SystemObserverDaemon>(); });
    const qntest::SystemObserverDaemon& system = *started;
    auto link = qntest::ConnectSystemObserver(installation, system.Port());
    ASSERT_NE(link, nullptr);
    // A name with what JSON escapes.
    const std::string quiet = "quiet \"q\\1\"";
    ASSERT_EQ(qntest::SendFigures(*link, platform::ToUtf16(quiet)), S_OK);
    // The processor alert with the pressure alert, which the system's own texts don't name.
    ASSERT_EQ(qntest::SendAlert(*link, u"alerted", 0x60), S_OK);
    // Two machines report before every look, one of them with an alert, so that the installation's
    // data stay current and the quiet one is kept.
    const auto look = [&](const std::vector<std::string>& options) {
        qntest::SendFigures(*link, u"Live");
        qntest::SendFigures(*link, u"alerted");
        return system.Status(options);
    };

    EXPECT_EQ(Names(look({})), (std::set<std::string>{"Live", "alerted", quiet}));
    const auto silent = qntest::Await([&] { return look({"--silent"}); }, [](const auto& status) { return status.machines_size() > 0; }, 60s, 50ms);
    EXPECT_EQ(Names(silent), std::set<std::string>{quiet}) << "the quiet machine alone, once silent";
    EXPECT_TRUE(silent.machines_size() == 1 && silent.machines(0).silent());
    const auto alerted = system.Status({"--alert"});
    ASSERT_EQ(Names(alerted), std::set<std::string>{"alerted"});
    EXPECT_EQ(alerted.machines(0).alert_text(), "machine CPU utilization too high / machine pressure stall too high");
    const auto one = system.Status({"--machine", "LIVE"});
    ASSERT_EQ(Names(one), std::set<std::string>{"Live"}) << "a name in any case";
    EXPECT_EQ(one.machines(0).avail_physical_kb(), 1 << 20) << "with its figures";
    EXPECT_EQ(system.Status({"--machine", "none"}).machines_size(), 0);
    EXPECT_EQ(system.Status({"--machine", quiet, "--alert"}).machines_size(), 0) << "both conditions hold for what is shown";

    httplib::Client client("127.0.0.1", system.HttpPort());
    const auto refused = client.Get("/status?only=everything");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 400);
}

}  // namespace
