// SimulatedMachines stands in for the resource observers of a fleet: machine i is "fleet-i", each
// with a TCP connection of its own to the system observer that the registry names, sending its
// figures once per round and now and then an alert or an emergency, as a resource observer does
// once per cycle. Calls go out from gRPC's own threads, so the generator's share of the cores
// stays small. Not safe for concurrent use.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Com.h"

namespace fleet {

std::string MachineName(int machine);

// Holds gRPC's callback threads until the result goes: this version of gRPC races when their last
// user goes and a new one comes (a double free in its completion queue), as it would between fleets.
std::shared_ptr<void> HoldCallbackThreads();

class SimulatedMachines {
public:
    // Opens `count` connections with the authentication `level` and waits until each answers;
    // Connected() tells how many did. Meanwhile the machines connected so far send a round every
    // `keepAlive`, so that none idles until the daemon lets it go while thousands of TLS
    // handshakes take their time.
    SimulatedMachines(int count, DWORD level, std::chrono::milliseconds keepAlive);
    ~SimulatedMachines();  // closes every connection
    SimulatedMachines(const SimulatedMachines&) = delete;
    SimulatedMachines& operator=(const SimulatedMachines&) = delete;

    int Connected() const;
    // Every machine sends its figures once (and every 50th an alert or an emergency); returns when
    // all are answered, with the number of failed calls. With a range, machines [first, last)
    // alone; calls for ranges apart may run at once.
    long Round(int round, size_t first = 0, size_t last = SIZE_MAX);
    // Machines [first, last) open new connections to the system observer that the registry names
    // now and wait until each answers, as a resource observer's new link does; how many did not
    // within a minute (they send no more).
    int Reopen(DWORD level, size_t first, size_t last);
    // Every machine opens a new connection, a batch at a time, as after a short break of the
    // links; how many could not.
    int ReopenAll(DWORD level);
    // Machine `i` makes a new link to the system observer that the registry names now, as a
    // resource observer's worker does: a new connection (resuming its TLS session, if it has one
    // of that observer) and a QueryInterface within the activation deadline. `done` is told
    // whether it answered, on a thread of gRPC's.
    void Link(size_t i, DWORD level, std::function<void(bool)> done);
    // Machine `i` sends its figures of `round` over its link; `done` is told whether they were
    // taken, on a thread of gRPC's.
    void Report(size_t i, int round, std::function<void(bool)> done);

    // `samples` samples of each of `machines` machines over one connection of its own: the data
    // a system observer keeps, without the connections. The number of failed calls.
    static long FillOverOneConnection(int machines, int samples, DWORD level);

private:
    struct Machine;
    std::vector<std::unique_ptr<Machine>> m_machines;
};

}  // namespace fleet
