#include "hosts/system-resource-observer/SystemObserverStatus.h"

#include <prometheus/registry.h>

#include <vector>

#include "emergency/XResourceAlertAdditions.h"
#include "hosts/common/Metrics.h"
#include "hosts/common/TextExposition.h"
#include "hosts/system-resource-observer/MessageJson.h"
#include "platform/Clock.h"
#include "systemobserver/XSystemResourceObserverInstance.h"

namespace hosts {

void MachineBook::SampleArrived(BSTR machine, const tagQNMachinePressure* pressure, const tagQNMachineOomKills* oomKills)
{
    std::optional<OomKills> kills;
    if (oomKills != nullptr)
        kills = OomKills{oomKills->killCount, platform::ToUtf8(platform::View(oomKills->lastVictimName)), oomKills->lastVictimId, oomKills->lastVictimTimeSec};
    XQNComBSTR key = XResourceAgent::HistoryKey(machine);
    std::lock_guard lock(m_mutex);
    Notes& noted = m_notes[std::move(key)];
    noted.newestSample = Clock::now();
    if (pressure != nullptr)
        noted.pressure = *pressure;
    if (kills)
        noted.oomKills = std::move(kills);
}

void MachineBook::AlertArrived(BSTR machine, LONG state)
{
    XQNComBSTR key = XResourceAgent::HistoryKey(machine);
    std::lock_guard lock(m_mutex);
    // An alert may come before the machine's first figures; alerts of invented names stop at the
    // store's bound.
    const auto notes = m_notes.find(key);
    if (notes == m_notes.end() && m_notes.size() >= m_limit)
        return;
    Notes& noted = notes == m_notes.end() ? m_notes[std::move(key)] : notes->second;
    noted.alertState = state;
    noted.alertAt = Clock::now();
}

std::optional<StatusQuery> StatusQuery::FromParameters(const std::multimap<std::string, std::string>& parameters)
{
    StatusQuery query;
    for (const auto& [name, value] : parameters) {
        if (name == "only" && (value == "silent" || value == "alert"))
            query.only = value == "silent" ? Only::Silent : Only::Alert;
        else if (name == "machine" && !value.empty())
            query.machine = value;
        else
            return std::nullopt;
    }
    return query;
}

qn::status::SystemStatus MachineBook::Status(const StatusQuery& query) const
{
    qn::status::SystemStatus status;
    Status(query, [&status](const qn::status::MachineStatus& machine, size_t shown) {
        status.mutable_machines()->Reserve(static_cast<int>(shown));
        *status.add_machines() = machine;
    });
    return status;
}

void MachineBook::Status(const StatusQuery& query, const std::function<void(const qn::status::MachineStatus&, size_t shown)>& each) const
{
    // The store and the notes are each read under their own lock, never both at once, so that
    // intake waits on neither for a whole status.
    const XSystemResourceObserverInstance& store = XSystemResourceObserverInstance::Instance();
    const XQNComBSTR wanted = query.machine.empty() ? XQNComBSTR() : XResourceAgent::HistoryKey(XQNComBSTR(platform::ToUtf16(query.machine)));
    const auto silence = platform::ScaledDuration(store.MachineSilenceMs());
    const auto now = Clock::now();
    std::vector<XSystemResourceObserverInstance::XMachineFigures> machines;
    std::vector<std::optional<Notes>> notes;
    bool current = false;
    if (query.only == StatusQuery::Only::Every) {
        current = store.GetEveryMachineResourceData(machines, wanted.IsEmpty() ? nullptr : &wanted);
        notes.reserve(machines.size());
        std::lock_guard lock(m_mutex);
        // Both in key order: walked side by side.
        auto noted = wanted.IsEmpty() ? m_notes.begin() : m_notes.lower_bound(wanted);
        for (const auto& machine : machines) {
            while (noted != m_notes.end() && noted->first < machine.key)
                ++noted;
            // The host notes a sample just after the store took it: a machine may have none yet.
            notes.push_back(noted != m_notes.end() && noted->first == machine.key ? std::optional(noted->second) : std::nullopt);
        }
    } else {
        // Few machines are silent or alerted: the notes choose them, and the store is asked for
        // those alone.
        std::vector<std::pair<XQNComBSTR, Notes>> chosen;
        {
            std::lock_guard lock(m_mutex);
            for (const auto& [key, noted] : m_notes)
                if ((wanted.IsEmpty() || key == wanted) &&
                    (query.only == StatusQuery::Only::Silent ? now - noted.newestSample > silence : noted.alertState != 0))
                    chosen.emplace_back(key, noted);
        }
        for (auto& [key, noted] : chosen) {
            const size_t found = machines.size();
            current = store.GetEveryMachineResourceData(machines, &key);
            if (machines.size() > found)
                notes.emplace_back(std::move(noted));
        }
    }
    qn::status::MachineStatus machine;
    for (size_t i = 0; i < machines.size(); ++i) {
        machine.Clear();
        machine.set_current(current);
        machine.set_machine(machines[i].figures.machineName.ToUtf8());
        SetFigures(machines[i].figures, machine);
        if (notes[i])
            SetNotes(*notes[i], now, silence, machine);
        each(machine, machines.size());
    }
}

void MachineBook::SetNotes(const Notes& notes, Clock::time_point now, Clock::duration silence, qn::status::MachineStatus& machine)
{
    machine.set_newest_sample_age_sec(std::chrono::duration<double>(now - notes.newestSample).count());
    machine.set_silent(now - notes.newestSample > silence);
    if (notes.pressure)
        SetPressure(*notes.pressure, machine);
    if (const auto& kills = notes.oomKills) {
        qn::status::OomKillStatus& noted = *machine.mutable_oom_kills();
        noted.set_kill_count(kills->killCount);
        noted.set_last_victim(kills->lastVictim);
        noted.set_last_victim_pid(kills->lastVictimId);
        noted.set_last_victim_time_sec(static_cast<double>(kills->lastVictimTimeSec));
    }
    if (notes.alertState != 0) {
        machine.set_alert_state(notes.alertState);
        machine.set_alert_text(XResourceAlertAdditions::BuildAlertStateMsg(notes.alertState).ToUtf8());
        machine.set_alert_age_sec(std::chrono::duration<double>(now - notes.alertAt).count());
    }
}

std::string StatusJson(const MachineBook& book, const StatusQuery& query)
{
    // As a SystemStatus message would be written, its list of machines one a line.
    constexpr size_t kBytesPerMachine = 700;
    std::string json = "{\"machines\": [";
    size_t machines = 0;
    book.Status(query, [&](const qn::status::MachineStatus& machine, size_t shown) {
        if (machines++ == 0)
            json.reserve(shown * kBytesPerMachine);
        json.append(machines == 1 ? "\n" : ",\n");
        AppendJson(machine, json);
    });
    json.append(machines > 0 ? "\n]}\n" : "]}\n");
    return json;
}

std::string SystemObserverMetrics(const qn::status::SystemStatus& status, const CallCounts& counts)
{
    prometheus::Registry registry;
    AddCallMetrics("qn_system_observer", counts, registry);
    AddCounter("qn_system_observer_new_machines_refused_total", "Samples of machines not kept yet, refused as the store was at its bound",
               XSystemResourceObserverInstance::Instance().RefusedNewMachines(), registry);
    std::string page = Exposition(registry);
    constexpr size_t kBytesPerMachine = 2048;
    page.reserve(page.size() + static_cast<size_t>(status.machines_size()) * kBytesPerMachine);
    TextExposition machines(page);
    WriteMachineMetrics(status, machines);
    machines.Family("qn_machine_newest_sample_age_seconds", "Time since the machine's newest sample arrived", "gauge");
    for (const auto& machine : status.machines())
        machines.Sample("qn_machine_newest_sample_age_seconds", {{"machine", machine.machine()}}, machine.newest_sample_age_sec());
    machines.Family("qn_machine_silent", "1 once the machine sent no sample for the stale number of cycles", "gauge");
    for (const auto& machine : status.machines())
        machines.Sample("qn_machine_silent", {{"machine", machine.machine()}}, machine.silent() ? 1.0 : 0.0);
    machines.Family("qn_machine_oom_kills_total", "Server processes of the machine killed by the OOM killer since its resource observer started", "counter");
    for (const auto& machine : status.machines())
        if (machine.has_oom_kills())
            machines.Sample("qn_machine_oom_kills_total", {{"machine", machine.machine()}}, machine.oom_kills().kill_count());
    machines.Family("qn_machine_last_oom_kill_timestamp_seconds", "When the machine's last OOM-killed server process was seen to end, labelled with its name and pid",
                    "gauge");
    for (const auto& machine : status.machines())
        if (machine.has_oom_kills() && machine.oom_kills().kill_count() > 0)
            machines.Sample("qn_machine_last_oom_kill_timestamp_seconds",
                            {{"machine", machine.machine()}, {"pid", std::to_string(machine.oom_kills().last_victim_pid())}, {"process", machine.oom_kills().last_victim()}},
                            machine.oom_kills().last_victim_time_sec());
    return page;
}

}  // namespace hosts
