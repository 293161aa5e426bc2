// Samples as a server process and a resource observer send them, for tests that hand them to an
// observer themselves.
#pragma once

#include "platform/transport/WireRecords.h"

namespace qntest {

// A valid sample of `process` (`id`) on `machine`, one every `interval` seconds, with every figure
// at zero; it frees its strings.
struct Sample : tagQNResourceInformation {
    Sample(const char16_t* machine, const char16_t* process, DWORD id = 0, int interval = 5) : tagQNResourceInformation{}
    {
        machineName = SysAllocString(machine);
        processName = SysAllocString(process);
        auxText = SysAllocString(u"");
        processId = id;
        dataValid = 1;
        monitorIntervalSec = interval;
    }
    ~Sample() { transport::FreeStrings(*this); }
    Sample(const Sample&) = delete;
    Sample& operator=(const Sample&) = delete;
};

// A valid sample of the machine `machine` with every figure at zero; it frees its name.
struct MachineSample : tagQNSystemResourceInformation {
    explicit MachineSample(const char16_t* machine) : tagQNSystemResourceInformation{}
    {
        machineName = SysAllocString(machine);
        dataValid = 1;
    }
    ~MachineSample() { transport::FreeStrings(*this); }
    MachineSample(const MachineSample&) = delete;
    MachineSample& operator=(const MachineSample&) = delete;
};

}  // namespace qntest
