// A fleet that lost its system observer at once: its waits spread over their whole limit, growing,
// capped; the handshakes it brings beyond the bound refused until places come free.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

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

}  // namespace
