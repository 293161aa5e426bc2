// FleetDaemon is the system observer under test: a real qn-system-resource-observer on a free
// loopback port, started with its own registry file (which this process uses too, so that its
// connections find the daemon) and, for authentication levels above 1, certificates of a CA made
// for the run. It reads the daemon's RSS and CPU from /proc and times its pages and qn-status.
// The daemon is stopped and every file removed when the object goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/transport/Activation.h"

namespace fleet {

struct Programs {
    std::filesystem::path folder;  // holds qn-system-resource-observer and qn-status
};

// A certificate and its key, signed by a CA of its own; all three PEM files.
struct Certificates {
    std::filesystem::path ca, certificate, key;
};
// Makes in `folder` a CA and a certificate it signs for localhost and 127.0.0.1, P-256 keys by
// default; the file names start with `name`.
Certificates MakeCertificates(const std::filesystem::path& folder, const std::string& name);

// Raises this process's descriptor limit to the hard limit; the daemons it starts inherit it.
void RaiseOwnDescriptorLimit();

class FleetDaemon {
public:
    // Runs the daemon at `timeScale` (QN_TIME_SCALE) with room for `maxMachines`.
    FleetDaemon(const Programs& programs, DWORD level, double timeScale, int maxMachines);
    ~FleetDaemon();
    FleetDaemon(const FleetDaemon&) = delete;
    FleetDaemon& operator=(const FleetDaemon&) = delete;

    // Kills the daemon with SIGKILL, as a lost machine would end it.
    void Kill() const;
    // Kills the daemon and starts it again on its port, as its watchdog would.
    void Restart();
    // Points this process's registry at this daemon: connections opened from now on find it.
    void UseItsRegistry() const;
    // How many machines the daemon's status shows as current; -1 when it can't be read.
    int CurrentMachines() const;

    double RssKB() const;
    // The RSS once the daemon has returned what it freed (it does so every 10 scaled seconds).
    double SettledRssKB() const;
    double CpuMs() const;
    // How long a machine goes without samples before the daemon calls it silent, scaled.
    std::chrono::duration<double> Silence() const;

    struct Page {
        double ms = 0;  // median of three
        double bytes = 0;
    };
    int Port() const { return m_port; }
    int HttpPort() const { return m_httpPort; }
    // The certificates it serves with and trusts (level above 1).
    const Certificates& Tls() const { return m_tls; }
    // The value of the counter `name` on its /metrics; -1 when it can't be read.
    double Counter(const std::string& name) const;
    // GET `path` of the daemon's HTTP pages.
    Page Get(const std::string& path) const;
    // The milliseconds qn-status takes with `options` (median of three); NaN when it fails.
    double RunStatus(const std::vector<std::string>& options) const;

private:
    // Runs the daemon on `port` (0: a free one) and names it in the registry.
    void Start(int port);
    void WriteRegistry(DWORD level, int port) const;

    Programs m_programs;
    std::filesystem::path m_work;
    Certificates m_tls;
    double m_timeScale;
    DWORD m_level;
    int m_maxMachines;
    pid_t m_pid = -1;
    int m_port = 0;
    int m_httpPort = 0;
};

}  // namespace fleet
