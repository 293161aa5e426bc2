// The registry file and the transport's settings read from it.
#include <gtest/gtest.h>


#include "agent/IsRpcFailure.h"
#include "inc/QNDCOMSecurity.h"
#include "interfaces/QNError64.h"
#include "platform/transport/Activation.h"
#include "tests/helpers/Errors.h"
#include "tests/helpers/TestInstallation.h"

namespace {

TEST(AuthenticationLevel, FollowsTheRegistry)
{
    struct Row {
        const char* disable;  // null: value missing
        const char* privacy;
        HRESULT result;
        DWORD level;
    };
    const Row rows[] = {{"1", nullptr, S_OK, 1}, {"1", "1", S_OK, 1}, {"0", "1", S_OK, 6}, {"0", "0", S_OK, 2}, {" 0 ", "7", S_OK, 6},
                        // not a number: the conversion's failure is passed on unchanged
                        {"one", "0", static_cast<HRESULT>(0x80020005), 2},
                        // a missing value: the registry error becomes the library's code
                        {nullptr, "1", static_cast<HRESULT>(0x8004085B), 2}, {"0", nullptr, static_cast<HRESULT>(0x8004085B), 2}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.disable ? row.disable : "-") + " " + (row.privacy ? row.privacy : "-"));
        qntest::TestInstallation installation;
        if (row.disable != nullptr)
            installation.Set("DisableAuthentication", row.disable);
        if (row.privacy != nullptr)
            installation.Set("EnablePacketPrivacy", row.privacy);
        XQNLogbookCapture capture;
        DWORD level = 0;
        EXPECT_EQ(QNDCOMSecurity::GetAuthenticationLevel(&level), row.result);
        EXPECT_EQ(level, row.level);
        if (row.privacy == nullptr && std::string_view(row.disable) == "0") {
            EXPECT_EQ(qntest::Only(capture.WithMessage("reading registry SOFTWARE\\KORVEL\\EnablePacketPrivacy failed")).line, 122) << "named in the logbook";
        }
    }
}

TEST(AuthenticationService, NoneInAnyCaseSwitchesAuthenticationOffAndAMissingValueIsLoggedAndLeavesWinNt)
{
    qntest::TestInstallation installation;
    DWORD service = 0;
    XQNLogbookCapture capture;
    EXPECT_EQ(QNDCOMSecurity::GetAuthenticationService(&service), static_cast<HRESULT>(0x8004085B));
    EXPECT_EQ(service, 10u);
    EXPECT_EQ(qntest::Only(capture.WithMessage("reading registry value SOFTWARE\\KORVEL\\DCOMAuthenticationService failed")).line, 148);
    for (const auto& [text, expected] : {std::pair{"None", 0u}, std::pair{"NONE", 0u}, std::pair{"winnt", 10u}, std::pair{"kerberos", 10u}}) {
        installation.Set("DCOMAuthenticationService", text);
        EXPECT_EQ(QNDCOMSecurity::GetAuthenticationService(&service), S_OK);
        EXPECT_EQ(service, expected) << text;
    }
}

TEST(SystemObserverPort, IsTheRegistrysWithinItsRangeAndTheDefaultOtherwise)
{
    qntest::TestInstallation installation;
    EXPECT_EQ(transport::SystemResourceObserverPort(), 7541) << "no value";
    for (const auto& [text, port] : {std::pair{"1", 1}, {"65535", 65535}, {"0", 7541}, {"65536", 7541}, {"-1", 7541}}) {
        installation.Set("SystemResourceObserverPort", text);
        EXPECT_EQ(transport::SystemResourceObserverPort(), port) << text;
    }
}

TEST(RpcFailure, TellsReconnectableFailuresFromOthers)
{
    // RPC_S_SERVER_UNAVAILABLE, RPC_S_CALL_FAILED, facility RPC, code 5, 1818 (cancelled), 1918 (the
    // last of the range), 1898.
    for (const unsigned result : {0x800706BAu, 0x800706BEu, 0x80010105u, 0x80070005u, 0x8007071Au, 0x8007077Eu, 0x8007076Au})
        EXPECT_TRUE(agent::IsRpcFailure(static_cast<HRESULT>(result))) << std::hex << result;
    // Code 87 is excluded; FACILITY_ITF even with code 5; 1699, 1919 and 1904 are outside the range.
    for (const unsigned result : {0u, 1u, 0x80070057u, 0x80040005u, 0x80004005u, 0x800706A3u, 0x8007077Fu, 0x80070770u})
        EXPECT_FALSE(agent::IsRpcFailure(static_cast<HRESULT>(result))) << std::hex << result;
}

}  // namespace
