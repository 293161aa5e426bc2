#include "hosts/system-resource-observer/SystemObserverStatus.h"

#include <google/protobuf/util/json_util.h>
#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include "emergency/XEmergencyHandlerHelper.h"
#include "hosts/common/Metrics.h"
#include "platform/Clock.h"
#include "systemobserver/XSystemResourceObserverInstance.h"

namespace hosts {

namespace {

double SecondsSince(std::chrono::steady_clock::time_point then)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - then).count();
}

}  // namespace

void MachineBook::SampleArrived(BSTR machine)
{
    const std::string key = XResourceAgent::HistoryKey(machine).ToUtf8();
    std::lock_guard lock(m_mutex);
    m_notes[key].newestSample = Clock::now();
}

void MachineBook::AlertArrived(BSTR machine, LONG state)
{
    const std::string key = XResourceAgent::HistoryKey(machine).ToUtf8();
    std::lock_guard lock(m_mutex);
    // An alert may come before the machine's first figures; alerts of invented names stop at the
    // store's bound.
    const auto notes = m_notes.find(key);
    if (notes == m_notes.end() && m_notes.size() >= m_limit)
        return;
    Notes& noted = notes == m_notes.end() ? m_notes[key] : notes->second;
    noted.alertState = state;
    noted.alertAt = Clock::now();
}

void MachineBook::PressureArrived(BSTR machine, const tagQNMachinePressure& pressure)
{
    const std::string key = XResourceAgent::HistoryKey(machine).ToUtf8();
    std::lock_guard lock(m_mutex);
    // After SampleArrived, which made the notes of every machine the store took.
    if (const auto notes = m_notes.find(key); notes != m_notes.end())
        notes->second.pressure = pressure;
}

void MachineBook::OomKillsArrived(BSTR machine, const tagQNMachineOomKills& oomKills)
{
    qn::status::OomKillStatus noted;
    noted.set_kill_count(oomKills.killCount);
    noted.set_last_victim(platform::ToUtf8(platform::View(oomKills.lastVictimName)));
    noted.set_last_victim_pid(oomKills.lastVictimId);
    noted.set_last_victim_time_sec(static_cast<double>(oomKills.lastVictimTimeSec));
    const std::string key = XResourceAgent::HistoryKey(machine).ToUtf8();
    std::lock_guard lock(m_mutex);
    if (const auto notes = m_notes.find(key); notes != m_notes.end())
        notes->second.oomKills = std::move(noted);
}

qn::status::SystemStatus MachineBook::Status() const
{
    // The store is read before the host's lock is taken, so that intake never waits on the store.
    qn::status::SystemStatus status;
    const XSystemResourceObserverInstance& store = XSystemResourceObserverInstance::Instance();
    AddMachines(store, status);
    const auto silence = platform::ScaledDuration(store.MachineSilenceMs());
    std::lock_guard lock(m_mutex);
    for (qn::status::MachineStatus& machine : *status.mutable_machines()) {
        // The host notes a sample just after the store took it.
        const auto notes = m_notes.find(XResourceAgent::HistoryKey(XQNComBSTR(machine.machine().c_str())).ToUtf8());
        if (notes == m_notes.end())
            continue;
        machine.set_newest_sample_age_sec(SecondsSince(notes->second.newestSample));
        machine.set_silent(Clock::now() - notes->second.newestSample > silence);
        if (notes->second.pressure)
            SetPressure(*notes->second.pressure, machine);
        if (notes->second.oomKills)
            *machine.mutable_oom_kills() = *notes->second.oomKills;
        if (notes->second.alertState != 0) {
            machine.set_alert_state(notes->second.alertState);
            machine.set_alert_text(XResourceHandlerHelper::BuildResourceAlertStateMsg(notes->second.alertState).ToUtf8());
            machine.set_alert_age_sec(SecondsSince(notes->second.alertAt));
        }
    }
    return status;
}

std::string StatusJson(const qn::status::SystemStatus& status)
{
    google::protobuf::util::JsonPrintOptions options;
    options.add_whitespace = true;
    options.always_print_primitive_fields = true;
    options.preserve_proto_field_names = true;
    std::string json;
    (void)google::protobuf::util::MessageToJsonString(status, &json, options);
    return json;
}

std::string SystemObserverMetrics(const qn::status::SystemStatus& status, const CallCounts& counts)
{
    prometheus::Registry registry;
    AddMachineMetrics(status, registry);
    auto& age = prometheus::BuildGauge().Name("qn_machine_newest_sample_age_seconds").Help("Time since the machine's newest sample arrived").Register(registry);
    auto& silent = prometheus::BuildGauge().Name("qn_machine_silent").Help("1 once the machine sent no sample for the stale number of cycles").Register(registry);
    for (const auto& machine : status.machines()) {
        age.Add({{"machine", machine.machine()}}).Set(machine.newest_sample_age_sec());
        silent.Add({{"machine", machine.machine()}}).Set(machine.silent() ? 1.0 : 0.0);
    }
    auto& oomKills = prometheus::BuildCounter()
                         .Name("qn_machine_oom_kills_total")
                         .Help("Server processes of the machine killed by the OOM killer since its resource observer started")
                         .Register(registry);
    auto& lastVictim = prometheus::BuildGauge()
                           .Name("qn_machine_last_oom_kill_timestamp_seconds")
                           .Help("When the machine's last OOM-killed server process was seen to end, labelled with its name and pid")
                           .Register(registry);
    for (const auto& machine : status.machines()) {
        if (!machine.has_oom_kills())
            continue;
        oomKills.Add({{"machine", machine.machine()}}).Increment(machine.oom_kills().kill_count());
        if (machine.oom_kills().kill_count() > 0)
            lastVictim
                .Add({{"machine", machine.machine()}, {"process", machine.oom_kills().last_victim()}, {"pid", std::to_string(machine.oom_kills().last_victim_pid())}})
                .Set(machine.oom_kills().last_victim_time_sec());
    }
    AddCallMetrics("qn_system_observer", counts, registry);
    AddCounter("qn_system_observer_new_machines_refused_total", "Samples of machines not kept yet, refused as the store was at its bound",
               XSystemResourceObserverInstance::Instance().RefusedNewMachines(), registry);
    return Exposition(registry);
}

}  // namespace hosts
