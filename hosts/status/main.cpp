// qn-status: prints what a system resource observer knows, one row per machine, from its HTTP
// status on this machine; --json prints the status as the daemon serves it. --silent, --alert and
// --machine ask the daemon for those machines alone, so that a large fleet's status stays small.
#include <CLI/CLI.hpp>
#include <google/protobuf/util/json_util.h>
#include <httplib.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "hosts/common/LoopbackHttp.h"
#include "hosts/common/SystemObserverStatus.pb.h"

namespace {

constexpr double kKBPerMB = 1024.0;

// "2 (qn-server-demo 1234 at 14:02:11)", "0", or "-" from a resource observer that doesn't count them.
std::string OomKills(const qn::status::MachineStatus& machine)
{
    if (!machine.has_oom_kills())
        return "-";
    const qn::status::OomKillStatus& kills = machine.oom_kills();
    if (kills.kill_count() == 0)
        return "0";
    const auto at = static_cast<std::time_t>(kills.last_victim_time_sec());
    std::tm local{};
    char time[16] = "";
    if (::localtime_r(&at, &local) != nullptr)
        std::strftime(time, sizeof time, "%H:%M:%S", &local);
    return std::to_string(kills.kill_count()) + " (" + kills.last_victim() + (kills.last_victim_pid() != 0 ? " " + std::to_string(kills.last_victim_pid()) : "") +
           " at " + time + ")";
}

void PrintTable(const qn::status::SystemStatus& status, bool chosen)
{
    std::printf("%-16s %-7s %6s %14s %14s %7s %8s %7s %-36s  %s\n", "MACHINE", "DATA", "CPU %", "FREE PHYS MB", "FREE COMMIT MB", "PROCS", "HANDLES",
                "AGE s", "OOM KILLS (LAST VICTIM)", "LAST ALERT");
    for (const auto& machine : status.machines()) {
        char cpu[16] = "-";
        if (machine.has_cpu_load_percent())
            std::snprintf(cpu, sizeof cpu, "%.1f", machine.cpu_load_percent());
        std::printf("%-16s %-7s %6s %14.0f %14.0f %7u %8u %7.1f %-36s  %s\n", machine.machine().c_str(), machine.current() ? "current" : "stale", cpu,
                    machine.avail_physical_kb() / kKBPerMB, machine.avail_page_file_kb() / kKBPerMB, machine.process_count(), machine.handle_count(),
                    machine.newest_sample_age_sec(), OomKills(machine).c_str(), machine.alert_state() == 0 ? "-" : machine.alert_text().c_str());
    }
    if (status.machines_size() == 0)
        std::printf(chosen ? "(no such machine)\n" : "(no machine known)\n");
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Prints what the system resource observer on this machine knows."};
    int port = hosts::kSystemObserverStatusPort;
    bool json = false;
    bool silent = false;
    bool alert = false;
    std::string machine;
    app.add_option("--status-port", port, "Loopback port of the system observer's HTTP status")->capture_default_str()->check(CLI::Range(1, 65535));
    app.add_flag("--json", json, "Print the status as JSON");
    auto* silentFlag = app.add_flag("--silent", silent, "Only the machines that sent no sample for the stale number of cycles");
    app.add_flag("--alert", alert, "Only the machines with an alert")->excludes(silentFlag);
    app.add_option("--machine", machine, "Only this machine (in any case)");
    CLI11_PARSE(app, argc, argv);

    httplib::Params query;
    if (silent || alert)
        query.emplace("only", silent ? "silent" : "alert");
    if (!machine.empty())
        query.emplace("machine", machine);
    const std::string path = query.empty() ? "/status" : httplib::append_query_params("/status", query);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2);
    const auto response = client.Get(path);
    if (!response) {
        std::fprintf(stderr, "qn-status: no system resource observer answers on %s (%s)\n", url.c_str(), httplib::to_string(response.error()).c_str());
        return 1;
    }
    if (response->status != 200) {
        std::fprintf(stderr, "qn-status: %s answered HTTP %d\n", url.c_str(), response->status);
        return 1;
    }
    if (json) {
        std::fputs(response->body.c_str(), stdout);
        return 0;
    }
    qn::status::SystemStatus status;
    if (!google::protobuf::util::JsonStringToMessage(response->body, &status).ok()) {
        std::fprintf(stderr, "qn-status: %s is not a system observer's status\n", url.c_str());
        return 1;
    }
    PrintTable(status, !query.empty());
    return 0;
}
