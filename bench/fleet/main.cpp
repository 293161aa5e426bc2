// fleet: a real system observer and N simulated resource observers, each machine on a TCP
// connection of its own, plain and with mutual TLS; for each N one table of what the fleet costs
// the system observer, with the growth from each N to the next:
//   fleet [--machines 1000,5000,10000] [--programs DIR] [--tls only|no|both] [--failover|--restart]
// --failover measures instead the move of the fleet to a second system observer when the first is
// lost, --restart its return to the only one killed and started again (bench/fleet/Failover.h),
// by default at 1,000 and 10,000 machines.
// DIR holds qn-system-resource-observer and qn-status (default: the build's hosts/). The bench
// raises its own descriptor limit to the hard limit (the daemon it starts inherits it), speaks
// only to 127.0.0.1 and removes what it made.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/fleet/Failover.h"
#include "bench/fleet/FleetDaemon.h"
#include "bench/fleet/SimulatedMachines.h"
#include "interfaces/QNResourceObserverInterfaces.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSamplesKept = 4;
constexpr double kTimeScale = 0.1;  // the daemon's cycle of 5 s takes 0.5 s
constexpr double kCycleMs = 5000;   // unscaled
constexpr int kWarmUpRounds = 2;
constexpr int kMeasuredRounds = 6;
constexpr int kSilentShare = 100;  // one machine in this many reports once and falls silent
constexpr int kMostSettlingReads = 20;
// The daemon lets a connection go after 120 scaled seconds without a call.
constexpr std::chrono::milliseconds kKeepAlive{static_cast<long>(120000 * kTimeScale / 4)};

// Figures by row name, one column a fleet size, rows in the order first measured.
class Table {
public:
    // A NaN (what could not be measured) leaves the cell empty.
    void Set(const std::string& row, int column, double value)
    {
        if (std::isnan(value))
            return;
        if (!m_values.contains(row))
            m_rows.push_back(row);
        m_values[row][column] = value;
    }
    void Print(const std::vector<int>& sizes) const
    {
        std::printf("%-52s", "");
        for (int size : sizes)
            std::printf(" %10d", size);
        for (size_t i = 1; i < sizes.size(); ++i)
            std::printf("  %6s", ("x" + std::to_string(sizes[i] / sizes[i - 1])).c_str());
        std::printf("\n");
        for (const std::string& row : m_rows) {
            const auto& values = m_values.at(row);
            std::printf("%-52s", row.c_str());
            for (size_t i = 0; i < sizes.size(); ++i)
                values.contains(static_cast<int>(i)) ? std::printf(" %10.2f", values.at(static_cast<int>(i))) : std::printf(" %10s", "-");
            for (size_t i = 1; i < sizes.size(); ++i) {
                const auto from = values.find(static_cast<int>(i - 1));
                const auto to = values.find(static_cast<int>(i));
                if (from != values.end() && to != values.end() && from->second > 0)
                    std::printf("  %6.2f", to->second / from->second);
                else
                    std::printf("  %6s", "-");
            }
            std::printf("\n");
        }
    }

private:
    std::vector<std::string> m_rows;
    std::map<std::string, std::map<int, double>> m_values;
};

double Since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One fleet size in one mode: column `column` of `table`.
void Measure(const fleet::Programs& programs, DWORD level, int machines, int column, Table& table)
{
    fleet::FleetDaemon daemon(programs, level, kTimeScale, machines * 2);
    const int silent = machines / kSilentShare;
    const double base = daemon.SettledRssKB();
    long failed = 0;
    double open = 0;
    {
        // The intake's threads and buffers grow with the calls in flight: they are warmed up on
        // one machine first, so that the next readings differ by the kept data alone.
        failed += fleet::SimulatedMachines::FillOverOneConnection(1, kSamplesKept * 1000, level);
        const double empty = daemon.SettledRssKB();
        failed += fleet::SimulatedMachines::FillOverOneConnection(machines + silent, kSamplesKept, level);
        const auto filled = Clock::now();
        const double withData = daemon.SettledRssKB();
        table.Set("RSS of the kept data, 4 samples a machine, KB a machine", column, (withData - empty) / (machines + silent));
        const auto connecting = Clock::now();
        const double cpuConnecting = daemon.CpuMs();
        fleet::SimulatedMachines fleetMachines(machines, level, kKeepAlive);
        table.Set("connecting every machine, s", column, Since(connecting) / 1000);
        table.Set("  system observer's CPU a connection, ms", column, (daemon.CpuMs() - cpuConnecting) / machines);
        table.Set("machines connected", column, fleetMachines.Connected());
        table.Set("RSS of the connections, KB a machine", column, (daemon.SettledRssKB() - withData) / machines);
        int round = kSamplesKept + 1;
        for (int i = 0; i < kWarmUpRounds; ++i)
            failed += fleetMachines.Round(round++);
        // Measured rounds at the daemon's scaled cycle, and on until the silent ones are silent.
        const auto cycle = std::chrono::duration<double, std::milli>(kCycleMs * kTimeScale);
        const double cpuBefore = daemon.CpuMs();
        double roundsMs = 0;
        for (int i = 0; i < kMeasuredRounds || Clock::now() - filled < daemon.Silence() * 1.2; ++i) {
            const auto start = Clock::now();
            failed += fleetMachines.Round(round++);
            roundsMs += Since(start);
            if (i + 1 == kMeasuredRounds) {
                const double cpu = (daemon.CpuMs() - cpuBefore) / kMeasuredRounds;
                table.Set("system observer's CPU per cycle, ms", column, cpu);
                table.Set("  share of a 5 s cycle, %", column, cpu / kCycleMs * 100);
                table.Set("  every machine's call answered, ms", column, roundsMs / kMeasuredRounds);
            }
            std::this_thread::sleep_until(start + cycle);
        }
        table.Set("RSS after the rounds, KB a machine", column, (daemon.RssKB() - base) / machines);
        // A break of every link: each machine connects again, resuming its TLS session.
        const auto reconnecting = Clock::now();
        const double cpuReconnecting = daemon.CpuMs();
        failed += fleetMachines.ReopenAll(level);
        table.Set("connecting every machine again, s", column, Since(reconnecting) / 1000);
        table.Set("  system observer's CPU a connection made again, ms", column, (daemon.CpuMs() - cpuReconnecting) / machines);

        for (const auto& [row, query] : std::vector<std::pair<std::string, std::string>>{{"/status", ""},
                                                                                          {"/status?only=silent", "?only=silent"},
                                                                                          {"/status?only=alert", "?only=alert"},
                                                                                          {"/status?machine=NAME", "?machine=" + fleet::MachineName(7)},
                                                                                          {"/metrics", ""}}) {
            const auto page = daemon.Get(row.starts_with("/metrics") ? "/metrics" : "/status" + query);
            table.Set(row + ", ms", column, page.ms);
            table.Set(row + ", KB", column, page.bytes / 1024.0);
        }
        for (const auto& [row, options] : std::vector<std::pair<std::string, std::vector<std::string>>>{
                 {"qn-status, ms", {}}, {"qn-status --silent, ms", {"--silent"}}, {"qn-status --machine NAME, ms", {"--machine", fleet::MachineName(7)}}})
            table.Set(row, column, daemon.RunStatus(options));
        open = daemon.RssKB();
    }
    // Thousands of closing connections keep the daemon busy for a while: read once a period of
    // returning memory until one returns less than 1 % of what the fleet had.
    double closed = daemon.SettledRssKB();
    for (int read = 1; read < kMostSettlingReads; ++read) {
        const double previous = std::exchange(closed, daemon.SettledRssKB());
        if (previous - closed < (open - base) / 100)
            break;
    }
    table.Set("RSS after every connection closed, KB a machine", column, (closed - base) / machines);
    table.Set("  returned of what the fleet had, %", column, (open - closed) / (open - base) * 100);
    table.Set("failed calls", column, static_cast<double>(failed));
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<int> sizes;
    std::string tls = "both";
    fleet::Programs programs{std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "hosts"};
    bool failover = false, restart = false;
    CLI::App app("A real system observer and a simulated fleet of machines, each on a connection of its own.");
    app.add_option("--machines", sizes, "fleet sizes (default 1000,5000,10000; 1000,10000 with --failover or --restart)")->delimiter(',');
    app.add_option("--programs", programs.folder, "the folder of qn-system-resource-observer and qn-status");
    app.add_option("--tls", tls, "plain TCP, mutual TLS or both")->check(CLI::IsMember({"only", "no", "both"}));
    app.add_flag("--failover", failover, "the fleet's move to a second system observer when the first is lost");
    app.add_flag("--restart", restart, "the fleet's return to the only system observer, killed and started again");
    CLI11_PARSE(app, argc, argv);
    fleet::RaiseOwnDescriptorLimit();
    const auto callbackThreads = fleet::HoldCallbackThreads();
    std::vector<std::pair<const char*, DWORD>> modes;
    if (tls != "only")
        modes.emplace_back("plain TCP", RPC_C_AUTHN_LEVEL_NONE);
    if (tls != "no")
        modes.emplace_back("mutual TLS", RPC_C_AUTHN_LEVEL_CONNECT);
    for (const auto& [mode, level] : modes) {
        if (failover || restart) {
            std::printf("== %s, %s, programs of %s\n", restart ? "restart" : "failover", mode, programs.folder.c_str());
            fleet::MeasureReturn(programs, level, sizes.empty() ? std::vector<int>{1000, 10000} : sizes, restart);
            continue;
        }
        if (sizes.empty())
            sizes = {1000, 5000, 10000};
        Table table;
        for (size_t i = 0; i < sizes.size(); ++i)
            Measure(programs, level, sizes[i], static_cast<int>(i), table);
        std::printf("== %s, programs of %s\n", mode, programs.folder.c_str());
        table.Print(sizes);
        std::fflush(stdout);
    }
    return 0;
}
