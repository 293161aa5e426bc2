// qn-resource-observer: the resource observer of one machine. Serves QNResourceObserver on the
// Unix socket of the installation, averages what the server processes send, checks the machine
// alert limits, logs every change of the alert state, sends each cycle's figures to the system
// resource observer and serves its metrics for Prometheus on a loopback HTTP port. Stops on
// SIGINT or SIGTERM.
#include <CLI/CLI.hpp>

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "emergency/XResourceAlertAdditions.h"
#include "hosts/common/HostSupport.h"
#include "hosts/common/LoopbackHttp.h"
#include "hosts/common/Metrics.h"
#include "hosts/common/ServiceManager.h"
#include "hosts/resource-observer/ResourceObserverMetrics.h"
#include "hosts/resource-observer/SystemObserverChoice.h"
#include "observer/XQNResourceObserverBase.h"
#include "observer/XResourceObserverInstance.h"

namespace {

// The object the server processes call; every call enters the library's forwarders.
// It lives as long as the program.
class ResourceObserverObject final : public CComObjectGlobal<IQNResourceObserver2, IQNEmergencyObserver>, private XQNResourceObserverBase {
public:
    explicit ResourceObserverObject(hosts::ObserverCounts& counts) : m_counts(counts) {}

    HRESULT SetProcessResourceInfo(const tagQNResourceInformation* info) override
    {
        return m_counts.Sample(info->dataValid != 0, hosts::ResultOf([&] { hosts::RefuseUnless(SetResourceData(*info)); }));
    }
    HRESULT SetProcessResourceInfo2(const tagQNResourceInformation* info, const tagQNProcessCeilings* ceilings) override
    {
        return m_counts.Sample(info->dataValid != 0, hosts::ResultOf([&] { hosts::RefuseUnless(SetResourceData(*info, *ceilings)); }));
    }
    HRESULT RaiseProcessResourceEmergencyEvent(const tagQNProcessResourceEmergencyEvent* event) override
    {
        return KeptWhenNotPassedOn(hosts::ResultOf([&] { XQNResourceObserverBase::RaiseProcessResourceEmergencyEvent(*event); }),
                                   {Kept::Kind::ResourceEmergency, event->machineName, event->emergencyState});
    }
    HRESULT NotifyProcessResourceAlert(const tagQNProcessResourceAlert* alert) override
    {
        return KeptWhenNotPassedOn(hosts::ResultOf([&] { XQNResourceObserverBase::NotifyProcessResourceAlert(*alert); }),
                                   {Kept::Kind::ResourceAlert, alert->machineName, alert->alertState});
    }
    HRESULT RaiseGlobalEmergencyEvent(const tagQNProcessServerEmergencyEvent* event) override
    {
        return KeptWhenNotPassedOn(hosts::ResultOf([&] { XQNResourceObserverBase::RaiseGlobalEmergencyEvent(*event); }),
                                   {Kept::Kind::ServerEmergency, event->machineName, event->emergencyState});
    }

private:
    using Kept = XResourceObserverInstance::KeptEvent;

    // The system observer away is no failure of the agent's call: the event is kept for later.
    HRESULT KeptWhenNotPassedOn(HRESULT result, Kept event)
    {
        ++m_counts.eventsReceived;
        result = XResourceObserverInstance::Instance().KeepWhenNotPassedOn(result, std::move(event));
        if (result == S_FALSE)
            ++m_counts.eventsKept;
        return result;
    }


    hosts::ObserverCounts& m_counts;
};

class AlertLogger final : public XMachineResourceAlertHandler {
public:
    explicit AlertLogger(std::atomic<LONG>& state) : m_state(state) {}

    void OnMachineResourceAlert(LONG state) override
    {
        m_state.exchange(state);
        const QNErrorLocation location{"qn-resource-observer", __LINE__, u"qn-resource-observer", u"AlertLogger::OnMachineResourceAlert"};
        XQNError::WriteTraceToErrorLogBook(location, QNSeverity_Trace,
                                           XQNComBSTR::GetFormatted(u"machine resource alert state changed: 0x%X (%s)", state,
                                                                    XResourceAlertAdditions::BuildAlertStateMsg(state)),
                                           u"");
    }

private:
    std::atomic<LONG>& m_state;
};

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"The resource observer of this machine: collects the samples of the server processes and forwards the machine's figures."};
    std::vector<std::string> systemObservers;
    unsigned interval = 5;
    unsigned long processLimit = 0, handleLimit = 0, physicalKBLimit = 0, pageFileMBLimit = 0;
    double cpuLimit = 0.0, pressureLimit = 0.0;
    unsigned relinkSeconds = 60;
    int metricsPort = hosts::kResourceObserverMetricsPort;
    size_t maxProcesses = XResourceObserverInstance::kDefaultProcessLimit, maxMachines = XResourceObserverInstance::kDefaultMachineLimit;
    app.add_option("--system-observer", systemObservers,
                   "Machines of the system resource observers in order of preference (A,B): the first that answers is kept until its link fails")
        ->required()
        ->delimiter(',');
    app.add_option("--interval", interval, "Observer cycle in seconds (at least 5)")->capture_default_str();
    app.add_option("--process-limit", processLimit, "Alert above this many processes on the machine (0: off)");
    app.add_option("--handle-limit", handleLimit, "Alert above this many open files on the machine (0: off)");
    app.add_option("--physical-kb-limit", physicalKBLimit, "Alert below this much free physical memory, KB (0: off)");
    app.add_option("--pagefile-mb-limit", pageFileMBLimit, "Alert below this much free commit memory, MB (0: off)");
    app.add_option("--cpu-limit", cpuLimit, "Alert at this processor load in percent (0: off)")->check(CLI::Range(0.0, 100.0));
    app.add_option("--pressure-limit", pressureLimit, "Alert while tasks stall on cpu, memory or io this percent of 10 s (0: off)")
        ->check(CLI::Range(0.0, 100.0));
    app.add_option("--relink-interval", relinkSeconds, "Longest wait in seconds, after failed links, before the next try")
        ->capture_default_str()
        ->check(CLI::Range(1u, 86400u));
    app.add_option("--metrics-port", metricsPort, "Loopback port of the Prometheus metrics (0: a free one)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    app.add_option("--max-processes", maxProcesses, "Processes kept at most; samples of new ones beyond are refused")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--max-machines", maxMachines, "Machines kept at most; samples of new ones beyond are refused")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    CLI11_PARSE(app, argc, argv);

    XQNLogbook::Open();  // before serving: the first entry may be about running out of descriptors
    hosts::RaiseDescriptorLimit();
    const sigset_t stopSignals = hosts::BlockStopSignals();
    const std::string socket = transport::ResourceObserverSocketPath();
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(socket).parent_path(), ignored);

    try {
        XResourceObserverInstance& observer = XResourceObserverInstance::Instance();
        hosts::ObserverCounts counts;
        AlertLogger alertLogger(counts.alertState);
        observer.RegisterResourceAlertHandler(&alertLogger);
        observer.SetResourceObserverInterval(interval);
        observer.SetStoreLimits(maxProcesses, maxMachines);
        observer.SetResourceAlertMetric(processLimit, handleLimit, physicalKBLimit, pageFileMBLimit, cpuLimit);
        observer.SetPressureAlertLimit(pressureLimit);

        ResourceObserverObject object(counts);
        transport::XComServer server(CLSID_QNResourceObserver, static_cast<IQNResourceObserver*>(&object), hosts::InstallationSecurity(), socket);
        hosts::LoopbackHttp http;
        http.Serve("/metrics", [&counts] { return hosts::LoopbackHttp::Page{hosts::ResourceObserverMetrics(counts), hosts::kExpositionType}; });
        std::string error;
        if (FAILED(server.Start(error))) {
            std::fprintf(stderr, "qn-resource-observer: can't serve on %s: %s\n", socket.c_str(), error.c_str());
            return 1;
        }
        if (!http.Start(metricsPort, error)) {
            std::fprintf(stderr, "qn-resource-observer: %s\n", error.c_str());
            return 1;
        }
        hosts::SystemObserverChoice choice(systemObservers, std::max(interval, 5u), relinkSeconds);
        const auto name = [&observer](const std::string& machine) {
            hosts::ResultOf([&] { observer.SetSystemResourceObserver(XQNComBSTR(machine.c_str())); });
        };
        name(choice.First());
        std::printf("qn-resource-observer: serving on %s, reporting to %s every %u s, metrics on http://127.0.0.1:%d/metrics\n", socket.c_str(),
                    choice.Listed().c_str(), std::max(interval, 5u), http.Port());
        std::fflush(stdout);
        hosts::ServiceManager serviceManager({{"worker", &observer.WorkerHeartbeat()}, {"acceptor", &server.AcceptorHeartbeat()}});
        serviceManager.Ready();

        // A failed call to the system observer ends the worker; the next system observer is named
        // at once, or after a random wait that grows while none answers. A link that can't be made
        // now (no thread for its worker) counts as failed.
        while (hosts::WaitForSignal(stopSignals, hosts::SystemObserverChoice::kCheckSeconds) == 0)
            if (const auto next = choice.AfterCheck(observer.IsSystemResourceObserverLinked(), observer.SystemResourceObserverLinksMade()))
                name(*next);
        serviceManager.Stopping();
        http.Stop();
        server.Stop();
        observer.DeregisterResourceAlertHandler(&alertLogger);
        XResourceObserverInstance::Destroy();
    } catch (const XWrappedQNException& exception) {
        return hosts::EndWithFailure("qn-resource-observer", exception);
    }
    return 0;
}
