// Objects across processes: a recording observer process serves, this test process and probe
// clients are the clients; and the real resource observer serving the members of a service
// account's group and refusing other users.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "agent/XProcessAgent.h"
#include "interfaces/QNError64.h"
#include "platform/transport/Activation.h"
#include "platform/transport/WireRecords.h"
#include "tests/helpers/Command.h"
#include "tests/helpers/Errors.h"
#include "tests/helpers/MonitoredServer.h"
#include "tests/helpers/Daemons.h"
#include "tests/helpers/StandIns.h"
#include "tests/helpers/SystemObserverClient.h"

namespace {

using qntest::ChildProcess;
using qntest::ReceivedCall;
using qntest::RecordingObserver;

constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BA);
constexpr const char* kNobody = "65534";

class Transport : public testing::Test {
protected:
    void TearDown() override { XProcessAgent::Destroy(); }

    qntest::TestInstallation m_installation{qntest::kIdentityChecked};
};

TEST_F(Transport, RecordsCrossWhole_OnlyTheOwnersCallsArrive)
{
    RecordingObserver observer(m_installation);
    COAUTHINFO authentication{RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE};
    COSERVERINFO server{0, kLoopbackHostName, &authentication, 0};
    MULTI_QI query{&IQNResourceObserver::kIid, nullptr, 0};
    ASSERT_EQ(CoCreateInstanceEx(CLSID_QNResourceObserver, nullptr, CLSCTX_LOCAL_SERVER, &server, 1, &query), S_OK);
    CComPtr<IQNResourceObserver> proxy;
    proxy.Attach(static_cast<IQNResourceObserver*>(query.pItf));
    EXPECT_EQ(observer.Next().body, "{C0A048A5-B561-46A8-A7CD-5A9BE6CF5D86}") << "QueryInterface";
    MULTI_QI local{&IQNResourceObserver::kIid, nullptr, 0};
    ASSERT_EQ(CoCreateInstanceEx(CLSID_QNResourceObserver, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &local), S_OK) << "no server named: this machine's";
    local.pItf->Release();
    EXPECT_EQ(observer.Next().body, "{C0A048A5-B561-46A8-A7CD-5A9BE6CF5D86}");

    SCOPED_TRACE("every field, null and empty apart");
    tagQNResourceInformation sample{};
    sample.machineName = nullptr;                      // null stays absent
    sample.processName = SysAllocString(u"srv-äöü");  // beyond ASCII
    sample.auxText = SysAllocString(u"");             // empty stays present
    sample.processId = 4242;
    sample.reserved = -7;
    sample.dataValid = 1;
    sample.monitorIntervalSec = 5;
    sample.processLoad = {{1, 2}, {3, 4}, 5, 6, 7, 8, 9, -10, 11, 12, 13, 14, 15};
    sample.externalUsage = {16, 17, 18};
    sample.machineLoad = {{0xFFFFFFFF, 1}, {21, 22}, {23, 24}, 25, 26, 27, INT64_MAX, 29, 30, 0xFFFFFFFF};
    ASSERT_EQ(proxy->SetProcessResourceInfo(&sample), S_OK);
    const ReceivedCall received = observer.Next();
    EXPECT_EQ(received.body.find("machine_name"), std::string::npos);
    EXPECT_NE(received.body.find("aux_text: \"\""), std::string::npos);
    EXPECT_TRUE(qntest::HasFields(
        received.As<qn::ResourceInformation>(),
        "process_name: 'srv-äöü' aux_text: '' process_id: 4242 reserved: -7 data_valid: 1 monitor_interval_sec: 5 "
        "process_load { kernel_time { low_part: 1 high_part: 2 } user_time { low_part: 3 high_part: 4 } working_set_kb: 5 peak_working_set_kb: 6 "
        "pagefile_usage_kb: 7 peak_pagefile_usage_kb: 8 used_virtual_kb: 9 avail_virtual_kb: -10 thread_count: 11 page_fault_count: 12 handle_count: 13 "
        "gdi_object_count: 14 user_object_count: 15 } "
        "external_usage { external_resource_usage: 16 database_counter_b: 17 database_counter_a: 18 } "
        "machine_load { idle_time { low_part: 4294967295 high_part: 1 } kernel_time { low_part: 21 high_part: 22 } user_time { low_part: 23 high_part: 24 } "
        "used_page_file_kb: 25 avail_page_file_kb: 26 used_physical_kb: 27 avail_physical_kb: 9223372036854775807 process_count: 29 thread_count: 30 "
        "handle_count: 4294967295 }"));
    transport::FreeStrings(sample);
    tagQNProcessResourceEmergencyEvent event{SysAllocString(u"HOST"), SysAllocString(u"srv"), nullptr, 1, 2, 0x1801};
    ASSERT_EQ(proxy->RaiseProcessResourceEmergencyEvent(&event), S_OK);
    EXPECT_EQ(observer.Next().body, "machine_name: \"HOST\" process_name: \"srv\" process_id: 1 reserved: 2 state: 6145");
    transport::FreeStrings(event);
    CComPtr<IQNEmergencyObserver> emergency;
    ASSERT_EQ(proxy.QueryInterface(&emergency), S_OK) << "the second interface is on the same proxy";
    tagQNProcessServerEmergencyEvent global{SysAllocString(u"HOST"), nullptr, nullptr, 3, 0, 0x0040};
    ASSERT_EQ(emergency->RaiseGlobalEmergencyEvent(&global), S_OK);
    EXPECT_EQ(observer.Next().body, "machine_name: \"HOST\" process_id: 3 state: 64");
    transport::FreeStrings(global);

    SCOPED_TRACE("an oversized string is refused before the object sees it");
    const std::u16string huge(transport::kMaxStringBytes + 1, u'x');
    tagQNProcessResourceAlert alert{SysAllocString(huge.c_str()), nullptr, nullptr, 9, 0, 0x02};
    EXPECT_EQ(proxy->NotifyProcessResourceAlert(&alert), E_INVALIDARG);
    transport::FreeStrings(alert);

    EXPECT_EQ(qntest::Probe(), qntest::kServed);
    EXPECT_EQ(observer.Next("NotifyProcessResourceAlert").body.find("process_id: 1"), 0u) << "the probe's alert came next: the oversized one never arrived";

    SCOPED_TRACE("a missing part of a machine's figures is refused before anything is sent");
    RecordingObserver system(m_installation, "system");
    auto link = qntest::ConnectSystemObserver(m_installation, system.Port());
    CComPtr<IQNSystemResourceObserver3> withKills;
    ASSERT_TRUE(link != nullptr && SUCCEEDED(link.QueryInterface(&withKills)));
    qntest::MachineSample refused(u"refused"), whole(u"whole");
    const tagQNMachinePressure pressure{};
    const tagQNMachineOomKills kills{7, nullptr, 0, 0};
    EXPECT_EQ(withKills->SetSystemResourceData3(&refused, &pressure, nullptr), E_POINTER);
    EXPECT_EQ(withKills->SetSystemResourceData3(&refused, nullptr, &kills), E_POINTER);
    EXPECT_EQ(withKills->SetSystemResourceData3(nullptr, &pressure, &kills), E_POINTER);
    EXPECT_EQ(withKills->SetSystemResourceData2(&refused, nullptr), E_POINTER);
    EXPECT_EQ(withKills->SetSystemResourceData2(nullptr, &pressure), E_POINTER);
    EXPECT_EQ(withKills->SetSystemResourceData3(&whole, &pressure, &kills), S_OK);
    EXPECT_EQ(system.Next("SetSystemResourceData").body.find("machine_name: \"whole\""), 0u) << "the whole one was the first to arrive";

    SCOPED_TRACE("a Python client speaks the same wire");
    ChildProcess python({"/usr/bin/python3", QN_PYTHON_CLIENT, QN_DESCRIPTOR_SET, m_installation.SocketPath()});
    EXPECT_EQ(python.ReadLine(), "hresult 0");
    EXPECT_EQ(observer.Next("SetProcessResourceInfo").body,
              "machine_name: \"PYHOST\" process_name: \"pyserver\" process_id: 77 data_valid: 1 monitor_interval_sec: 5 process_load { kernel_time { } "
              "user_time { } thread_count: 9 } external_usage { } machine_load { idle_time { } kernel_time { } user_time { } avail_physical_kb: 1024 }");
}

TEST_F(Transport, GlobalEmergencyRetriesThreeTimesOnRpcFailuresOnlyThenRaises)
{
    for (const auto& [answer, calls] : {std::pair{"0x800706BA", 3}, std::pair{"0x80070057", 1}, std::pair{"0x80040200", 1}}) {
        SCOPED_TRACE(answer);
        XQNLogbookCapture capture;
        RecordingObserver observer(m_installation, "resource", {"--answer", answer});
        XProcessAgent::Destroy();
        const auto start = std::chrono::steady_clock::now();
        const XQNException raised = qntest::Raised([] { XProcessAgent::Instance().RaiseGlobalEmergencyEvent(CriticalServerException); });
        EXPECT_EQ(raised.Result(), static_cast<HRESULT>(std::stoul(answer, nullptr, 16)));
        const auto received = observer.Finish();
        EXPECT_EQ(qntest::Count(received, "RaiseGlobalEmergencyEvent"), calls);
        EXPECT_EQ(qntest::Count(received, "QueryInterface"), calls == 3 ? 4 : 1) << "the first connection and a reconnect for each failure";
        for (int attempt = 1; attempt <= 3; ++attempt) {
            const auto entries = capture.WithMessage(qntest::ReconnectMessage("ptrIQNEmergencyObserver->RaiseGlobalEmergencyEvent", attempt));
            ASSERT_EQ(entries.size(), calls == 3 ? 1u : 0u) << attempt;
            EXPECT_TRUE(entries.empty() || std::tuple(entries[0].severity, entries[0].result) == std::tuple(5, kServerUnavailable));
        }
        if (calls == 3) {
            EXPECT_EQ(raised.Line(), 147);
            // Two waits of 3000 ms at the tests' time scale, before the second and the third reconnect.
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
        }
    }
}

TEST_F(Transport, ConnectingWithoutObserverTriesFiveTimesThenRaisesNamingTheMachine)
{
    XQNLogbookCapture capture;
    const XQNException raised = qntest::Raised([] { XProcessAgent::Instance().GetResourceObserver(false); });
    EXPECT_EQ(raised.Type(), 18);
    EXPECT_EQ(raised.Severity(), 3);
    EXPECT_EQ(raised.Result(), kServerUnavailable);
    EXPECT_EQ(raised.Message().View(), u"{DB1C4065-D726-4CD1-8CC3-F1923C31376B}");
    EXPECT_EQ(raised.ExtraText().View(), u"QNResourceObserver on machine: localhost");
    for (int attempt = 1; attempt <= 5; ++attempt)
        EXPECT_EQ(capture.WithMessage("CoCreateInstanceEx(__uuidof(QNResourceObserver) failed - retry to connect resource observer after timeout the " +
                                      std::to_string(attempt) + ". time")
                      .size(),
                  1u);
    EXPECT_EQ(capture.WithMessage("QNDCOMSec::GetAuthenticationService failed").size(), 1u) << "the service's result is always written";
}

TEST_F(Transport, UnreadableLevelSettingStopsTheConnectionBeforeAnyAttempt)
{
    m_installation.Set("DisableAuthentication", "yes");
    RecordingObserver observer(m_installation);
    const XQNException raised = qntest::Raised([] { XProcessAgent::Instance().GetResourceObserver(false); });
    EXPECT_EQ(raised.Message().View(), u"QNDCOMSec::GetAuthenticationLevel failed");
    EXPECT_EQ(raised.Result(), static_cast<HRESULT>(0x80020005));
    EXPECT_EQ(raised.Line(), 162);
    EXPECT_TRUE(observer.Finish().empty()) << "the observer, serving throughout, was never reached";
}

TEST_F(Transport, WithoutIdentityCheckOtherUsersAreServed)
{
    m_installation.Set("DCOMAuthenticationService", "none");
    RecordingObserver observer(m_installation, "resource", {"--service", "0"});
    ::chmod(m_installation.SocketPath().c_str(), 0666);
    EXPECT_EQ(qntest::Probe({"--as-user", kNobody}), qntest::kServed);
}

// A group, a user in it (by a supplementary membership after 70 others: its primary group is its
// own, and the peer's groups don't fit a first read) and a user outside it, removed again at the end.
class ServiceAccounts : public testing::Test {
protected:
    static constexpr int kOtherGroups = 70;

    void SetUp() override
    {
        const std::string suffix = std::to_string(::getpid());
        m_member = "qnapp" + suffix;
        m_outsider = "qnout" + suffix;
        std::string memberships;
        for (int i = 0; i <= kOtherGroups; ++i) {
            m_groups.push_back("qng" + suffix + "-" + std::to_string(i));
            memberships += (i == 0 ? "" : ",") + m_groups.back();
            if (!qntest::Run("groupadd " + m_groups.back()))
                GTEST_SKIP() << "can't make groups (groupadd as root)";
        }
        m_group = m_groups.back();
        if (!qntest::Run("useradd --no-create-home --user-group --groups " + memberships + " " + m_member) ||
            !qntest::Run("useradd --no-create-home --user-group " + m_outsider))
            GTEST_SKIP() << "can't make users (useradd as root)";
        m_installation.Set("ResourceObserverGroup", m_group);
    }
    void TearDown() override
    {
        for (const std::string& user : {m_member, m_outsider})
            (void)qntest::Run("userdel " + user);
        for (const std::string& group : m_groups)
            (void)qntest::Run("groupdel " + group);
    }

    // What runs a program as `user`, with the groups /etc/group gives the user.
    static std::vector<std::string> As(const std::string& user) { return {"/usr/bin/setpriv", "--reuid=" + user, "--regid=" + user, "--init-groups"}; }

    qntest::TestInstallation m_installation{qntest::kIdentityChecked};
    std::vector<std::string> m_groups;
    std::string m_group, m_member, m_outsider;
};

TEST_F(ServiceAccounts, AServerOfTheGroupReportsAndOneOutsideIsRefusedAndStoresNothing)
{
    qntest::ResourceObserverDaemon daemon;
    struct stat socket {};
    ASSERT_EQ(::stat(m_installation.SocketPath().c_str(), &socket), 0);
    const group* named = ::getgrnam(m_group.c_str());
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(socket.st_gid, named->gr_gid) << "the socket is the group's";
    EXPECT_EQ(socket.st_mode & 0777, 0660u);

    const std::string said = m_installation.Path("outsider.stderr");
    qntest::MonitoredServer outsider({"--interval", "2"}, As(m_outsider), said);
    qntest::MonitoredServer member({"--interval", "2"}, As(m_member));
    ASSERT_TRUE(member.Monitoring());
    EXPECT_EQ(daemon.AwaitCount("qn_process_data_current{pid=\"" + std::to_string(member.Pid()) + "\"", 1), 1) << "the member's samples arrive";
    const auto created = [](const std::string& said) { return said.substr(0, said.find(" call")); };
    EXPECT_EQ(created(qntest::Probe({})), "create 0x00000000") << "root is trusted, though outside the group";
    EXPECT_EQ(created(qntest::Probe({}, As(qntest::kServiceAccount))), "create 0x00000000") << "and so is the daemon's own user";

    EXPECT_EQ(qntest::Probe({}, As(m_outsider)), "create 0x80070005 call 0x80004005") << "refused as access denied";
    const std::string refused = "CoCreateInstanceEx(__uuidof(QNResourceObserver) failed";
    ASSERT_NE(qntest::AwaitFileSays(said, refused).find(refused), std::string::npos) << "the outsider's server tried";
    EXPECT_EQ(daemon.CountMetrics("qn_process_data_current{pid=\"" + std::to_string(outsider.Pid()) + "\""), 0) << "nothing of the outsider stored";
}

}  // namespace
