// A sample as a server process sends it, for tests that hand it to the observer themselves.
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

}  // namespace qntest
