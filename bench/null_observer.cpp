// A resource observer that takes every call and does nothing with it, served on the installation's
// socket as the real one is: what the transport alone costs, for bench/run to set beside the
// intake of qn-resource-observer. Stops on SIGINT or SIGTERM.
#include <cstdio>
#include <string>

#include "hosts/common/HostSupport.h"
#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/transport/Activation.h"
#include "platform/transport/ComServer.h"

namespace {

class NullObserver final : public CComObjectGlobal<IQNResourceObserver, IQNEmergencyObserver> {
public:
    HRESULT SetProcessResourceInfo(const tagQNResourceInformation*) override { return S_OK; }
    HRESULT RaiseProcessResourceEmergencyEvent(const tagQNProcessResourceEmergencyEvent*) override { return S_OK; }
    HRESULT NotifyProcessResourceAlert(const tagQNProcessResourceAlert*) override { return S_OK; }
    HRESULT RaiseGlobalEmergencyEvent(const tagQNProcessServerEmergencyEvent*) override { return S_OK; }
};

}  // namespace

int main()
{
    const sigset_t signals = hosts::BlockStopSignals();
    NullObserver object;
    transport::XComServer server(CLSID_QNResourceObserver, static_cast<IQNResourceObserver*>(&object), {RPC_C_AUTHN_LEVEL_NONE, RPC_C_AUTHN_NONE},
                                 transport::ResourceObserverSocketPath());
    std::string error;
    if (FAILED(server.Start(error))) {
        std::fprintf(stderr, "null_observer: %s\n", error.c_str());
        return 1;
    }
    hosts::WaitForStop(signals);
    return 0;
}
