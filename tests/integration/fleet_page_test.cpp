// A fleet in which one machine alerts and one falls silent, as the system observer shows it: its
// page in a real browser (Debian's headless Chromium) shows every machine, those two first, with
// sparklines, and follows a new sample without being loaded again; it keeps its view in the
// address, sorts, answers the keyboard, fits a long name and passes axe-core; the page's queries
// and qn-status's show the machines asked for, in the order asked for, and nothing else.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Bstr.h"
#include "tests/helpers/Command.h"
#include "tests/helpers/Daemons.h"
#include "tests/helpers/SystemObserverClient.h"
#include "tests/helpers/TestInstallation.h"

namespace {

using namespace std::chrono_literals;

// Why the browser can't run here; empty when it can.
std::string BrowserMissing()
{
    for (const char* program : {"/usr/bin/chromium", "/usr/bin/chromedriver"})
        if (::access(program, X_OK) != 0)
            return std::string(program) + " is not installed (scripts/setup-deps installs it)";
    if (!qntest::Run("/usr/bin/python3 -c 'import selenium'"))
        return "python3-selenium is not installed (scripts/setup-deps installs it)";
    return {};
}

// A name as long as the page must fit, last by name.
const std::string kLongName = "web-frontend-042.prod.eu-west-1.compute.internal.example.net";

// A fleet in which "alerted" alerts and "quiet" reported once and is silent by now; the rest
// report every 100 ms, "changing" with the free memory the test sets, kLongName as an older
// resource observer would, without OOM kills.
class FleetPage : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(link, nullptr);
        ASSERT_EQ(qntest::SendFigures(*link, u"quiet"), S_OK);
        // The processor alert with the pressure alert, which the system's own texts don't name.
        ASSERT_EQ(qntest::SendAlert(*link, u"alerted", 0x60), S_OK);
        // An emergency of "alerted", and a server emergency of state 0, which is none, of "calm-2".
        tagQNSystemResourceEmergencyEvent emergency{SysAllocString(u"alerted"), 0x0800};
        tagQNSystemServerEmergencyEvent none{SysAllocString(u"calm-2"), 0};
        CComPtr<IQNSystemEmergencyObserver> global;
        ASSERT_TRUE(SUCCEEDED(link.QueryInterface(&global)));
        EXPECT_EQ(link->RaiseSystemResourceEmergencyEvent(&emergency), S_OK);
        EXPECT_EQ(global->RaiseGlobalEmergencyEvent(&none), S_OK);
        SysFreeString(emergency.machineName);
        SysFreeString(none.machineName);
        // With their OOM kills, as a resource observer of today sends them: one just now on
        // "alerted", none on the calm machines.
        reports = std::make_unique<qntest::Repeating>(100ms, [this] {
            const tagQNMachineOomKills none{}, justNow{1, nullptr, 7, std::time(nullptr)};
            qntest::SendFigures(*link, u"alerted", 2 << 20, &justNow);
            for (const auto& machine : {u"calm-1", u"calm-2", u"calm-3"})
                qntest::SendFigures(*link, machine, 2 << 20, &none);
            qntest::SendFigures(*link, u"changing", changingFreeKB.load());
            qntest::SendFigures(*link, platform::ToUtf16(kLongName));
        });
        const auto quietIsSilent = [](const qn::status::SystemStatus& status) {
            return std::ranges::any_of(status.machines(), [](const auto& machine) { return machine.machine() == "quiet" && machine.silent(); });
        };
        ASSERT_TRUE(quietIsSilent(system.AwaitStatus(quietIsSilent, 60s)));
    }

    qntest::TestInstallation installation{qntest::kPlain};
    // Cycles of half a second: the quiet machine is silent after 5 s.
    const std::unique_ptr<qntest::SystemObserverDaemon> started =
        qntest::AtTimeScale("0.1", [] { return std::make_unique<qntest::SystemObserverDaemon>(); });
    const qntest::SystemObserverDaemon& system = *started;
    CComPtr<IQNSystemResourceObserver> link = qntest::ConnectSystemObserver(installation, system.Port());
    std::atomic<LONGLONG> changingFreeKB = 1 << 20;
    std::unique_ptr<qntest::Repeating> reports;
};

TEST_F(FleetPage, ShowsTheMachinesThatNeedALookFirstAndFollowsEachSample)
{
    if (const std::string missing = BrowserMissing(); !missing.empty())
        GTEST_SKIP() << missing;
    qntest::ChildProcess check({"/usr/bin/python3", QN_FLEET_PAGE_CHECK, "http://127.0.0.1:" + std::to_string(system.HttpPort()) + "/", "alerted,quiet",
                                "alerted,calm-1,calm-2,calm-3,changing,quiet," + kLongName, "changing", QN_AXE_CORE},
                               installation.Path("browser.stderr"));
    ASSERT_EQ(check.ReadLine(), "waiting for a new sample of changing") << ::testing::PrintToString(check.ReadRest());
    changingFreeKB = 3 << 20;
    EXPECT_EQ(check.ReadRest(), std::vector<std::string>{"PASS"}) << qntest::FileText(installation.Path("browser.stderr"));
}

// What the page asks for: a page of the fleet, those that need a look first, and nothing else.
TEST_F(FleetPage, PagesTheFleetOnTheServer)
{
    httplib::Client client("127.0.0.1", system.HttpPort());
    const auto names = [&](const std::string& query) {
        const auto answer = client.Get("/fleet?" + query);
        std::vector<std::string> found;
        const std::string body = answer ? answer->body : "";
        for (size_t at = body.find("\"machine\": \""); at != std::string::npos; at = body.find("\"machine\": \"", at + 1))
            found.push_back(body.substr(at + 12, body.find('"', at + 12) - at - 12));
        return found;
    };
    EXPECT_EQ(names("limit=3"), (std::vector<std::string>{"alerted", "quiet", "calm-1"})) << "a machine never OOM-killed needs no look";
    const auto first = client.Get("/fleet?limit=1");
    EXPECT_NE(first ? first->body.find("\"reasons\":[\"alert\",\"oom\",\"emergency\"]") : std::string::npos, std::string::npos);
    EXPECT_EQ(names("offset=3&limit=3"), (std::vector<std::string>{"calm-2", "calm-3", "changing"}));
    EXPECT_EQ(names("offset=6"), std::vector<std::string>{kLongName});
    EXPECT_EQ(names("offset=7"), std::vector<std::string>{});
    EXPECT_EQ(names("only=silent"), std::vector<std::string>{"quiet"});
    EXPECT_EQ(names("name=CALM&offset=1"), (std::vector<std::string>{"calm-2", "calm-3"}));
    // A column's order puts no machine first for its look, and those that sent no figure last.
    EXPECT_EQ(names("sort=name&order=desc&limit=3"), (std::vector<std::string>{kLongName, "quiet", "changing"}));
    EXPECT_EQ(names("sort=oom&order=desc&limit=5"), (std::vector<std::string>{"alerted", "calm-1", "calm-2", "calm-3", "changing"}));
    EXPECT_EQ(names("sort=oom&offset=2"), (std::vector<std::string>{"calm-3", "alerted", "changing", "quiet", kLongName}));
    const auto zipped = client.Get("/fleet", {{"Accept-Encoding", "gzip, deflate, br"}});
    EXPECT_TRUE(zipped && zipped->get_header_value("Content-Encoding") == "gzip") << "gzip, the fast one, where a browser offers brotli too";
    for (const char* refused : {"limit=0", "limit=101", "offset=-1", "offset=18446744073709551615", "only=all", "page=2", "sort=ram", "sort=", "order=up"}) {
        const auto answer = client.Get(std::string("/fleet?") + refused);
        EXPECT_TRUE(answer && answer->status == 400) << refused;
    }
}

// What qn-status shows, from the status page's own query.
TEST_F(FleetPage, TheStatusShowsTheSilentMachinesThoseWithAnAlertOrOneByNameAlone)
{
    const auto names = [](const qn::status::SystemStatus& status) {
        std::set<std::string> names;
        for (const auto& machine : status.machines())
            names.insert(machine.machine());
        return names;
    };
    EXPECT_EQ(names(system.Status({"--silent"})), std::set<std::string>{"quiet"});
    const auto alerted = system.Status({"--alert"});
    ASSERT_EQ(names(alerted), std::set<std::string>{"alerted"});
    EXPECT_EQ(alerted.machines(0).alert_text(), "machine CPU utilization too high / machine pressure stall too high");
    const auto table = qntest::ChildProcess({QN_STATUS, "--status-port", std::to_string(system.HttpPort()), "--alert"}).ReadRest();
    ASSERT_EQ(table.size(), 2u) << "a heading and the machine";
    EXPECT_TRUE(table[1].starts_with("alerted ") && table[1].ends_with("  machine CPU utilization too high / machine pressure stall too high")) << table[1];
    const auto one = system.Status({"--machine", "CALM-1"});
    ASSERT_EQ(names(one), std::set<std::string>{"calm-1"}) << "a name in any case";
    EXPECT_EQ(one.machines(0).avail_physical_kb(), 2 << 20) << "with its figures";
    EXPECT_EQ(system.Status({"--machine", "none"}).machines_size(), 0);
    EXPECT_EQ(system.Status({"--machine", "quiet", "--alert"}).machines_size(), 0) << "both conditions hold for what is shown";
    const std::string odd = "odd \"q\\1\"";  // a name with what JSON escapes
    ASSERT_EQ(qntest::SendFigures(*link, platform::ToUtf16(odd)), S_OK);
    EXPECT_EQ(names(system.Status({"--machine", odd})), std::set<std::string>{odd});
    const auto refused = httplib::Client("127.0.0.1", system.HttpPort()).Get("/status?only=everything");
    EXPECT_TRUE(refused && refused->status == 400);
}

}  // namespace
