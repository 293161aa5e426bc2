// Identity of the calling process and thread, and the per-thread last error (errno on Linux).
#pragma once

#include "platform/WinTypes.h"

DWORD GetCurrentProcessId();
// The kernel's thread id, as the logbook and the lock tables key threads by it.
DWORD GetCurrentThreadId();
DWORD GetLastError();
void SetLastError(DWORD code);

namespace platform {

// Names the calling thread for ps, top and the tests (15 characters are kept).
void SetCurrentThreadName(const char* name);

}  // namespace platform
