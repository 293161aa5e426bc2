// A stand-in observer process: serves a recording object for QNResourceObserver or
// QNSystemResourceObserver and prints every call it receives as one line, "Method <record in its
// wire form>", answering each call with a fixed HRESULT. Prints "ready <port>" once it serves.
// Ends when its standard input closes.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/transport/Activation.h"
#include "platform/transport/ComServer.h"
#include "platform/transport/WireRecords.h"

namespace {

std::mutex g_outputMutex;

void PrintLine(const std::string& line)
{
    std::lock_guard lock(g_outputMutex);
    std::printf("%s\n", line.c_str());
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
        PrintLine("QueryInterface " + GuidToString(iid));
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

    // Each call printed under its method's name; the system observer's global emergency apart
    // from the resource observer's.
    HRESULT SetProcessResourceInfo(const tagQNResourceInformation* r) override { return Answer<qn::ResourceInformation>(__func__, r); }
    HRESULT RaiseProcessResourceEmergencyEvent(const tagQNProcessResourceEmergencyEvent* r) override { return Answer<qn::ProcessEvent>(__func__, r); }
    HRESULT NotifyProcessResourceAlert(const tagQNProcessResourceAlert* r) override { return Answer<qn::ProcessEvent>(__func__, r); }
    HRESULT RaiseGlobalEmergencyEvent(const tagQNProcessServerEmergencyEvent* r) override { return Answer<qn::ProcessEvent>(__func__, r); }
    HRESULT SetSystemResourceData(const tagQNSystemResourceInformation* r) override { return Answer<qn::SystemResourceInformation>(__func__, r); }
    HRESULT RaiseSystemResourceEmergencyEvent(const tagQNSystemResourceEmergencyEvent* r) override { return Answer<qn::SystemEvent>(__func__, r); }
    HRESULT NotifySystemResourceAlert(const tagQNSystemResourceAlert* r) override { return Answer<qn::SystemEvent>(__func__, r); }
    HRESULT RaiseGlobalEmergencyEvent(const tagQNSystemServerEmergencyEvent* r) override
    {
        return Answer<qn::SystemEvent>("RaiseSystemGlobalEmergencyEvent", r);
    }

private:
    template <typename Wire, typename Record>
    HRESULT Answer(const char* method, const Record* record)
    {
        Wire wire;
        transport::ToWire(*record, wire);
        PrintLine(method + (" " + wire.ShortDebugString()));
        return m_answer;
    }

    bool m_system;
    HRESULT m_answer;
};

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"A stand-in observer that prints every call it receives."};
    std::string kind = "resource", endpoint, answer = "0";
    transport::ServerSecurity security{RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_AUTHN_WINNT};
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);  // a test's options override the defaults before them
    app.add_option("--class", kind, "resource or system")->check(CLI::IsMember({"resource", "system"}));
    app.add_option("--endpoint", endpoint, "Socket path, or address:port")->required();
    app.add_option("--answer", answer, "HRESULT to answer every call with");
    app.add_option("--level", security.authenticationLevel, "Authentication level");
    app.add_option("--service", security.authenticationService, "Authentication service");
    CLI11_PARSE(app, argc, argv);
    const bool system = kind == "system";
    RecordingObject object(system, static_cast<HRESULT>(std::stoul(answer, nullptr, 0)));
    transport::XComServer server(system ? CLSID_QNSystemResourceObserver : CLSID_QNResourceObserver,
                                 system ? static_cast<IUnknown*>(static_cast<IQNSystemResourceObserver*>(&object))
                                        : static_cast<IUnknown*>(static_cast<IQNResourceObserver*>(&object)),
                                 security, endpoint);
    std::string error;
    if (FAILED(server.Start(error))) {
        std::fprintf(stderr, "qn-recording-observer: %s\n", error.c_str());
        return 1;
    }
    PrintLine("ready " + std::to_string(server.Port()));
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    server.Stop();
    return 0;
}
