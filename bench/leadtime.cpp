// How long before the kernel's refusal the real qn-server-demo hears of its emergency, at real
// speed with the default 5 s interval, in real cgroups and rlimits, with a real resource observer.
// Prints one row per growth (warned or not, lead time before the refusal), the controls that must
// raise nothing (a burst that stops short, page cache written or mapped and read), and what the
// ceiling watch costs the monitor's threads far from the ceilings and near them; and the rows
// where the resource observer is taken away, beside the same growth with the observer there.
// Needs root and a writable cgroup v1 memory and pids hierarchy or cgroup v2.
//   leadtime [--quick] [--only TEXT] [--repeat N]   (--quick: fewer rows, for a first look; --only:
//                                       the rows whose label holds TEXT; --repeat: the lead time
//                                       rows N times)
#include <sys/mman.h>

#include <functional>
#include <thread>

#include "DemoUnderLimits.h"

namespace {

using namespace leadtime;
namespace fs = std::filesystem;

constexpr int kMemoryLimitMB = 400;
constexpr int kStartMB = 300;  // what a server holds before it leaks
constexpr int kHeldMB = 128;   // what a server holds beside the cache
constexpr int kCacheFromMB = 100;
constexpr int kWrittenCacheMB = 1536;
constexpr int kMappedMB = 1024;
constexpr int kNoFile = 1024;
constexpr int kPidsMax = 256;
// Over an interval after a control stops, so that a cycle checks what it left.
constexpr int kControlHoldSeconds = 6;
// The observer is taken away after the monitor's first cycles, and the growth starts after that.
constexpr int kAwayAtSeconds = 22;
constexpr int kAwayGrowAfterSeconds = 28;

// Writes `megabytes` into `file`, as a server writes its logs; false when the disk refused. With
// `dropped`, the pages are written back and dropped, so that a reader elsewhere is charged for
// those it reads.
bool WriteFile(const fs::path& file, int megabytes, bool dropped = false)
{
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const std::string megabyte(1 << 20, '1');
    bool written = fd >= 0;
    for (int i = 0; written && i < megabytes; ++i)
        written = ::write(fd, megabyte.data(), megabyte.size()) == static_cast<ssize_t>(megabyte.size());
    if (dropped)
        written = written && ::fdatasync(fd) == 0 && ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    if (fd >= 0)
        ::close(fd);
    return written;
}

// Reads every page of `file` through a shared mapping, as a server reads its data files.
void ReadMapped(const fs::path& file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const auto size = static_cast<std::size_t>(fs::file_size(file));
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED)
        return;
    volatile unsigned char sum = 0;
    for (std::size_t at = 0; at < size; at += 4096)
        sum = sum + static_cast<const unsigned char*>(mapped)[at];
    ::munmap(mapped, size);
    ::close(fd);
}

// `body` in a child process of `cgroup`, waited for: a process of the server's cgroup other than
// the server, whose page cache stays charged to the cgroup after it ends.
template <typename Body>
void RunInCgroup(const Cgroup& cgroup, Body body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        Write(cgroup.Folder() / "cgroup.procs", std::to_string(::getpid()));
        body();
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
}

std::string Control(Demo& demo)
{
    const Run run = demo.Follow();
    if (!run.capped)
        return "did not reach its cap";
    return demo.RaisedBy(kControlHoldSeconds, run) ? "FALSE ALARM" : "nothing raised";
}

// The memory rows: growth from kStartMB, the controls, and growth from a cgroup full of cache.
void MemoryRows(const Cgroup& memory, const fs::path& work, bool quick, const std::function<bool(const std::string&)>& wanted)
{
    const std::string cgroup = "cgroup of " + std::to_string(kMemoryLimitMB) + " MB";
    for (const int rate : quick ? std::vector<int>{20, 1000} : std::vector<int>{5, 20, 100, 400, 1000}) {
        const std::string label = "memory " + std::to_string(rate) + " MB/s from " + std::to_string(kStartMB) + " MB, " + cgroup;
        if (!wanted(label))
            continue;
        // The margin is a twentieth of the limit.
        ThresholdNotice notice(memory.Folder(), (std::uint64_t{kMemoryLimitMB} << 20) * 19 / 20);
        Run run;
        {
            Demo demo(Arguments("memory:" + std::to_string(rate), {"--memory-mb", std::to_string(kStartMB)}), &memory, 0);
            run = demo.Follow();
        }
        const std::optional<double> noticed = notice.At();
        std::string outcome = Outcome(run);
        if (noticed && run.refused && *noticed <= *run.refused) {
            char kernel[64];
            std::snprintf(kernel, sizeof kernel, "; kernel's threshold: %.0f ms", (*run.refused - *noticed) * 1000);
            outcome += kernel;
        } else if (!memory.MemoryV2()) {
            outcome += notice.Registered() ? "; kernel's threshold: not fired" : "; kernel's threshold: not registered";
        }
        Row(label, outcome);
    }
    const std::string burst = "control: 200 MB at 400 MB/s, then held, " + cgroup;
    if (wanted(burst)) {
        Demo demo(Arguments("memory:400", {"--grow-cap", std::to_string(kMemoryLimitMB / 2)}), &memory, 0);
        Row(burst, Control(demo));
    }
    const std::string held = std::to_string(kHeldMB) + " MB held, ";
    const std::string written = "control: " + held + "1.5 GB of cache written at 100 MB/s, " + cgroup;
    if (wanted(written)) {
        Demo demo(Arguments("cache:100", {"--memory-mb", std::to_string(kHeldMB), "--grow-cap", std::to_string(kWrittenCacheMB)}), &memory, 0);
        Row(written, Control(demo));
    }
    const std::string mapped = "control: " + held + "1 GB mapped file read by another process, " + cgroup;
    if (wanted(mapped)) {
        const fs::path file = work / "mapped";
        if (!WriteFile(file, kMappedMB, true)) {
            Row(mapped, "skipped: can't write the file");
        } else {
            Demo demo(Arguments("memory:400", {"--grow-cap", std::to_string(kHeldMB)}), &memory, 0);
            Run run = demo.Follow();
            RunInCgroup(memory, [&] { ReadMapped(file); });
            Row(mapped, !run.capped ? "did not reach its cap" : demo.RaisedBy(kControlHoldSeconds, run) ? "FALSE ALARM" : "nothing raised");
        }
        fs::remove(file);
    }
    for (const int rate : {20, 100, 400}) {
        const std::string label = "memory " + std::to_string(rate) + " MB/s from " + std::to_string(kCacheFromMB) + " MB, " + cgroup + " full of cache";
        if (!wanted(label))
            continue;
        const fs::path file = work / "cache";
        RunInCgroup(memory, [&] { WriteFile(file, kWrittenCacheMB); });
        {
            Demo demo(Arguments("memory:" + std::to_string(rate), {"--memory-mb", std::to_string(kCacheFromMB)}), &memory, 0);
            Row(label, Outcome(demo.Follow()));
        }
        fs::remove(file);
    }
}

// How the observer is taken away: before the demo starts, and kAwayAtSeconds after.
struct Away {
    const char* label;
    std::function<void(Observer&)> before;
    std::function<void(Observer&)> after;
};

// Each growth with the observer there, then taken away in each way; the lead time with the
// observer there is printed beside the others.
void AwayRows(Observer& observer, const Cgroup* memory, const std::function<bool(const std::string&)>& wanted)
{
    const std::vector<Away> aways{
        {"observer there", nullptr, nullptr},
        {"observer SIGKILLed at 22 s", nullptr, [](Observer& away) { away.End(SIGKILL); }},
        {"observer SIGSTOPped at 22 s", nullptr, [](Observer& away) { away.Stop(); }},
        {"observer absent from the start", [](Observer& away) { away.End(SIGTERM); }, nullptr},
        {"observer killed at 22 s and started again 1 s later", nullptr,
         [](Observer& away) {
             away.End(SIGKILL);
             std::this_thread::sleep_for(std::chrono::seconds(1));
             away.Start();
         }},
    };
    struct Growing {
        std::string label;
        std::vector<std::string> arguments;
        const Cgroup* cgroup;
        rlim_t noFile;
    };
    std::vector<Growing> growths;
    const std::string after = std::to_string(kAwayGrowAfterSeconds);
    for (const int rate : {20, 100})
        if (memory != nullptr)
            growths.push_back({"memory " + std::to_string(rate) + " MB/s from " + std::to_string(kStartMB) + " MB, cgroup of " + std::to_string(kMemoryLimitMB) + " MB",
                               {"--interval", "5", "--load-after", after, "--grow", "memory:" + std::to_string(rate), "--memory-mb", std::to_string(kStartMB)},
                               memory,
                               0});
    growths.push_back({"descriptors 200/s, RLIMIT_NOFILE " + std::to_string(kNoFile), {"--interval", "5", "--load-after", after, "--grow", "files:200"}, nullptr, kNoFile});
    for (const Growing& growth : growths) {
        std::string there;
        for (const Away& away : aways) {
            const std::string label = std::string(away.label) + ", growth from 28 s: " + growth.label;
            if (!wanted(label))
                continue;
            if (away.before)
                away.before(observer);
            Run run;
            {
                Demo demo(growth.arguments, growth.cgroup, growth.noFile);
                std::thread taking;
                if (away.after)
                    taking = std::thread([&] {
                        std::this_thread::sleep_for(std::chrono::seconds(kAwayAtSeconds));
                        away.after(observer);
                    });
                run = demo.Follow();
                if (taking.joinable())
                    taking.join();
                // Stop waits for a loop that may be connecting to no observer, minutes by design.
                ::kill(demo.Pid(), SIGKILL);
            }
            // A fresh observer for the next row.
            observer.End(SIGTERM);
            observer.Start();
            std::string outcome = Outcome(run);
            if (there.empty())
                there = outcome;
            else
                outcome += " (observer there: " + there + ")";
            Row(label, outcome);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    bool quick = false;
    std::string only;
    int repeat = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only = argv[++i];
        else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
            repeat = std::max(1, std::atoi(argv[++i]));
    }
    const auto wanted = [&](const std::string& label) { return only.empty() || label.find(only) != std::string::npos; };
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
    Observer observer;
    const auto name = [](const char* what) { return "qn-leadtime-" + std::to_string(::getpid()) + "-" + what; };

    std::printf("== Lead time: the emergency before the kernel's refusal (real speed, 5 s interval)\n");
    Cgroup memory("memory", name("memory"));
    if (!memory.Usable()) {
        Row("memory rows", "skipped: no writable memory cgroup");
    } else {
        memory.Set(memory.MemoryV2() ? "memory.max" : "memory.limit_in_bytes", std::to_string(kMemoryLimitMB << 20));
        memory.Set(memory.MemoryV2() ? "memory.swap.max" : "memory.swappiness", "0");
    }
    for (int run = 0; run < repeat; ++run) {
        if (memory.Usable())
            MemoryRows(memory, work, quick, wanted);
        for (const int rate : quick ? std::vector<int>{2000} : std::vector<int>{200, 2000}) {
            const std::string label = "descriptors " + std::to_string(rate) + "/s, RLIMIT_NOFILE " + std::to_string(kNoFile);
            if (!wanted(label))
                continue;
            Demo demo(Arguments("files:" + std::to_string(rate)), nullptr, kNoFile);
            Row(label, Outcome(demo.Follow()));
        }
    }
    Cgroup pids("pids", name("pids"));
    const std::string threads = "threads 100/s, pids.max " + std::to_string(kPidsMax);
    if (!pids.Usable()) {
        Row("threads rows", "skipped: no writable pids cgroup");
    } else if (wanted(threads)) {
        pids.Set("pids.max", std::to_string(kPidsMax));
        Demo demo(Arguments("threads:100"), &pids, 0);
        Row(threads, Outcome(demo.Follow()));
    }

    if (!quick) {
        std::printf("\n== The observer taken away at %d s, growth from %d s (real speed, 5 s interval)\n", kAwayAtSeconds, kAwayGrowAfterSeconds);
        AwayRows(observer, memory.Usable() ? &memory : nullptr, wanted);
    }

    std::printf("\n== The watch's cost on the monitor's threads over %d s (their wake-ups, cycles included)\n", kCostSeconds);
    // A demo that holds still under `cgroup` and `noFile`, measured once its watch runs.
    const auto cost = [&](const std::string& label, const Cgroup* cgroup, rlim_t noFile) {
        if (!wanted(label))
            return;
        Demo demo({"--interval", "5"}, cgroup, noFile);
        std::this_thread::sleep_for(std::chrono::seconds(kGrowAfterSeconds));
        Row(label, Cost(demo));
    };
    // Far: the limits a service unit commonly has; then the tight limits of the rows above.
    cost("far: no cgroup, 65536 descriptors, no growth", nullptr, 65536);
    const Cgroup* tight = memory.Usable() ? &memory : nullptr;
    cost("far: 400 MB cgroup nearly empty, 1024 descriptors, no growth", tight, kNoFile);
    // Usage at the limit, but all of it cache: each look reads memory.stat.
    const std::string cached = "far: 400 MB cgroup full of page cache, 1024 descriptors, no growth";
    if (tight != nullptr && wanted(cached)) {
        const fs::path file = work / "cache";
        RunInCgroup(memory, [&] { WriteFile(file, kWrittenCacheMB); });
        cost(cached, tight, kNoFile);
        fs::remove(file);
    }
    // Near: descriptors held a little above the margin (51 of 1024), the emergency not raised.
    const std::string near = "near: descriptors held 90 above RLIMIT_NOFILE's margin";
    if (wanted(near)) {
        Demo demo(Arguments("files:2000", {"--grow-cap", std::to_string(kNoFile - 90)}), nullptr, kNoFile);
        const Run run = demo.Follow();
        Row(near, run.emergency ? "raised (held too close)" : Cost(demo));
    }
    observer.End(SIGTERM);
    fs::remove_all(work);
    return 0;
}
