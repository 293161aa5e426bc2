// A fleet that lost its system observer at once: its waits spread over their whole limit, growing,
// capped; the handshakes it brings beyond the bound refused until places come free; each machine
// moving on at once from a link that answered, after its wait from one that did not.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "hosts/resource-observer/SystemObserverChoice.h"
#include "interfaces/QNError64.h"
#include "platform/RetryDelay.h"
#include "platform/transport/HandshakeGate.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kSpread = 5000ms;
constexpr auto kCeiling = 60000ms;
constexpr int kClients = 2000;

TEST(RetryDelay, EachFailureInARowSpreadsAFleetOverALongerTimeUpToTheCeilingAndASuccessStartsOver)
{
    std::vector<platform::RetryDelay> fleet;  // each seeded on its own, as each machine's is
    for (int i = 0; i < kClients; ++i)
        fleet.emplace_back(kSpread, kCeiling);
    double lastMean = 0;
    for (const auto limit : {kSpread, kSpread * 2, kSpread * 4, kSpread * 8, kCeiling, kCeiling}) {
        SCOPED_TRACE(limit.count());
        std::vector<double> waits;
        for (auto& client : fleet)
            waits.push_back(static_cast<double>(client.Next().count()));
        const auto [least, most] = std::ranges::minmax(waits);
        const double mean = std::accumulate(waits.begin(), waits.end(), 0.0) / kClients;
        EXPECT_LT(most, limit.count());
        // Over the whole limit: the first and the last tenth are reached, the middle is the mean.
        EXPECT_LT(least, limit.count() * 0.1);
        EXPECT_GT(most, limit.count() * 0.9);
        EXPECT_NEAR(mean, limit.count() * 0.5, limit.count() * 0.1);
        EXPECT_GT(mean, lastMean * (limit == kCeiling ? 0.8 : 1.5)) << "grows until the ceiling";
        lastMean = mean;
    }
    for (auto& client : fleet)
        client.Reset();
    EXPECT_TRUE(std::ranges::all_of(fleet, [](auto& client) { return client.Next() < kSpread; })) << "after a success, a first failure again";
}

TEST(HandshakeGate, HandshakesBeyondTheBoundAreRefusedUntilOneEndsOrOneWhoseEndWentUnseenGivesUpItsPlace)
{
    const auto at = [start = std::chrono::steady_clock::now()](auto since) { return start + since; };
    transport::HandshakeGate gate(2, 2s);
    EXPECT_TRUE(gate.Admit(at(0s)) && gate.Admit(at(1s)));
    EXPECT_FALSE(gate.Admit(at(1s))) << "beyond the bound";
    gate.Finished();
    EXPECT_TRUE(gate.Admit(at(1500ms))) << "one ended";
    EXPECT_FALSE(gate.Admit(at(2999ms)));
    EXPECT_TRUE(gate.Admit(at(3s))) << "the one of 1 s, never seen to end, gave up its place";
    EXPECT_FALSE(gate.Admit(at(3s))) << "the one of 1.5 s still holds its place";
}

// The machine the choice names next, with the host's checks it took, the links made staying as
// they are; none after a thousand checks.
std::pair<std::string, int> NextNamed(hosts::SystemObserverChoice& choice, unsigned long long linksMade)
{
    for (int checks = 1; checks <= 1000; ++checks)
        if (auto named = choice.AfterCheck(false, linksMade))
            return {*named, checks};
    return {"", 1000};
}

TEST(SystemObserverChoice, ALinkThatAnsweredMovesOnAtTheNextCheckOneThatDidNotAfterAWaitThatGrowsUntilALinkAnswers)
{
    constexpr unsigned kCycle = 5, kRelink = 60;  // seconds, a check each
    constexpr int kMachines = 200;
    XQNLogbookCapture logbook;
    std::vector<hosts::SystemObserverChoice> fleet;  // each seeded on its own
    for (int i = 0; i < kMachines; ++i)
        fleet.emplace_back(std::vector<std::string>{"a", "b"}, kCycle, kRelink);
    const auto mostChecks = [&](const std::string& expected, unsigned long long linksMade) {
        int most = 0;
        for (auto& choice : fleet) {
            const auto [named, checks] = NextNamed(choice, linksMade);
            EXPECT_EQ(named, expected);
            most = std::max(most, checks);
        }
        return most;
    };
    for (auto& choice : fleet)
        EXPECT_FALSE(choice.AfterCheck(true, 1)) << "linked: stays";
    EXPECT_EQ(mostChecks("b", 1), 1) << "'a' answered: left at once";
    EXPECT_LE(mostChecks("a", 1), static_cast<int>(kCycle)) << "'b' never answered: within a cycle";
    int longest = 0;
    for (const char* next : {"b", "a", "b", "a"})
        longest = std::max(longest, mostChecks(next, 1));
    EXPECT_GT(longest, static_cast<int>(kCycle)) << "grows";
    EXPECT_LE(longest, static_cast<int>(kRelink)) << "capped";
    EXPECT_EQ(mostChecks("b", 2), 1) << "'a' answered";
    EXPECT_LE(mostChecks("a", 2), static_cast<int>(kCycle)) << "an answer starts the waits over";

    const auto logged = [&](const std::string& start) {
        return std::ranges::count_if(logbook.Entries(), [&](const XQNLogEntry& entry) { return entry.message.starts_with(start); });
    };
    EXPECT_EQ(logged("the link to the system observer on 'a' failed - reporting to the system observer on 'b' now"), kMachines * 4);
    EXPECT_EQ(logged("no system observer answered"), kMachines * 2) << "once both failed in a row";
    EXPECT_EQ(logged("no system observer answered, the last on 'a' - trying 'b' after a wait of at most the relink interval"), kMachines * 2);
}

}  // namespace
