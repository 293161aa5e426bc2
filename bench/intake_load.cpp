// A load generator that speaks the wire schema: N senders, each with a connection of its own,
// send samples for a while to the observer of a class and print the intake and the latency of
// the calls:
//   intake_load --class resource|system [--machine NAME] [--level N] [--senders N] [--seconds S]
//               [--pause-ms M]
// prints "senders N calls C per_second R p50_us A p99_us B failed F". The resource class takes
// process samples (a process id per sender), the system class machine samples (a machine per
// sender). With a pause, each sender waits that long after each call, as a process reporting at
// an interval does.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/Bstr.h"
#include "platform/transport/Activation.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    bool system = false;
    std::string machine = "localhost";
    DWORD level = RPC_C_AUTHN_LEVEL_CONNECT;
    int senders = 1;
    double seconds = 5.0;
    int pauseMs = 0;
};

IUnknown* Connect(const Options& options)
{
    const std::u16string host(options.machine.begin(), options.machine.end());
    COAUTHINFO authentication{RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, options.level, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE};
    COSERVERINFO server{0, host.c_str(), &authentication, 0};
    MULTI_QI query{options.system ? &IQNSystemResourceObserver::kIid : &IQNResourceObserver::kIid, nullptr, 0};
    const HRESULT created = CoCreateInstanceEx(options.system ? CLSID_QNSystemResourceObserver : CLSID_QNResourceObserver, nullptr,
                                               CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, &server, 1, &query);
    return SUCCEEDED(created) ? query.pItf : nullptr;
}

// Sends until `end`; the latency of every call in microseconds goes to `latencies`.
void Send(const Options& options, int sender, Clock::time_point end, std::vector<float>& latencies, std::atomic<long>& failed)
{
    IUnknown* object = Connect(options);
    if (object == nullptr) {
        ++failed;
        return;
    }
    const std::u16string name = platform::ToUtf16(options.system ? "load-machine-" + std::to_string(sender) : "intake-load");
    BSTR text = SysAllocString(name.c_str());
    BSTR machine = SysAllocString(u"load-machine");
    BSTR empty = SysAllocString(u"");
    tagQNResourceInformation sample{};
    sample.machineName = machine;
    sample.processName = text;
    sample.auxText = empty;
    sample.processId = 100000 + static_cast<DWORD>(sender);
    sample.dataValid = 1;
    sample.monitorIntervalSec = 5;
    sample.machineLoad.availPhysicalKB = 1 << 20;
    tagQNSystemResourceInformation figures{};
    figures.machineName = text;
    figures.dataValid = 1;
    figures.machineLoad.availPhysicalKB = 1 << 20;
    for (Clock::time_point now = Clock::now(); now < end;) {
        const HRESULT result = options.system ? static_cast<IQNSystemResourceObserver*>(object)->SetSystemResourceData(&figures)
                                              : static_cast<IQNResourceObserver*>(object)->SetProcessResourceInfo(&sample);
        const Clock::time_point done = Clock::now();
        if (FAILED(result))
            ++failed;
        else
            latencies.push_back(std::chrono::duration<float, std::micro>(done - now).count());
        if (options.pauseMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(options.pauseMs));
        now = Clock::now();
    }
    object->Release();
    SysFreeString(text);
    SysFreeString(machine);
    SysFreeString(empty);
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
    std::vector<std::vector<float>> latencies(options.senders);
    std::atomic<long> failed{0};
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    std::vector<std::thread> senders;
    for (int i = 0; i < options.senders; ++i)
        senders.emplace_back(Send, std::cref(options), i, end, std::ref(latencies[i]), std::ref(failed));
    for (auto& sender : senders)
        sender.join();
    const double spent = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<float> all;
    for (const auto& one : latencies)
        all.insert(all.end(), one.begin(), one.end());
    std::sort(all.begin(), all.end());
    const auto percentile = [&](double p) { return all.empty() ? 0.0 : all[static_cast<size_t>(p * static_cast<double>(all.size() - 1))]; };
    std::printf("senders %d calls %zu per_second %.0f p50_us %.0f p99_us %.0f failed %ld\n", options.senders, all.size(),
                static_cast<double>(all.size()) / spent, percentile(0.5), percentile(0.99), failed.load());
    return failed.load() == 0 ? 0 : 1;
}
