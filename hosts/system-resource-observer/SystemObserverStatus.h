// What qn-system-resource-observer knows of each machine, for its status page: the library's
// averaged figures and staleness, and what the host notes beside them (when the newest sample and
// the last alert of each machine arrived). Safe for concurrent use.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "hosts/common/Metrics.h"
#include "hosts/common/SystemObserverStatus.pb.h"
#include "platform/Bstr.h"

namespace hosts {

// Which machines a status shows: a large fleet's operator asks for the few that need a look.
struct StatusQuery {
    enum class Only { Every, Silent, Alert };
    Only only = Only::Every;
    std::string machine;  // this machine alone (in any case) when not empty

    // From the page's query parameters (`only=silent|alert`, `machine=NAME`); empty when they
    // ask for something else.
    static std::optional<StatusQuery> FromParameters(const std::multimap<std::string, std::string>& parameters);
};

class MachineBook {
public:
    // Notes of at most `limit` machines.
    explicit MachineBook(size_t limit) : m_limit(limit) {}

    // Each takes the machine name as sent; names match in any case. What a resource observer did
    // not send (null) stays as the last one that did.
    void SampleArrived(BSTR machine, const tagQNMachinePressure* pressure, const tagQNMachineOomKills* oomKills);
    void AlertArrived(BSTR machine, LONG state);

    // Hands `each` the machines of the library's store that `query` asks for, with their figures
    // and the host's notes, in the order of their names. One message is filled anew for each
    // machine, and told how many are shown: a whole fleet's status is written as it is made, not
    // built first.
    void Status(const StatusQuery& query, const std::function<void(const qn::status::MachineStatus&, size_t shown)>& each) const;
    qn::status::SystemStatus Status(const StatusQuery& query = {}) const;

private:
    using Clock = std::chrono::steady_clock;
    struct OomKills {
        std::uint32_t killCount = 0;
        std::string lastVictim;
        std::uint32_t lastVictimId = 0;
        std::int64_t lastVictimTimeSec = 0;
    };
    struct Notes {
        Clock::time_point newestSample{};
        LONG alertState = 0;
        Clock::time_point alertAt{};
        std::optional<tagQNMachinePressure> pressure;
        std::optional<OomKills> oomKills;
    };
    static void SetNotes(const Notes& notes, Clock::time_point now, Clock::duration silence, qn::status::MachineStatus& machine);

    size_t m_limit;
    mutable std::mutex m_mutex;
    // By the store's key of each machine, in the store's order: a status walks both side by side.
    std::map<XQNComBSTR, Notes> m_notes;
};

// The status that `query` asks for as JSON, with the field names of the status schema, a machine a
// line.
std::string StatusJson(const MachineBook& book, const StatusQuery& query);
// The status in Prometheus' text exposition.
std::string SystemObserverMetrics(const qn::status::SystemStatus& status, const CallCounts& counts);

}  // namespace hosts
