// Internals of the load measurement that tests reach directly.
#pragma once

#include <string_view>

#include "interfaces/QNResourceAgentRecords.h"
#include "platform/transport/WireRecords.h"

namespace platform {
struct ProcessCeilings;
}

namespace agent {

// XLoadMonitor::MeasureProcessLoadData, and with `ceilings` (may be null) the limits that the
// kernel holds the process to at the same moment.
bool MeasureProcessLoad(tagQNResourceInformation& info, tagQNMachineResourceLoad& previous, platform::ProcessCeilings* ceilings);

// The records of one cycle or check; their strings are freed whichever way it ends.
struct CycleRecords {
    tagQNResourceInformation sample{};
    tagQNProcessResourceEmergencyEvent emergency{};
    tagQNProcessResourceAlert alert{};

    void FreeStrings()
    {
        transport::FreeStrings(sample);
        transport::FreeStrings(emergency);
        transport::FreeStrings(alert);
    }
    ~CycleRecords() { FreeStrings(); }
};

// The file name of `path` without folder (after the last '/' or '\') and without its last extension.
std::u16string_view ProcessNameFromPath(std::u16string_view path);

}  // namespace agent
