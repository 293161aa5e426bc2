// A resource observer's side of the link, in the test's own process: figures and alerts of
// machines of the test's choosing, sent to a system observer over the real transport.
#pragma once

#include <string>

#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/transport/Activation.h"
#include "tests/helpers/Sample.h"
#include "tests/helpers/TestInstallation.h"

namespace qntest {

// The system observer on this machine's `port`, over plain TCP; null when it doesn't answer.
inline CComPtr<IQNSystemResourceObserver> ConnectSystemObserver(TestInstallation& installation, int port)
{
    installation.Set("SystemResourceObserverPort", std::to_string(port));
    COAUTHINFO authentication{RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE};
    COSERVERINFO server{0, u"localhost", &authentication, 0};
    MULTI_QI query{&IQNSystemResourceObserver::kIid, nullptr, 0};
    CComPtr<IQNSystemResourceObserver> observer;
    if (SUCCEEDED(CoCreateInstanceEx(CLSID_QNSystemResourceObserver, nullptr, CLSCTX_REMOTE_SERVER, &server, 1, &query)))
        observer.Attach(static_cast<IQNSystemResourceObserver*>(query.pItf));
    return observer;
}

// The figures of `machine`, with its OOM kills where `kills` are given, as its resource observer
// sends them.
inline HRESULT SendFigures(IQNSystemResourceObserver& observer, const std::u16string& machine, LONGLONG freeKB = 1 << 20,
                           const tagQNMachineOomKills* kills = nullptr)
{
    MachineSample figures(machine.c_str());
    figures.machineLoad.availPhysicalKB = freeKB;
    if (kills == nullptr)
        return observer.SetSystemResourceData(&figures);
    CComPtr<IQNSystemResourceObserver3> withKills;
    if (const HRESULT offered = observer.QueryInterface(IQNSystemResourceObserver3::kIid, reinterpret_cast<void**>(&withKills)); FAILED(offered))
        return offered;
    const tagQNMachinePressure pressure{};
    return withKills->SetSystemResourceData3(&figures, &pressure, kills);
}

inline HRESULT SendAlert(IQNSystemResourceObserver& observer, const std::u16string& machine, LONG state)
{
    tagQNSystemResourceAlert alert{SysAllocString(machine.c_str()), state};
    const HRESULT result = observer.NotifySystemResourceAlert(&alert);
    SysFreeString(alert.machineName);
    return result;
}

}  // namespace qntest
