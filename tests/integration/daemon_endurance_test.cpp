// The daemons against what ends a careless server: a second instance on the same endpoint, a
// socket file left behind by a crash, garbage on every method, a flood of connections up to the
// descriptor limit, silent and slow peers, a full store, and the system observer away while an
// agent raises its events.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "interfaces/QNConvert64.h"
#include "interfaces/QNResourceObserver.grpc.pb.h"
#include "interfaces/QNResourceObserverInterfaces.h"
#include "platform/Bstr.h"
#include "tests/helpers/Await.h"
#include "tests/helpers/Command.h"
#include "tests/helpers/Daemons.h"
#include "tests/helpers/Sample.h"
#include "tests/helpers/Sockets.h"
#include "tests/helpers/StandIns.h"

namespace {

using namespace std::chrono_literals;
using qntest::ChildProcess;

// Whether a probe client reaches the observer of `kind`: the call itself may fail onward. Asked
// again while the activation found no server or ran out of its deadline, as it can while a daemon under
// a sanitizer on a loaded machine starts or catches up; a refusal counts at once.
testing::AssertionResult Reached(const std::string& kind = "resource")
{
    const std::string said = qntest::Await([&] { return qntest::Probe({"--class", kind, "--level", "1"}); },
                                           [](const std::string& answer) { return !answer.starts_with("create 0x800706B"); }, 120s, 0ms);
    return said.starts_with("create 0x00000000 ") ? testing::AssertionSuccess() : testing::AssertionFailure() << "the probe: " << said;
}

// What the daemon at `target` answers to `bytes` sent as the message of `method`: the HRESULT of
// its reply, or a note on the failure. One connection a target: a daemon logs once per peer.
std::string Answer(const std::string& target, const std::string& method, const std::string& bytes)
{
    static std::map<std::string, std::shared_ptr<grpc::Channel>> channels;
    if (channels.count(target) == 0)
        channels[target] = grpc::CreateChannel(target, grpc::InsecureChannelCredentials());
    grpc::GenericStub stub(channels[target]);
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + 5s);
    grpc::Slice slice(bytes);
    const grpc::ByteBuffer request(&slice, 1);
    grpc::ByteBuffer response;
    std::promise<grpc::Status> done;
    stub.UnaryCall(&context, method, {}, &request, &response, [&](grpc::Status status) { done.set_value(std::move(status)); });
    const grpc::Status status = done.get_future().get();
    qn::Result result;
    if (!status.ok() || !grpc::SerializationTraits<qn::Result>::Deserialize(&response, &result).ok())
        return "status " + std::to_string(status.error_code()) + " " + status.error_message();
    char hresult[16];
    std::snprintf(hresult, sizeof hresult, "0x%08X", static_cast<unsigned>(result.hresult()));
    return hresult;
}

// Each daemon's methods, and messages of no type of the schema: a field of a wire type that
// doesn't exist, and a string field that isn't UTF-8.
constexpr const char* kResourceObserverMethods[] = {"/qn.QNObject/QueryInterface", "/qn.IQNResourceObserver/SetProcessResourceInfo",
                                                    "/qn.IQNResourceObserver/RaiseProcessResourceEmergencyEvent",
                                                    "/qn.IQNResourceObserver/NotifyProcessResourceAlert", "/qn.IQNEmergencyObserver/RaiseGlobalEmergencyEvent"};
constexpr const char* kSystemObserverMethods[] = {"/qn.QNObject/QueryInterface", "/qn.IQNSystemResourceObserver/SetSystemResourceData",
                                                  "/qn.IQNSystemResourceObserver/RaiseSystemResourceEmergencyEvent",
                                                  "/qn.IQNSystemResourceObserver/NotifySystemResourceAlert",
                                                  "/qn.IQNSystemEmergencyObserver/RaiseGlobalEmergencyEvent"};
const std::string kGarbage[] = {std::string("\x0f\xff\xff\xff", 4), std::string("\x0a\x02\xff\xfe", 4)};

// A valid sample of process `pid` of `machine`, or of the machine alone (pid 0), in its wire form.
std::string Sample(const char* machine, int pid)
{
    const std::u16string name = platform::ToUtf16(machine);
    qn::ResourceInformation process;
    qn::SystemResourceInformation figures;
    transport::ToWire(qntest::Sample(name.c_str(), u"srv", pid), process);
    transport::ToWire(qntest::MachineSample(name.c_str()), figures);
    return pid == 0 ? figures.SerializeAsString() : process.SerializeAsString();
}

TEST(Endurance, BothDaemonsOutliveSecondInstancesGarbageFloodsAndSilentOrSlowPeersAndACrashLeavesNothingInTheWay)
{
    qntest::TestInstallation installation(qntest::kPlain);
    rlimit own{};
    ::getrlimit(RLIMIT_NOFILE, &own);
    const rlimit lowered{256, own.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &lowered);  // what the daemons inherit
    auto daemons = std::make_unique<qntest::BothDaemons>(installation);
    ::setrlimit(RLIMIT_NOFILE, &own);
    const auto logged = [&](const std::string& text) { return daemons->resource.CountLogged(text) + daemons->system.CountLogged(text); };

    SCOPED_TRACE("each daemon raises its soft descriptor limit to the hard one");
    for (const pid_t pid : {daemons->resource.Process().Pid(), daemons->system.Process().Pid()}) {
        std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
        std::string line;
        while (std::getline(limits, line) && !line.starts_with("Max open files")) {
        }
        EXPECT_EQ(std::stoull(line.substr(26)), own.rlim_max) << line;
    }

    SCOPED_TRACE("a second instance is refused, naming the first, which goes on");
    const auto second = qntest::Run(std::string(QN_RESOURCE_OBSERVER) + " --metrics-port 0 --system-observer localhost");
    EXPECT_FALSE(second);
    EXPECT_THAT(second.message(), testing::HasSubstr("process " + std::to_string(daemons->resource.Process().Pid()) + " serves on " +
                                                     installation.SocketPath() + " already"));
    const auto secondSystem = qntest::Run(std::string(QN_SYSTEM_RESOURCE_OBSERVER) + " --port " + std::to_string(daemons->system.Port()) + " --status-port 0");
    EXPECT_FALSE(secondSystem);
    EXPECT_THAT(secondSystem.message(), testing::HasSubstr("in use by another process"));
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(Reached("system")) << "every connection reaches the first";

    SCOPED_TRACE("garbage on every method is answered E_INVALIDARG, counted and logged once, and leaves what was stored");
    const std::string resourceTarget = "unix:" + installation.SocketPath(), systemTarget = "127.0.0.1:" + std::to_string(daemons->system.Port());
    ASSERT_EQ(Answer(resourceTarget, kResourceObserverMethods[1], Sample("A", 1)), "0x00000000");
    for (const auto& [target, methods] : {std::pair{resourceTarget, std::span(kResourceObserverMethods)}, std::pair{systemTarget, std::span(kSystemObserverMethods)}})
        for (const char* method : methods)
            for (const std::string& garbage : kGarbage)
                EXPECT_EQ(Answer(target, method, garbage), "0x80070057") << method << " " << &garbage - kGarbage;
    EXPECT_EQ(daemons->resource.CountMetrics("qn_transport_calls_refused_total{reason=\"malformed\"} 10"), 1) << daemons->resource.Metrics();
    // The sample before them is still the only one taken: a slow run may have let it go stale since.
    EXPECT_EQ(daemons->resource.CountMetrics("qn_resource_observer_samples_accepted_total 1"), 1);
    EXPECT_EQ(logged("refused a call from"), 2) << "one line for each daemon's peer";
    EXPECT_EQ(logged("libprotobuf"), 2) << "protobuf's complaint about the string, once in each daemon";

    SCOPED_TRACE("connections that never call are closed");
    // The idle limit is two minutes, scaled by the tests' 1/100. (A TCP peer that never finishes its
    // handshake is tls_test's: its deadline is not scaled.)
    const int silent = qntest::ConnectToSocket(installation.SocketPath());
    EXPECT_TRUE(qntest::ClosedWithin(silent, 60s)) << "closed by the daemon";
    ::close(silent);

    SCOPED_TRACE("the status is answered while idle and dribbling clients hold connections");
    // Each dribbling client starts a request as it connects and adds a byte every 100 ms, well
    // within the 2 s the pages give a slow client. A page that waited for them would not come
    // before the generous time-out: they dribble until it came. A try counts once each dribbling
    // client's request, finished then, is answered: proof that it was held throughout. One starved
    // past its 2 s was let go, and the page is asked for again.
    const int port = daemons->system.HttpPort();
    const auto pageWhileHeld = [port] {
        std::vector<int> idle, dribbling;
        for (int i = 0; i < 8; ++i) {
            idle.push_back(qntest::ConnectToLoopback(port));
            dribbling.push_back(qntest::ConnectToLoopback(port));
            (void)::send(dribbling.back(), "GET /status HTTP/1.1\r\nX-Slow: ", 30, MSG_NOSIGNAL);
        }
        int status = 0;
        {
            const qntest::Repeating dribbler(100ms, [&] {
                for (const int fd : dribbling)
                    (void)::send(fd, "a", 1, MSG_NOSIGNAL);
            });
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(30s);
            const auto response = client.Get("/status");
            status = response ? response->status : 0;
        }
        bool held = true;
        for (const int fd : dribbling) {
            char reply[12];
            held = held && ::send(fd, "\r\n\r\n", 4, MSG_NOSIGNAL) == 4 && ::recv(fd, reply, sizeof reply, MSG_WAITALL) == sizeof reply &&
                   std::string_view(reply, sizeof reply) == "HTTP/1.1 200";
        }
        for (const int fd : idle)
            ::close(fd);
        for (const int fd : dribbling)
            ::close(fd);
        return std::pair{status, held};
    };
    const auto [status, held] = qntest::Await(pageWhileHeld, [](const auto& tried) { return tried.second; }, 120s, 0ms);
    EXPECT_TRUE(held) << "every try had a dribbling client let go";
    EXPECT_EQ(status, 200) << "the page came while they were held";

    SCOPED_TRACE("a socket file left by a crash is replaced");
    ::kill(daemons->resource.Process().Pid(), SIGKILL);
    daemons.reset();
    ASSERT_EQ(::access(installation.SocketPath().c_str(), F_OK), 0) << "the killed daemon left its socket file";
    qntest::ResourceObserverDaemon next;
    EXPECT_TRUE(Reached());
}

// Lowers the descriptor limit of the process `pid` to `limit`, as its own user: root may lack
// the capability over processes of other users.
testing::AssertionResult LowerDescriptorLimit(pid_t pid, int limit)
{
    struct stat owner {};
    ::stat(("/proc/" + std::to_string(pid)).c_str(), &owner);
    return qntest::Run("/usr/bin/setpriv --reuid=" + std::to_string(owner.st_uid) + " --regid=" + std::to_string(owner.st_gid) +
                       " --clear-groups /usr/bin/prlimit --pid " + std::to_string(pid) + " --nofile=" + std::to_string(limit) + ":" + std::to_string(limit));
}

TEST(Endurance, FreshDaemonsWhoseFirstEntryIsAboutAFloodOfConnectionsOutliveItAndAnswerAfterIt)
{
    // Every value the daemons read at start, as the shipped template has them, so that they log
    // nothing of their own: the system observer nothing at all, the resource observer only the
    // line of its link.
    qntest::TestInstallation installation({{"DisableAuthentication", "1"}, {"DCOMAuthenticationService", "WINNT"}});
    qntest::BothDaemons daemons(installation);
    auto& system = daemons.system;
    auto& resource = daemons.resource;
    struct Flooded {
        const char* kind;
        qntest::Daemon& daemon;
        std::size_t linesBefore;
        std::function<int()> connect;
    };
    // The system observer first: the resource observer passes the probe's alert on to it.
    for (const Flooded& flooded : {Flooded{"system", system, 0, [&] { return qntest::ConnectToLoopback(system.Port(), false); }},
                                   Flooded{"resource", resource, 1, [&] { return qntest::ConnectToSocket(installation.SocketPath(), false); }}}) {
        SCOPED_TRACE(flooded.kind);
        // The resource observer's link line comes when its worker first links, not at start.
        const auto lines = [&] { return flooded.daemon.LogbookLines(); };
        const auto fresh = qntest::Await(lines, [&](const auto& now) { return now.size() >= flooded.linesBefore; }, 60s);
        ASSERT_EQ(fresh.size(), flooded.linesBefore) << "a fresh daemon";
        ASSERT_TRUE(LowerDescriptorLimit(flooded.daemon.Process().Pid(), 128));
        std::vector<int> flood;
        for (int i = 0; i < 400; ++i)
            if (const int fd = flooded.connect(); fd >= 0)
                flood.push_back(fd);
        const auto after = qntest::Await(lines, [&](const auto& now) { return now.size() > flooded.linesBefore; }, 60s);
        ASSERT_GT(after.size(), flooded.linesBefore) << "the daemon ran out of descriptors";
        EXPECT_NE(after[flooded.linesBefore].find("can't accept connections on"), std::string::npos) << after[flooded.linesBefore];
        EXPECT_NE(after[flooded.linesBefore].find("Too many open files"), std::string::npos) << "its first entry since is the flood's";
        for (const int fd : flood)
            ::close(fd);
        EXPECT_TRUE(Reached(flooded.kind)) << "a normal call after the flood";
        EXPECT_EQ(::kill(flooded.daemon.Process().Pid(), 0), 0) << "alive";
        EXPECT_EQ(flooded.daemon.CountLogged("can't accept connections on"), 1) << "logged once, not for every refused connection";
    }
}

TEST(Endurance, TheBoundsRefuseNewNamesAndKeepTheFirstOnesAndEachDaemonOffersItsOwnInterfacesAlone)
{
    qntest::TestInstallation installation(qntest::kPlain);
    // Cycles of 50 ms would drop every machine after 1.5 s without a sample: on a loaded machine,
    // before the last look.
    const auto started = qntest::AtTimeScale("0.1", [&] {
        return std::make_unique<qntest::BothDaemons>(installation, std::vector<std::string>{"--max-processes", "3", "--max-machines", "2"},
                                                     std::vector<std::string>{"--max-machines", "2"});
    });
    qntest::BothDaemons& daemons = *started;
    const std::string resourceTarget = "unix:" + installation.SocketPath(), systemTarget = "127.0.0.1:" + std::to_string(daemons.system.Port());
    constexpr const char* kTaken = "0x00000000";
    constexpr const char* kStoreFull = "0x80070718";
    // The machines' samples first: the resource observer passes on to the system observer the
    // machines it keeps, and it keeps none before the processes' samples. "a" is "A" again.
    for (const auto& [machine, answer] : {std::pair{"A", kTaken}, {"B", kTaken}, {"C", kStoreFull}, {"a", kTaken}})
        EXPECT_EQ(Answer(systemTarget, kSystemObserverMethods[1], Sample(machine, 0)), answer) << machine;
    EXPECT_EQ(daemons.system.CountMetrics("qn_system_observer_samples_accepted_total 3"), 1);
    EXPECT_EQ(daemons.system.CountMetrics("qn_system_observer_samples_refused_total 1"), 1);
    for (const auto& [machine, pid, answer] :
         {std::tuple{"A", 1, kTaken}, {"B", 2, kTaken}, {"A", 3, kTaken}, {"A", 4, kStoreFull}, {"a", 1, kTaken}, {"C", 1, kStoreFull}})
        EXPECT_EQ(Answer(resourceTarget, kResourceObserverMethods[1], Sample(machine, pid)), answer) << machine << " " << pid;
    EXPECT_EQ(daemons.resource.CountMetrics("qn_process_data_current{"), 3);
    EXPECT_EQ(daemons.resource.CountMetrics("qn_resource_observer_samples_accepted_total 4"), 1);
    EXPECT_EQ(daemons.resource.CountMetrics("qn_resource_observer_samples_refused_total 2"), 1);
    EXPECT_EQ(daemons.resource.CountMetrics("qn_resource_observer_new_names_refused_total{kind=\"process\"} 1"), 1) << daemons.resource.Metrics();
    EXPECT_EQ(daemons.resource.CountMetrics("qn_resource_observer_new_names_refused_total{kind=\"machine\"} 1"), 1);
    EXPECT_EQ(daemons.system.Status().machines_size(), 2);

    SCOPED_TRACE("an alert without a state leaves the machine's alert");
    for (const int state : {2, 0}) {
        qn::SystemEvent alert;
        alert.set_machine_name("B");
        alert.set_state(state);
        EXPECT_EQ(Answer(systemTarget, kSystemObserverMethods[3], alert.SerializeAsString()), kTaken);
    }
    const auto b = daemons.system.Status({"--machine", "B"});
    ASSERT_EQ(b.machines_size(), 1);
    EXPECT_EQ(b.machines(0).alert_state(), 2);

    SCOPED_TRACE("each daemon offers its own interfaces alone");
    const auto offered = [](const std::string& target, REFCLSID clsid, REFIID iid) {
        qn::InterfaceQuery query;
        query.set_clsid(XQNComBSTR(clsid).ToUtf8());
        query.set_iid(XQNComBSTR(iid).ToUtf8());
        return Answer(target, kResourceObserverMethods[0], query.SerializeAsString());
    };
    constexpr const char* kNoInterface = "0x80004002";
    EXPECT_EQ(offered(resourceTarget, CLSID_QNResourceObserver, IQNResourceObserver::kIid), kTaken);
    EXPECT_EQ(offered(resourceTarget, CLSID_QNResourceObserver, IQNSystemEmergencyObserver::kIid), kNoInterface);
    EXPECT_EQ(offered(systemTarget, CLSID_QNSystemResourceObserver, IQNResourceObserver::kIid), kNoInterface);
}

TEST(Endurance, AnAlertIsPassedOnAtOnceAndOneRaisedWhileTheSystemObserverIsAwayIsTakenAndPassedOnOnceItIsBack)
{
    qntest::TestInstallation installation(qntest::kPlain);
    auto system = std::make_unique<qntest::RecordingObserver>(installation, "system");
    const std::string endpoint = "127.0.0.1:" + std::to_string(system->Port());
    qntest::ResourceObserverDaemon daemon({"--relink-interval", "5"});
    EXPECT_EQ(qntest::Probe({"--level", "1"}), qntest::kServed) << "passed on at once";
    EXPECT_NE(system->Next("NotifySystemResourceAlert").body.find("state: 2"), std::string::npos);
    EXPECT_EQ(daemon.CountMetrics("qn_resource_observer_kept_events 0"), 1);
    system.reset();  // killed

    EXPECT_EQ(qntest::Probe({"--level", "1"}), "create 0x00000000 call 0x00000001") << "taken, to be passed on later: no RPC failure for the agent";
    EXPECT_EQ(daemon.CountMetrics("qn_resource_observer_kept_events 1"), 1);
    EXPECT_NE(daemon.AwaitLogged("the link to the system observer on 'localhost' failed - naming 'localhost' again"), "") << "its only one";
    system = std::make_unique<qntest::RecordingObserver>(installation, "system", std::vector<std::string>{"--endpoint", endpoint});
    EXPECT_NE(system->Next("NotifySystemResourceAlert").body.find("state: 2"), std::string::npos) << "the kept alert arrives once the system observer is back";
    EXPECT_EQ(daemon.AwaitCount("qn_resource_observer_kept_events 0", 1), 1);
    EXPECT_EQ(daemon.CountMetrics("qn_resource_observer_dropped_events_total 0"), 1);
}

}  // namespace
