// Objects across processes: a recording observer process serves, this test process is the client.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>

#include "agent/IsRpcFailure.h"
#include "agent/XProcessAgent.h"
#include "interfaces/QNError64.h"
#include "platform/transport/Activation.h"
#include "platform/transport/WireRecords.h"
#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/TestInstallation.h"

namespace {

using qntest::ChildProcess;

constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BA);

class Transport : public testing::Test {
protected:
    void SetUp() override
    {
        m_installation.Set("DisableAuthentication", "0");
        m_installation.Set("EnablePacketPrivacy", "0");
        m_installation.Set("DCOMAuthenticationService", "WINNT");
    }
    void TearDown() override { XProcessAgent::Destroy(); }

    std::unique_ptr<ChildProcess> StartObserver(const std::string& answer = "0")
    {
        auto observer = std::make_unique<ChildProcess>(
            std::vector<std::string>{QN_RECORDING_OBSERVER, "--class", "resource", "--endpoint", m_installation.SocketPath(), "--answer", answer});
        EXPECT_EQ(observer->ReadLineStartingWith("ready"), "ready 0");
        return observer;
    }

    static CComPtr<IQNResourceObserver> Create(HRESULT* result = nullptr)
    {
        COAUTHINFO authentication{RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE};
        COSERVERINFO server{0, kLoopbackHostName, &authentication, 0};
        MULTI_QI query{&IQNResourceObserver::kIid, nullptr, 0};
        const HRESULT created = CoCreateInstanceEx(CLSID_QNResourceObserver, nullptr, CLSCTX_LOCAL_SERVER, &server, 1, &query);
        if (result != nullptr)
            *result = created;
        CComPtr<IQNResourceObserver> observer;
        observer.Attach(static_cast<IQNResourceObserver*>(query.pItf));
        return observer;
    }

    template <typename Record>
    static std::string WireText(const char* method, const Record& record, auto wire)
    {
        transport::ToWire(record, wire);
        return std::string(method) + " " + wire.ShortDebugString();
    }

    qntest::TestInstallation m_installation;
};

TEST_F(Transport, RecordsCrossWithEveryFieldAndNullAndEmptyApart)
{
    auto observer = StartObserver();
    auto proxy = Create();
    ASSERT_NE(proxy, nullptr);
    EXPECT_EQ(observer->ReadLineStartingWith("QueryInterface"), "QueryInterface {C0A048A5-B561-46A8-A7CD-5A9BE6CF5D86}");

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
    const std::string received = observer->ReadLine();
    EXPECT_EQ(received, WireText("SetProcessResourceInfo", sample, qn::ResourceInformation()));
    EXPECT_EQ(received.find("machine_name"), std::string::npos);
    EXPECT_NE(received.find("aux_text: \"\""), std::string::npos);
    transport::FreeStrings(sample);

    tagQNProcessResourceEmergencyEvent event{SysAllocString(u"HOST"), SysAllocString(u"srv"), nullptr, 1, 2, 0x1801};
    ASSERT_EQ(proxy->RaiseProcessResourceEmergencyEvent(&event), S_OK);
    EXPECT_EQ(observer->ReadLine(), WireText("RaiseProcessResourceEmergencyEvent", event, qn::ProcessEvent()));
    transport::FreeStrings(event);

    CComPtr<IQNEmergencyObserver> emergency;
    ASSERT_EQ(proxy.QueryInterface(&emergency), S_OK) << "the second interface is on the same proxy";
    tagQNProcessServerEmergencyEvent global{SysAllocString(u"HOST"), nullptr, nullptr, 3, 0, 0x0040};
    ASSERT_EQ(emergency->RaiseGlobalEmergencyEvent(&global), S_OK);
    EXPECT_EQ(observer->ReadLine(), WireText("RaiseGlobalEmergencyEvent", global, qn::ProcessEvent()));
    transport::FreeStrings(global);
}

TEST_F(Transport, OversizedStringsAreRefusedBeforeTheObjectSeesThem)
{
    XQNLogbookCapture capture;  // the server runs in another process: only the reply tells
    auto observer = StartObserver();
    auto proxy = Create();
    ASSERT_NE(proxy, nullptr);
    observer->ReadLineStartingWith("QueryInterface");
    const std::u16string huge(transport::kMaxStringBytes + 1, u'x');
    tagQNProcessResourceAlert alert{SysAllocString(huge.c_str()), nullptr, nullptr, 1, 0, 0x02};
    EXPECT_EQ(proxy->NotifyProcessResourceAlert(&alert), E_INVALIDARG);
    transport::FreeStrings(alert);
    tagQNProcessResourceAlert small{nullptr, nullptr, nullptr, 2, 0, 0x04};
    EXPECT_EQ(proxy->NotifyProcessResourceAlert(&small), S_OK);
    EXPECT_EQ(observer->ReadLine(), WireText("NotifyProcessResourceAlert", small, qn::ProcessEvent())) << "the refused call never arrived";
}

TEST_F(Transport, StoppedServerIsAnRpcFailureAndAReconnectFindsItsSuccessor)
{
    auto observer = StartObserver();
    CComPtr<IQNResourceObserver> first = XProcessAgent::Instance().GetResourceObserver(false);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(XProcessAgent::Instance().GetResourceObserver(false), first) << "a held pointer is handed out without a call";
    observer.reset();

    tagQNProcessResourceAlert alert{nullptr, nullptr, nullptr, 1, 0, 0x02};
    const HRESULT failed = first->NotifyProcessResourceAlert(&alert);
    EXPECT_EQ(failed, kServerUnavailable);
    EXPECT_TRUE(agent::IsRpcFailure(failed));

    observer = StartObserver();
    CComPtr<IQNResourceObserver> second = XProcessAgent::Instance().GetResourceObserver(true);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->NotifyProcessResourceAlert(&alert), S_OK);
}

TEST_F(Transport, GlobalEmergencyRetriesThreeTimesOnRpcFailuresThenRaises)
{
    XQNLogbookCapture capture;
    auto observer = StartObserver("0x800706BA");
    const auto start = std::chrono::steady_clock::now();
    try {
        XProcessAgent::Instance().RaiseGlobalEmergencyEvent(CriticalServerException);
        FAIL() << "did not raise";
    } catch (const XWrappedQNException& e) {
        EXPECT_EQ(e.Get().Result(), kServerUnavailable);
        EXPECT_EQ(e.Get().Line(), 147);
    }
    // Two waits of 3000 ms at the tests' time scale, before the second and the third reconnect.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
    int calls = 0, connects = 0;
    for (int i = 0; i < 7; ++i) {
        const std::string line = observer->ReadLine();
        calls += line.rfind("RaiseGlobalEmergencyEvent", 0) == 0;
        connects += line.rfind("QueryInterface", 0) == 0;
    }
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(connects, 4) << "the first connection and three reconnects";
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const auto entries = capture.WithMessage("ptrIQNEmergencyObserver->RaiseGlobalEmergencyEvent failed by RPC error - try to reconnect resource observer the " +
                                                 std::to_string(attempt) + ". time");
        ASSERT_EQ(entries.size(), 1u) << attempt;
        EXPECT_EQ(entries[0].severity, 5);
        EXPECT_EQ(entries[0].result, kServerUnavailable);
    }
}

TEST_F(Transport, InvalidArgumentAndInterfaceFailuresAreNotRetried)
{
    for (const char* answer : {"0x80070057", "0x80040200"}) {
        auto observer = StartObserver(answer);
        XProcessAgent::Destroy();
        EXPECT_THROW(XProcessAgent::Instance().RaiseGlobalEmergencyEvent(LoggerFailure), XWrappedQNException);
        EXPECT_EQ(observer->ReadLineStartingWith("RaiseGlobalEmergencyEvent").substr(0, 25), "RaiseGlobalEmergencyEvent");
        EXPECT_EQ(observer->Finish(), 0);
        // Nothing more than the one call arrived.
    }
}

TEST_F(Transport, ConnectingWithoutObserverTriesFiveTimesThenRaisesNamingTheMachine)
{
    XQNLogbookCapture capture;
    try {
        XProcessAgent::Instance().GetResourceObserver(false);
        FAIL() << "did not raise";
    } catch (const XWrappedQNException& e) {
        EXPECT_EQ(e.Get().Type(), 18);
        EXPECT_EQ(e.Get().Severity(), 3);
        EXPECT_EQ(e.Get().Result(), kServerUnavailable);
        EXPECT_EQ(e.Get().Message().View(), u"{DB1C4065-D726-4CD1-8CC3-F1923C31376B}");
        EXPECT_EQ(e.Get().ExtraText().View(), u"QNResourceObserver on machine: localhost");
    }
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
    auto observer = StartObserver();
    try {
        XProcessAgent::Instance().GetResourceObserver(false);
        FAIL() << "did not raise";
    } catch (const XWrappedQNException& e) {
        EXPECT_EQ(e.Get().Message().View(), u"QNDCOMSec::GetAuthenticationLevel failed");
        EXPECT_EQ(e.Get().Result(), static_cast<HRESULT>(0x80020005));
        EXPECT_EQ(e.Get().Line(), 162);
    }
}

TEST_F(Transport, SocketFileIsNotWorldWritable)
{
    auto observer = StartObserver();
    struct stat info {};
    ASSERT_EQ(::stat(m_installation.SocketPath().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & S_IWOTH, 0u);
}

TEST_F(Transport, PeerOfAnotherUserIsRefusedAndNothingArrives)
{
    constexpr const char* kNobody = "65534";
    auto observer = StartObserver();
    // Let the other user reach the socket at all, so that the server's own check is what refuses.
    ::chmod(m_installation.SocketPath().c_str(), 0666);
    ChildProcess stranger({QN_PROBE_CLIENT, "--as-user", kNobody});
    EXPECT_EQ(stranger.ReadLine(), "create 0x80070005 call 0x80004005");
    EXPECT_EQ(stranger.Finish(), 0);

    ChildProcess owner({QN_PROBE_CLIENT});
    EXPECT_EQ(owner.ReadLine(), "create 0x00000000 call 0x00000000");
    EXPECT_EQ(observer->ReadLineStartingWith("NotifyProcessResourceAlert").find("process_id: 1"), 27u)
        << "only the owner's call reached the object";
}

TEST_F(Transport, WithoutIdentityCheckOtherUsersAreServed)
{
    m_installation.Set("DCOMAuthenticationService", "none");
    auto observer = std::make_unique<ChildProcess>(std::vector<std::string>{QN_RECORDING_OBSERVER, "--class", "resource", "--endpoint",
                                                                            m_installation.SocketPath(), "--service", "0"});
    ASSERT_EQ(observer->ReadLineStartingWith("ready"), "ready 0");
    ::chmod(m_installation.SocketPath().c_str(), 0666);
    ChildProcess stranger({QN_PROBE_CLIENT, "--as-user", "65534"});
    EXPECT_EQ(stranger.ReadLine(), "create 0x00000000 call 0x00000000");
}

TEST_F(Transport, APythonClientSpeaksTheSameWire)
{
    auto observer = StartObserver();
    ChildProcess python({"/usr/bin/python3", QN_PYTHON_CLIENT, QN_DESCRIPTOR_SET, m_installation.SocketPath()});
    EXPECT_EQ(python.ReadLine(), "hresult 0");
    EXPECT_EQ(python.Finish(), 0);
    EXPECT_EQ(observer->ReadLineStartingWith("SetProcessResourceInfo"),
              "SetProcessResourceInfo machine_name: \"PYHOST\" process_name: \"pyserver\" process_id: 77 data_valid: 1 "
              "monitor_interval_sec: 5 process_load { kernel_time { } user_time { } thread_count: 9 } external_usage { } "
              "machine_load { idle_time { } kernel_time { } user_time { } avail_physical_kb: 1024 }");
}

}  // namespace
