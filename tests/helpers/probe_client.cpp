// Creates an observer object and sends it one event, as another user when asked, and prints the
// two results: "create 0x........ call 0x........".
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/transport/Activation.h"

int main(int argc, char** argv)
{
    CLI::App app{"Creates an observer object, sends it one alert and prints both results."};
    std::string kind = "resource", machine = "localhost";
    DWORD level = RPC_C_AUTHN_LEVEL_CONNECT;
    uid_t uid = 0;
    app.add_option("--as-user", uid, "User id to call as");
    app.add_option("--class", kind, "resource or system")->check(CLI::IsMember({"resource", "system"}));
    app.add_option("--machine", machine, "Machine of the observer");
    app.add_option("--level", level, "Authentication level");
    CLI11_PARSE(app, argc, argv);
    if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0))
        return 2;
    const bool system = kind == "system";
    const std::u16string host(machine.begin(), machine.end());
    COAUTHINFO authentication{RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, level, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE};
    COSERVERINFO server{0, host.c_str(), &authentication, 0};
    MULTI_QI query{system ? &IQNSystemResourceObserver::kIid : &IQNResourceObserver::kIid, nullptr, 0};
    const HRESULT created = CoCreateInstanceEx(system ? CLSID_QNSystemResourceObserver : CLSID_QNResourceObserver, nullptr,
                                               CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, &server, 1, &query);
    HRESULT called = E_FAIL;
    if (SUCCEEDED(created)) {
        if (system) {
            tagQNSystemResourceAlert alert{nullptr, 0x02};
            called = static_cast<IQNSystemResourceObserver*>(query.pItf)->NotifySystemResourceAlert(&alert);
        } else {
            tagQNProcessResourceAlert alert{nullptr, nullptr, nullptr, 1, 0, 0x02};
            called = static_cast<IQNResourceObserver*>(query.pItf)->NotifyProcessResourceAlert(&alert);
        }
        query.pItf->Release();
    }
    std::printf("create 0x%08X call 0x%08X\n", static_cast<unsigned>(created), static_cast<unsigned>(called));
    std::fflush(stdout);
    return 0;
}
