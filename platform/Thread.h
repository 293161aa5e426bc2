// Identity of the calling process and thread, and the per-thread last error (errno on Linux).
#pragma once

#include "platform/WinTypes.h"

DWORD GetCurrentProcessId();
// The kernel's thread id, as the logbook and the lock tables key threads by it.
DWORD GetCurrentThreadId();
DWORD GetLastError();
void SetLastError(DWORD code);
