// How long before the kernel's refusal the real qn-server-demo hears of its emergency, at real
// speed with the default 5 s interval, in real cgroups and rlimits, with a real resource observer.
// Prints one row per growth (warned or not, lead time before the refusal), the control burst that
// must raise nothing, and what the ceiling watch costs the monitor thread far from the ceilings and
// near them. Needs root and a writable cgroup v1 memory and pids hierarchy or cgroup v2.
//   leadtime [--quick]   (--quick: fewer rows, for a first look)
#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kMemoryLimitMB = 400;
constexpr int kStartMB = 300;  // what a server holds before it leaks
constexpr int kNoFile = 1024;
constexpr int kPidsMax = 256;
// After the monitor's first sleep of 10 s, so that the watch is running.
constexpr int kGrowAfterSeconds = 11;
constexpr int kCostSeconds = 10;

double Now()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool Write(const fs::path& file, const std::string& text)
{
    std::ofstream out(file);
    out << text << std::endl;
    return static_cast<bool>(out);
}

// A cgroup of the controller's v1 hierarchy, or of v2 with the controller enabled; removed at the end.
class Cgroup {
public:
    Cgroup(const std::string& controller, const std::string& name)
    {
        const fs::path v1 = fs::path("/sys/fs/cgroup") / controller;
        if (fs::exists(v1 / "cgroup.procs"))
            m_folder = v1 / name;
        else if (Write("/sys/fs/cgroup/cgroup.subtree_control", "+" + controller))
            m_folder = fs::path("/sys/fs/cgroup") / name;
        std::error_code error;
        if (m_folder.empty() || !fs::create_directory(m_folder, error))
            m_folder.clear();
    }
    ~Cgroup()
    {
        if (!m_folder.empty())
            ::rmdir(m_folder.c_str());
    }
    bool Usable() const { return !m_folder.empty(); }
    bool MemoryV2() const { return fs::exists(m_folder / "memory.max"); }
    bool Set(const std::string& file, const std::string& value) const { return Write(m_folder / file, value); }
    const fs::path& Folder() const { return m_folder; }

private:
    fs::path m_folder;
};

// The kernel's own notice, for comparison: a cgroup v1 memory threshold at the watch's margin,
// an eventfd registered through cgroup.event_control, read on a thread of its own.
class ThresholdNotice {
public:
    ThresholdNotice(const fs::path& cgroup, std::uint64_t thresholdBytes)
        : m_usage(::open((cgroup / "memory.usage_in_bytes").c_str(), O_RDONLY | O_CLOEXEC)), m_event(::eventfd(0, EFD_CLOEXEC))
    {
        if (m_usage < 0 || m_event < 0 ||
            !Write(cgroup / "cgroup.event_control", std::to_string(m_event) + " " + std::to_string(m_usage) + " " + std::to_string(thresholdBytes)))
            return;
        m_registered = true;
        m_reader = std::thread([this] {
            std::uint64_t count = 0;
            if (::read(m_event, &count, sizeof count) == sizeof count)
                m_at = Now();
        });
    }
    ~ThresholdNotice()
    {
        StopReading();
        ::close(m_event);
        ::close(m_usage);
    }
    bool Registered() const { return m_registered; }
    // When the kernel told, if it did.
    std::optional<double> At()
    {
        StopReading();
        return m_at;
    }

private:
    void StopReading()
    {
        if (!m_reader.joinable())
            return;
        const std::uint64_t one = 1;
        (void)::write(m_event, &one, sizeof one);  // wakes the reader when the threshold never fired
        m_reader.join();
    }

    bool m_registered = false;
    int m_usage;
    int m_event;
    std::optional<double> m_at;
    std::thread m_reader;
};

struct Run {
    std::optional<double> emergency;  // CLOCK_MONOTONIC seconds
    std::optional<double> refused;    // refused by the kernel, or killed
    bool killed = false;
    bool capped = false;
};

// qn-server-demo with `arguments`, in `cgroup` (may be null) and under RLIMIT_NOFILE `noFile` (0:
// as it is), read line by line until the kernel refused, it was killed, or `stopAfter` seconds
// after its cap (then stopped); `whileHolding` runs once it holds its cap.
class Demo {
public:
    Demo(const std::vector<std::string>& arguments, const Cgroup* cgroup, rlim_t noFile)
    {
        int out[2];
        if (::pipe(out) != 0)
            std::exit(1);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            // The demo's logbook is not part of the table.
            ::freopen("/dev/null", "w", stderr);
            if (cgroup != nullptr)
                Write(cgroup->Folder() / "cgroup.procs", std::to_string(::getpid()));
            if (noFile > 0) {
                const rlimit limit{noFile, noFile};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            }
            std::vector<char*> argv;
            std::string program = QN_SERVER_DEMO;
            argv.push_back(program.data());
            for (const std::string& argument : arguments)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            ::unsetenv("QN_TIME_SCALE");
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        m_out = ::fdopen(out[0], "r");
    }
    ~Demo()
    {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        std::fclose(m_out);
    }

    pid_t Pid() const { return m_pid; }

    // The next line, or empty at the end.
    std::string Line()
    {
        char line[512];
        if (std::fgets(line, sizeof line, m_out) == nullptr)
            return {};
        return line;
    }

    Run Follow()
    {
        Run run;
        for (std::string line = Line();; line = Line()) {
            if (line.empty()) {
                run.refused = Now();
                run.killed = true;
                return run;
            }
            double at = 0;
            if (const auto found = line.find(" at "); found != std::string::npos)
                at = std::strtod(line.c_str() + found + 4, nullptr);
            if (line.find("server emergency") != std::string::npos && !run.emergency)
                run.emergency = at;
            if (line.find(" refused after ") != std::string::npos) {
                run.refused = at;
                return run;
            }
            if (line.find("reached its cap") != std::string::npos) {
                run.capped = true;
                return run;
            }
        }
    }

private:
    pid_t m_pid = -1;
    std::FILE* m_out = nullptr;
};

void Row(const std::string& label, const std::string& value)
{
    std::printf("%-62s %s\n", label.c_str(), value.c_str());
    std::fflush(stdout);
}

std::string Outcome(const Run& run)
{
    if (!run.refused)
        return run.emergency ? "warned, the kernel never refused" : "no refusal and no emergency";
    if (!run.emergency || *run.emergency > *run.refused)
        return "NOT warned";
    char text[96];
    std::snprintf(text, sizeof text, "warned %.0f ms before the %s", (*run.refused - *run.emergency) * 1000, run.killed ? "OOM kill" : "refusal");
    return text;
}

std::vector<std::string> Arguments(const std::string& growth, const std::vector<std::string>& more = {})
{
    std::vector<std::string> arguments{"--interval", "5", "--load-after", std::to_string(kGrowAfterSeconds), "--grow", growth};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

// The monitor thread's CPU time (ns) and the times it ran, from its schedstat.
struct ThreadRuns {
    double cpuNs = 0;
    double runs = 0;
};

std::optional<ThreadRuns> MonitorThread(pid_t pid)
{
    for (const auto& task : fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "task")) {
        std::string name;
        std::ifstream(task.path() / "comm") >> name;
        if (name != "qn-load-monitor")
            continue;
        ThreadRuns runs;
        double waitNs = 0;
        std::ifstream(task.path() / "schedstat") >> runs.cpuNs >> waitNs >> runs.runs;
        return runs;
    }
    return std::nullopt;
}

// Looks per second and CPU share of the monitor thread over kCostSeconds of a demo that holds its
// load (a look is one wake-up of the thread; the cycles' own two are left in).
std::string Cost(Demo& demo)
{
    const auto before = MonitorThread(demo.Pid());
    const double start = Now();
    std::this_thread::sleep_for(std::chrono::seconds(kCostSeconds));
    const auto after = MonitorThread(demo.Pid());
    if (!before || !after)
        return "no monitor thread";
    const double seconds = Now() - start;
    char text[96];
    std::snprintf(text, sizeof text, "%.0f looks/s, %.4f %% of a core", (after->runs - before->runs) / seconds,
                  (after->cpuNs - before->cpuNs) / (seconds * 1e9) * 100);
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    if (::geteuid() != 0) {
        std::printf("leadtime: skipped: real cgroups and rlimits need root\n");
        return 0;
    }
    // A private installation with a real resource observer, which the demo reports to.
    const fs::path work = fs::temp_directory_path() / ("qn-leadtime-" + std::to_string(::getpid()));
    fs::create_directories(work);
    Write(work / "registry.ini", "[SOFTWARE\\KORVEL]\nDisableAuthentication=1\nDCOMAuthenticationService=WINNT\nResourceObserverSocket=" +
                                     (work / "observer.sock").string() + "\nSystemResourceObserverPort=" + std::to_string(30000 + ::getpid() % 20000) + "\n");
    ::setenv("KORVEL_REGISTRY", (work / "registry.ini").c_str(), 1);
    const pid_t observer = ::fork();
    if (observer == 0) {
        ::freopen("/dev/null", "w", stdout);
        ::freopen("/dev/null", "w", stderr);
        ::execl(QN_RESOURCE_OBSERVER, QN_RESOURCE_OBSERVER, "--system-observer", "localhost", "--metrics-port", "0", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto name = [](const char* what) { return "qn-leadtime-" + std::to_string(::getpid()) + "-" + what; };

    std::printf("== Lead time: the emergency before the kernel's refusal (real speed, 5 s interval)\n");
    Cgroup memory("memory", name("memory"));
    if (!memory.Usable()) {
        Row("memory rows", "skipped: no writable memory cgroup");
    } else {
        memory.Set(memory.MemoryV2() ? "memory.max" : "memory.limit_in_bytes", std::to_string(kMemoryLimitMB << 20));
        memory.Set(memory.MemoryV2() ? "memory.swap.max" : "memory.swappiness", "0");
        for (const int rate : quick ? std::vector<int>{20, 1000} : std::vector<int>{5, 20, 100, 400, 1000}) {
            // The margin is a twentieth of the limit.
            ThresholdNotice notice(memory.Folder(), (std::uint64_t{kMemoryLimitMB} << 20) * 19 / 20);
            std::optional<double> noticed;
            Run run;
            {
                Demo demo(Arguments("memory:" + std::to_string(rate), {"--memory-mb", std::to_string(kStartMB)}), &memory, 0);
                run = demo.Follow();
            }
            noticed = notice.At();
            std::string outcome = Outcome(run);
            if (noticed && run.refused && *noticed <= *run.refused) {
                char kernel[64];
                std::snprintf(kernel, sizeof kernel, "; kernel's threshold: %.0f ms", (*run.refused - *noticed) * 1000);
                outcome += kernel;
            } else if (!memory.MemoryV2()) {
                outcome += notice.Registered() ? "; kernel's threshold: not fired" : "; kernel's threshold: not registered";
            }
            Row("memory " + std::to_string(rate) + " MB/s from " + std::to_string(kStartMB) + " MB, cgroup of " + std::to_string(kMemoryLimitMB) + " MB",
                outcome);
        }
        // The control: a burst that stops at half the limit and stays there for over an interval.
        Demo burst(Arguments("memory:400", {"--grow-cap", std::to_string(kMemoryLimitMB / 2)}), &memory, 0);
        const Run run = burst.Follow();
        std::this_thread::sleep_for(std::chrono::seconds(6));
        ::kill(burst.Pid(), SIGTERM);
        bool raised = run.emergency.has_value();
        for (std::string line = burst.Line(); !line.empty(); line = burst.Line())
            raised = raised || line.find("server emergency") != std::string::npos;
        Row("control: 200 MB at 400 MB/s, then held, cgroup of 400 MB", !run.capped ? "did not reach its cap" : raised ? "FALSE ALARM" : "nothing raised");
    }
    for (const int rate : quick ? std::vector<int>{2000} : std::vector<int>{200, 2000}) {
        Demo demo(Arguments("files:" + std::to_string(rate)), nullptr, kNoFile);
        Row("descriptors " + std::to_string(rate) + "/s, RLIMIT_NOFILE " + std::to_string(kNoFile), Outcome(demo.Follow()));
    }
    Cgroup pids("pids", name("pids"));
    if (!pids.Usable()) {
        Row("threads rows", "skipped: no writable pids cgroup");
    } else {
        pids.Set("pids.max", std::to_string(kPidsMax));
        Demo demo(Arguments("threads:100"), &pids, 0);
        Row("threads 100/s, pids.max " + std::to_string(kPidsMax), Outcome(demo.Follow()));
    }

    std::printf("\n== The watch's cost on the monitor thread over %d s (its wake-ups, cycles included)\n", kCostSeconds);
    {
        // Far: the limits a service unit commonly has, nothing growing.
        Demo far({"--interval", "5"}, nullptr, 65536);
        std::this_thread::sleep_for(std::chrono::seconds(kGrowAfterSeconds));
        Row("far: no cgroup, 65536 descriptors, no growth", Cost(far));
    }
    {
        // The tight limits of the rows above, far from each of them.
        Demo far({"--interval", "5"}, memory.Usable() ? &memory : nullptr, kNoFile);
        std::this_thread::sleep_for(std::chrono::seconds(kGrowAfterSeconds));
        Row("far: 400 MB cgroup nearly empty, 1024 descriptors, no growth", Cost(far));
    }
    {
        // Near: descriptors held a little above the margin (51 of 1024), the emergency not raised.
        constexpr int kHeld = kNoFile - 90;
        Demo near(Arguments("files:2000", {"--grow-cap", std::to_string(kHeld)}), nullptr, kNoFile);
        const Run run = near.Follow();
        Row("near: descriptors held 90 above RLIMIT_NOFILE's margin", run.emergency ? "raised (held too close)" : Cost(near));
    }
    ::kill(observer, SIGTERM);
    ::waitpid(observer, nullptr, 0);
    fs::remove_all(work);
    return 0;
}
