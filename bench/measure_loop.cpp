// Takes a given number of samples and nothing else, so that strace can count the system calls of
// one sample (bench/syscalls-per-sample).
#include <cstdlib>

#include "agent/XLoadMonitor.h"

int main(int argc, char** argv)
{
    const long samples = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
    tagQNResourceInformation info{};
    tagQNMachineResourceLoad previous{};
    XLoadMonitor::ZeroData(previous);
    for (long i = 0; i < samples; ++i)
        XLoadMonitor::MeasureProcessLoadData(info, previous);
    return 0;
}
