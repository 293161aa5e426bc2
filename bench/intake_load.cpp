// A load generator that speaks the wire schema: N senders, each with a connection of its own,
// send samples for a while to the observer of a class and print the intake and the latency of
// the calls:
//   intake_load --class resource|system [--machine NAME] [--level N] [--senders N] [--seconds S]
//               [--client library|wire] [--pause-ms M]
// prints "senders N calls C per_second R p50_us A p99_us B failed F". The resource class takes
// process samples (a process id per sender), the system class machine samples (a machine per
// sender).
//
// The library client (the default) is what a server process pays: a thread per sender, each
// calling the proxy that CoCreateInstanceEx returns and waiting for its answer. The wire client
// sends the same messages on the same channels from gRPC's own threads, a call in flight per
// sender, so that the generator's share of the machine's cores stays small and the observer's
// intake shows. With a pause (library client only), each sender waits that long after each call,
// as a process reporting at an interval does.
#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/QNResourceObserver.grpc.pb.h"
#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/Bstr.h"
#include "platform/transport/Activation.h"
#include "platform/transport/Status.h"
#include "platform/transport/WireRecords.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    bool system = false;
    bool wire = false;
    std::string machine = "localhost";
    DWORD level = RPC_C_AUTHN_LEVEL_CONNECT;
    int senders = 1;
    double seconds = 5.0;
    int pauseMs = 0;
};

// What one sender records; each sender writes only its own.
struct Tally {
    std::vector<float> latencies;  // microseconds, one per answered call
    long failed = 0;
};

// The sample a sender sends, with strings of its own.
class Sample {
public:
    Sample(const Options& options, int sender)
        : m_name(SysAllocString(platform::ToUtf16(options.system ? "load-machine-" + std::to_string(sender) : "intake-load").c_str())),
          m_machine(SysAllocString(u"load-machine")), m_empty(SysAllocString(u""))
    {
        process.machineName = m_machine;
        process.processName = m_name;
        process.auxText = m_empty;
        process.processId = 100000 + static_cast<DWORD>(sender);
        process.dataValid = 1;
        process.monitorIntervalSec = 5;
        process.machineLoad.availPhysicalKB = 1 << 20;
        machine.machineName = m_name;
        machine.dataValid = 1;
        machine.machineLoad.availPhysicalKB = 1 << 20;
    }
    ~Sample()
    {
        SysFreeString(m_name);
        SysFreeString(m_machine);
        SysFreeString(m_empty);
    }
    Sample(const Sample&) = delete;
    Sample& operator=(const Sample&) = delete;

    tagQNResourceInformation process{};
    tagQNSystemResourceInformation machine{};

private:
    BSTR m_name;
    BSTR m_machine;
    BSTR m_empty;
};

const CLSID& ClassOf(const Options& options) { return options.system ? CLSID_QNSystemResourceObserver : CLSID_QNResourceObserver; }

IUnknown* Connect(const Options& options)
{
    const std::u16string host(options.machine.begin(), options.machine.end());
    COAUTHINFO authentication{RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, options.level, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE};
    COSERVERINFO server{0, host.c_str(), &authentication, 0};
    MULTI_QI query{options.system ? &IQNSystemResourceObserver::kIid : &IQNResourceObserver::kIid, nullptr, 0};
    const HRESULT created = CoCreateInstanceEx(ClassOf(options), nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, &server, 1, &query);
    return SUCCEEDED(created) ? query.pItf : nullptr;
}

// A library sender: calls the proxy until `end`.
void SendThroughLibrary(const Options& options, int sender, Clock::time_point end, Tally& tally)
{
    IUnknown* object = Connect(options);
    if (object == nullptr) {
        ++tally.failed;
        return;
    }
    Sample sample(options, sender);
    for (Clock::time_point now = Clock::now(); now < end;) {
        const HRESULT result = options.system ? static_cast<IQNSystemResourceObserver*>(object)->SetSystemResourceData(&sample.machine)
                                              : static_cast<IQNResourceObserver*>(object)->SetProcessResourceInfo(&sample.process);
        const Clock::time_point done = Clock::now();
        if (FAILED(result))
            ++tally.failed;
        else
            tally.latencies.push_back(std::chrono::duration<float, std::micro>(done - now).count());
        if (options.pauseMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(options.pauseMs));
        now = Clock::now();
    }
    object->Release();
}

// A wire sender: each answer, on a thread of gRPC, sends the next call until `end`.
class WireSender {
public:
    WireSender(const Options& options, int sender, Tally& tally, std::latch& finished)
        : m_system(options.system), m_tally(tally), m_finished(finished)
    {
        const Sample sample(options, sender);
        transport::ToWire(sample.process, m_process);
        transport::ToWire(sample.machine, m_machine);
        const auto channel = transport::OpenChannel(ClassOf(options), options.machine, options.level);
        if (channel != nullptr && channel->WaitForConnected(std::chrono::system_clock::now() + transport::kActivationDeadline)) {
            m_processStub = qn::IQNResourceObserver::NewStub(channel);
            m_machineStub = qn::IQNSystemResourceObserver::NewStub(channel);
        }
    }

    void Start(Clock::time_point end)
    {
        m_end = end;
        if (m_processStub == nullptr) {
            ++m_tally.failed;
            m_finished.count_down();
            return;
        }
        Call();
    }

private:
    void Call()
    {
        m_context.emplace();
        m_context->set_deadline(std::chrono::system_clock::now() + transport::kCallDeadline);
        m_started = Clock::now();
        const auto answered = [this](const grpc::Status& status) { Answered(status); };
        if (m_system)
            m_machineStub->async()->SetSystemResourceData(&*m_context, &m_machine, &m_reply, answered);
        else
            m_processStub->async()->SetProcessResourceInfo(&*m_context, &m_process, &m_reply, answered);
    }

    void Answered(const grpc::Status& status)
    {
        const Clock::time_point now = Clock::now();
        if (!status.ok() || FAILED(m_reply.hresult()))
            ++m_tally.failed;
        else
            m_tally.latencies.push_back(std::chrono::duration<float, std::micro>(now - m_started).count());
        if (now < m_end)
            Call();
        else
            m_finished.count_down();
    }

    bool m_system;
    Clock::time_point m_end{};
    Tally& m_tally;
    std::latch& m_finished;
    std::unique_ptr<qn::IQNResourceObserver::Stub> m_processStub;
    std::unique_ptr<qn::IQNSystemResourceObserver::Stub> m_machineStub;
    qn::ResourceInformation m_process;
    qn::SystemResourceInformation m_machine;
    qn::Result m_reply;
    std::optional<grpc::ClientContext> m_context;
    Clock::time_point m_started;
};

// Runs the senders for the options' time; returns the seconds spent.
double Run(const Options& options, std::vector<Tally>& tallies)
{
    const auto duration = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    if (options.wire) {
        // Connections first, so that the time counts calls only.
        std::latch finished(options.senders);
        std::vector<std::unique_ptr<WireSender>> senders;
        for (int i = 0; i < options.senders; ++i)
            senders.push_back(std::make_unique<WireSender>(options, i, tallies[i], finished));
        const auto start = Clock::now();
        for (auto& sender : senders)
            sender->Start(start + duration);
        finished.wait();
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
    const auto start = Clock::now();
    std::vector<std::thread> senders;
    for (int i = 0; i < options.senders; ++i)
        senders.emplace_back(SendThroughLibrary, std::cref(options), i, start + duration, std::ref(tallies[i]));
    for (auto& sender : senders)
        sender.join();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::string value = argv[i + 1];
        if (flag == "--class")
            options.system = value == "system";
        else if (flag == "--client")
            options.wire = value == "wire";
        else if (flag == "--machine")
            options.machine = value;
        else if (flag == "--level")
            options.level = static_cast<DWORD>(std::stoul(value));
        else if (flag == "--senders")
            options.senders = std::max(1, std::stoi(value));
        else if (flag == "--seconds")
            options.seconds = std::stod(value);
        else if (flag == "--pause-ms")
            options.pauseMs = std::stoi(value);
    }
    if (options.wire && options.pauseMs > 0) {
        std::fprintf(stderr, "intake_load: --pause-ms needs the library client\n");
        return 2;
    }
    std::vector<Tally> tallies(options.senders);
    const double spent = Run(options, tallies);

    std::vector<float> all;
    long failed = 0;
    for (const auto& tally : tallies) {
        all.insert(all.end(), tally.latencies.begin(), tally.latencies.end());
        failed += tally.failed;
    }
    std::sort(all.begin(), all.end());
    const auto percentile = [&](double p) { return all.empty() ? 0.0 : all[static_cast<size_t>(p * static_cast<double>(all.size() - 1))]; };
    std::printf("senders %d calls %zu per_second %.0f p50_us %.0f p99_us %.0f failed %ld\n", options.senders, all.size(),
                static_cast<double>(all.size()) / spent, percentile(0.5), percentile(0.99), failed);
    return failed == 0 ? 0 : 1;
}
