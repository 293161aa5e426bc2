// Win32-style events on a mutex and a condition variable. Waiting needs no message pump on Linux.
#pragma once

#include "platform/WinTypes.h"

inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// A new unnamed event; null (with the last error set) when it can't be made.
HANDLE CreateEventW(void* securityAttributes, BOOL manualReset, BOOL initialState, const char16_t* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Waits until the event is signalled or the scaled timeout has passed; an auto-reset event is reset
// by a successful wait. WAIT_FAILED for a null handle.
DWORD WaitForSingleObject(HANDLE event, DWORD milliseconds);
// Frees an event made by CreateEventW.
BOOL CloseHandle(HANDLE event);
