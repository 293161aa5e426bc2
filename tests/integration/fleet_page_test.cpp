// The system observer's page in a real browser (Debian's headless Chromium): a fleet in which one
// machine alerts and one falls silent shows every machine, those two first, with sparklines, and
// follows a new sample without being loaded again.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/helpers/Command.h"
#include "tests/helpers/Daemons.h"
#include "tests/helpers/Sample.h"
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

// A machine's figures with its processors a third busy and `freeKB` of 4 GB free.
HRESULT SendLoad(IQNSystemResourceObserver& observer, const std::u16string& machine, LONGLONG freeKB)
{
    constexpr LONGLONG kTotalKB = 4 << 20, kIntervalTicks = 50'000'000;
    qntest::MachineSample figures(machine.c_str());
    tagQNMachineResourceLoad& load = figures.machineLoad;
    load.idleTime.lowPart = static_cast<DWORD>(kIntervalTicks * 2 / 3);
    load.kernelTime.lowPart = static_cast<DWORD>(kIntervalTicks * 2 / 3);
    load.userTime.lowPart = static_cast<DWORD>(kIntervalTicks / 3);
    load.availPhysicalKB = load.availPageFileKB = freeKB;
    load.usedPhysicalKB = load.usedPageFileKB = kTotalKB - freeKB;
    return observer.SetSystemResourceData(&figures);
}

TEST(FleetPage, ShowsTheMachinesThatNeedALookFirstAndFollowsEachSample)
{
    if (const std::string missing = BrowserMissing(); !missing.empty())
        GTEST_SKIP() << missing;
    qntest::TestInstallation installation(qntest::kPlain);
    // Cycles of half a second: the quiet machine is silent after 5 s.
    const auto started = qntest::AtTimeScale("0.1", [] { return std::make_unique<qntest::SystemObserverDaemon>(); });
    const qntest::SystemObserverDaemon& system = *started;
    auto link = qntest::ConnectSystemObserver(installation, system.Port());
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(SendLoad(*link, u"quiet", 1 << 20), S_OK);
    ASSERT_EQ(qntest::SendAlert(*link, u"alerted", 0x20), S_OK);
    const std::vector<std::u16string> reporting{u"alerted", u"calm-1", u"calm-2", u"calm-3", u"changing"};
    std::atomic<LONGLONG> changingFreeKB = 1 << 20;
    qntest::Repeating reports(100ms, [&] {
        for (const auto& machine : reporting)
            SendLoad(*link, machine, machine == u"changing" ? changingFreeKB.load() : 2 << 20);
    });
    const auto quietIsSilent = [](const qn::status::SystemStatus& status) {
        return std::ranges::any_of(status.machines(), [](const auto& machine) { return machine.machine() == "quiet" && machine.silent(); });
    };
    ASSERT_TRUE(quietIsSilent(system.AwaitStatus(quietIsSilent, 60s)));

    qntest::ChildProcess check({"/usr/bin/python3", QN_FLEET_PAGE_CHECK, "http://127.0.0.1:" + std::to_string(system.HttpPort()) + "/", "alerted,quiet",
                                "alerted,calm-1,calm-2,calm-3,changing,quiet", "changing"},
                               installation.Path("browser.stderr"));
    std::string line = check.ReadLine();
    if (line.starts_with("waiting for a new sample")) {
        changingFreeKB = 3 << 20;
        line = check.ReadLine();
    }
    std::vector<std::string> faults;
    for (; !line.empty() && line != "PASS" && line != "FAILED"; line = check.ReadLine())
        faults.push_back(line);
    EXPECT_EQ(line, "PASS") << ::testing::PrintToString(faults) << "\n" << qntest::FileText(installation.Path("browser.stderr"));
}

}  // namespace
