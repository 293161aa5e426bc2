// qn-system-resource-observer: the system resource observer of an installation. Serves
// QNSystemResourceObserver on TCP with the installation's security settings, keeps the newest
// samples of every machine whose resource observer reports to it, logs the machine emergencies,
// alerts and global emergencies it receives, and serves its status as JSON, its metrics for
// Prometheus and a page for browsers on a loopback HTTP port. Stops on SIGINT or SIGTERM.
#include <CLI/CLI.hpp>

#include <malloc.h>

#include <cstdio>

#include "emergency/XEmergencyHandlerHelper.h"
#include "emergency/XResourceAlertAdditions.h"
#include "hosts/common/HostSupport.h"
#include "hosts/common/LoopbackHttp.h"
#include "hosts/common/Metrics.h"
#include "hosts/common/ServiceManager.h"
#include "hosts/system-resource-observer/FleetPage.h"
#include "hosts/system-resource-observer/SystemObserverStatus.h"
#include "interfaces/QNResourceObserverInterfaces.h"
#include "systemobserver/XSystemResourceObserverInstance.h"

namespace {

// The object the resource observers call; every call enters the library's forwarders, and what the
// store took is noted for the status page. It lives as long as the program.
class SystemResourceObserverObject final : public CComObjectGlobal<IQNSystemResourceObserver3, IQNSystemEmergencyObserver>,
                                           private XQNSystemResourceObserverBase {
public:
    SystemResourceObserverObject(hosts::MachineBook& book, hosts::MachineTrends& trends, hosts::CallCounts& counts)
        : m_book(book), m_trends(trends), m_counts(counts)
    {
    }

    HRESULT SetSystemResourceData(const tagQNSystemResourceInformation* info) override { return Take(*info, nullptr, nullptr); }
    HRESULT SetSystemResourceData2(const tagQNSystemResourceInformation* info, const tagQNMachinePressure* pressure) override
    {
        return Take(*info, pressure, nullptr);
    }
    HRESULT SetSystemResourceData3(const tagQNSystemResourceInformation* info, const tagQNMachinePressure* pressure,
                                   const tagQNMachineOomKills* oomKills) override
    {
        return Take(*info, pressure, oomKills);
    }
    HRESULT RaiseSystemResourceEmergencyEvent(const tagQNSystemResourceEmergencyEvent* event) override
    {
        ++m_counts.eventsReceived;
        const HRESULT result = hosts::ResultOf([&] { XQNSystemResourceObserverBase::RaiseSystemResourceEmergencyEvent(*event); });
        if (SUCCEEDED(result) && event->emergencyState != 0)
            Note(event->machineName, "Machine emergency: ", XEmergencyHandlerHelper::BuildEmergencyStateMsg(event->emergencyState), true);
        return result;
    }
    HRESULT NotifySystemResourceAlert(const tagQNSystemResourceAlert* alert) override
    {
        ++m_counts.eventsReceived;
        const HRESULT result = hosts::ResultOf([&] { XQNSystemResourceObserverBase::NotifySystemResourceAlert(*alert); });
        if (SUCCEEDED(result) && alert->alertState != 0) {
            m_book.AlertArrived(alert->machineName, alert->alertState);
            Note(alert->machineName, "Alert: ", XResourceAlertAdditions::BuildAlertStateMsg(alert->alertState), false);
        }
        return result;
    }
    HRESULT RaiseGlobalEmergencyEvent(const tagQNSystemServerEmergencyEvent* event) override
    {
        ++m_counts.eventsReceived;
        const HRESULT result = hosts::ResultOf([&] { XQNSystemResourceObserverBase::RaiseGlobalEmergencyEvent(*event); });
        if (SUCCEEDED(result) && event->emergencyState != 0)
            Note(event->machineName, "Server emergency: ", XEmergencyHandlerHelper::BuildEmergencyStateMsg(event->emergencyState), true);
        return result;
    }

private:
    // A sample of any version: the store takes the figures, the book what came beside them.
    HRESULT Take(const tagQNSystemResourceInformation& info, const tagQNMachinePressure* pressure, const tagQNMachineOomKills* oomKills)
    {
        const HRESULT result = hosts::ResultOf([&] { hosts::RefuseUnless(XQNSystemResourceObserverBase::SetSystemResourceData(info)); });
        if (SUCCEEDED(result) && info.dataValid != 0) {
            m_book.SampleArrived(info.machineName, pressure, oomKills);
            (void)hosts::ResultOf([&] { m_trends.SampleArrived(info.machineName, info, pressure); });
        }
        return m_counts.Sample(info.dataValid != 0, result);
    }
    // For the page's view of the machine; the logbook has it already.
    void Note(BSTR machine, const char* kind, const XQNComBSTR& text, bool emergency)
    {
        (void)hosts::ResultOf([&] { m_trends.EventArrived(machine, kind + text.ToUtf8(), emergency); });
    }

    hosts::MachineBook& m_book;
    hosts::MachineTrends& m_trends;
    hosts::CallCounts& m_counts;
};

}  // namespace

int main(int argc, char** argv)
{
    // One malloc arena for every thread: spread over the arenas of gRPC's threads, what thousands
    // of closed connections had freed stayed in the process, about 17 KB a machine against 6.
    ::mallopt(M_ARENA_MAX, 1);
    CLI::App app{"The system resource observer: keeps the newest figures of every machine of the installation."};
    std::string address = "0.0.0.0";
    int port = transport::SystemResourceObserverPort();
    int statusPort = hosts::kSystemObserverStatusPort;
    std::string statusAddress = hosts::kLoopbackAddress;
    size_t maxMachines = XSystemResourceObserverInstance::kDefaultMachineLimit;
    app.add_option("--address", address, "Address to serve the resource observers on")->capture_default_str();
    app.add_option("--port", port, "TCP port (0: a free one; default: the registry's SystemResourceObserverPort)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    app.add_option("--status-port", statusPort, "Port of the HTTP status, metrics and page (0: a free one)")->capture_default_str()->check(CLI::Range(0, 65535));
    app.add_option("--status-address", statusAddress, "Address of the HTTP status, metrics and page: whoever reaches it sees every machine")
        ->capture_default_str();
    app.add_option("--max-machines", maxMachines, "Machines kept at most; samples of new ones beyond are refused")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    CLI11_PARSE(app, argc, argv);

    XQNLogbook::Open();  // before serving: the first entry may be about running out of descriptors
    hosts::RaiseDescriptorLimit();
    const sigset_t stopSignals = hosts::BlockStopSignals();
    try {
        XSystemResourceObserverInstance& store = XSystemResourceObserverInstance::Instance();
        store.SetMachineLimit(maxMachines);
        hosts::MachineBook book(maxMachines);
        hosts::MachineTrends trends(platform::ScaledDuration(store.ObserverIntervalMs()), maxMachines);
        hosts::CallCounts counts;
        SystemResourceObserverObject object(book, trends, counts);
        transport::XComServer server(CLSID_QNSystemResourceObserver, static_cast<IQNSystemResourceObserver*>(&object), hosts::InstallationSecurity(),
                                     address + ":" + std::to_string(port));
        hosts::LoopbackHttp http;
        http.Serve("/status", [&book](const hosts::LoopbackHttp::Parameters& parameters) {
            const auto query = hosts::StatusQuery::FromParameters(parameters);
            if (!query)
                return hosts::LoopbackHttp::Page{"the status takes only=silent, only=alert and machine=NAME\n", "text/plain", 400};
            return hosts::LoopbackHttp::Page{hosts::StatusJson(book, *query), "application/json"};
        });
        http.Serve("/metrics", [&book, &counts] { return hosts::LoopbackHttp::Page{hosts::SystemObserverMetrics(book.Status(), counts), hosts::kExpositionType}; });
        hosts::ServeFleetPage(http, book, trends);
        std::string error;
        if (FAILED(server.Start(error)) || !http.Start(statusPort, error, statusAddress)) {
            std::fprintf(stderr, "qn-system-resource-observer: %s\n", error.c_str());
            return 1;
        }
        store.Start();
        std::printf("qn-system-resource-observer: serving on %s:%d, status on http://%s:%d/status, page on http://%s:%d/\n", address.c_str(),
                    server.Port(), statusAddress.c_str(), http.Port(), statusAddress.c_str(), http.Port());
        std::fflush(stdout);
        hosts::ServiceManager serviceManager({{"worker", &store.WorkerHeartbeat()}, {"acceptor", &server.AcceptorHeartbeat()}});
        serviceManager.Ready();

        // What thousands of connections left behind when they closed goes back to the system
        // now and then: glibc keeps free pages in its arena otherwise.
        constexpr unsigned kReturnMemorySec = 10;
        while (hosts::WaitForSignal(stopSignals, kReturnMemorySec) == 0)
            ::malloc_trim(0);
        serviceManager.Stopping();
        http.Stop();
        server.Stop();
        XSystemResourceObserverInstance::Destroy();
    } catch (const XWrappedQNException& exception) {
        return hosts::EndWithFailure("qn-system-resource-observer", exception);
    }
    return 0;
}
