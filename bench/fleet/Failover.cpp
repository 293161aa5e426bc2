#include "bench/fleet/Failover.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "bench/fleet/FleetDaemon.h"
#include "bench/fleet/SimulatedMachines.h"

namespace fleet {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Real time: what the second system observer does while the fleet arrives is the point.
constexpr double kTimeScale = 1.0;
constexpr auto kCycle = 5s;       // the resource observers' default cycle
constexpr auto kHostCheck = 1s;   // how often a resource observer's host looks at its link
constexpr auto kFirstSleep = 10s;  // a new worker's first sleep, at least 10 s
constexpr int kRoundsAtFirst = 2;
// The machines' cycles are spread over a cycle, and their hosts' checks over a second: each
// bucket of machines is one phase of both.
constexpr int kBuckets = 50;
constexpr int kCheckPhaseStride = 7;  // prime to kBuckets: the check phase doesn't follow the cycle phase
constexpr auto kSamplePeriod = 250ms;
constexpr size_t kSamplesASecond = 4;

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

void MeasureOne(const Programs& programs, DWORD level, int machines)
{
    FleetDaemon second(programs, level, kTimeScale, machines * 2);
    FleetDaemon first(programs, level, kTimeScale, machines * 2);  // the registry now names the first
    SimulatedMachines fleet(machines, level, kCycle);
    int round = 1;
    long failedBefore = 0;
    for (int i = 0; i < kRoundsAtFirst; ++i) {
        const auto start = Clock::now();
        failedBefore += fleet.Round(round++);
        std::this_thread::sleep_until(start + kCycle);
    }
    const int currentAtFirst = first.CurrentMachines();
    const double cpuBefore = second.CpuMs(), rssBefore = second.RssKB();

    first.Kill();
    const auto killed = Clock::now();
    second.UseItsRegistry();
    std::atomic<long> failedAtFirst{0}, failedAtSecond{0};
    std::atomic<int> notLinked{0}, bucketsArrived{0};
    std::mutex lastMutex;
    Clock::time_point lastAnswered = killed;
    // The second's busiest second and largest RSS while the fleet arrives, read four times a second.
    std::atomic<bool> arrived{false};
    double busiestCores = 0, peakRssKB = 0;
    std::thread sampler([&] {
        std::vector<double> cpu{second.CpuMs()};
        for (; !arrived; std::this_thread::sleep_for(kSamplePeriod)) {
            cpu.push_back(second.CpuMs());
            const size_t window = std::min(cpu.size() - 1, kSamplesASecond);
            busiestCores = std::max(busiestCores, (cpu.back() - cpu[cpu.size() - 1 - window]) / 1000);
            peakRssKB = std::max(peakRssKB, second.RssKB());
        }
    });
    std::vector<std::thread> buckets;
    for (int bucket = 0; bucket < kBuckets; ++bucket)
        buckets.emplace_back([&, bucket] {
            const size_t from = static_cast<size_t>(machines) * bucket / kBuckets, to = static_cast<size_t>(machines) * (bucket + 1) / kBuckets;
            std::this_thread::sleep_until(killed + kCycle * bucket / kBuckets);
            failedAtFirst += fleet.Round(round, from, to);
            std::this_thread::sleep_for(kHostCheck * (bucket * kCheckPhaseStride % kBuckets) / kBuckets + kFirstSleep);
            notLinked += fleet.Reopen(level, from, to);
            std::this_thread::sleep_for(kCycle);
            failedAtSecond += fleet.Round(round + 1, from, to);
            {
                const std::lock_guard lock(lastMutex);
                lastAnswered = std::max(lastAnswered, Clock::now());
            }
            // Arrived, the machines go on reporting every cycle until the whole fleet is there.
            ++bucketsArrived;
            for (int next = round + 2; bucketsArrived < kBuckets; ++next) {
                std::this_thread::sleep_for(kCycle);
                failedAtSecond += fleet.Round(next, from, to);
            }
        });
    for (auto& bucket : buckets)
        bucket.join();
    arrived = true;
    sampler.join();
    const double cpuMs = second.CpuMs() - cpuBefore, rssKB = second.RssKB();
    const int currentAtSecond = second.CurrentMachines();
    const double untilCurrent = Seconds(lastAnswered - killed);
    // The second is idle until the first machines link after their first sleep.
    const double arrivalSec = untilCurrent - Seconds(kFirstSleep);

    std::printf("-- %d machines, each on its own connection\n", machines);
    std::printf("%-62s %10d\n", "machines current at the first before its SIGKILL", currentAtFirst);
    std::printf("%-62s %10.2f\n", "from the SIGKILL until every machine is current at the second, s", untilCurrent);
    std::printf("%-62s %10.2f\n", "  in cycles of 5 s (goal: 6)", untilCurrent / Seconds(kCycle));
    std::printf("%-62s %10d\n", "machines current at the second, read from its /status", currentAtSecond);
    std::printf("%-62s %10d\n", "machines that could not link to the second within a minute", notLinked.load());
    std::printf("%-62s %10.0f\n", "second's CPU while the fleet arrives, ms", cpuMs);
    std::printf("%-62s %10.2f\n", "  cores busy over the arrival (first link to last answer)", cpuMs / 1000 / arrivalSec);
    std::printf("%-62s %10.2f\n", "  cores busy in its busiest second", busiestCores);
    std::printf("%-62s %10.1f\n", "second's RSS once every machine arrived, MB", rssKB / 1024);
    std::printf("%-62s %10.1f\n", "  at most while it arrived, MB", peakRssKB / 1024);
    std::printf("%-62s %10.1f\n", "  grown by the arrival, KB a machine", (rssKB - rssBefore) / machines);
    std::printf("%-62s %10ld\n", "calls failed, but for those at the lost first", failedBefore + failedAtSecond.load());
    std::printf("%-62s %10ld\n", "calls that found the first gone", failedAtFirst.load());
    std::fflush(stdout);
}

}  // namespace

void MeasureFailover(const Programs& programs, DWORD level, const std::vector<int>& sizes)
{
    for (const int machines : sizes)
        MeasureOne(programs, level, machines);
}

}  // namespace fleet
