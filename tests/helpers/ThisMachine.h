// What the tests compare the system's figures with: this machine's own name and memory, read the
// plain way.
#pragma once

#include <unistd.h>

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

// A field of /proc/meminfo in KB ("MemTotal", "MemAvailable"); 0 when it is missing.
inline long long MemInfoKB(const std::string& field)
{
    std::ifstream meminfo("/proc/meminfo");
    std::string name, unit;
    long long kb = 0;
    while (meminfo >> name >> kb >> unit)
        if (name == field + ":")
            return kb;
    return 0;
}

}  // namespace qntest
