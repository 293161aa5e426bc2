#include <gtest/gtest.h>

#include "agent/IsRpcFailure.h"
#include "inc/QNDCOMSecurity.h"
#include "interfaces/QNError64.h"
#include "tests/helpers/TestInstallation.h"

namespace {

struct Levels {
    const char* disable;  // null: value missing
    const char* privacy;
    HRESULT result;
    DWORD level;
};

class AuthenticationLevel : public testing::TestWithParam<Levels> {};

TEST_P(AuthenticationLevel, FollowsTheRegistry)
{
    qntest::TestInstallation installation;
    if (GetParam().disable != nullptr)
        installation.Set("DisableAuthentication", GetParam().disable);
    if (GetParam().privacy != nullptr)
        installation.Set("EnablePacketPrivacy", GetParam().privacy);
    DWORD level = 0;
    EXPECT_EQ(QNDCOMSecurity::GetAuthenticationLevel(&level), GetParam().result);
    EXPECT_EQ(level, GetParam().level);
}

INSTANTIATE_TEST_SUITE_P(Registry, AuthenticationLevel,
                         testing::Values(Levels{"1", nullptr, S_OK, 1}, Levels{"1", "1", S_OK, 1}, Levels{"0", "1", S_OK, 6},
                                         Levels{"0", "0", S_OK, 2}, Levels{" 0 ", "7", S_OK, 6},
                                         // not a number: the conversion's failure is passed on unchanged
                                         Levels{"one", "0", static_cast<HRESULT>(0x80020005), 2},
                                         // a missing value: the registry error becomes the library's code
                                         Levels{nullptr, "1", static_cast<HRESULT>(0x8004085B), 2},
                                         Levels{"0", nullptr, static_cast<HRESULT>(0x8004085B), 2}));

TEST(AuthenticationLevel, MissingValueIsReportedWithItsName)
{
    qntest::TestInstallation installation;
    installation.Set("DisableAuthentication", "0");
    XQNLogbookCapture capture;
    DWORD level = 0;
    QNDCOMSecurity::GetAuthenticationLevel(&level);
    const auto entries = capture.WithMessage("reading registry SOFTWARE\\KORVEL\\EnablePacketPrivacy failed");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].line, 122);
    EXPECT_EQ(entries[0].file, "inc/qndcomsecurity");
}

TEST(AuthenticationService, NoneInAnyCaseSwitchesAuthenticationOff)
{
    qntest::TestInstallation installation;
    DWORD service = 0;
    for (const auto& [text, expected] : std::vector<std::pair<std::string, DWORD>>{{"None", 0}, {"NONE", 0}, {"winnt", 10}, {"kerberos", 10}}) {
        installation.Set("DCOMAuthenticationService", text);
        EXPECT_EQ(QNDCOMSecurity::GetAuthenticationService(&service), S_OK);
        EXPECT_EQ(service, expected) << text;
    }
}

TEST(AuthenticationService, MissingValueIsLoggedAndLeavesWinNt)
{
    qntest::TestInstallation installation;
    XQNLogbookCapture capture;
    DWORD service = 0;
    EXPECT_EQ(QNDCOMSecurity::GetAuthenticationService(&service), static_cast<HRESULT>(0x8004085B));
    EXPECT_EQ(service, 10u);
    const auto entries = capture.WithMessage("reading registry value SOFTWARE\\KORVEL\\DCOMAuthenticationService failed");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].line, 148);
}

TEST(RpcFailure, TellsReconnectableFailures)
{
    EXPECT_TRUE(agent::IsRpcFailure(static_cast<HRESULT>(0x800706BA)));   // RPC_S_SERVER_UNAVAILABLE
    EXPECT_TRUE(agent::IsRpcFailure(static_cast<HRESULT>(0x800706BE)));   // RPC_S_CALL_FAILED
    EXPECT_TRUE(agent::IsRpcFailure(static_cast<HRESULT>(0x80010105)));   // facility RPC
    EXPECT_TRUE(agent::IsRpcFailure(static_cast<HRESULT>(0x80070005)));   // code 5
    EXPECT_TRUE(agent::IsRpcFailure(static_cast<HRESULT>(0x8007071A)));   // 1818, cancelled
    EXPECT_TRUE(agent::IsRpcFailure(static_cast<HRESULT>(0x8007077E)));   // 1918, last of its range
    EXPECT_TRUE(agent::IsRpcFailure(static_cast<HRESULT>(0x8007076A)));   // 1898
}

TEST(RpcFailure, LeavesOtherFailuresAlone)
{
    EXPECT_FALSE(agent::IsRpcFailure(S_OK));
    EXPECT_FALSE(agent::IsRpcFailure(S_FALSE));
    EXPECT_FALSE(agent::IsRpcFailure(E_INVALIDARG));                       // code 87, but excluded
    EXPECT_FALSE(agent::IsRpcFailure(static_cast<HRESULT>(0x80040005)));   // FACILITY_ITF, even with code 5
    EXPECT_FALSE(agent::IsRpcFailure(E_FAIL));
    EXPECT_FALSE(agent::IsRpcFailure(static_cast<HRESULT>(0x800706A3)));   // 1699
    EXPECT_FALSE(agent::IsRpcFailure(static_cast<HRESULT>(0x8007077F)));   // 1919
    EXPECT_FALSE(agent::IsRpcFailure(static_cast<HRESULT>(0x80070770)));   // 1904
}

}  // namespace
