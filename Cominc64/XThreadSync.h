// Event functions of the tasks: create, set and wait for events. Waiting needs no message pump on
// Linux; finite waits follow the platform's time scale.
#pragma once

#include "platform/WinTypes.h"

class XThreadSync {
public:
    XThreadSync() = delete;

    // A new manual-reset event in `event`; raises "CreateEvent failed" when none can be made.
    static void CreateEvent(HANDLE& event, bool initialState);
    static void CreateEventAutoReset(HANDLE& event, bool initialState);
    // Raises for a null handle or a failed set.
    static void SetEvent(HANDLE event);
    // True when the event was signalled, false when a finite wait timed out; raises for a null
    // handle or a failed wait.
    static bool WaitForEvent(HANDLE event, DWORD timeoutMs);
};
