#include "bench/fleet/Failover.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "bench/fleet/FleetDaemon.h"
#include "bench/fleet/SimulatedMachines.h"
#include "platform/RetryDelay.h"

namespace fleet {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Real time: what the system observer does while the fleet arrives is the point.
constexpr double kTimeScale = 1.0;
constexpr auto kCycle = 5s;        // the resource observers' default cycle
constexpr auto kHostCheck = 1s;    // how often a resource observer's host looks at its link
constexpr auto kFirstSleep = 10s;  // a new worker's first sleep, at least 10 s
constexpr auto kRelink = 60s;      // the resource observers' default relink interval
constexpr auto kGiveUp = 5min;     // machines not current by then are counted as such
constexpr int kRoundsAtFirst = 2;
constexpr auto kSamplePeriod = 250ms;
constexpr size_t kSamplesASecond = 4;

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Steps at their times on one thread; steps may add steps from any thread.
class Timeline {
public:
    void At(Clock::time_point when, std::function<void()> step)
    {
        const std::lock_guard lock(m_mutex);
        m_steps.emplace(when, std::move(step));
        m_added.notify_one();
    }
    // Runs the steps as they fall due until `finished` holds or `limit` passes.
    void Run(const std::function<bool()>& finished, Clock::time_point limit)
    {
        std::unique_lock lock(m_mutex);
        while (!finished() && Clock::now() < limit) {
            if (m_steps.empty() || m_steps.begin()->first > Clock::now()) {
                m_added.wait_until(lock, m_steps.empty() ? limit : std::min(limit, m_steps.begin()->first));
                continue;
            }
            auto step = std::move(m_steps.begin()->second);
            m_mostLate = std::max(m_mostLate, Clock::now() - m_steps.begin()->first);
            m_steps.erase(m_steps.begin());
            lock.unlock();
            step();
            lock.lock();
        }
    }

    // How late a step ran at most: the simulated fleet's own lag.
    Clock::duration MostLate() const { return m_mostLate; }

private:
    std::mutex m_mutex;
    std::condition_variable m_added;
    Clock::duration m_mostLate{};
    std::multimap<Clock::time_point, std::function<void()>> m_steps;
};

// What each machine does from the kill on, and what came of it; steps run on the timeline alone.
class Return {
public:
    Return(SimulatedMachines& fleet, int machines, DWORD level, bool restart, Clock::time_point killed, int round)
        : m_fleet(fleet), m_level(level), m_restart(restart), m_killed(killed), m_round(round), m_machines(static_cast<size_t>(machines))
    {
        std::mt19937 random(std::random_device{}());
        std::uniform_int_distribution<long> phase(0, std::chrono::milliseconds(kCycle).count() - 1);
        std::uniform_int_distribution<long> check(0, std::chrono::milliseconds(kHostCheck).count() - 1);
        for (size_t i = 0; i < m_machines.size(); ++i) {
            m_machines[i].checkPhase = std::chrono::milliseconds(check(random));
            // Its next cycle's call finds the system observer gone.
            m_timeline.At(killed + std::chrono::milliseconds(phase(random)), [this, i] { Failed(i); });
        }
    }

    // The calls still in flight answer before it goes.
    ~Return()
    {
        while (m_inFlight > 0)
            std::this_thread::sleep_for(10ms);
    }
    Return(const Return&) = delete;
    Return& operator=(const Return&) = delete;

    void Run() { m_timeline.Run([this] { return m_current == m_machines.size(); }, m_killed + kGiveUp); }

    size_t Current() const { return m_current; }
    Clock::time_point LastCurrent() const { return m_lastCurrent; }
    int NeverLinked() const { return static_cast<int>(std::ranges::count_if(m_machines, [](const Machine& machine) { return !machine.linked; })); }
    int PeakMadeASecond() const { return Peak(m_made); }
    int PeakRefusedASecond() const { return Peak(m_refused); }
    double MostLateSec() const { return Seconds(m_timeline.MostLate()); }

private:
    struct Machine {
        platform::RetryDelay delay{kCycle, kRelink};
        Clock::duration checkPhase{};
        bool atFirst = true;   // the failover's lost first is named
        bool answered = true;  // by the one named: its link was made
        bool linked = false;
        bool current = false;
    };

    static int Peak(const std::map<long, int>& counts)
    {
        int peak = 0;
        for (const auto& [second, count] : counts)
            peak = std::max(peak, count);
        return peak;
    }
    // The second since the kill of `when`.
    long Second(Clock::time_point when) const { return static_cast<long>(Seconds(when - m_killed)); }

    // Its host sees the failed link at its next check and names the next system observer then if
    // the link had answered, else after the retry delay, in whole checks; the new worker links
    // after its first sleep.
    void Failed(size_t i)
    {
        Machine& machine = m_machines[i];
        const auto sinceCheck = (Clock::now() - m_killed - machine.checkPhase) % kHostCheck;
        const auto checks = std::exchange(machine.answered, false) ? 0 : machine.delay.Next() / kHostCheck;
        const auto named = Clock::now() + (kHostCheck - sinceCheck) % kHostCheck + checks * kHostCheck;
        machine.atFirst = !m_restart && !machine.atFirst;
        m_timeline.At(named + kFirstSleep, [this, i] { Link(i); });
    }

    void Link(size_t i)
    {
        if (m_machines[i].atFirst)
            return Failed(i);
        ++m_inFlight;
        m_fleet.Link(i, m_level, [this, i](bool answered) {
            // Counted in the second it answered, not in the one its step runs, late or not.
            m_timeline.At(Clock::now(), [this, i, answered, second = Second(Clock::now())] { Linked(i, answered, second); });
            --m_inFlight;
        });
    }

    void Linked(size_t i, bool answered, long second)
    {
        Machine& machine = m_machines[i];
        ++(answered ? m_made : m_refused)[second];
        if (!answered)
            return Failed(i);
        machine.linked = machine.answered = true;
        machine.delay.Reset();
        m_timeline.At(Clock::now() + kCycle, [this, i] { Report(i, m_round); });
    }

    // Sent every cycle until the whole fleet is current.
    void Report(size_t i, int round)
    {
        ++m_inFlight;
        m_fleet.Report(i, round, [this, i, round](bool taken) {
            m_timeline.At(Clock::now(), [this, i, round, taken] { Reported(i, round, taken); });
            --m_inFlight;
        });
    }

    void Reported(size_t i, int round, bool taken)
    {
        Machine& machine = m_machines[i];
        if (!taken)
            return Failed(i);
        if (!machine.current) {
            machine.current = true;
            ++m_current;
            m_lastCurrent = Clock::now();
        }
        m_timeline.At(Clock::now() + kCycle, [this, i, round] { Report(i, round + 1); });
    }

    SimulatedMachines& m_fleet;
    DWORD m_level;
    bool m_restart;
    Clock::time_point m_killed;
    int m_round;
    std::vector<Machine> m_machines;
    Timeline m_timeline;
    std::atomic<size_t> m_current{0};
    std::atomic<long> m_inFlight{0};
    Clock::time_point m_lastCurrent;
    std::map<long, int> m_made, m_refused;  // links by the second since the kill
};

void MeasureOne(const Programs& programs, DWORD level, int machines, bool restart)
{
    std::unique_ptr<FleetDaemon> second;
    if (!restart)
        second = std::make_unique<FleetDaemon>(programs, level, kTimeScale, machines * 2);
    FleetDaemon first(programs, level, kTimeScale, machines * 2);  // the registry now names the first
    FleetDaemon& taking = restart ? first : *second;
    SimulatedMachines fleet(machines, level, kCycle);
    int round = 1;
    long failedBefore = 0;
    for (int i = 0; i < kRoundsAtFirst; ++i) {
        const auto start = Clock::now();
        failedBefore += fleet.Round(round++);
        std::this_thread::sleep_until(start + kCycle);
    }
    const int currentAtFirst = first.CurrentMachines();

    const auto killed = Clock::now();
    if (restart)
        first.Restart();
    else {
        first.Kill();
        second->UseItsRegistry();
    }
    const double cpuBefore = taking.CpuMs(), rssBefore = taking.RssKB();
    // The busiest second and largest RSS while the fleet arrives, read four times a second.
    std::atomic<bool> arrived{false};
    double busiestCores = 0, peakRssKB = 0;
    std::thread sampler([&] {
        std::vector<double> cpu{taking.CpuMs()};
        for (; !arrived; std::this_thread::sleep_for(kSamplePeriod)) {
            cpu.push_back(taking.CpuMs());
            const size_t window = std::min(cpu.size() - 1, kSamplesASecond);
            busiestCores = std::max(busiestCores, (cpu.back() - cpu[cpu.size() - 1 - window]) / 1000);
            peakRssKB = std::max(peakRssKB, taking.RssKB());
        }
    });
    Return arrival(fleet, machines, level, restart, killed, round);
    arrival.Run();
    arrived = true;
    sampler.join();
    const double cpuMs = taking.CpuMs() - cpuBefore, rssKB = taking.RssKB();
    const double untilCurrent = Seconds(arrival.LastCurrent() - killed);
    const double arrivalSec = untilCurrent - Seconds(kFirstSleep);  // idle until the first links

    const char* whom = restart ? "the restarted one" : "the second";
    std::printf("-- %d machines, each on its own connection: %s\n", machines, restart ? "the only system observer restarted" : "failover to the second");
    std::printf("%-62s %10d\n", "machines current before the SIGKILL", currentAtFirst);
    std::printf("%-62s %10zu\n", (std::string("machines current at ") + whom).c_str(), arrival.Current());
    std::printf("%-62s %10d\n", "  read from its /status", taking.CurrentMachines());
    std::printf("%-62s %10d\n", "machines that never linked", arrival.NeverLinked());
    if (arrival.Current() == static_cast<size_t>(machines)) {
        std::printf("%-62s %10.2f\n", "from the SIGKILL until every machine is current, s", untilCurrent);
        std::printf("%-62s %10.2f\n", "  in cycles of 5 s (goal: 12)", untilCurrent / Seconds(kCycle));
    }
    std::printf("%-62s %10d\n", "links made a second at the peak", arrival.PeakMadeASecond());
    std::printf("%-62s %10d\n", "links refused or failed a second at the peak", arrival.PeakRefusedASecond());
    std::printf("%-62s %10.0f\n", "handshakes it refused unheard (its /metrics)", taking.Counter("qn_transport_handshakes_refused_total"));
    std::printf("%-62s %10.0f\n", "its CPU while the fleet arrives, ms", cpuMs);
    std::printf("%-62s %10.2f\n", "  cores busy over the arrival (first link to last answer)", cpuMs / 1000 / arrivalSec);
    std::printf("%-62s %10.2f\n", "  cores busy in its busiest second", busiestCores);
    std::printf("%-62s %10.1f\n", "its RSS once every machine arrived, MB", rssKB / 1024);
    std::printf("%-62s %10.1f\n", "  at most while it arrived, MB", peakRssKB / 1024);
    std::printf("%-62s %10.1f\n", "  grown by the arrival, KB a machine", (rssKB - rssBefore) / machines);
    std::printf("%-62s %10ld\n", "calls failed before the SIGKILL", failedBefore);
    std::printf("%-62s %10.2f\n", "the simulated machines' steps late by at most, s", arrival.MostLateSec());
    std::fflush(stdout);
}

}  // namespace

void MeasureReturn(const Programs& programs, DWORD level, const std::vector<int>& sizes, bool restart)
{
    for (const int machines : sizes)
        MeasureOne(programs, level, machines, restart);
}

}  // namespace fleet
