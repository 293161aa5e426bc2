// Arbitrary bytes as the messages a server takes in: the first byte picks the record type, the
// rest is the message. As on the server, what doesn't parse or breaks the limits is refused; what
// passes is decoded, handed to the observers' stores that keep it, read back and freed, and now and
// then a cycle of the resource observer runs over what is stored. The sanitizers watch every step;
// the stores are started afresh now and then so that memory stays bounded over millions of inputs.
#include <cstddef>
#include <cstdint>

#include "observer/XResourceObserverInstance.h"
#include "platform/transport/WireRecords.h"
#include "systemobserver/XSystemResourceObserverInstance.h"

// The fuzzer's view of the resource observer's cycle.
struct XResourceObserverInstanceProbe {
    static void Cycle(XResourceObserverInstance& observer)
    {
        observer.UpdateCycleCounters();
        observer.CleanupResourceObserver();
    }
};

namespace {

constexpr int kInputsPerStore = 10000;
constexpr int kInputsPerCycle = 100;

template <typename Wire>
bool Parse(const uint8_t* data, size_t size, Wire& wire)
{
    return size <= transport::kMaxMessageBytes && wire.ParseFromArray(data, static_cast<int>(size)) && transport::RefusalOf(wire) == nullptr;
}

// Decodes `wire` as `Record`, hands it to `take` and frees it.
template <typename Record, typename Wire, typename Take>
void Deliver(const Wire& wire, Take take)
{
    Record record{};
    transport::FromWire(wire, record);
    take(record);
    transport::FreeStrings(record);
}

void ResourceSample(const uint8_t* data, size_t size)
{
    qn::ResourceInformation wire;
    if (!Parse(data, size, wire))
        return;
    Deliver<tagQNResourceInformation>(wire, [](const tagQNResourceInformation& sample) {
        XResourceObserverInstance& observer = XResourceObserverInstance::Instance();
        observer.SetResourceData(sample);
        XResourceAgent::XProcessResourceInfo process;
        observer.GetProcessResourceData(XQNComBSTR(sample.processName, SysStringLen(sample.processName)), process);
        XResourceAgent::XMachineResourceInfo machine;
        observer.GetMachineResourceData(XQNComBSTR(sample.machineName, SysStringLen(sample.machineName)), machine);
    });
}

void ProcessEvent(const uint8_t* data, size_t size)
{
    qn::ProcessEvent wire;
    if (!Parse(data, size, wire))
        return;
    // Events go on to the system observer at once: here they are only decoded.
    Deliver<tagQNProcessResourceEmergencyEvent>(wire, [](const auto&) {});
    Deliver<tagQNProcessResourceAlert>(wire, [](const auto&) {});
    Deliver<tagQNProcessServerEmergencyEvent>(wire, [](const auto&) {});
}

void MachineSample(const uint8_t* data, size_t size)
{
    qn::SystemResourceInformation wire;
    if (!Parse(data, size, wire))
        return;
    Deliver<tagQNSystemResourceInformation>(wire, [](const tagQNSystemResourceInformation& sample) {
        XSystemResourceObserverInstance& store = XSystemResourceObserverInstance::Instance();
        store.SetSystemResourceData(sample);
        XResourceAgent::XMachineResourceInfo machine;
        store.GetMachineResourceData(XQNComBSTR(sample.machineName, SysStringLen(sample.machineName)), machine);
    });
}

void MachineEvent(const uint8_t* data, size_t size)
{
    qn::SystemEvent wire;
    if (!Parse(data, size, wire))
        return;
    XSystemResourceObserverInstance& store = XSystemResourceObserverInstance::Instance();
    Deliver<tagQNSystemResourceEmergencyEvent>(wire, [&](const auto& event) { store.RaiseSystemResourceEmergencyEvent(event); });
    Deliver<tagQNSystemResourceAlert>(wire, [&](const auto& alert) { store.NotifySystemResourceAlert(alert); });
    Deliver<tagQNSystemServerEmergencyEvent>(wire, [&](const auto& event) { store.RaiseGlobalEmergencyEvent(event); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int inputs = 0;
    if (++inputs % kInputsPerStore == 0) {
        XResourceObserverInstance::Destroy();
        XSystemResourceObserverInstance::Destroy();
    } else if (inputs % kInputsPerCycle == 0) {
        XResourceObserverInstanceProbe::Cycle(XResourceObserverInstance::Instance());
    }
    if (size == 0)
        return 0;
    void (*const kinds[])(const uint8_t*, size_t) = {ResourceSample, ProcessEvent, MachineSample, MachineEvent};
    kinds[data[0] % 4](data + 1, size - 1);
    return 0;
}
