#include "bench/fleet/SimulatedMachines.h"

#include <grpc/grpc_security.h>
#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>

#include "interfaces/QNResourceObserver.grpc.pb.h"
#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/transport/Activation.h"
#include "platform/transport/Status.h"

namespace fleet {

namespace {

constexpr int kEventEvery = 50;       // one machine in this many sends an event in a round
constexpr int kSamplesInFlight = 256;  // over the one connection of FillOverOneConnection
constexpr int kConnectingAtOnce = 100;
constexpr std::chrono::seconds kConnectLimit{60};
constexpr std::uint32_t kIntervalTicks = 50'000'000;  // 5 s in 100-ns units
constexpr LONG kCpuAlert = 0x20;
constexpr LONG kLowMemoryEmergency = 0x1;

// Counts calls in flight and wakes the waiter at each answer.
class Pending {
public:
    void Add() { ++m_count; }
    void Done(bool failed)
    {
        if (failed)
            ++m_failed;
        std::lock_guard lock(m_mutex);
        --m_count;
        m_done.notify_all();
    }
    // Waits until at most `left` calls are in flight.
    void WaitFor(long left)
    {
        std::unique_lock lock(m_mutex);
        m_done.wait(lock, [&] { return m_count.load() <= left; });
    }
    long Failed() const { return m_failed.load(); }

private:
    std::atomic<long> m_count{0};
    std::atomic<long> m_failed{0};
    std::mutex m_mutex;
    std::condition_variable m_done;
};

// One call in flight: its context, message and answer live until gRPC calls back.
struct Call {
    grpc::ClientContext context;
    qn::SystemResourceInformation sample;
    qn::SystemEvent event;
    qn::Result reply;
    Pending* pending;

    explicit Call(Pending& waiting) : pending(&waiting)
    {
        pending->Add();
        context.set_deadline(std::chrono::system_clock::now() + transport::kCallDeadline);
    }
    // Called by gRPC; the call ends here.
    void Answered(const grpc::Status& status)
    {
        pending->Done(!status.ok() || FAILED(reply.hresult()));
        delete this;
    }
};

void SetPressure(qn::PressureFigures& figures, double avg10, std::uint64_t totalUs)
{
    figures.set_avg10_percent(avg10);
    figures.set_avg60_percent(avg10 / 2);
    figures.set_total_us(totalUs);
}

// Machine `machine`'s figures in round `round`: a tenth to a half of its processors busy, its
// memory and counts varying from machine to machine, pressure as a resource observer sends it.
void FillSample(int machine, int round, qn::SystemResourceInformation& sample)
{
    const std::uint64_t elapsed = static_cast<std::uint64_t>(round) * kIntervalTicks;
    const std::uint64_t busy = elapsed * static_cast<std::uint64_t>(1 + machine % 5) / 10;
    const auto time = [](qn::PreciseTime& field, std::uint64_t ticks) {
        field.set_low_part(static_cast<std::uint32_t>(ticks));
        field.set_high_part(static_cast<std::uint32_t>(ticks >> 32));
    };
    sample.set_machine_name(MachineName(machine));
    sample.set_data_valid(1);
    qn::MachineResourceLoad& load = *sample.mutable_machine_load();
    time(*load.mutable_idle_time(), elapsed - busy);
    time(*load.mutable_kernel_time(), elapsed - busy / 2);
    time(*load.mutable_user_time(), busy / 2);
    load.set_avail_physical_kb(8'000'000 + machine % 1000 * 1000);
    load.set_used_physical_kb(8'000'000 - machine % 1000 * 1000);
    load.set_avail_page_file_kb(12'000'000 + round);
    load.set_used_page_file_kb(4'000'000 - round);
    load.set_process_count(200 + static_cast<std::uint32_t>(machine % 100));
    load.set_thread_count(1500 + static_cast<std::uint32_t>(machine % 300));
    load.set_handle_count(9000 + static_cast<std::uint32_t>(machine % 700));
    sample.set_external_usage_sum(static_cast<std::uint32_t>(machine % 40));
    qn::MachinePressure& pressure = *sample.mutable_pressure();
    SetPressure(*pressure.mutable_cpu_some(), 1.5, elapsed / 100);
    SetPressure(*pressure.mutable_memory_some(), 0.25, elapsed / 1000);
    SetPressure(*pressure.mutable_io_some(), 3.0, elapsed / 50);
}

// The credentials of the registry in use, read once for all machines: each would otherwise read
// the same files again for each link, on the one thread that links the whole fleet.
std::shared_ptr<grpc::ChannelCredentials> SharedCredentials(DWORD level)
{
    static std::mutex mutex;
    static std::map<std::pair<std::string, DWORD>, std::shared_ptr<grpc::ChannelCredentials>> read;
    const std::lock_guard lock(mutex);
    auto& credentials = read[{std::getenv("KORVEL_REGISTRY"), level}];
    if (credentials == nullptr)
        credentials = transport::ClientCredentials(CLSID_QNSystemResourceObserver, level);
    return credentials;
}

std::unique_ptr<qn::IQNSystemResourceObserver::Stub> Open(DWORD level, std::shared_ptr<grpc::Channel>& channel,
                                                          grpc_ssl_session_cache* sessions = transport::ProcessSessions())
{
    channel = transport::OpenChannel(CLSID_QNSystemResourceObserver, "127.0.0.1", level, sessions, SharedCredentials(level));
    return channel == nullptr ? nullptr : qn::IQNSystemResourceObserver::NewStub(channel);
}

// One call of a single machine in flight, answered to `done`.
template <typename Request>
struct MachineCall {
    grpc::ClientContext context;
    Request request;
    qn::Result reply;
    std::function<void(bool)> done;

    MachineCall(std::chrono::seconds deadline, std::function<void(bool)> answered) : done(std::move(answered))
    {
        context.set_deadline(std::chrono::system_clock::now() + deadline);
    }
    std::function<void(grpc::Status)> Answered()
    {
        return [this](const grpc::Status& status) {
            done(status.ok() && SUCCEEDED(reply.hresult()));
            delete this;
        };
    }
};

}  // namespace

std::string MachineName(int machine)
{
    return "fleet-" + std::to_string(machine);
}

std::shared_ptr<void> HoldCallbackThreads()
{
    // A channel that has made a call through the callback interface holds the threads.
    auto channel = grpc::CreateChannel("127.0.0.1:1", grpc::InsecureChannelCredentials());
    Pending pending;
    auto* call = new Call(pending);
    call->context.set_deadline(std::chrono::system_clock::now());
    qn::IQNSystemResourceObserver::NewStub(channel)->async()->SetSystemResourceData(&call->context, &call->sample, &call->reply,
                                                                                     [call](const grpc::Status& status) { call->Answered(status); });
    pending.WaitFor(0);
    return channel;
}

// Each machine keeps its TLS sessions, as a resource observer does.
struct SimulatedMachines::Machine {
    int index;
    std::shared_ptr<grpc::Channel> channel;
    std::unique_ptr<qn::IQNSystemResourceObserver::Stub> stub;
    std::unique_ptr<grpc_ssl_session_cache, void (*)(grpc_ssl_session_cache*)> sessions{grpc_ssl_session_cache_create_lru(1), grpc_ssl_session_cache_destroy};
};

SimulatedMachines::SimulatedMachines(int count, DWORD level, std::chrono::milliseconds keepAlive)
{
    auto lastRound = std::chrono::steady_clock::now();
    // A batch at a time: thousands of TLS handshakes at once would outlast the server's deadline
    // for them, and the retries would make it worse.
    for (int first = 0; first < count; first += kConnectingAtOnce) {
        const size_t batch = m_machines.size();
        for (int i = first; i < std::min(count, first + kConnectingAtOnce); ++i) {
            m_machines.push_back(std::make_unique<Machine>());
            m_machines.back()->index = i;
        }
        Reopen(level, batch, m_machines.size());
        if (std::chrono::steady_clock::now() - lastRound > keepAlive) {
            Round(0);
            lastRound = std::chrono::steady_clock::now();
        }
    }
}

SimulatedMachines::~SimulatedMachines() = default;

int SimulatedMachines::Connected() const
{
    int connected = 0;
    for (const auto& machine : m_machines)
        connected += machine->stub != nullptr ? 1 : 0;
    return connected;
}

long SimulatedMachines::Round(int round, size_t first, size_t last)
{
    Pending pending;
    for (size_t i = first; i < std::min(last, m_machines.size()); ++i) {
        auto& machine = m_machines[i];
        if (machine->stub == nullptr)
            continue;
        auto* call = new Call(pending);
        FillSample(machine->index, round, call->sample);
        machine->stub->async()->SetSystemResourceData(&call->context, &call->sample, &call->reply,
                                                      [call](const grpc::Status& status) { call->Answered(status); });
        if ((machine->index + round) % kEventEvery != 0)
            continue;
        // Alerts raised and cleared, and an emergency, by turns.
        const int kind = (machine->index + round) / kEventEvery % 3;
        auto* event = new Call(pending);
        event->event.set_machine_name(MachineName(machine->index));
        event->event.set_state(kind == 0 ? kCpuAlert : kind == 1 ? 0 : kLowMemoryEmergency);
        const auto answered = [event](const grpc::Status& status) { event->Answered(status); };
        if (kind == 2)
            machine->stub->async()->RaiseSystemResourceEmergencyEvent(&event->context, &event->event, &event->reply, answered);
        else
            machine->stub->async()->NotifySystemResourceAlert(&event->context, &event->event, &event->reply, answered);
    }
    pending.WaitFor(0);
    return pending.Failed();
}

int SimulatedMachines::Reopen(DWORD level, size_t first, size_t last)
{
    int failed = 0;
    const auto deadline = std::chrono::system_clock::now() + kConnectLimit;
    for (size_t i = first; i < std::min(last, m_machines.size()); ++i) {
        m_machines[i]->stub = Open(level, m_machines[i]->channel, m_machines[i]->sessions.get());
        if (m_machines[i]->channel != nullptr)
            m_machines[i]->channel->GetState(true);  // connects meanwhile
    }
    for (size_t i = first; i < std::min(last, m_machines.size()); ++i)
        if (m_machines[i]->channel == nullptr || !m_machines[i]->channel->WaitForConnected(deadline)) {
            m_machines[i]->stub.reset();
            ++failed;
        }
    return failed;
}

int SimulatedMachines::ReopenAll(DWORD level)
{
    int failed = 0;
    for (size_t first = 0; first < m_machines.size(); first += kConnectingAtOnce)
        failed += Reopen(level, first, first + kConnectingAtOnce);
    return failed;
}

void SimulatedMachines::Link(size_t i, DWORD level, std::function<void(bool)> done)
{
    Machine& machine = *m_machines[i];
    machine.stub = Open(level, machine.channel, machine.sessions.get());
    if (machine.stub == nullptr)
        return done(false);
    auto* call = new MachineCall<qn::InterfaceQuery>(transport::kActivationDeadline, std::move(done));
    call->request.set_clsid(GuidToString(CLSID_QNSystemResourceObserver));
    call->request.set_iid(GuidToString(IQNSystemResourceObserver::kIid));
    qn::QNObject::NewStub(machine.channel)->async()->QueryInterface(&call->context, &call->request, &call->reply, call->Answered());
}

void SimulatedMachines::Report(size_t i, int round, std::function<void(bool)> done)
{
    Machine& machine = *m_machines[i];
    if (machine.stub == nullptr)
        return done(false);
    auto* call = new MachineCall<qn::SystemResourceInformation>(transport::kOnwardCallDeadline, std::move(done));
    FillSample(machine.index, round, call->request);
    machine.stub->async()->SetSystemResourceData(&call->context, &call->request, &call->reply, call->Answered());
}

long SimulatedMachines::FillOverOneConnection(int machines, int samples, DWORD level)
{
    std::shared_ptr<grpc::Channel> channel;
    const auto stub = Open(level, channel);
    if (stub == nullptr)
        return static_cast<long>(machines) * samples;
    Pending pending;
    for (int round = 1; round <= samples; ++round) {
        for (int machine = 0; machine < machines; ++machine) {
            pending.WaitFor(kSamplesInFlight - 1);
            auto* call = new Call(pending);
            FillSample(machine, round, call->sample);
            stub->async()->SetSystemResourceData(&call->context, &call->sample, &call->reply, [call](const grpc::Status& status) { call->Answered(status); });
        }
    }
    pending.WaitFor(0);
    return pending.Failed();
}

}  // namespace fleet
