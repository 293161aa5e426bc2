// The registry file and the transport's settings read from it.
#include <gtest/gtest.h>

#include <tuple>

#include "agent/IsRpcFailure.h"
#include "inc/QNDCOMSecurity.h"
#include "interfaces/QNError64.h"
#include "platform/transport/Activation.h"
#include "tests/helpers/Errors.h"
#include "tests/helpers/TestInstallation.h"

namespace {

TEST(AuthenticationLevel, FollowsTheRegistry)
{
    constexpr HRESULT kNotANumber = static_cast<HRESULT>(0x80020005), kMissing = static_cast<HRESULT>(0x8004085B);
    // DisableAuthentication, EnablePacketPrivacy (null: missing), the result and the level. The
    // conversion's failure is passed on unchanged; a missing value becomes the library's code.
    const std::tuple<const char*, const char*, HRESULT, DWORD> rows[] = {{"1", nullptr, S_OK, 1}, {"1", "1", S_OK, 1}, {"0", "1", S_OK, 6}, {"0", "0", S_OK, 2},
                                                                         {" 0 ", "7", S_OK, 6}, {"one", "0", kNotANumber, 2}, {nullptr, "1", kMissing, 2},
                                                                         {"0", nullptr, kMissing, 2}};
    for (const auto& [disable, privacy, result, expected] : rows) {
        SCOPED_TRACE(std::string(disable ? disable : "-") + " " + (privacy ? privacy : "-"));
        qntest::TestInstallation installation;
        if (disable != nullptr)
            installation.Set("DisableAuthentication", disable);
        if (privacy != nullptr)
            installation.Set("EnablePacketPrivacy", privacy);
        XQNLogbookCapture capture;
        DWORD level = 0;
        EXPECT_EQ(QNDCOMSecurity::GetAuthenticationLevel(&level), result);
        EXPECT_EQ(level, expected);
        if (privacy == nullptr && std::string_view(disable) == "0") {
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
    // RPC_S_SERVER_UNAVAILABLE, RPC_S_CALL_FAILED, facility RPC, code 5, 1818 (cancelled), 1700 and
    // 1918 (the first and last of ranges), 1898.
    for (const unsigned result : {0x800706BAu, 0x800706BEu, 0x80010105u, 0x80070005u, 0x8007071Au, 0x800706A4u, 0x8007077Eu, 0x8007076Au})
        EXPECT_TRUE(agent::IsRpcFailure(static_cast<HRESULT>(result))) << std::hex << result;
    // Code 87 is excluded; FACILITY_ITF even with code 5; 1699, 1919 and 1904 are outside the range.
    for (const unsigned result : {0u, 1u, 0x80070057u, 0x80040005u, 0x80004005u, 0x800706A3u, 0x8007077Fu, 0x80070770u})
        EXPECT_FALSE(agent::IsRpcFailure(static_cast<HRESULT>(result))) << std::hex << result;
}

}  // namespace
