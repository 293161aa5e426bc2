// A running installation scraped by a real Prometheus server on the loopback address: what the
// daemons expose reaches Prometheus' query API as the machine's own figures, and promtool
// accepts both expositions.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

#include "tests/helpers/Await.h"
#include "tests/helpers/Command.h"
#include "tests/helpers/Daemons.h"
#include "tests/helpers/MonitoredServer.h"
#include "tests/helpers/Prometheus.h"
#include "tests/helpers/Sockets.h"
#include "tests/helpers/TestInstallation.h"
#include "tests/helpers/ThisMachine.h"

namespace {

using namespace std::chrono_literals;

constexpr double kBytesPerKB = 1024.0;

TEST(Prometheus, ScrapesBothDaemonsAndReadsBackTheMachinesFreeMemoryAndAProvokedAlert)
{
    if (const std::string missing = qntest::PrometheusMissing(); !missing.empty())
        GTEST_SKIP() << missing;
    qntest::TestInstallation installation(qntest::kPlain);
    // Any machine has more than one process: the process alert (bit 0x2) stands from the first cycle.
    const qntest::BothDaemons daemons(installation, {"--process-limit", "1"});
    const auto& system = daemons.system;
    const int observerPort = daemons.resource.HttpPort();
    // A server keeping one processor busy.
    qntest::MonitoredServer busy({"--interval", "2", "--cpu", "1", "--load-after", "1"});
    ASSERT_TRUE(busy.Monitoring());
    const auto status = system.AwaitStatus([](const auto& status) { return status.machines_size() == 1 && status.machines(0).alert_state() == 2; });
    ASSERT_EQ(status.machines_size(), 1);

    for (const int port : {system.HttpPort(), observerPort}) {
        const std::string file = installation.Path("metrics-" + std::to_string(port) + ".txt");
        std::ofstream(file) << qntest::HttpGet(port, "/metrics");
        EXPECT_TRUE(qntest::Run("promtool check metrics < " + file));
    }

    // This machine's pressure at the resource observer, read while the page was made.
    const double before = qntest::PressureTotalSec("cpu", "some");
    const std::string page = qntest::HttpGet(observerPort, "/metrics");
    const double after = qntest::PressureTotalSec("cpu", "some");
    const std::string stalled = "qn_machine_pressure_stalled_seconds_total{kind=\"some\",machine=\"" + qntest::HostName() + "\",resource=\"cpu\"} ";
    const auto at = page.find(stalled);
    if (before < 0) {
        EXPECT_EQ(at, std::string::npos) << "absent where the kernel has no pressure";
    } else {
        ASSERT_NE(at, std::string::npos) << page;
        const double shown = std::stod(page.substr(at + stalled.size()));
        EXPECT_GE(shown, before - 1e-6);
        EXPECT_LE(shown, after + 1e-6);
    }

    const qntest::PrometheusServer prometheus(installation.Path("prometheus"), "global:\n  scrape_interval: 200ms\nscrape_configs:\n"
                                                                     "  - job_name: system-observer\n    static_configs:\n      - targets: ['127.0.0.1:" +
                                                                         std::to_string(system.HttpPort()) +
                                                                         "']\n"
                                                                         "  - job_name: resource-observer\n    static_configs:\n      - targets: ['127.0.0.1:" +
                                                                         std::to_string(observerPort) + "']\n");

    const std::string machine = "machine=\"" + qntest::HostName() + "\"";
    const std::string free = prometheus.AwaitQuery("qn_machine_physical_memory_available_bytes{job=\"system-observer\"," + machine + "}");
    ASSERT_FALSE(free.empty()) << "Prometheus never scraped the system observer";
    const double expected = qntest::ProcField("/proc/meminfo", "MemAvailable:") * kBytesPerKB;
    EXPECT_NEAR(std::stod(free), expected, expected * 0.1);
    // Each wait ends the test when it fails, so that the last one still fits in the test's time.
    ASSERT_EQ(prometheus.AwaitQuery("qn_machine_alert_state{job=\"system-observer\"," + machine + "}", "2"), "2");
    ASSERT_EQ(prometheus.AwaitQuery("qn_machine_alert_state{job=\"resource-observer\"," + machine + "}", "2"), "2");
    ASSERT_EQ(prometheus.AwaitQuery("qn_process_data_current{job=\"resource-observer\",process=\"qn-server-demo\"}", "1"), "1");
    for (const char* alert : {"processes", "cpu"}) {
        SCOPED_TRACE(alert);
        ASSERT_EQ(prometheus.AwaitQuery("qn_machine_alert{job=\"system-observer\"," + machine + ",alert=\"" + alert + "\"}"),
                  alert == std::string("processes") ? "1" : "0");
    }

    // rate() of the busy server's CPU counter is the CPU it really used: over the last 3 s beside
    // what /proc counted in them, window after window until they agree, since a loaded machine
    // gives the server a share that changes from one window to the next.
    const std::string cpu = "qn_process_cpu_seconds_total{job=\"resource-observer\",pid=\"" + std::to_string(busy.Pid()) + "\"}";
    ASSERT_FALSE(prometheus.AwaitQuery(cpu).empty()) << "Prometheus never scraped the busy server";
    const auto window = [&] {
        const double ticks = qntest::ProcessCpuTicks(busy.Pid());
        const auto at = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(3s);
        const double used = (qntest::ProcessCpuTicks(busy.Pid()) - ticks) / double(::sysconf(_SC_CLK_TCK)) /
                            std::chrono::duration<double>(std::chrono::steady_clock::now() - at).count();
        const std::string rate = prometheus.Query("sum(rate(" + cpu + "[3s]))");
        return std::pair{used, rate.empty() ? -1.0 : std::stod(rate)};
    };
    const auto agree = [](const std::pair<double, double>& w) { return w.first > 0.1 && std::abs(w.second - w.first) < 0.2; };
    const auto [used, rate] = qntest::Await(window, agree, 120s, 0ms);
    EXPECT_GT(used, 0.1) << "the server kept a processor busy (a share of one, on a loaded machine)";
    EXPECT_NEAR(rate, used, 0.2) << "processor seconds per second, from the counter and from /proc";
}

}  // namespace
