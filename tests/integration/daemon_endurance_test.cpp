// The daemons against what ends a careless server: a second instance on the same endpoint, a
// socket file left behind by a crash, a flood of connections up to the descriptor limit, and the
// system observer away while an agent raises its events.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <fstream>
#include <future>
#include <span>
#include <memory>
#include <thread>
#include <vector>

#include "interfaces/QNResourceObserver.grpc.pb.h"
#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/ResourceObserverDaemon.h"
#include "tests/helpers/Sockets.h"
#include "tests/helpers/SystemObserverDaemon.h"
#include "tests/helpers/TestInstallation.h"

namespace {

using namespace std::chrono_literals;
using qntest::ChildProcess;

// What the probe prints once it has reached the daemon: the call itself may fail onward.
constexpr const char* kReached = "create 0x00000000 ";

// A daemon `program` that is expected to refuse to start: the line it says so on (standard
// error included) and its exit status.
std::pair<std::string, int> RunRefused(const std::string& program, const std::string& options)
{
    ChildProcess daemon({"/bin/sh", "-c", "exec " + program + " " + options + " 2>&1"});
    const std::string line = daemon.ReadLineStartingWith(program.substr(program.rfind('/') + 1) + ":");
    return {line, daemon.Finish()};
}

// What a probe client that sends one alert to the observer of `kind` prints.
std::string Probe(const std::string& kind = "resource")
{
    ChildProcess probe({QN_PROBE_CLIENT, "--class", kind, "--level", "1"});
    return probe.ReadLine();
}

// Whether a probe client reaches the observer of `kind`.
bool Reached(const std::string& kind = "resource")
{
    return Probe(kind).starts_with(kReached);
}

// What a daemon answers to `bytes` sent as the message of `method`: the HRESULT of its reply, or
// a note on the failure.
std::string Answer(const std::shared_ptr<grpc::Channel>& channel, const std::string& method, const std::string& bytes)
{
    grpc::GenericStub stub(channel);
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

// Lines of the logbook file at `path` that hold `text`.
int CountLines(const std::string& path, const std::string& text)
{
    std::ifstream file(path);
    int count = 0;
    for (std::string line; std::getline(file, line);)
        count += line.find(text) != std::string::npos;
    return count;
}

std::unique_ptr<ChildProcess> StartRecordingSystemObserver(const std::string& port)
{
    auto observer = std::make_unique<ChildProcess>(
        std::vector<std::string>{QN_RECORDING_OBSERVER, "--class", "system", "--endpoint", "127.0.0.1:" + port, "--level", "1"});
    EXPECT_EQ(observer->ReadLineStartingWith("ready").rfind("ready ", 0), 0u);
    return observer;
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

class Endurance : public testing::Test {
protected:
    void SetUp() override
    {
        m_installation.Set("DisableAuthentication", "1");
        m_installation.Set("DCOMAuthenticationService", "WINNT");
    }
    qntest::TestInstallation m_installation;
};

TEST_F(Endurance, ASecondResourceObserverIsRefusedNamingTheFirstWhichGoesOn)
{
    qntest::ResourceObserverDaemon first;
    const auto [line, status] = RunRefused(QN_RESOURCE_OBSERVER, "--metrics-port 0 --system-observer localhost");
    EXPECT_NE(status, 0);
    EXPECT_NE(line.find("process " + std::to_string(first.Process().Pid()) + " serves on " + m_installation.SocketPath() + " already"),
              std::string::npos)
        << line;
    EXPECT_TRUE(Reached()) << "the first still has its socket";
}

TEST_F(Endurance, ASecondSystemObserverOnThePortIsRefused)
{
    qntest::SystemObserverDaemon first;
    const auto [line, status] = RunRefused(QN_SYSTEM_RESOURCE_OBSERVER, "--port " + std::to_string(first.Port()) + " --status-port 0");
    EXPECT_NE(status, 0);
    EXPECT_NE(line.find("in use by another process"), std::string::npos) << line;
    m_installation.Set("SystemResourceObserverPort", std::to_string(first.Port()));
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(Reached("system")) << "every connection reaches the first";
}

TEST_F(Endurance, ASocketFileLeftByACrashIsReplaced)
{
    {
        qntest::ResourceObserverDaemon crashed;
        ::kill(crashed.Process().Pid(), SIGKILL);
    }
    ASSERT_EQ(::access(m_installation.SocketPath().c_str(), F_OK), 0) << "the killed daemon left its socket file";
    qntest::ResourceObserverDaemon next;
    EXPECT_TRUE(Reached());
}

TEST_F(Endurance, AFloodUpToTheDescriptorLimitLeavesEachDaemonAnsweringRightAfter)
{
    qntest::ResourceObserverDaemon resource;
    qntest::SystemObserverDaemon system;
    m_installation.Set("SystemResourceObserverPort", std::to_string(system.Port()));
    struct Flooded {
        const char* kind;
        pid_t pid;
        std::function<int()> connect;
    };
    for (const Flooded& daemon : {Flooded{"resource", resource.Process().Pid(), [&] { return qntest::ConnectToSocket(m_installation.SocketPath(), false); }},
                                  Flooded{"system", system.Process().Pid(), [&] { return qntest::ConnectToLoopback(system.Port(), false); }}}) {
        SCOPED_TRACE(daemon.kind);
        ChildProcess limit({"/usr/bin/prlimit", "--pid", std::to_string(daemon.pid), "--nofile=128:128"});
        ASSERT_EQ(limit.Finish(), 0);
        std::vector<int> flood;
        for (int i = 0; i < 300; ++i)
            if (const int fd = daemon.connect(); fd >= 0)
                flood.push_back(fd);
        std::this_thread::sleep_for(300ms);  // the daemon runs out of descriptors meanwhile
        ASSERT_GT(flood.size(), 128u) << "the flood reaches the limit";
        for (const int fd : flood)
            ::close(fd);

        const auto ended = std::chrono::steady_clock::now();
        bool reached = false;
        while (!reached && std::chrono::steady_clock::now() - ended < 1s)
            reached = Reached(daemon.kind);
        EXPECT_TRUE(reached) << "a normal call within a second of the flood's end";
    }
}

TEST_F(Endurance, ConnectionsThatNeverCallAreClosed)
{
    qntest::ResourceObserverDaemon resource;
    qntest::SystemObserverDaemon system;
    // The idle limit is two minutes, scaled to 1.2 s here; the handshake deadline of 10 s is not.
    const int unix = qntest::ConnectToSocket(m_installation.SocketPath());
    const int tcp = qntest::ConnectToLoopback(system.Port());
    for (const auto& [fd, within] : {std::pair{unix, 5s}, std::pair{tcp, 15s}}) {
        const bool closed = qntest::ClosedWithin(fd, within);
        EXPECT_TRUE(closed) << "closed by the daemon within " << within.count() << " s";
        ::close(fd);
    }
}

TEST_F(Endurance, StatusAnswersAtOnceWhileIdleAndDribblingClientsHoldConnections)
{
    qntest::SystemObserverDaemon daemon;
    std::vector<int> idle, dribbling;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(qntest::ConnectToLoopback(daemon.StatusPort()));
        dribbling.push_back(qntest::ConnectToLoopback(daemon.StatusPort()));
        ASSERT_GE(idle.back(), 0);
        ASSERT_GE(dribbling.back(), 0);
    }
    std::atomic<bool> done{false};
    std::thread dribbler([&] {
        // A request that never ends: one more byte of a header line every 300 ms.
        for (const int fd : dribbling)
            (void)::send(fd, "GET /status HTTP/1.1\r\nX-Slow: ", 30, MSG_NOSIGNAL);
        while (!done) {
            std::this_thread::sleep_for(300ms);
            for (const int fd : dribbling)
                (void)::send(fd, "a", 1, MSG_NOSIGNAL);
        }
    });
    std::this_thread::sleep_for(500ms);  // every connection has been taken by then

    httplib::Client client("127.0.0.1", daemon.StatusPort());
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const auto asked = std::chrono::steady_clock::now();
        const auto response = client.Get("/status");
        const auto waited = std::chrono::steady_clock::now() - asked;
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, 200);
        EXPECT_LT(waited, 200ms);
    }
    done = true;
    dribbler.join();
    for (const int fd : idle)
        ::close(fd);
    for (const int fd : dribbling)
        ::close(fd);
}

TEST_F(Endurance, GarbageOnEveryMethodIsAnsweredInvalidArgCountedAndLoggedOnceLeavingWhatWasStored)
{
    const std::string logbook = m_installation.Path("logbook");
    ::setenv("QN_LOGBOOK", logbook.c_str(), 1);
    qntest::ResourceObserverDaemon resource;
    qntest::SystemObserverDaemon system;
    ::unsetenv("QN_LOGBOOK");
    ChildProcess sample({"/usr/bin/python3", QN_PYTHON_CLIENT, QN_DESCRIPTOR_SET, m_installation.SocketPath()});
    ASSERT_EQ(sample.ReadLine(), "hresult 0");

    const auto resourceChannel = grpc::CreateChannel("unix:" + m_installation.SocketPath(), grpc::InsecureChannelCredentials());
    const auto systemChannel = grpc::CreateChannel("127.0.0.1:" + std::to_string(system.Port()), grpc::InsecureChannelCredentials());
    for (const auto& [channel, methods] : {std::pair{resourceChannel, std::span(kResourceObserverMethods)}, std::pair{systemChannel, std::span(kSystemObserverMethods)}})
        for (const char* method : methods)
            for (const std::string& garbage : kGarbage) {
                SCOPED_TRACE(std::string(method) + " " + std::to_string(&garbage - kGarbage));
                EXPECT_EQ(Answer(channel, method, garbage), "0x80070057");
            }

    EXPECT_EQ(resource.CountMetrics("qn_transport_calls_refused_total{reason=\"malformed\"} 10"), 1) << resource.Metrics();
    EXPECT_EQ(resource.CountMetrics("qn_process_data_current{pid=\"77\""), 1) << "the sample stored before is still there";
    EXPECT_EQ(CountLines(logbook, "refused a call from"), 2) << "one line for each daemon's peer";
    EXPECT_EQ(CountLines(logbook, "libprotobuf"), 2) << "protobuf's complaint about the string, once in each daemon";
}

TEST_F(Endurance, TheBoundsRefuseNewNamesAndKeepTheFirstOnes)
{
    qntest::ResourceObserverDaemon resource({"--max-processes", "3", "--max-machines", "2"});
    qntest::SystemObserverDaemon system(0, {}, {"--max-machines", "2"});
    const auto resourceChannel = grpc::CreateChannel("unix:" + m_installation.SocketPath(), grpc::InsecureChannelCredentials());
    const auto systemChannel = grpc::CreateChannel("127.0.0.1:" + std::to_string(system.Port()), grpc::InsecureChannelCredentials());
    const auto sample = [&](const char* machine, int pid) {
        qn::ResourceInformation wire;
        wire.set_machine_name(machine);
        wire.set_process_name("srv");
        wire.set_process_id(pid);
        wire.set_data_valid(1);
        return Answer(resourceChannel, "/qn.IQNResourceObserver/SetProcessResourceInfo", wire.SerializeAsString());
    };
    const auto machineSample = [&](const char* machine) {
        qn::SystemResourceInformation wire;
        wire.set_machine_name(machine);
        wire.set_data_valid(1);
        return Answer(systemChannel, "/qn.IQNSystemResourceObserver/SetSystemResourceData", wire.SerializeAsString());
    };
    constexpr const char* kTaken = "0x00000000";
    constexpr const char* kStoreFull = "0x80070718";
    struct Step {
        const char* what;
        std::function<std::string()> send;
        const char* answer;
    };
    const Step steps[] = {
        {"first process", [&] { return sample("A", 1); }, kTaken},
        {"second process, second machine", [&] { return sample("B", 2); }, kTaken},
        {"third process", [&] { return sample("A", 3); }, kTaken},
        {"a fourth process", [&] { return sample("A", 4); }, kStoreFull},
        {"a kept process again", [&] { return sample("a", 1); }, kTaken},
        {"a third machine", [&] { return sample("C", 1); }, kStoreFull},
        {"first machine", [&] { return machineSample("A"); }, kTaken},
        {"second machine", [&] { return machineSample("B"); }, kTaken},
        {"a third machine onward", [&] { return machineSample("C"); }, kStoreFull},
        {"a kept machine again", [&] { return machineSample("a"); }, kTaken},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_EQ(step.send(), step.answer);
    }
    EXPECT_EQ(resource.CountMetrics("qn_process_data_current{"), 3);
    EXPECT_EQ(resource.CountMetrics("qn_resource_observer_new_names_refused_total{kind=\"process\"} 1"), 1) << resource.Metrics();
    EXPECT_EQ(resource.CountMetrics("qn_resource_observer_new_names_refused_total{kind=\"machine\"} 1"), 1);
    EXPECT_EQ(system.Status().machines_size(), 2);
}

TEST_F(Endurance, AnAlertRaisedWhileTheSystemObserverIsAwayIsTakenAndPassedOnOnceItIsBack)
{
    auto system = std::make_unique<ChildProcess>(
        std::vector<std::string>{QN_RECORDING_OBSERVER, "--class", "system", "--endpoint", "127.0.0.1:0", "--level", "1"});
    const std::string port = system->ReadLineStartingWith("ready").substr(6);
    m_installation.Set("SystemResourceObserverPort", port);
    qntest::ResourceObserverDaemon daemon({"--relink-interval", "5"});
    system.reset();  // killed

    EXPECT_EQ(Probe(), "create 0x00000000 call 0x00000001") << "taken, to be passed on later: no RPC failure for the agent";
    EXPECT_EQ(daemon.CountMetrics("qn_resource_observer_kept_events 1"), 1);
    system = StartRecordingSystemObserver(port);
    EXPECT_NE(system->ReadLineStartingWith("NotifySystemResourceAlert").find("state: 2"), std::string::npos)
        << "the kept alert arrives once the system observer is back";
    EXPECT_EQ(daemon.AwaitCount("qn_resource_observer_kept_events 0", 1), 1);
    EXPECT_EQ(daemon.CountMetrics("qn_resource_observer_dropped_events_total 0"), 1);
}

}  // namespace
