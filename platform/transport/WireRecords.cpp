#include "platform/transport/WireRecords.h"

namespace transport {

namespace {

// A BSTR into an optional string field: null stays absent.
template <typename SetString>
void PutString(BSTR text, SetString set)
{
    if (text != nullptr)
        set(platform::ToUtf8(platform::View(text)));
}

BSTR TakeString(bool present, const std::string& text)
{
    if (!present)
        return nullptr;
    const std::u16string wide = platform::ToUtf16(text);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

void Free(BSTR& text)
{
    SysFreeString(text);
    text = nullptr;
}

void PutTime(const tagQNPreciseTime& time, qn::PreciseTime& wire)
{
    wire.set_low_part(time.lowPart);
    wire.set_high_part(time.highPart);
}

tagQNPreciseTime TakeTime(const qn::PreciseTime& wire) { return {wire.low_part(), wire.high_part()}; }

void PutMachine(const tagQNMachineResourceLoad& load, qn::MachineResourceLoad& wire)
{
    PutTime(load.idleTime, *wire.mutable_idle_time());
    PutTime(load.kernelTime, *wire.mutable_kernel_time());
    PutTime(load.userTime, *wire.mutable_user_time());
    wire.set_used_page_file_kb(load.usedPageFileKB);
    wire.set_avail_page_file_kb(load.availPageFileKB);
    wire.set_used_physical_kb(load.usedPhysicalKB);
    wire.set_avail_physical_kb(load.availPhysicalKB);
    wire.set_process_count(load.processCount);
    wire.set_thread_count(load.threadCount);
    wire.set_handle_count(load.handleCount);
}

tagQNMachineResourceLoad TakeMachine(const qn::MachineResourceLoad& wire)
{
    return {TakeTime(wire.idle_time()),     TakeTime(wire.kernel_time()),  TakeTime(wire.user_time()),
            wire.used_page_file_kb(),       wire.avail_page_file_kb(),     wire.used_physical_kb(),
            wire.avail_physical_kb(),       wire.process_count(),          wire.thread_count(),
            wire.handle_count()};
}

// The three process events share one layout; only the name of the state differs.
template <typename Event>
void PutProcessEvent(const Event& record, LONG state, qn::ProcessEvent& wire)
{
    PutString(record.machineName, [&](std::string s) { wire.set_machine_name(std::move(s)); });
    PutString(record.processName, [&](std::string s) { wire.set_process_name(std::move(s)); });
    PutString(record.auxText, [&](std::string s) { wire.set_aux_text(std::move(s)); });
    wire.set_process_id(record.processId);
    wire.set_reserved(record.reserved);
    wire.set_state(state);
}

template <typename Event>
LONG TakeProcessEvent(const qn::ProcessEvent& wire, Event& record)
{
    record.machineName = TakeString(wire.has_machine_name(), wire.machine_name());
    record.processName = TakeString(wire.has_process_name(), wire.process_name());
    record.auxText = TakeString(wire.has_aux_text(), wire.aux_text());
    record.processId = wire.process_id();
    record.reserved = wire.reserved();
    return wire.state();
}

template <typename Event>
void FreeProcessEvent(Event& record)
{
    Free(record.machineName);
    Free(record.processName);
    Free(record.auxText);
}

bool TooLong(bool present, const std::string& text) { return present && text.size() > kMaxStringBytes; }

const char* Refusal(std::size_t bytes, std::initializer_list<bool> tooLong)
{
    if (bytes > kMaxMessageBytes)
        return "message above the size limit";
    for (bool refused : tooLong)
        if (refused)
            return "string above the length limit";
    return nullptr;
}

}  // namespace

void ToWire(const tagQNResourceInformation& record, qn::ResourceInformation& wire)
{
    PutString(record.machineName, [&](std::string s) { wire.set_machine_name(std::move(s)); });
    PutString(record.processName, [&](std::string s) { wire.set_process_name(std::move(s)); });
    PutString(record.auxText, [&](std::string s) { wire.set_aux_text(std::move(s)); });
    wire.set_process_id(record.processId);
    wire.set_reserved(record.reserved);
    wire.set_data_valid(record.dataValid);
    wire.set_monitor_interval_sec(record.monitorIntervalSec);
    const auto& p = record.processLoad;
    auto& load = *wire.mutable_process_load();
    PutTime(p.kernelTime, *load.mutable_kernel_time());
    PutTime(p.userTime, *load.mutable_user_time());
    load.set_working_set_kb(p.workingSetKB);
    load.set_peak_working_set_kb(p.peakWorkingSetKB);
    load.set_pagefile_usage_kb(p.pagefileUsageKB);
    load.set_peak_pagefile_usage_kb(p.peakPagefileUsageKB);
    load.set_used_virtual_kb(p.usedVirtualKB);
    load.set_avail_virtual_kb(p.availVirtualKB);
    load.set_thread_count(p.threadCount);
    load.set_page_fault_count(p.pageFaultCount);
    load.set_handle_count(p.handleCount);
    load.set_gdi_object_count(p.gdiObjectCount);
    load.set_user_object_count(p.userObjectCount);
    auto& usage = *wire.mutable_external_usage();
    usage.set_external_resource_usage(record.externalUsage.externalResourceUsage);
    usage.set_database_counter_b(record.externalUsage.databaseCounterB);
    usage.set_database_counter_a(record.externalUsage.databaseCounterA);
    PutMachine(record.machineLoad, *wire.mutable_machine_load());
}

void FromWire(const qn::ResourceInformation& wire, tagQNResourceInformation& record)
{
    record.machineName = TakeString(wire.has_machine_name(), wire.machine_name());
    record.processName = TakeString(wire.has_process_name(), wire.process_name());
    record.auxText = TakeString(wire.has_aux_text(), wire.aux_text());
    record.processId = wire.process_id();
    record.reserved = wire.reserved();
    record.dataValid = wire.data_valid();
    record.monitorIntervalSec = wire.monitor_interval_sec();
    const auto& load = wire.process_load();
    record.processLoad = {TakeTime(load.kernel_time()), TakeTime(load.user_time()), load.working_set_kb(),
                          load.peak_working_set_kb(),   load.pagefile_usage_kb(),   load.peak_pagefile_usage_kb(),
                          load.used_virtual_kb(),       load.avail_virtual_kb(),    load.thread_count(),
                          load.page_fault_count(),      load.handle_count(),        load.gdi_object_count(),
                          load.user_object_count()};
    const auto& usage = wire.external_usage();
    record.externalUsage = {usage.external_resource_usage(), usage.database_counter_b(), usage.database_counter_a()};
    record.machineLoad = TakeMachine(wire.machine_load());
}

void ToWire(const tagQNProcessCeilings& record, qn::ProcessCeilings& wire)
{
    const auto put = [](const tagQNResourceCeiling& ceiling, qn::ResourceCeiling& out) {
        out.set_limit(ceiling.limit);
        out.set_left(ceiling.left);
        out.set_source(ceiling.source);
    };
    put(record.memoryKB, *wire.mutable_memory_kb());
    put(record.descriptors, *wire.mutable_descriptors());
    put(record.threads, *wire.mutable_threads());
}

void FromWire(const qn::ProcessCeilings& wire, tagQNProcessCeilings& record)
{
    const auto take = [](const qn::ResourceCeiling& ceiling) { return tagQNResourceCeiling{ceiling.limit(), ceiling.left(), ceiling.source()}; };
    record = {take(wire.memory_kb()), take(wire.descriptors()), take(wire.threads())};
}

namespace {

// The six figures of a machine's pressure with their places on the wire.
struct PressurePlace {
    tagQNPressureFigures tagQNMachinePressure::*figures;
    bool (qn::MachinePressure::*has)() const;
    const qn::PressureFigures& (qn::MachinePressure::*get)() const;
    qn::PressureFigures* (qn::MachinePressure::*put)();
};
constexpr PressurePlace kPressurePlaces[] = {
    {&tagQNMachinePressure::cpuSome, &qn::MachinePressure::has_cpu_some, &qn::MachinePressure::cpu_some, &qn::MachinePressure::mutable_cpu_some},
    {&tagQNMachinePressure::cpuFull, &qn::MachinePressure::has_cpu_full, &qn::MachinePressure::cpu_full, &qn::MachinePressure::mutable_cpu_full},
    {&tagQNMachinePressure::memorySome, &qn::MachinePressure::has_memory_some, &qn::MachinePressure::memory_some,
     &qn::MachinePressure::mutable_memory_some},
    {&tagQNMachinePressure::memoryFull, &qn::MachinePressure::has_memory_full, &qn::MachinePressure::memory_full,
     &qn::MachinePressure::mutable_memory_full},
    {&tagQNMachinePressure::ioSome, &qn::MachinePressure::has_io_some, &qn::MachinePressure::io_some, &qn::MachinePressure::mutable_io_some},
    {&tagQNMachinePressure::ioFull, &qn::MachinePressure::has_io_full, &qn::MachinePressure::io_full, &qn::MachinePressure::mutable_io_full},
};

}  // namespace

void ToWire(const tagQNMachinePressure& record, qn::MachinePressure& wire)
{
    for (const PressurePlace& place : kPressurePlaces) {
        const tagQNPressureFigures& figures = record.*place.figures;
        if (figures.present == 0)
            continue;
        qn::PressureFigures& out = *(wire.*place.put)();
        out.set_avg10_percent(figures.avg10Percent);
        out.set_avg60_percent(figures.avg60Percent);
        out.set_total_us(figures.totalUs);
    }
}

void FromWire(const qn::MachinePressure& wire, tagQNMachinePressure& record)
{
    record = {};
    for (const PressurePlace& place : kPressurePlaces)
        if ((wire.*place.has)()) {
            const qn::PressureFigures& in = (wire.*place.get)();
            record.*place.figures = {1, in.avg10_percent(), in.avg60_percent(), in.total_us()};
        }
}

void ToWire(const tagQNProcessResourceEmergencyEvent& record, qn::ProcessEvent& wire) { PutProcessEvent(record, record.emergencyState, wire); }
void ToWire(const tagQNProcessResourceAlert& record, qn::ProcessEvent& wire) { PutProcessEvent(record, record.alertState, wire); }
void ToWire(const tagQNProcessServerEmergencyEvent& record, qn::ProcessEvent& wire) { PutProcessEvent(record, record.emergencyState, wire); }

void FromWire(const qn::ProcessEvent& wire, tagQNProcessResourceEmergencyEvent& record) { record.emergencyState = TakeProcessEvent(wire, record); }
void FromWire(const qn::ProcessEvent& wire, tagQNProcessResourceAlert& record) { record.alertState = TakeProcessEvent(wire, record); }
void FromWire(const qn::ProcessEvent& wire, tagQNProcessServerEmergencyEvent& record) { record.emergencyState = TakeProcessEvent(wire, record); }

void ToWire(const tagQNSystemResourceInformation& record, qn::SystemResourceInformation& wire)
{
    PutString(record.machineName, [&](std::string s) { wire.set_machine_name(std::move(s)); });
    wire.set_data_valid(record.dataValid);
    PutMachine(record.machineLoad, *wire.mutable_machine_load());
    const auto& opx = record.opxServerLoad;
    auto& load = *wire.mutable_opx_server_load();
    load.set_host_flag(opx.hostFlag);
    load.set_host_value1(opx.hostValue1);
    load.set_host_value2(opx.hostValue2);
    load.set_host_value3(opx.hostValue3);
    load.set_host_value4(opx.hostValue4);
    load.set_host_value5(opx.hostValue5);
    wire.set_external_usage_sum(record.externalUsageSum);
    wire.set_avg_database_access_ratio(record.avgDatabaseAccessRatio);
}

void FromWire(const qn::SystemResourceInformation& wire, tagQNSystemResourceInformation& record)
{
    record.machineName = TakeString(wire.has_machine_name(), wire.machine_name());
    record.dataValid = wire.data_valid();
    record.machineLoad = TakeMachine(wire.machine_load());
    const auto& load = wire.opx_server_load();
    record.opxServerLoad = {load.host_flag(), load.host_value1(), load.host_value2(), load.host_value3(), load.host_value4(), load.host_value5()};
    record.externalUsageSum = wire.external_usage_sum();
    record.avgDatabaseAccessRatio = wire.avg_database_access_ratio();
}

void ToWire(const tagQNSystemResourceEmergencyEvent& record, qn::SystemEvent& wire)
{
    PutString(record.machineName, [&](std::string s) { wire.set_machine_name(std::move(s)); });
    wire.set_state(record.emergencyState);
}
void ToWire(const tagQNSystemResourceAlert& record, qn::SystemEvent& wire)
{
    PutString(record.machineName, [&](std::string s) { wire.set_machine_name(std::move(s)); });
    wire.set_state(record.alertState);
}
void ToWire(const tagQNSystemServerEmergencyEvent& record, qn::SystemEvent& wire)
{
    PutString(record.machineName, [&](std::string s) { wire.set_machine_name(std::move(s)); });
    wire.set_state(record.emergencyState);
}

void FromWire(const qn::SystemEvent& wire, tagQNSystemResourceEmergencyEvent& record)
{
    record.machineName = TakeString(wire.has_machine_name(), wire.machine_name());
    record.emergencyState = wire.state();
}
void FromWire(const qn::SystemEvent& wire, tagQNSystemResourceAlert& record)
{
    record.machineName = TakeString(wire.has_machine_name(), wire.machine_name());
    record.alertState = wire.state();
}
void FromWire(const qn::SystemEvent& wire, tagQNSystemServerEmergencyEvent& record)
{
    record.machineName = TakeString(wire.has_machine_name(), wire.machine_name());
    record.emergencyState = wire.state();
}

void ToWire(const tagQNMachineOomKills& record, qn::MachineOomKills& wire)
{
    wire.set_kill_count(record.killCount);
    PutString(record.lastVictimName, [&](std::string s) { wire.set_last_victim_name(std::move(s)); });
    wire.set_last_victim_id(record.lastVictimId);
    wire.set_last_victim_time_sec(record.lastVictimTimeSec);
}

void FromWire(const qn::MachineOomKills& wire, tagQNMachineOomKills& record)
{
    record.killCount = wire.kill_count();
    record.lastVictimName = TakeString(wire.has_last_victim_name(), wire.last_victim_name());
    record.lastVictimId = wire.last_victim_id();
    record.lastVictimTimeSec = wire.last_victim_time_sec();
}

void FreeStrings(tagQNMachineOomKills& record) { Free(record.lastVictimName); }

void FreeStrings(tagQNResourceInformation& record)
{
    Free(record.machineName);
    Free(record.processName);
    Free(record.auxText);
}
void FreeStrings(tagQNProcessResourceEmergencyEvent& record) { FreeProcessEvent(record); }
void FreeStrings(tagQNProcessResourceAlert& record) { FreeProcessEvent(record); }
void FreeStrings(tagQNProcessServerEmergencyEvent& record) { FreeProcessEvent(record); }
void FreeStrings(tagQNSystemResourceInformation& record) { Free(record.machineName); }
void FreeStrings(tagQNSystemResourceEmergencyEvent& record) { Free(record.machineName); }
void FreeStrings(tagQNSystemResourceAlert& record) { Free(record.machineName); }
void FreeStrings(tagQNSystemServerEmergencyEvent& record) { Free(record.machineName); }

const char* RefusalOf(const qn::ResourceInformation& w)
{
    return Refusal(w.ByteSizeLong(), {TooLong(w.has_machine_name(), w.machine_name()), TooLong(w.has_process_name(), w.process_name()),
                                      TooLong(w.has_aux_text(), w.aux_text())});
}

const char* RefusalOf(const qn::ProcessEvent& w)
{
    return Refusal(w.ByteSizeLong(), {TooLong(w.has_machine_name(), w.machine_name()), TooLong(w.has_process_name(), w.process_name()),
                                      TooLong(w.has_aux_text(), w.aux_text())});
}

const char* RefusalOf(const qn::SystemResourceInformation& w)
{
    return Refusal(w.ByteSizeLong(), {TooLong(w.has_machine_name(), w.machine_name()),
                                      TooLong(w.oom_kills().has_last_victim_name(), w.oom_kills().last_victim_name())});
}

const char* RefusalOf(const qn::SystemEvent& w) { return Refusal(w.ByteSizeLong(), {TooLong(w.has_machine_name(), w.machine_name())}); }

}  // namespace transport
