// fleet_page: what the system observer's page costs at fleet size: a real system observer, N
// machines that report for as many cycles as a sparkline shows, and the page read as a browser
// reads it:
//   fleet_page [--machines 1000,10000] [--programs DIR]
// prints, for each N, the first render in headless Chromium (scripts/browser.py), the bytes of the
// first load and of a refresh (gzip, as browsers ask), the system observer's CPU and time for a
// refresh, in the order of those that need a look and sorted by a column. bench/trend_ring tells
// what the trend ring costs a machine.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/fleet/FleetDaemon.h"
#include "bench/fleet/SimulatedMachines.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kTimeScale = 0.05;  // a cycle of 5 s takes 250 ms
constexpr auto kCycle = std::chrono::milliseconds(250);
constexpr int kRefreshes = 10;
constexpr int kRingCycles = 120;  // what a sparkline shows
const std::string kRefresh = "/fleet?offset=0&limit=100";
const std::string kSortedRefresh = "/fleet?offset=0&limit=100&sort=cpu&order=desc";

struct Answer {
    double bytes = 0;     // as sent
    double ms = 0;
};

struct Refreshes {
    Answer last;
    double cpuMs = 0;     // the system observer's, a refresh
    double medianMs = 0;  // until answered
};

// `path` as sent to a client that asks for `encoding`.
Answer Get(int port, const std::string& path, const char* encoding = "gzip, deflate")
{
    httplib::Client client("127.0.0.1", port);
    client.set_decompress(false);
    client.set_read_timeout(60);
    const auto start = Clock::now();
    const auto response = client.Get(path, {{"Accept-Encoding", encoding}});
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!response || response->status != 200)
        std::fprintf(stderr, "fleet_page: GET %s failed\n", path.c_str());
    return {response ? static_cast<double>(response->body.size()) : 0, ms};
}

Refreshes Refresh(const fleet::FleetDaemon& daemon, const std::string& path)
{
    const double cpuBefore = daemon.CpuMs();
    std::vector<double> times;
    Refreshes refreshes;
    for (int i = 0; i < kRefreshes; ++i) {
        refreshes.last = Get(daemon.HttpPort(), path);
        times.push_back(refreshes.last.ms);
    }
    refreshes.cpuMs = (daemon.CpuMs() - cpuBefore) / kRefreshes;
    std::ranges::sort(times);
    refreshes.medianMs = times[times.size() / 2];
    return refreshes;
}

void Measure(const fleet::Programs& programs, int machines)
{
    fleet::FleetDaemon daemon(programs, RPC_C_AUTHN_LEVEL_NONE, kTimeScale, machines * 2);
    // A sample each cycle for as many cycles as the ring keeps: full sparklines.
    long failed = 0;
    for (int cycle = 0; cycle < kRingCycles; ++cycle) {
        const auto start = Clock::now();
        failed += fleet::SimulatedMachines::FillOverOneConnection(machines, 1, RPC_C_AUTHN_LEVEL_NONE);
        std::this_thread::sleep_until(start + kCycle);
    }
    failed += fleet::SimulatedMachines::FillOverOneConnection(machines, 1, RPC_C_AUTHN_LEVEL_NONE);
    const int port = daemon.HttpPort();
    double firstLoad = 0;
    for (const char* file : {"/", "/page.css", "/page.js", "/uPlot.min.js", "/uPlot.min.css"})
        firstLoad += Get(port, file).bytes;
    const Refreshes refresh = Refresh(daemon, kRefresh);
    const Refreshes sorted = Refresh(daemon, kSortedRefresh);
    const double uncompressed = Get(port, kRefresh, "identity").bytes;
    // A round of samples just before the browser starts: a daemon drops a fleet silent for 31
    // cycles (under 8 s here), which a slow start of Chromium on a busy machine would outlast.
    failed += fleet::SimulatedMachines::FillOverOneConnection(machines, 1, RPC_C_AUTHN_LEVEL_NONE);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    const std::string browser = std::string(QN_SOURCE_DIR) + "/scripts/browser.py first-render " + url + " --rows " + std::to_string(std::min(machines, 100));
    std::string render = "-";
    if (FILE* output = ::popen(browser.c_str(), "r")) {
        char line[64] = "";
        if (std::fgets(line, sizeof line, output) != nullptr)
            render = std::string(line, std::strcspn(line, "\n"));
        ::pclose(output);
    }
    std::printf("%8d machines: first render %s ms; first load %.1f KB; refresh %.1f KB (%.1f KB uncompressed), system observer CPU %.1f ms, answered in %.1f ms (median); "
                "sorted by CPU: CPU %.1f ms (%.2fx), answered in %.1f ms; %ld failed calls\n",
                machines, render.c_str(), firstLoad / 1024, refresh.last.bytes / 1024, uncompressed / 1024, refresh.cpuMs, refresh.medianMs, sorted.cpuMs,
                sorted.cpuMs / refresh.cpuMs, sorted.medianMs, failed);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<int> sizes{1000, 10000};
    fleet::Programs programs{std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "hosts"};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--machines") {
            sizes.clear();
            for (std::string list = argv[i + 1]; !list.empty();) {
                sizes.push_back(std::stoi(list));
                list = list.find(',') == std::string::npos ? "" : list.substr(list.find(',') + 1);
            }
        } else if (flag == "--programs") {
            programs.folder = argv[i + 1];
        }
    }
    const auto callbackThreads = fleet::HoldCallbackThreads();
    for (int machines : sizes)
        Measure(programs, machines);
    return 0;
}
