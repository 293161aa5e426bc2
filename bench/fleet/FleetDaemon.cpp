#include "bench/fleet/FleetDaemon.h"

#include <fcntl.h>
#include <google/protobuf/util/json_util.h>
#include <httplib.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "hosts/common/SystemObserverStatus.pb.h"

namespace fleet {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRepeats = 3;
constexpr double kSilentCycles = 10;
constexpr double kCycleSec = 5;
constexpr int kStopWaitMs = 10000;

// Starts `arguments` with `environment` added; its standard output into `output` (a pipe's write
// end) or /dev/null, its standard error into `errors` or /dev/null. The child ends with this process.
pid_t Spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& environment, int output, const std::string& errors)
{
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (const std::string& variable : environment)
            ::putenv(const_cast<char*>(variable.c_str()));
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(output >= 0 ? output : null, STDOUT_FILENO);
        const int log = errors.empty() ? null : ::open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(log, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Run(const std::string& command)
{
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("failed: " + command);
}

}  // namespace

Certificates MakeCertificates(const std::filesystem::path& folder, const std::string& name)
{
    const Certificates files{folder / (name + "ca.pem"), folder / (name + "node.pem"), folder / (name + "node.key")};
    const std::string caKey = (folder / (name + "ca.key")).string(), request = (folder / (name + "node.csr")).string();
    const std::filesystem::path extensions = folder / (name + "node.ext");
    // P-256 keys, as the README recommends; FLEET_TLS_KEY=rsa: RSA-2048, whose handshakes cost
    // several times as much.
    const char* keyType = std::getenv("FLEET_TLS_KEY");
    const std::string key = keyType != nullptr && std::string(keyType) == "rsa" ? "rsa:2048" : "ec -pkeyopt ec_paramgen_curve:prime256v1";
    Run("openssl req -x509 -newkey " + key + " -nodes -days 2 -subj /CN=fleet-ca -keyout " + caKey + " -out " + files.ca.string());
    Run("openssl req -newkey " + key + " -nodes -subj /CN=fleet-node -keyout " + files.key.string() + " -out " + request);
    std::ofstream(extensions) << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    Run("openssl x509 -req -in " + request + " -CA " + files.ca.string() + " -CAkey " + caKey + " -CAcreateserial -days 2 -extfile " + extensions.string() +
        " -out " + files.certificate.string());
    return files;
}

void RaiseOwnDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

FleetDaemon::FleetDaemon(const Programs& programs, DWORD level, double timeScale, int maxMachines) : m_programs(programs), m_timeScale(timeScale), m_level(level), m_maxMachines(maxMachines)
{
    char folder[] = "/tmp/qn-fleet-XXXXXX";
    m_work = ::mkdtemp(folder);
    if (level > RPC_C_AUTHN_LEVEL_NONE)
        m_tls = MakeCertificates(m_work, "");
    WriteRegistry(level, 0);
    ::setenv("KORVEL_REGISTRY", (m_work / "registry.ini").c_str(), 1);
    Start(0);
}

void FleetDaemon::Start(int port)
{
    const std::string work = m_work.string();
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    char scale[32];
    std::snprintf(scale, sizeof scale, "QN_TIME_SCALE=%g", m_timeScale);
    m_pid = Spawn({(m_programs.folder / "qn-system-resource-observer").string(), "--address", "127.0.0.1", "--port", std::to_string(port), "--status-port", "0",
                   "--max-machines", std::to_string(m_maxMachines)},
                  {scale}, pipe[1], work + "/daemon.log");
    ::close(pipe[1]);
    FILE* output = ::fdopen(pipe[0], "r");
    char line[512] = "";
    if (std::fgets(line, sizeof line, output) == nullptr ||
        std::sscanf(line, "qn-system-resource-observer: serving on %*[^:]:%d, status on http://127.0.0.1:%d/status", &port, &m_httpPort) != 2)
        throw std::runtime_error("the system observer did not start; see " + work + "/daemon.log");
    std::fclose(output);
    m_port = port;
    WriteRegistry(m_level, port);
}

FleetDaemon::~FleetDaemon()
{
    ::kill(m_pid, SIGTERM);
    for (int waited = 0; ::waitpid(m_pid, nullptr, WNOHANG) == 0; waited += 10) {
        if (waited == kStopWaitMs)
            ::kill(m_pid, SIGKILL);
        ::usleep(10000);
    }
    std::filesystem::remove_all(m_work);
}

void FleetDaemon::Kill() const
{
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
}

void FleetDaemon::Restart()
{
    Kill();
    Start(m_port);
}

void FleetDaemon::UseItsRegistry() const { ::setenv("KORVEL_REGISTRY", (m_work / "registry.ini").c_str(), 1); }

int FleetDaemon::CurrentMachines() const
{
    httplib::Client client("127.0.0.1", m_httpPort);
    client.set_read_timeout(60);
    const auto response = client.Get("/status");
    qn::status::SystemStatus status;
    if (!response || response->status != 200 || !google::protobuf::util::JsonStringToMessage(response->body, &status).ok())
        return -1;
    return static_cast<int>(std::ranges::count_if(status.machines(), [](const auto& machine) { return machine.current(); }));
}

void FleetDaemon::WriteRegistry(DWORD level, int port) const
{
    std::ofstream(m_work / "registry.ini") << "[SOFTWARE\\KORVEL]\nDisableAuthentication=" << (level > RPC_C_AUTHN_LEVEL_NONE ? 0 : 1)
                                           << "\nDCOMAuthenticationService=WINNT\nSystemResourceObserverPort=" << port << "\nTLSCAFile=" << m_tls.ca.string()
                                           << "\nTLSCertificateFile=" << m_tls.certificate.string() << "\nTLSPrivateKeyFile=" << m_tls.key.string() << "\n";
}

double FleetDaemon::SettledRssKB() const
{
    constexpr double kReturnMemorySec = 10;
    std::this_thread::sleep_for(std::chrono::duration<double>(kReturnMemorySec * m_timeScale * 1.5));
    return RssKB();
}

double FleetDaemon::RssKB() const
{
    std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::atof(line.c_str() + 6);
    return 0;
}

double FleetDaemon::CpuMs() const
{
    std::ifstream stat("/proc/" + std::to_string(m_pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)  // utime and stime are fields 14 and 15
        if (i >= 14)
            ticks += std::atof(field.c_str());
    return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double FleetDaemon::Counter(const std::string& name) const
{
    httplib::Client client("127.0.0.1", m_httpPort);
    client.set_read_timeout(60);
    const auto response = client.Get("/metrics");
    const auto at = response ? response->body.find("\n" + name + " ") : std::string::npos;
    return at == std::string::npos ? -1 : std::atof(response->body.c_str() + at + name.size() + 2);
}

std::chrono::duration<double> FleetDaemon::Silence() const
{
    return std::chrono::duration<double>(kSilentCycles * kCycleSec * m_timeScale);
}

FleetDaemon::Page FleetDaemon::Get(const std::string& path) const
{
    httplib::Client client("127.0.0.1", m_httpPort);
    client.set_read_timeout(60);
    std::vector<double> times;
    Page page;
    for (int i = 0; i < kRepeats; ++i) {
        const auto start = Clock::now();
        const auto response = client.Get(path);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        page.bytes = response && response->status == 200 ? static_cast<double>(response->body.size()) : std::nan("");
        if (std::isnan(page.bytes))
            std::fprintf(stderr, "fleet: GET %s answered %s\n", path.c_str(),
                         response ? ("HTTP " + std::to_string(response->status)).c_str() : httplib::to_string(response.error()).c_str());
    }
    page.ms = Median(times);
    return page;
}

double FleetDaemon::RunStatus(const std::vector<std::string>& options) const
{
    std::vector<std::string> arguments{(m_programs.folder / "qn-status").string(), "--status-port", std::to_string(m_httpPort)};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<double> times;
    for (int i = 0; i < kRepeats; ++i) {
        const auto start = Clock::now();
        int status = 0;
        ::waitpid(Spawn(arguments, {}, -1, {}), &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return std::nan("");
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return Median(times);
}

}  // namespace fleet
