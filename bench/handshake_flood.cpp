// handshake_flood: more TLS handshakes than a real system observer can finish, offered at a ramp
// of rates of new connections a second, to see whether it keeps finishing them at its peak rate
// and refuses the rest cheaply (its bound of handshakes in flight) instead of collapsing:
//   handshake_flood [--rates 100,200,400,800,1600,3200] [--seconds 10] [--rogue 50] [--programs DIR]
// One table with good clients only, one with --rogue percent of clients whose certificate comes
// from another CA (0: no second table); a fresh daemon for each. Each row: the rates a second of
// handshakes offered, completed, refused (closed before the server said a word), failed and timed
// out, the good clients' handshake times, and the cores the daemon and this client took.
//
// The client must leave the cores to the server: a gRPC channel costs milliseconds of setup of its
// own, so this speaks TLS itself with OpenSSL, one SSL_CTX a kind of client, non-blocking sockets
// on one epoll thread. A handshake counts as completed when the server's first HTTP/2 frame
// arrives: in TLS 1.3 the client is done before the server has checked its certificate, and only
// a server that accepted the certificate sends it.
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/fleet/FleetDaemon.h"
#include "platform/transport/Status.h"

namespace {

using Clock = std::chrono::steady_clock;
// A resource observer gives up on a link that takes longer.
constexpr auto kClientDeadline = transport::kActivationDeadline;
// gRPC's server closes a connection without it once the handshake is done.
constexpr unsigned char kAlpn[] = {2, 'h', '2'};
constexpr int kEventsAtOnce = 256;

enum Outcome { kCompleted, kRefused, kFailed, kTimedOut, kOutcomes };

// What came of the handshakes of one kind of client in one step.
struct Tally {
    long started = 0;
    std::array<long, kOutcomes> ended{};
    std::vector<double> ms;  // of the completed, from connect to the server's first frame

    double Percentile(double share)
    {
        std::ranges::sort(ms);
        return ms.empty() ? 0 : ms[static_cast<size_t>(static_cast<double>(ms.size() - 1) * share)];
    }
};

struct ContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using Context = std::unique_ptr<SSL_CTX, ContextFree>;

// A client that shows `files`' certificate. It takes the server's unchecked: the check would cost
// this client a fifth of its CPU and the server nothing.
Context ClientContext(const fleet::Certificates& files)
{
    Context context(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_set_min_proto_version(context.get(), TLS1_3_VERSION);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    if (SSL_CTX_use_certificate_chain_file(context.get(), files.certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context.get(), files.key.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_set_alpn_protos(context.get(), kAlpn, sizeof kAlpn) != 0)
        throw std::runtime_error("can't set up TLS with " + files.certificate.string());
    return context;
}

struct Handshake {
    int fd = -1;
    SSL* ssl = nullptr;
    Clock::time_point start;
    Tally* tally = nullptr;
    uint32_t watched = EPOLLOUT;  // the connect's end first
    bool over = false;
};

// The handshakes in flight on one epoll set.
class Flood {
public:
    explicit Flood(int port) : m_epoll(::epoll_create1(EPOLL_CLOEXEC))
    {
        m_server.sin_family = AF_INET;
        m_server.sin_port = htons(static_cast<uint16_t>(port));
        m_server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~Flood()
    {
        for (auto& handshake : m_open)
            if (!handshake->over)
                End(*handshake, kFailed);
        ::close(m_epoll);
    }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

    // Connects a client of `context`; what comes of it is counted in `tally`.
    void Start(SSL_CTX* context, Tally& tally)
    {
        auto handshake = std::make_unique<Handshake>();
        handshake->start = Clock::now();
        handshake->tally = &tally;
        ++tally.started;
        handshake->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        // Closed with a reset: tens of thousands of ports a minute can't wait in TIME_WAIT.
        const linger reset{1, 0};
        ::setsockopt(handshake->fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        handshake->ssl = SSL_new(context);
        SSL_set_fd(handshake->ssl, handshake->fd);
        SSL_set_connect_state(handshake->ssl);
        epoll_event event{EPOLLOUT, {.ptr = handshake.get()}};
        const bool connecting = ::connect(handshake->fd, reinterpret_cast<const sockaddr*>(&m_server), sizeof m_server) == 0 || errno == EINPROGRESS;
        if (!connecting || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, handshake->fd, &event) != 0)
            End(*handshake, kFailed);
        m_open.push_back(std::move(handshake));
    }

    // Advances the handshakes that can go on until `until`, ending those past the deadline.
    void Pump(Clock::time_point until)
    {
        do {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
            std::array<epoll_event, kEventsAtOnce> events;
            const int ready = ::epoll_wait(m_epoll, events.data(), kEventsAtOnce, static_cast<int>(std::max<long>(left, 0)));
            for (int i = 0; i < ready; ++i)
                Advance(*static_cast<Handshake*>(events[static_cast<size_t>(i)].data.ptr));
            // Ended ones go once they are the oldest: none is freed while an event may name it.
            const auto now = Clock::now();
            while (!m_open.empty() && (m_open.front()->over || now - m_open.front()->start >= kClientDeadline)) {
                if (!m_open.front()->over)
                    End(*m_open.front(), kTimedOut);
                m_open.pop_front();
            }
        } while (Clock::now() < until);
    }

    bool Idle() const { return m_open.empty(); }

private:
    void Advance(Handshake& handshake)
    {
        char frame[512];
        for (;;) {
            const bool done = SSL_is_init_finished(handshake.ssl);
            const int result = done ? SSL_read(handshake.ssl, frame, sizeof frame) : SSL_do_handshake(handshake.ssl);
            if (result > 0 && done)
                return End(handshake, kCompleted);
            if (result > 0)
                continue;
            const int error = SSL_get_error(handshake.ssl, result);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
                ERR_clear_error();
                // Not a byte from the server: the gate closed the connection unheard.
                return End(handshake, BIO_number_read(SSL_get_rbio(handshake.ssl)) == 0 ? kRefused : kFailed);
            }
            const uint32_t wanted = error == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT;
            if (wanted != handshake.watched) {
                epoll_event event{wanted, {.ptr = &handshake}};
                ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, handshake.fd, &event);
                handshake.watched = wanted;
            }
            return;
        }
    }

    // At once, without close_notify: a client that has what it came for.
    static void End(Handshake& handshake, Outcome outcome)
    {
        ++handshake.tally->ended[outcome];
        if (outcome == kCompleted)
            handshake.tally->ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - handshake.start).count());
        SSL_free(handshake.ssl);
        ::close(handshake.fd);
        handshake.over = true;
    }

    int m_epoll;
    sockaddr_in m_server{};
    std::deque<std::unique_ptr<Handshake>> m_open;  // oldest first
};

double CpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One table: a step a rate, each offering handshakes for `seconds`, `roguePercent` of them rogue,
// then waiting for the last to end before the next.
void RunRamp(const fleet::Programs& programs, const std::vector<int>& rates, double seconds, int roguePercent, const fleet::Certificates& rogue)
{
    const fleet::FleetDaemon daemon(programs, RPC_C_AUTHN_LEVEL_CONNECT, 1.0, 100);
    const Context good = ClientContext(daemon.Tls());
    const Context bad = ClientContext(rogue);
    Flood flood(daemon.Port());
    std::printf("== %s, a fresh daemon of %s\n", roguePercent == 0 ? "good clients only" : (std::to_string(roguePercent) + " % rogue clients").c_str(),
                programs.folder.c_str());
    std::printf("%8s %9s %9s %9s %9s %9s %8s %8s %9s %9s %9s %7s %7s\n", "target/s", "offered/s", "done/s", "refused/s", "failed/s", "timeout/s", "p50 ms",
                "p99 ms", "rogue/s", "r.refus/s", "gate ref/s", "server", "client");
    for (const int rate : rates) {
        Tally goodTally, rogueTally;
        const double serverBefore = daemon.CpuMs(), clientBefore = CpuSeconds();
        const double refusedBefore = daemon.Counter("qn_transport_handshakes_refused_total");
        const auto start = Clock::now();
        const long count = static_cast<long>(rate * seconds);
        for (long i = 0; i < count; ++i) {
            flood.Pump(start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(static_cast<double>(i) / rate)));
            // Spread evenly: the i-th is rogue when the rogue share passes a whole number at it.
            const bool isRogue = (i + 1) * roguePercent / 100 > i * roguePercent / 100;
            flood.Start((isRogue ? bad : good).get(), isRogue ? rogueTally : goodTally);
        }
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double server = (daemon.CpuMs() - serverBefore) / 1000 / wall, client = (CpuSeconds() - clientBefore) / wall;
        const double gateRefused = daemon.Counter("qn_transport_handshakes_refused_total") - refusedBefore;
        while (!flood.Idle())
            flood.Pump(Clock::now() + std::chrono::milliseconds(100));
        const auto perSecond = [&](long value) { return static_cast<double>(value) / wall; };
        std::printf("%8d %9.0f %9.0f %9.0f %9.0f %9.0f %8.1f %8.1f %9.0f %9.0f %9.0f %7.2f %7.2f\n", rate, perSecond(goodTally.started),
                    perSecond(goodTally.ended[kCompleted]), perSecond(goodTally.ended[kRefused]), perSecond(goodTally.ended[kFailed]),
                    perSecond(goodTally.ended[kTimedOut]), goodTally.Percentile(0.5), goodTally.Percentile(0.99), perSecond(rogueTally.started),
                    perSecond(rogueTally.ended[kRefused]), gateRefused / wall, server, client);
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Offers TLS handshakes to a real system observer faster than it can finish them."};
    std::vector<int> rates{100, 200, 400, 800, 1600, 3200};
    double seconds = 10;
    int roguePercent = 50;
    fleet::Programs programs{std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "hosts"};
    app.add_option("--rates", rates, "New connections a second, a step each")->delimiter(',')->capture_default_str()->check(CLI::PositiveNumber);
    app.add_option("--seconds", seconds, "How long each step offers")->capture_default_str()->check(CLI::PositiveNumber);
    app.add_option("--rogue", roguePercent, "Percent of clients of another CA in the second table (0: none)")->capture_default_str()->check(CLI::Range(0, 100));
    app.add_option("--programs", programs.folder, "Folder of qn-system-resource-observer")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    ::signal(SIGPIPE, SIG_IGN);  // a write to a refused connection fails; it must not end the bench
    fleet::RaiseOwnDescriptorLimit();
    char folder[] = "/tmp/qn-flood-XXXXXX";
    const std::filesystem::path work = ::mkdtemp(folder);
    const fleet::Certificates rogue = fleet::MakeCertificates(work, "rogue-");
    RunRamp(programs, rates, seconds, 0, rogue);
    if (roguePercent > 0)
        RunRamp(programs, rates, seconds, roguePercent, rogue);
    std::filesystem::remove_all(work);
    return 0;
}
