// A server process that embeds the resource agent: it hears of its own emergencies, sets its
// emergency limits, runs the load monitor for a while and stops it before it exits.
//   embedding-example [SECONDS]   (default 30)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "agent/XLoadMonitor.h"
#include "agent/XLoadMonitorSettings.h"
#include "agent/XProcessAgent.h"
#include "agent/XProcessResourceObserverInstance.h"
#include "emergency/XEmergencyHandlerHelper.h"
#include "emergency/XResourceEmergencyHandler.h"
#include "interfaces/QNResourceAgentVersion.h"

namespace {

// The server's emergency handler: here it only tells. A real server would shed load, refuse new
// sessions or restart itself. It lives as long as the program, so it counts no references.
class EmergencyHandler final : public CComObjectGlobal<IQNOPXServerEmergencyHandler> {
public:
    HRESULT GetHandlerInfo(BSTR* description) override
    {
        *description = SysAllocString(u"embedding-example emergency handler");
        return S_OK;
    }
    HRESULT HandleServerEmergency(LONG code) override
    {
        const XQNComBSTR cause = XEmergencyHandlerHelper::BuildEmergencyCauseMsg(static_cast<QNServerEmergency>(code));
        std::printf("embedding-example: emergency 0x%X: %s\n", static_cast<unsigned>(code), cause.ToUtf8().c_str());
        std::fflush(stdout);
        return S_OK;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;

    // At start: the handler, the interval and the limits, before the monitor runs.
    EmergencyHandler handler;
    XResourceEmergencyHandler::RegisterProcessEmergencyHandler(CComPtr<IQNOPXServerEmergencyHandler>(&handler));
    XLoadMonitorSettings::Instance().SetMonitorIntervalSec(1);
    XProcessResourceObserverInstance::Instance().SetEmergencyResourceMetric(/*memoryKB*/ 0, /*threads*/ 500, /*handles*/ 0);

    {
        XLoadMonitor monitor;
        monitor.Start();
        std::printf("embedding-example %s: monitor %s\n", QN_RESOURCE_AGENT_VERSION, monitor.IsRunnning() ? "running" : "not running");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(seconds));  // the server's work
        monitor.Stop();
    }

    // At exit, once the monitor has stopped: the agent's singletons.
    XProcessAgent::Destroy();
    XProcessResourceObserverInstance::Destroy();
    XLoadMonitorSettings::Destroy();
    std::printf("embedding-example: stopped\n");
    return 0;
}
