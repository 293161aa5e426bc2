// What qn-system-resource-observer knows of each machine, for its status page: the library's
// averaged figures and staleness, and what the host notes beside them (when the newest sample and
// the last alert of each machine arrived). Safe for concurrent use.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "hosts/common/Metrics.h"
#include "hosts/common/SystemObserverStatus.pb.h"
#include "platform/Bstr.h"

namespace hosts {

class MachineBook {
public:
    // Notes of at most `limit` machines.
    explicit MachineBook(size_t limit) : m_limit(limit) {}

    // Both take the machine name as sent; names match in any case.
    void SampleArrived(BSTR machine);
    void AlertArrived(BSTR machine, LONG state);
    void PressureArrived(BSTR machine, const tagQNMachinePressure& pressure);
    void OomKillsArrived(BSTR machine, const tagQNMachineOomKills& oomKills);

    // Every machine of the library's store with its figures and the host's notes.
    qn::status::SystemStatus Status() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Notes {
        Clock::time_point newestSample{};
        LONG alertState = 0;
        Clock::time_point alertAt{};
        std::optional<tagQNMachinePressure> pressure;  // the newest a resource observer sent
        std::optional<qn::status::OomKillStatus> oomKills;  // likewise
    };

    size_t m_limit;
    mutable std::mutex m_mutex;
    std::map<std::string, Notes> m_notes;  // by upper-cased name
};

// The status as JSON, with the field names of the status schema.
std::string StatusJson(const qn::status::SystemStatus& status);
// The status in Prometheus' text exposition.
std::string SystemObserverMetrics(const qn::status::SystemStatus& status, const CallCounts& counts);

}  // namespace hosts
