// A stand-in observer process: serves a recording object for QNResourceObserver or
// QNSystemResourceObserver and prints every call it receives as one line, "Method <record in its
// wire form>", answering each call with a fixed HRESULT. Prints "ready <port>" once it serves.
//   qn-recording-observer --class resource|system --endpoint PATH|ADDRESS:PORT
//                         [--answer HRESULT] [--level N] [--service N]
// Ends when its standard input closes.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>

#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/transport/Activation.h"
#include "platform/transport/ComServer.h"
#include "platform/transport/WireRecords.h"

namespace {

std::mutex g_outputMutex;

template <typename Record, typename Wire>
void Print(const char* method, const Record* record)
{
    Wire wire;
    transport::ToWire(*record, wire);
    std::lock_guard lock(g_outputMutex);
    std::printf("%s %s\n", method, wire.ShortDebugString().c_str());
    std::fflush(stdout);
}

class RecordingObject final : public IQNResourceObserver,
                              public IQNEmergencyObserver,
                              public IQNSystemResourceObserver,
                              public IQNSystemEmergencyObserver {
public:
    RecordingObject(bool system, HRESULT answer) : m_system(system), m_answer(answer) {}

    HRESULT QueryInterface(REFIID iid, void** object) override
    {
        {
            std::lock_guard lock(g_outputMutex);
            std::printf("QueryInterface %s\n", GuidToString(iid).c_str());
            std::fflush(stdout);
        }
        if (iid == IID_IUnknown || iid == (m_system ? IQNSystemResourceObserver::kIid : IQNResourceObserver::kIid))
            *object = m_system ? static_cast<void*>(static_cast<IQNSystemResourceObserver*>(this)) : static_cast<IQNResourceObserver*>(this);
        else if (!m_system && iid == IQNEmergencyObserver::kIid)
            *object = static_cast<IQNEmergencyObserver*>(this);
        else if (m_system && iid == IQNSystemEmergencyObserver::kIid)
            *object = static_cast<IQNSystemEmergencyObserver*>(this);
        else
            return *object = nullptr, E_NOINTERFACE;
        return S_OK;
    }
    // Lives for the whole process.
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT SetProcessResourceInfo(const tagQNResourceInformation* r) override { return Answer<qn::ResourceInformation>("SetProcessResourceInfo", r); }
    HRESULT RaiseProcessResourceEmergencyEvent(const tagQNProcessResourceEmergencyEvent* r) override
    {
        return Answer<qn::ProcessEvent>("RaiseProcessResourceEmergencyEvent", r);
    }
    HRESULT NotifyProcessResourceAlert(const tagQNProcessResourceAlert* r) override { return Answer<qn::ProcessEvent>("NotifyProcessResourceAlert", r); }
    HRESULT RaiseGlobalEmergencyEvent(const tagQNProcessServerEmergencyEvent* r) override { return Answer<qn::ProcessEvent>("RaiseGlobalEmergencyEvent", r); }
    HRESULT SetSystemResourceData(const tagQNSystemResourceInformation* r) override
    {
        return Answer<qn::SystemResourceInformation>("SetSystemResourceData", r);
    }
    HRESULT RaiseSystemResourceEmergencyEvent(const tagQNSystemResourceEmergencyEvent* r) override
    {
        return Answer<qn::SystemEvent>("RaiseSystemResourceEmergencyEvent", r);
    }
    HRESULT NotifySystemResourceAlert(const tagQNSystemResourceAlert* r) override { return Answer<qn::SystemEvent>("NotifySystemResourceAlert", r); }
    HRESULT RaiseGlobalEmergencyEvent(const tagQNSystemServerEmergencyEvent* r) override
    {
        return Answer<qn::SystemEvent>("RaiseSystemGlobalEmergencyEvent", r);
    }

private:
    template <typename Wire, typename Record>
    HRESULT Answer(const char* method, const Record* record)
    {
        Print<Record, Wire>(method, record);
        return m_answer;
    }

    bool m_system;
    HRESULT m_answer;
};

}  // namespace

int main(int argc, char** argv)
{
    std::string kind = "resource", endpoint;
    HRESULT answer = S_OK;
    transport::ServerSecurity security{RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_AUTHN_WINNT};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::string value = argv[i + 1];
        if (flag == "--class")
            kind = value;
        else if (flag == "--endpoint")
            endpoint = value;
        else if (flag == "--answer")
            answer = static_cast<HRESULT>(std::stoul(value, nullptr, 0));
        else if (flag == "--level")
            security.authenticationLevel = static_cast<DWORD>(std::stoul(value));
        else if (flag == "--service")
            security.authenticationService = static_cast<DWORD>(std::stoul(value));
    }
    const bool system = kind == "system";
    RecordingObject object(system, answer);
    transport::XComServer server(system ? CLSID_QNSystemResourceObserver : CLSID_QNResourceObserver,
                                 system ? static_cast<IUnknown*>(static_cast<IQNSystemResourceObserver*>(&object))
                                        : static_cast<IUnknown*>(static_cast<IQNResourceObserver*>(&object)),
                                 security, endpoint);
    std::string error;
    if (FAILED(server.Start(error))) {
        std::fprintf(stderr, "qn-recording-observer: %s\n", error.c_str());
        return 1;
    }
    {
        std::lock_guard lock(g_outputMutex);
        std::printf("ready %d\n", server.Port());
        std::fflush(stdout);
    }
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    server.Stop();
    return 0;
}
