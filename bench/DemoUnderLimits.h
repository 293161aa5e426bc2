// The real qn-server-demo run at real speed in real cgroups and rlimits, followed line by line: the
// parts of bench/leadtime.
#pragma once

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
#include <string>
#include <thread>
#include <vector>

namespace leadtime {

namespace fs = std::filesystem;

// After the monitor's first sleep of 10 s, so that the watch is running.
constexpr int kGrowAfterSeconds = 11;
constexpr int kCostSeconds = 10;

inline double Now()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

inline bool Write(const fs::path& file, const std::string& text)
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
        std::fflush(stdout);
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

    // Whether it raised an emergency by `seconds` from now, when it is stopped; `run` is what
    // Follow found before.
    bool RaisedBy(int seconds, const Run& run)
    {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        ::kill(m_pid, SIGTERM);
        bool raised = run.emergency.has_value();
        for (std::string line = Line(); !line.empty(); line = Line())
            raised = raised || line.find("server emergency") != std::string::npos;
        return raised;
    }

private:
    pid_t m_pid = -1;
    std::FILE* m_out = nullptr;
};

// The machine's resource observer, which the demos report to; it can be taken away and brought back.
class Observer {
public:
    Observer() { Start(); }
    ~Observer() { End(SIGTERM); }
    void Start()
    {
        std::fflush(stdout);  // the child would write what is buffered again
        m_pid = ::fork();
        if (m_pid == 0) {
            ::freopen("/dev/null", "w", stdout);
            ::freopen("/dev/null", "w", stderr);
            ::execl(QN_RESOURCE_OBSERVER, QN_RESOURCE_OBSERVER, "--system-observer", "localhost", "--metrics-port", "0", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    // Ends it with `signal`, also when it is stopped.
    void End(int signal)
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, signal);
        ::kill(m_pid, SIGCONT);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    // Stops it as a hung daemon is.
    void Stop() { ::kill(m_pid, SIGSTOP); }

private:
    pid_t m_pid = -1;
};

inline void Row(const std::string& label, const std::string& value)
{
    std::printf("%-84s %s\n", label.c_str(), value.c_str());
    std::fflush(stdout);
}

inline std::string Outcome(const Run& run)
{
    if (!run.refused)
        return run.emergency ? "warned, the kernel never refused" : "no refusal and no emergency";
    if (!run.emergency || *run.emergency > *run.refused)
        return "NOT warned";
    char text[96];
    std::snprintf(text, sizeof text, "warned %.0f ms before the %s", (*run.refused - *run.emergency) * 1000, run.killed ? "OOM kill" : "refusal");
    return text;
}

inline std::vector<std::string> Arguments(const std::string& growth, const std::vector<std::string>& more = {})
{
    std::vector<std::string> arguments{"--interval", "5", "--load-after", std::to_string(kGrowAfterSeconds), "--grow", growth};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

// The CPU time (ns) and the times they ran of the monitor loop's and the watch's threads (those
// that are there), from their schedstat.
struct ThreadRuns {
    double cpuNs = 0;
    double runs = 0;
};

inline std::optional<ThreadRuns> MonitorThreads(pid_t pid)
{
    std::optional<ThreadRuns> sum;
    for (const auto& task : fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "task")) {
        std::string name;
        std::ifstream(task.path() / "comm") >> name;
        if (name != "qn-load-monitor" && name != "qn-load-watch")
            continue;
        ThreadRuns runs;
        double waitNs = 0;
        std::ifstream(task.path() / "schedstat") >> runs.cpuNs >> waitNs >> runs.runs;
        sum = ThreadRuns{(sum ? sum->cpuNs : 0) + runs.cpuNs, (sum ? sum->runs : 0) + runs.runs};
    }
    return sum;
}

// Looks per second and CPU share of the monitor's threads over kCostSeconds of a demo that holds
// its load (a look is one wake-up of a thread; the cycles' own two are left in).
inline std::string Cost(Demo& demo)
{
    const auto before = MonitorThreads(demo.Pid());
    const double start = Now();
    std::this_thread::sleep_for(std::chrono::seconds(kCostSeconds));
    const auto after = MonitorThreads(demo.Pid());
    if (!before || !after)
        return "no monitor thread";
    const double seconds = Now() - start;
    char text[96];
    std::snprintf(text, sizeof text, "%.0f looks/s, %.4f %% of a core", (after->runs - before->runs) / seconds,
                  (after->cpuNs - before->cpuNs) / (seconds * 1e9) * 100);
    return text;
}

}  // namespace leadtime
