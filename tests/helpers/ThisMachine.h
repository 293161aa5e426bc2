// What the tests compare the system's figures with: this machine's own name, /proc's figures and
// a process's processor time, read the plain way.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace qntest {

// The host name up to its first dot, as the machine is named in the records.
inline std::string HostName()
{
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return std::string(name).substr(0, std::string(name).find('.'));
}

// The number after `key` on its line of a /proc file ("/proc/meminfo", "MemTotal:"); -1 when it
// is missing.
inline long long ProcField(const std::string& path, const std::string& key)
{
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);)
        if (line.rfind(key, 0) == 0)
            return std::stoll(line.substr(key.size()));
    return -1;
}

// User and system time of process `pid` in clock ticks, from /proc/PID/stat; 0 when it is gone.
inline double ProcessCpuTicks(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    double user = 0, system = 0;  // fields 14 and 15, after the eleven that follow the name
    const auto afterName = line.rfind(')');
    return afterName != std::string::npos && std::sscanf(line.c_str() + afterName + 2, "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %lf %lf", &user, &system) == 2
               ? user + system
               : 0;
}

// The total stalled time in seconds of one line of /proc/pressure/`resource` ("some" or
// "full"); -1 when the kernel doesn't report it.
inline double PressureTotalSec(const std::string& resource, const std::string& kind)
{
    std::ifstream file("/proc/pressure/" + resource);
    std::string line;
    while (std::getline(file, line))
        if (line.starts_with(kind + " "))
            return std::stod(line.substr(line.find("total=") + 6)) / 1e6;
    return -1;
}

}  // namespace qntest
